#ifndef DRAVLIN_RELAY_H
#define DRAVLIN_RELAY_H

#include "CertificateAuthority.h"
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

// Sits between one client and the server: listens, takes one client at a
// time, dials the server, forwards every byte both ways and reports each side's
// lines as rows.
//
// Each direction ends on its own: when one side ends its sending, that end is
// passed on once everything queued for the other side is written, and the
// other direction keeps flowing. The session is over when both directions
// have ended, when either side resets, when the side still open stays silent
// for the silence limit, or when queued bytes find no taker for the stall
// limit; then the relay re-arms and listens again 200 ms later.
//
// With TLS inspection on, it follows a switch to TLS (STARTTLS and the like,
// or TLS from the first byte) and terminates TLS on both sides: the client is
// shown a certificate from Dravlin's CA, the server's is verified, and rows
// are the decrypted lines, flagged as having travelled encrypted.
//
// It knows nothing of lines nor windows: front ends cut what bytesRelayed and
// rowBreak report into rows, and word what eventOccurred reports.
class Relay : public QObject
{
    Q_OBJECT

public:
    static constexpr int RearmIntervalMs = 200;
    static constexpr int DefaultSilenceLimitMs = 10000;
    // A TLS handshake on either side not done by then ends the session.
    static constexpr int DefaultHandshakeLimitMs = 10000;
    // Past this many bytes waiting to go out on one side, the other side is no
    // longer read until they drain, so a slow reader cannot grow our memory.
    static constexpr qint64 SendQueueBound = qint64{1024} * 1024;

    explicit Relay(QObject *parent = nullptr);
    ~Relay() override;

    // Checks the texts first: on bad input says what is wrong and nothing
    // changes. Otherwise arms the relay.
    std::optional<RelaySettings::Error> start(const QString &listenPortText, const QString &serverPortText,
                                              const QString &serverHostText, const RelaySettings::Tls &tls = {});
    void start(const RelaySettings &settings);
    // Closes everything at once; bytes still queued are dropped and reported.
    void stop();
    // As stop(), without the Stopped event (a session cut short is still reported).
    void shutdown();
    // Stops listening and re-arming, delivers what was already read from
    // either side to the other (at most graceMs), closes, then emits
    // finished(). What could not be delivered is also reported as events.
    void finish(int graceMs = 2000);
    // While held, neither side is read: data waits in the kernel and the peers
    // feel TCP flow control. Releasing resumes reading.
    void holdReading(bool held);

    // How long the side still open may stay silent after the other ended.
    void setSilenceLimit(int ms) { m_silenceTimer.setInterval(ms); }
    // How long queued bytes, or a server being dialled, may go without progress.
    void setStallLimit(int ms);
    // How long a TLS handshake, on either side, may take from its start.
    void setHandshakeLimit(int ms);

    const RelaySettings &settings() const { return m_settings; }
    bool isArmed() const { return tmrAll.isActive(); }
    StreamSocket::State clientState() const { return wskClient.state(); }
    StreamSocket::State serverState() const { return wskServeur.state(); }
    // The port actually listened on, 0 when not listening.
    quint16 listeningPort() const { return wskClient.listeningPort(); }
    // Bytes waiting to go out towards that side; flow control keeps this bounded.
    qint64 pendingSendBytes(Side towards) const
    {
        return (towards == Side::Client ? wskClient : wskServeur).pendingSendBytes();
    }

Q_SIGNALS:
    // One chunk as read from side and forwarded, in order; arrivedMsecs is
    // when it was read (milliseconds since the epoch); encrypted when it
    // crossed the wire inside TLS and was decrypted here; session as in
    // RelayEvent::session.
    void bytesRelayed(Side side, const QByteArray &bytes, qint64 arrivedMsecs, bool encrypted, int session);
    // What side sent since its last line end is a row of its own now, ended
    // or not: its stream ended, or the session switches to TLS there.
    void rowBreak(Side side, qint64 atMsecs, bool encrypted, int session);
    void eventOccurred(const RelayEvent &event);
    // After finish(): bytes read from one side that the other never got.
    void finished(qint64 undeliveredToClient, qint64 undeliveredToServer);

private Q_SLOTS:
    void onRearmTick();
    void onClientConnectionRequest(int requestId);
    void onServerConnected();
    void onServerFailed();
    void onSilenceTimeout();
    void onGraceTimeout();

private:
    // Where the relay is with its one client. Listening and re-arming are
    // the listener's and tmrAll's business; this says whether a client is
    // taken and how far its session has gone. Transitions, all through enter():
    //   Idle -> Dialling        a client is taken (onClientConnectionRequest)
    //   Dialling -> Relaying    the server answered the dial (onServerConnected)
    //   Dialling, Relaying -> Ending   the end is decided, once (endSession, shutdown)
    //   Ending -> Idle          everything is closed and reported (completeSession)
    enum class SessionState {
        Idle,     // no client: listening, about to re-arm, or stopped
        Dialling, // what the client says waits, in order, for the server being reached
        Relaying, // both sides connected; either direction may already have ended
        Ending,   // nothing more is read; queues drain, within the stall limit, then the session ends
    };

