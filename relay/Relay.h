#ifndef DRAVLIN_RELAY_H
#define DRAVLIN_RELAY_H

#include "RelayEvent.h"
#include "RelaySession.h"
#include "RelaySettings.h"
#include "Side.h"
#include "ClientListener.h"
#include "StreamSocket.h"

#include <QObject>
#include <QTimer>

#include <algorithm>
#include <memory>
#include <vector>

// Sits between clients and the server: listens, takes a client, dials the
// server for it, forwards every byte both ways and reports what it forwards.
//
// By default one client at a time: while it is served the port is closed, so
// a second client is refused. With RelaySettings::maxClients above 1, up to
// that many sessions run at once, each a RelaySession of its own and numbered
// (RelayEvent::session); the port then stays open and further clients wait in
// the system's queue, connected but unread, until a session ends.
//
// Each direction ends on its own: when one side ends its sending, that end is
// passed on once everything queued for the other side is written, and the
// other direction keeps flowing. The session is over when both directions
// have ended, when either side resets, when the side still open stays silent
// for the silence limit, or when queued bytes find no taker for the stall
// limit; then, serving one client at a time, the relay re-arms and listens
// again 200 ms later.
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
    static constexpr int StopGraceMs = 2000;
    static constexpr qint64 SendQueueBound = RelaySession::SendQueueBound;

    explicit Relay(QObject *parent = nullptr);
    ~Relay() override;

    void start(const RelaySettings &settings);
    // Stops listening; each session delivers what was already read (at most
    // StopGraceMs) and ends, what could not be delivered reported. A start()
    // meanwhile ends them at once.
    void stop();
    // Closes everything at once, without the Stopped event; bytes still
    // queued are dropped, and a session cut short is still reported.
    void shutdown();
    // Stops listening and re-arming, delivers what was already read from
    // either side to the other in every session (at most graceMs), closes,
    // then emits finished(). What could not be delivered is also reported as events.
    void finish(int graceMs = 2000);
    // While held, no side of any session is read: data waits in the kernel
    // and the peers feel TCP flow control. Releasing resumes reading.
    void holdReading(bool held);

    // How long the side still open may stay silent after the other ended.
    void setSilenceLimit(int ms);
    // How long queued bytes, or a server being dialled, may go without progress.
    void setStallLimit(int ms);
    // How long a TLS handshake, on either side, may take from its start.
    void setHandshakeLimit(int ms);

    const RelaySettings &settings() const { return m_settings; }
    bool isArmed() const { return tmrAll.isActive(); }
    // A session number no client of this relay will be given, at least
    // atLeast: for a session shown beside the relayed ones, a replay's.
    int reserveSessionNumber(int atLeast)
    {
        m_lastNumber = std::max(m_lastNumber + 1, atLeast);
        return m_lastNumber;
    }
    // Of the newest session under way; Closed when there is none.
    StreamSocket::State clientState() const;
    StreamSocket::State serverState() const;
    // The port actually listened on, 0 when not listening.
    quint16 listeningPort() const { return m_listener.listeningPort(); }
    // Bytes waiting to go out towards that side in the newest session;
    // flow control keeps this bounded.
    qint64 pendingSendBytes(Side towards) const;

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
    // After finish(): bytes read from one side that the other never got, over every session.
    void finished(qint64 undeliveredToClient, qint64 undeliveredToServer);

private Q_SLOTS:
    void onRearmTick();
    void onClientArrived(qintptr descriptor);
    void onAcceptFailed();

private:
    bool prepareTls();
    // The limits apply to the sessions under way too.
    void applyLimits();
    void sessionEnded(RelaySession *session, qint64 toClient, qint64 toServer);
    bool oneAtATime() const { return m_settings.maxClients <= 1; }
    RelaySession *newest() const { return m_sessions.empty() ? nullptr : m_sessions.back(); }
    // A client the listener could not hand over, as the listener tells why.
    void reportClientRefused();
    // A client gone before it was taken: counted, told at most once a second.
    void noteClientGone(const StreamSocket &client);
    void reportClientsGone();
    // While every place is taken: how many clients wait, told when it changes.
    void watchWaiting();
    void stopWatchingWaiting();
    // Stamps when it happened, the listening port and the server named, then emits.
    void report(RelayEvent event);

    // The listening endpoint; each session has its own connections.
    ClientListener m_listener;
    QTimer tmrAll;
    RelaySettings m_settings;
    RelaySession::Limits m_limits{DefaultSilenceLimitMs, StreamSocket::DefaultStallLimitMs, DefaultHandshakeLimitMs};
    // TLS made at start, when asked for: Dravlin's CA (kept from one start to
    // the next while its folder stays), and what the run's sessions share.
    std::shared_ptr<CertificateAuthority> m_authority;
    std::shared_ptr<const RelaySession::Run> m_run;

    // In the order their clients were accepted; each removes itself when over.
    std::vector<RelaySession *> m_sessions;
    // Numbers go on across starts, so that rows kept from an earlier run are
    // never taken for a later session's.
    int m_lastNumber = 0;
    bool m_held = false;
    // finish() was called: the sessions under way are the last, nothing re-arms.
    bool m_finishing = false;
    // shutdown() was called and no start() since: no session's end re-arms.
    bool m_stopped = false;
    // Taking a waiting client failed and was told; told again only after a success.
    bool m_acceptFailing = false;
    qint64 m_finishUndelivered[2] = {};
    // Clients gone before they were taken, not yet told, and why the last went.
    qint64 m_goneCount = 0;
    FailureCause m_goneCause;
    QString m_goneReason;
    QTimer m_goneTimer;
    // Clients waiting for a place, as last told.
    int m_waiting = 0;
    QTimer m_waitWatch;
};

#endif
