#ifndef DRAVLIN_UPGRADEDETECTOR_H
#define DRAVLIN_UPGRADEDETECTOR_H

#include "Dialogue.h"
#include "RelayEvent.h"
#include "LineReader.h"
#include "Side.h"

#include <QByteArray>
#include <QList>
#include <QString>

// Finds the byte where a plain conversation turns into TLS, whatever the
// network's splits: an upgrade command (each protocol's, see relay/protocol)
// answered positively, or a client whose first bytes are a ClientHello.
// What the lines mean is the Dialogue's; this class only holds and releases.
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
// A dialogue that does not fit (an answer to no command, an unknown
// protocol, an untagged IMAP BAD while bytes wait, no deciding answer in
// time) ends the watch: the held bytes and every byte after pass through
// unchanged, and abandonCause() says why.
class UpgradeDetector
{
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

    // Client bytes held past this while an answer is due: stop reading the client.
    static constexpr qsizetype HoldBytes = 64 * 1024;
    // Held bytes wait this long at most for the answer that sorts them.
    static constexpr int DecisionMs = 10000;

    // What to do with the bytes that just arrived from that side, and with any
    // bytes of the other side that could not be sorted before.
    Parts feed(Side from, const QByteArray &chunk);
    // Gives the watch up (no deciding answer came): the held bytes go on.
    Parts giveUp(const FailureCause &why);
    // A side's stream ended: the client bytes still held, to forward as plaintext.
    QByteArray takeHeld();
    bool holding() const { return !m_held.isEmpty(); }
    // Held bytes are shown as rows when read: those held since the last call,
    // once the client's first bytes are known not to start TLS.
    QByteArray takeNewlyHeld();
    // Of client bytes now leaving the hold (in the parts of feed(), giveUp()
    // or takeHeld()), how many takeNewlyHeld() already gave.
    qsizetype takeShown(qsizetype leaving);
    bool holdIsFull() const { return m_held.size() >= HoldBytes; }

    Phase phase() const { return m_phase; }
    // The upgrade last asked for (Implicit once a ClientHello came first).
    Protocol protocol() const { return m_protocol; }
    // The same, as the relay's events tell it.
    RelayEvent::Upgrade upgrade() const;
    // Bytes dropped so far from that side.
    qsizetype dropped(Side from) const { return m_dropped[sideIndex(from)]; }
    // Why the watch was given up; none while it goes on.
    const FailureCause &abandonCause() const { return m_abandonCause; }

private:
    void readClient(Parts &out);
    qsizetype scanClient(const QByteArray &data, Parts &out);
    bool clientWaits() const;
    void readServer(const QByteArray &chunk, Parts &out);
    void serverLine(Parts &out);
    void abandon(const FailureCause &why, Parts &out);
    void abandon(Dialogue::Misfit misfit, Parts &out);
    void add(Parts &out, Side side, Fate fate, const QByteArray &bytes);

    Phase m_phase = Phase::Watching;
    Protocol m_protocol = Protocol::None;
    FailureCause m_abandonCause;
    qsizetype m_dropped[2] = {0, 0};
    Dialogue m_dialogue;
    LineReader m_clientReader;
    LineReader m_serverReader;

    // Client bytes not sorted yet: the first ones while they may start a
    // ClientHello, or those that follow a command whose answer is due.
    QByteArray m_held;
    qsizetype m_shown = 0; // of m_held, the first bytes takeNewlyHeld() gave
    bool m_firstBytesKnown = false; // whether the client began with a ClientHello is settled
    bool m_clientSpokeTls = false;  // TLS bytes came from the client: the server may answer
};

#endif
