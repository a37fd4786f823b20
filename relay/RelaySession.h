#ifndef DRAVLIN_RELAYSESSION_H
#define DRAVLIN_RELAYSESSION_H

#include "CertificateAuthority.h"
#include "PeerClock.h"
#include "DialogueEndWatch.h"
#include "RelayEvent.h"
#include "RelaySettings.h"
#include "Side.h"
#include "StreamSocket.h"
#include "TlsEngine.h"
#include "UpgradeDetector.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <memory>
#include <optional>

// One client taken by the relay and the server dialled for it: forwards every
// byte both ways and reports what it forwards and what happens, as the Relay
// describes. Sessions served at once share nothing but what the run set up
// (settings, CA, trust): each has its own sockets, timers, flow control,
// upgrade watch and end.
class RelaySession : public QObject
{
    Q_OBJECT

public:
    // Past this many bytes waiting to go out on one side, the other side is no
    // longer read until they drain, so a slow reader cannot grow our memory.
    static constexpr qint64 SendQueueBound = qint64{1024} * 1024;
    // How often an ending session looks whether the peers have acknowledged what they were sent.
    static constexpr int SettlePollMs = 20;

    // What every session of one run shares, made once when the relay starts.
    struct Run {
        RelaySettings settings;
        std::shared_ptr<CertificateAuthority> authority;
        TlsEngine::Context trust;        // what the server's certificate is checked against
        TlsEngine::Context clientFacing; // what server mode shows the client
    };
    struct Limits {
        int silenceMs;
        int stallMs;
        int handshakeMs;
    };

    // number: as RelayEvent::session.
    RelaySession(int number, std::shared_ptr<const Run> run, const Limits &limits, QObject *parent = nullptr);
    ~RelaySession() override;

    // Builds the client's connection on the descriptor a listener handed
    // over, before begin(). False when the system would not let it be
    // driven: the client is then dropped with a reset, client() saying why.
    bool takeClient(qintptr descriptor) { return wskClient.adoptAccepted(int(descriptor)); }
    const StreamSocket &client() const { return wskClient; }
    // The client is connected: says so and dials the server. What the client
    // says meanwhile is queued, in order, until the server answers.
    void begin();
    // Ends at once; what is queued is dropped and reported.
    void shutdown();
    // Reads nothing more, delivers what was already read (at most graceMs), then ends.
    void finish(int graceMs);
    void holdReading(bool held);
    void setLimits(const Limits &limits);

    bool isOver() const { return m_state == SessionState::Over; }
    StreamSocket::State clientState() const { return wskClient.state(); }
    StreamSocket::State serverState() const { return wskServeur.state(); }
    qint64 pendingSendBytes(Side towards) const
    {
        return (towards == Side::Client ? wskClient : wskServeur).pendingSendBytes();
    }

Q_SIGNALS:
    void bytesRelayed(Side side, const QByteArray &bytes, qint64 arrivedMsecs, bool encrypted, int session);
    void rowBreak(Side side, qint64 atMsecs, bool encrypted, int session);
    void eventOccurred(const RelayEvent &event);
    // Everything is closed and reported (SessionEnded last): bytes read from
    // one side that the other never got, those read after the end included.
    void ended(qint64 undeliveredToClient, qint64 undeliveredToServer);

private:
    // How far the session has gone. Transitions, all through enter():
    //   Dialling -> Relaying    the server answered the dial (onServerConnected)
    //   Dialling, Relaying -> Ending   the end is decided, once (endSession, shutdown)
    //   Ending -> Over          everything is closed and reported (completeSession)
    enum class SessionState {
        Dialling, // what the client says waits, in order, for the server being reached
        Relaying, // both sides connected; either direction may already have ended
        // Nothing more is relayed. What was read goes on being delivered,
        // within the stall limit (and finish()'s grace); what arrives now is
        // read only to be counted and dropped, so that no close leaves unread
        // data behind, which the system would answer with a reset that throws
        // away what it still holds for that peer.
        Ending,
        Over,
    };