    void enter(SessionState next);
    bool inSession() const { return m_state != SessionState::Idle; }
    // Bytes are still read and forwarded: no end decided yet.
    bool isRelaying() const { return m_state == SessionState::Dialling || m_state == SessionState::Relaying; }
    StreamSocket &socket(Side side) { return side == Side::Client ? wskClient : wskServeur; }
    void relayChunk(Side from, const QByteArray &bytes);
    void forward(Side from, const QByteArray &bytes);
    void watchForUpgrade(Side from, const QByteArray &bytes);
    void switchToTls(const QByteArray &clientHello);
    std::unique_ptr<TlsEngine> serverEngine() const;
    void tlsEstablished(Side side);
    void tlsFailed(Side side);
    void startHandshakeClock(Side side);
    void handshakeOverdue(Side side);
    bool prepareTls();
    void drained(Side towards);
    void readEnded(Side side);
    void reset(Side side);
    void stalled(Side side);
    void endSession(RelayEvent::End how, Side side = Side::Client);
    void settleEnding();
    void giveUp(Side towards, RelayEvent::End why);
    void completeSession(bool rearm);
    void updateReading();
    void closeSide(Side side, bool reset = false);
    void closeBoth();
    void breakRow(Side side);
    RelayEvent makeEvent(RelayEvent::Kind kind) const;
    void report(const RelayEvent &event);
    QString clientName() const;
    QString serverName() const;

    StreamSocket wskClient;
    StreamSocket wskServeur;
    QTimer tmrAll;
    QTimer m_silenceTimer;
    QTimer m_graceTimer;
    QTimer m_handshakeTimer[2];
    RelaySettings m_settings;

    // TLS, made at start when asked for: Dravlin's CA, what the server's
    // certificate is checked against, and per session the upgrade watch.
    std::unique_ptr<CertificateAuthority> m_authority;
    TlsEngine::Context m_trust;
    TlsEngine::Context m_clientFacing; // what server mode shows the client, shared by the sessions
    UpgradeDetector m_detector;
    // While Dialling or Relaying: the detector sees every byte until TLS,
    // until it gives up, or until a side ends. Orthogonal to the state: an
    // uninspected session never watches.
    bool m_watching = false;
    RelayEvent::Upgrade m_upgrade = RelayEvent::Upgrade::None;
    FailureCause m_endCause;

    // The session with the client taken, if any.
    SessionState m_state = SessionState::Idle;
    // Reading pauses that hold in any state, each for its own reason (Ending
    // pauses both sides besides):
    bool m_flowPaused[2] = {}; // that side is not read until the other side's queue drains
    bool m_held = false;       // the front end asked holdReading()
    // finish() was called: the session under way is the last, nothing re-arms.
    bool m_finishing = false;
    // Whether a reset from the client comes after the dialogue was over.
    DialogueEndWatch m_dialogue;
    RelayEvent::End m_end = RelayEvent::End::None;
    Side m_endSide = Side::Client;
    std::optional<Side> m_firstEnded;
    QString m_client;
    qint64 m_bytesFrom[2] = {};
    qint64 m_undelivered[2] = {};
    // Why a side could not be given the reset its loss called for.
    QString m_resetFailure[2];
    qint64 m_sessionStart = 0;
    QElapsedTimer m_sessionClock;
};

#endif
