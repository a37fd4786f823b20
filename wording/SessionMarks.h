#ifndef DRAVLIN_SESSIONMARKS_H
#define DRAVLIN_SESSIONMARKS_H

#include "RelayEvent.h"
#include "SessionMark.h"

#include <QCoreApplication>
#include <QString>

#include <vector>

// Which of the relay's events leave a mark in the conversation, and its
// text: the one place both front ends ask, so the panes, saved and copied
// transcripts and the console's stdout mark the same moments alike.
class SessionMarks
{
    Q_DECLARE_TR_FUNCTIONS(SessionMarks)

public:
    // The mark's text without the "-- " prefix, or an empty string for an
    // event that leaves none:
    // a client taken: "14:03:22.418 · client 127.0.0.1:40112 → 127.0.0.1:2525";
    // a session over: "14:03:25.002 · fermée par le client · client → serveur
    // 1 204 o · serveur → client 342 o · durée 2,584 s";
    // a handshake over: "TLS serveur · TLSv1.3 · TLS_AES_256_GCM_SHA384 ·
    // STARTTLS (SMTP) · sujet CN=mx.example.org · certificat vérifié ·
    // SHA-256 AB:CD:… · émetteur CN=…" (facing the client: the name it asked
    // for and whose certificate it was shown);
    // plaintext dropped after an upgrade: "en clair ignoré · client · 24 o
    // après STARTTLS (SMTP), jamais transmis".
    // A TLS mark holds every detail, so that a saved conversation keeps them.
    static QString text(const RelayEvent &event);
    static bool leavesMark(const RelayEvent &event) { return !text(event).isEmpty(); }
    // A session that ended on a failure (a reset, TLS failed, the server
    // unreachable or silent, delivery stalled): drawn apart, found by F8.
    static bool isFailure(const SessionMark &mark);
    // A session's opening mark:
    // "14:03:22.418 · client 127.0.0.1:40112 → 127.0.0.1:2525".
    static QString beginText(qint64 msecs, const QString &client, const QString &server);
    // A session's closing mark, how being the French wording of its end:
    // "14:03:25.002 · fermée par le client · client → serveur 1 204 o ·
    // serveur → client 342 o · durée 2,584 s".
    static QString endText(qint64 msecs, const QString &how, qint64 clientBytes, qint64 serverBytes,
                           qint64 durationMsecs);
    // Whether an end says something went wrong, as the failure that caused it
    // would have: marks keep how a session ended, not the events before it.
    static bool endsInFailure(RelayEvent::End end);
    // A kept mark's text: its event's, or the words it was read back with.
    static QString text(const SessionMark &mark);
    // The same in UTF-8; words read back that are not UTF-8 stay the bytes they were.
    static QByteArray utf8(const SessionMark &mark);
    // A mark as the panes show it: a mark keeps what a peer chose as it came
    // (a transcript escapes it as it writes it); shown, it is escaped the same way.
    static QString shown(const QString &text);
    // A mark's tooltip, its text shown(): a TLS mark one detail per line;
    // lines broken at a space by TooltipColumns, at most TooltipLines, the
    // last ending "…" when there was more.
    static constexpr int TooltipColumns = 100;
    static constexpr int TooltipLines = 8;
    static QString tooltip(const SessionMark &mark, const QString &text);
};

#endif