    void enter(SessionState next);
    bool isLive() const { return m_state != SessionState::Over; }
    // Bytes are still read and forwarded: no end decided yet.
    bool isRelaying() const { return m_state == SessionState::Dialling || m_state == SessionState::Relaying; }
    StreamSocket &socket(Side side) { return side == Side::Client ? wskClient : wskServeur; }
    void onServerConnected();
    void onServerFailed();
    void onSilenceTimeout();
    void relayChunk(Side from, const QByteArray &bytes);
    void forward(Side from, const QByteArray &bytes);
    // Shows as rows what the detector holds from the client, as soon as it is read.
    void showHeld();
    void watchForUpgrade(Side from, const QByteArray &bytes);
    void sortWatched(const UpgradeDetector::Parts &parts, bool wasFull);
    void switchToTls(const QByteArray &clientHello);
    std::unique_ptr<TlsEngine> serverEngine(const TlsEngine *client = nullptr) const;
    void startServerTls();
    void tlsEstablished(Side side);
    void tlsFailed(Side side);
    void startHandshakeClock(Side side);
    void handshakeOverdue(Side side);
    void drained(Side towards);
    void readEnded(Side side);
    void reset(Side side);
    void stalled(Side side);
    void endSession(RelayEvent::End how, Side side = Side::Client);
    void settleEnding();
    // forced: the wait is over; what is still unacknowledged is lost, and said to be.
    void completeSession(bool forced = false);
    void updateReading();
    // The peer clocks count only while Dravlin reads that peer.
    void keepClocks();
    void closeSide(Side side, bool reset = false, bool forced = false);
    // That side was owed bytes it will not get: it is to be reset.
    bool missed(Side side) const
    {
        const int i = sideIndex(side);
        return m_resetAtClose[i] || m_ignored[i] > 0 || m_undelivered[i] > 0;
    }
    void breakRow(Side side);
    bool isEncrypted() const { return wskClient.isTls() || wskServeur.isTls(); }
    // Stamps when, which session and its endpoints, then emits.
    void report(RelayEvent event);

    const int m_number;
    const std::shared_ptr<const Run> m_run;
    StreamSocket wskClient;
    StreamSocket wskServeur;
    PeerClock m_silenceClock; // armed once a side has ended its sending: the other's silence
    QTimer m_graceTimer;
    // While Ending: the kernel's acknowledgements come with no event, so the
    // wait for them is a poll.
    QTimer m_settleTimer;
    PeerClock m_handshakeClock[2];
    bool m_completing = false;

    UpgradeDetector m_detector;
    // Runs while the detector holds client bytes: they never wait longer for the answer that sorts them.
    PeerClock m_decisionClock; // the server's deciding answer to what the detector holds
    // While Dialling or Relaying: the detector sees every byte until TLS,
    // until it gives up, or until a side ends. Orthogonal to the state: an
    // uninspected session never watches.
    bool m_watching = false;
    RelayEvent::Upgrade m_upgrade = RelayEvent::Upgrade::None;
    // The client's handshake is being failed because the server's did.
    bool m_refusingClient = false;
    FailureCause m_endCause;

    SessionState m_state = SessionState::Dialling;
    // Reading pauses that hold in any state, each for its own reason (Ending
    // pauses both sides besides):
    bool m_flowPaused[2] = {}; // that side is not read until the other side's queue drains
    bool m_held = false;       // the front end asked holdReading()
    // Whether a reset from the client comes after the dialogue was over.
    DialogueEndWatch m_dialogue;
    RelayEvent::End m_end = RelayEvent::End::None;
    Side m_endSide = Side::Client;
    std::optional<Side> m_firstEnded;
    Endpoint m_client;
    Endpoint m_server;
    qint64 m_bytesFrom[2] = {};
    qint64 m_undelivered[2] = {};
    // Bytes the other side sent once the end was decided: read, never relayed.
    qint64 m_ignored[2] = {};
    // The other side reset: so does this one, once what it is owed is delivered.
    bool m_resetAtClose[2] = {};
    // Why a side could not be given the reset its loss called for.
    QString m_resetFailure[2];
    QElapsedTimer m_sessionClock;
};

#endif
