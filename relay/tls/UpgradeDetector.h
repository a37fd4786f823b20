#ifndef DRAVLIN_UPGRADEDETECTOR_H
#define DRAVLIN_UPGRADEDETECTOR_H

#include "Side.h"

#include <QByteArray>

// Watches both directions of a plain conversation for the point where it turns
// into TLS, exact to the byte whatever the network's splits:
//  - SMTP "STARTTLS" answered by 220, POP3 "STLS" by +OK, IMAP "<tag> STARTTLS"
//    by "<tag> OK", FTP "AUTH TLS" (or SSL, TLS-C, TLS-P) by 234; any other
//    answer refuses and watching goes on;
//  - implicit TLS: the client's first bytes are a ClientHello.
//
// Between an upgrade request and its answer the client must wait, and after a
// positive answer the server must wait for the handshake. Plaintext either of
// them sends there would, once forwarded, be read as if it had come inside TLS
// (the STARTTLS injection attacks), so it is dropped: the server only ever sees
// the upgrade line alone and the client only the answer.
//
// The server's wait ends when it receives a ClientHello. The relay sends its
// own to the server once the client's first TLS bytes (its ClientHello, which
// also names the host it wants) have arrived, so the server bytes dropped are
// those that come before the client's first TLS bytes.
class UpgradeDetector
{
public:
    enum class Protocol { None, Smtp, Pop3, Imap, Ftp, Implicit };
    enum class Phase { Watching, Awaiting, Tls }; // Awaiting: an upgrade asked, not yet answered

    // What to do with one chunk, from its start: relay bytes forwarded as
    // plaintext, then drop bytes not forwarded at all. With tls, the rest of
    // the chunk and everything both sides send afterwards is TLS.
    struct Step {
        qsizetype relay = 0;
        qsizetype drop = 0;
        bool tls = false;
    };

    // Lines longer than this are not commands or answers worth reading.
    static constexpr qsizetype LineBytes = 1024;

    // chunk is what just arrived from that side. The first bytes the client
    // sends may be the start of a ClientHello: while that cannot be told yet,
    // they are held (chunk comes back empty) and put back at the front of the
    // next client chunk, so the counts always refer to chunk as it comes back.
    Step feed(Side from, QByteArray &chunk);
    // The client's stream ended: bytes still held, to forward as plaintext.
    QByteArray takeHeld();

    Phase phase() const { return m_phase; }
    // The upgrade last asked for (Implicit once a ClientHello came first).
    Protocol protocol() const { return m_protocol; }
    // Bytes dropped so far from that side.
    qsizetype dropped(Side from) const { return m_dropped[sideIndex(from)]; }

private:
    enum class Answer { NotYet, Accepted, Refused };

    Step feedClient(QByteArray &chunk);
    Step feedServer(const QByteArray &chunk);
    // Just past the upgrade line in chunk, or -1.
    qsizetype scanClient(const QByteArray &chunk);
    bool isUpgradeLine(QByteArrayView line, bool cut);
    Answer answerOf(QByteArrayView line);

    Phase m_phase = Phase::Watching;
    Protocol m_protocol = Protocol::None;
    qsizetype m_dropped[2] = {0, 0};
    bool m_firstBytesKnown = false; // whether the client began with a ClientHello is settled
    bool m_clientSpokeTls = false;  // TLS bytes came from the client: the server may answer
    QByteArray m_held;

    // The client's current line: its first LineBytes, or once longer its last bytes only.
    QByteArray m_clientLine;
    bool m_clientLineCut = false;
    qsizetype m_skip = 0;     // bytes of an IMAP literal or SMTP BDAT chunk: data, not lines
    bool m_inBody = false;    // within an SMTP message, up to its "." line

    // The server's current line, its first LineBytes.
    QByteArray m_serverLine;
    bool m_serverAtLineStart = true;
    bool m_serverLineStale = false; // begun before the upgrade was asked: not its answer
    QByteArray m_multiLineCode;     // "220" while a "220-" reply goes on
    QByteArray m_tag;               // IMAP tag of the upgrade command
};

#endif
