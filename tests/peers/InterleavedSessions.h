// Two sessions served at once, their rows and marks interleaved as the relay
// hands them over: what the model, its transcript and its capture must keep apart.
#pragma once

#include "Conversation.h"
#include "EndpointText.h"
#include "LineCapture.h"
#include "Transcript.h"
#include "TranscriptMarks.h"

#include <QList>
#include <QMap>

struct SessionStep {
    int after; // milliseconds after the first step
    int session;
    char what; // 'C' or 'S' a chunk of rows, 'B' a session's start, 'E' its end, 'T' a TLS handshake
    QByteArray bytes; // rows, each ended by CR LF
    bool encrypted = false;
};

// Session 2 speaks between session 1's question and its answer; both send a
// chunk at the same moment; session 1 goes on in TLS, session 2 does not.
inline QList<SessionStep> interleavedSessions()
{
    return {{0, 1, 'B', "127.0.0.1:40001 127.0.0.1:2525"},
            {1, 2, 'B', "[::1]:40002 [::1]:2525"},
            {2, 1, 'S', "220 one\r\n"},
            {3, 2, 'S', "220 two\r\n"},
            {4, 1, 'C', "EHLO one\r\n"},
            {4, 2, 'C', "EHLO two\r\n"},
            {7, 2, 'C', "MAIL two\r\n"},
            {9, 1, 'S', "250-one\r\n250 STARTTLS\r\n"},
            {10, 1, 'T', {}},
            {11, 1, 'C', "QUIT\r\n", true},
            {11, 2, 'C', "QUIT\r\n"},
            {12, 2, 'E', {}},
            {13, 1, 'E', {}}};
}

// Fills the model with the steps, and gives the transcript each session's
// lines make, keyed by session (0: every line).
inline QMap<int, QByteArray> fillInterleaved(Conversation &conversation, const QList<SessionStep> &steps, qint64 t0)
{
    QMap<int, QByteArray> lines;
    for (const SessionStep &step : steps) {
        const QByteArray head = Transcript::stamp(t0 + step.after) + Transcript::sessionPrefix(step.session);
        QByteArray written;
        if (step.what == 'C' || step.what == 'S') {
            const Side side = step.what == 'C' ? Side::Client : Side::Server;
            const LineCapture::Rows rows = LineCapture().feed(step.bytes);
            conversation.appendRows(side, rows, t0 + step.after, step.encrypted, step.session);
            for (qsizetype i = 0; i < rows.count(); ++i)
                Transcript::appendLine(written, head, side, rows.row(i));
        } else {
            RelayEvent event;
            event.kind = step.what == 'B'   ? RelayEvent::Kind::ClientConnected
                         : step.what == 'E' ? RelayEvent::Kind::SessionEnded
                                            : RelayEvent::Kind::TlsEstablished;
            event.time = t0 + step.after;
            event.session = step.session;
            event.client = EndpointText::read(QString::fromLatin1(step.bytes.split(' ').value(0)));
            event.server = EndpointText::read(QString::fromLatin1(step.bytes.split(' ').value(1)));
            event.end = step.session == 1 ? RelayEvent::End::ClosedByServer : RelayEvent::End::ClosedByClient;
            event.tls.protocol = QStringLiteral("TLSv1.3");
            conversation.appendMark(event);
            TranscriptMarks::append(written, head, SessionMark{event, QByteArray()});
        }
        lines[0] += written;
        lines[step.session] += written;
    }
    return lines;
}
