#ifndef DRAVLIN_UPGRADEDETECTOR_H
#define DRAVLIN_UPGRADEDETECTOR_H

#include "Side.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QList>
#include <QString>

// Follows a plain conversation as its server does, to find the byte where it
// turns into TLS whatever the network's splits:
//  - SMTP "STARTTLS" answered by 220, POP3 "STLS" by +OK, IMAP "<tag> STARTTLS"
//    by "<tag> OK", FTP "AUTH TLS" (or SSL, TLS-C, TLS-P) by 234; any other
//    answer refuses and changes nothing;
//  - implicit TLS: the client's first bytes are a ClientHello.
//
// The server's greeting tells the protocol; from then on each answer is paired
// with the command it answers, in order (by tag for IMAP), multi-line answers
// counting once. Commands are read as the server reads them: an SMTP message
// only after DATA was answered 354, up to a line of one dot; BDAT chunks and
// IMAP literals by their byte counts.
//
// Where reading what follows depends on an answer (after an upgrade request,
// DATA, an IMAP synchronising literal), the client's bytes are held, not
// forwarded, until it comes. Refused, they go on to the server in order.
// Accepted, an upgrade makes them plaintext sent where TLS was due: once
// forwarded they would be read as if they had come inside TLS (the STARTTLS
// injection attacks), so they are dropped; so is what the server sends after
// its positive answer before the client's first TLS bytes (its ClientHello,
// which the relay answers by sending its own to the server).
//
// A dialogue that does not fit (an answer to no command, an unknown protocol)
// ends the watch: every byte then passes through unchanged, and
// abandonReason() says why.
class UpgradeDetector
{
    Q_DECLARE_TR_FUNCTIONS(UpgradeDetector)

public:
    enum class Protocol { None, Smtp, Pop3, Imap, Ftp, Implicit };
    // Awaiting: an upgrade asked, not yet answered.
    enum class Phase { Watching, Awaiting, Tls, Abandoned };
    enum class Fate { Relay, Drop, Tls };
    // A stretch of one side's bytes: forwarded as plaintext, dropped, or the
    // start of TLS. A side's parts, in order, are its stream as sent.
    struct Part {
        Side side = Side::Client;
        Fate fate = Fate::Relay;
        QByteArray bytes;
    };
    using Parts = QList<Part>;

    // Lines longer than this are not commands or answers worth reading.
    static constexpr qsizetype LineBytes = 1024;
    // Client bytes held past this while an answer is due: stop reading the client.
    static constexpr qsizetype HoldBytes = 64 * 1024;
    // Commands sent and not yet answered past this: the dialogue is not one we know.
    static constexpr qsizetype PendingCommands = 10000;

    // What to do with the bytes that just arrived from that side, and with any
    // bytes of the other side that could not be sorted before.
    Parts feed(Side from, const QByteArray &chunk);
    // A side's stream ended: the client bytes still held, to forward as plaintext.
    QByteArray takeHeld();
    bool holdIsFull() const { return m_held.size() >= HoldBytes; }

    Phase phase() const { return m_phase; }
    // The upgrade last asked for (Implicit once a ClientHello came first).
    Protocol protocol() const { return m_protocol; }
    // Bytes dropped so far from that side.
    qsizetype dropped(Side from) const { return m_dropped[sideIndex(from)]; }
    // Why the watch was given up, in French; empty while it goes on.
    QString abandonReason() const { return m_abandonReason; }

private:
    enum class Family { Unknown, Coded, Pop3, Imap }; // Coded: SMTP and FTP's numbered replies
    enum class Expect { Reply, Data, Upgrade, MultiLine, Compress };
    struct Request {
        Expect expect = Expect::Reply;
        QByteArray tag; // IMAP
    };
    // One line as read so far: its first LineBytes and, past that, its last bytes.
    struct Line {
        QByteArray start;
        QByteArray end;
        bool cut = false;
        void append(QByteArrayView segment);
        void clear();
    };

    void readClient(Parts &out);
    qsizetype scanClient(const QByteArray &data, Parts &out);
    void clientLine(Parts &out);
    void clientCommand(QByteArrayView text, bool cut, Parts &out);
    void pending(Expect expect, const QByteArray &tag, Parts &out);
    bool clientWaits() const;
    void readServer(const QByteArray &chunk, Parts &out);
    void serverLine(Parts &out);
    bool identify(QByteArrayView greeting, Parts &out);
    void codedReply(QByteArrayView text, Parts &out);
    void pop3Reply(QByteArrayView text, Parts &out);
    void imapResponse(QByteArrayView text, Parts &out);
    void answered(const Request &request, bool positive, Parts &out);
    void abandon(const QString &reason, Parts &out);
    void add(Parts &out, Side side, Fate fate, const QByteArray &bytes);

    Phase m_phase = Phase::Watching;
    Protocol m_protocol = Protocol::None;
    Family m_family = Family::Unknown;
    QString m_abandonReason;
    qsizetype m_dropped[2] = {0, 0};
    QList<Request> m_requests; // sent and not yet answered, oldest first
    bool m_greeted = false;

    // Client bytes not sorted yet: the first ones while they may start a
    // ClientHello, or those that follow a command whose answer is due.
    QByteArray m_held;
    bool m_firstBytesKnown = false; // whether the client began with a ClientHello is settled
    bool m_clientSpokeTls = false;  // TLS bytes came from the client: the server may answer
    Line m_clientLine;
    bool m_clientLineNew = true; // the line about to be read begins a command
    qsizetype m_clientSkip = 0;  // bytes of an IMAP literal or SMTP BDAT chunk: data, not lines
    bool m_dataDue = false;      // DATA sent, its answer not yet in
    bool m_inBody = false;       // within an SMTP message, up to its "." line
    bool m_afterCrLf = true;     // the message's last line ended in CR LF
    qsizetype m_literal = -1;    // a literal whose reading waits on the server
    bool m_literalSync = false;  // ...on its "+" (else only on the protocol being known)
    QByteArray m_commandTag;     // IMAP tag of the command being sent

    Line m_serverLine;
    bool m_serverLineNew = true; // the line about to be read begins a response
    qsizetype m_serverSkip = 0;  // bytes of an IMAP literal in a server response
    QByteArray m_replyCode;      // "250" while a "250-" reply goes on
    bool m_inListing = false;    // within a POP3 multi-line answer, up to its "." line
};

#endif
