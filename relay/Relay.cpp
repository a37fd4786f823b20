#include "Relay.h"

#include <QDateTime>
#include <QSignalBlocker>

#include <algorithm>

namespace {
// At most one report a second of clients gone before they were taken.
constexpr int GoneReportMs = 1000;
// How often the queue of clients waiting for a place is looked at while
// every place is taken: the system tells no one when a client joins it.
constexpr int WaitWatchMs = 250;
} // namespace

Relay::Relay(QObject *parent)
    : QObject(parent)
{
    qRegisterMetaType<Side>();
    qRegisterMetaType<RelayEvent>();
    m_listener.setObjectName(QStringLiteral("wskClient"));
    tmrAll.setObjectName(QStringLiteral("tmrAll"));
    tmrAll.setInterval(RearmIntervalMs);
    connect(&tmrAll, &QTimer::timeout, this, &Relay::onRearmTick);
    connect(&m_listener, &ClientListener::clientArrived, this, &Relay::onClientArrived);
    connect(&m_listener, &ClientListener::acceptFailed, this, &Relay::onAcceptFailed);
    // A burst of clients gone before they were taken (a scan, a client that
    // gave up) makes one line a second, not one each.
    m_goneTimer.setSingleShot(true);
    m_goneTimer.setInterval(GoneReportMs);
    connect(&m_goneTimer, &QTimer::timeout, this, &Relay::reportClientsGone);
    m_waitWatch.setInterval(WaitWatchMs);
    connect(&m_waitWatch, &QTimer::timeout, this, &Relay::watchWaiting);
}

Relay::~Relay()
{
    // Owners usually hold the relay as a member, so by now the objects its
    // signals reach may be half destroyed: close quietly. Owners that want the
    // last rows call shutdown() or finish() first.
    const QSignalBlocker quiet(this);
    shutdown();
}

void Relay::start(const RelaySettings &settings)
{
    m_settings = settings;
    m_settings.maxClients = std::clamp(settings.maxClients, 1, RelaySettings::MaxClients);
    if (m_stopped) {
        // Sessions a Stop left delivering end now: the new run has its own.
        const std::vector<RelaySession *> sessions = m_sessions;
        for (RelaySession *session : sessions)
            session->shutdown();
    }
    m_finishing = false;
    m_stopped = false;
    if (!prepareTls())
        return;
    m_listener.setLocalPort(m_settings.listenPort);
    tmrAll.start();
}

bool Relay::prepareTls()
{
    auto run = std::make_shared<RelaySession::Run>();
    run->settings = m_settings;
    const RelaySettings::Tls &tls = m_settings.tls;
    FailureCause error;
    if (tls.inspectTls && !tls.serverTls) {
        const QString directory = tls.caDirectory.isEmpty() ? CertificateAuthority::defaultDirectory() : tls.caDirectory;
        if (!m_authority || m_authority->directory() != directory)
            m_authority = std::make_shared<CertificateAuthority>(directory);
        error = m_authority->ensure();
        run->authority = m_authority;
    }
    // Loading the system's CAs takes tens of milliseconds: once per start, not per client.
    if (tls.any() && error.isNone())
        run->trust = TlsEngine::clientContext(tls.extraCaFile, &error);
    if (tls.any() && error.isNone()) {
        run->clientFacing = TlsEngine::serverContext();
        if (!run->clientFacing)
            error = FailureCause::of(FailureCause::Kind::TlsOutOfMemory);
    }
    if (error.isNone()) {
        m_run = std::move(run);
        return true;
    }
    report(RelayEvent::tlsUnavailable(error));
    return false;
}

void Relay::stop()
{
    // A pending re-arm must not bring a listener back behind a stopped relay.
    tmrAll.stop();
    m_stopped = true;
    m_listener.close();
    // Each session leaves the list as it ends, possibly at once.
    const std::vector<RelaySession *> sessions = m_sessions;
    for (RelaySession *session : sessions)
        session->finish(StopGraceMs);
    report(RelayEvent::stopped());
}

void Relay::shutdown()
{
    // A pending re-arm must not bring a listener back behind a stopped relay.
    tmrAll.stop();
    m_stopped = true;
    // Each session leaves the list as it ends; one may be ending already,
    // when this is called from what its end reported.
    const std::vector<RelaySession *> sessions = m_sessions;
    for (RelaySession *session : sessions)
        session->shutdown();
    m_listener.close();
    stopWatchingWaiting();
    reportClientsGone();
}

void Relay::finish(int graceMs)
{
    m_finishing = true;
    tmrAll.stop();
    m_listener.close();
    stopWatchingWaiting();
    reportClientsGone();
    m_finishUndelivered[0] = m_finishUndelivered[1] = 0;
    if (m_sessions.empty()) {
        QMetaObject::invokeMethod(this, [this] { Q_EMIT finished(0, 0); }, Qt::QueuedConnection);
        return;
    }
    // A session may end at once and leave the list.
    const std::vector<RelaySession *> sessions = m_sessions;
    for (RelaySession *session : sessions)
        session->finish(graceMs);
}

void Relay::holdReading(bool held)
{
    m_held = held;
    for (RelaySession *session : m_sessions)
        session->holdReading(held);
}

void Relay::setSilenceLimit(int ms)
{
    m_limits.silenceMs = ms;
    applyLimits();
}

void Relay::setStallLimit(int ms)
{
    m_limits.stallMs = ms;
    applyLimits();
}

void Relay::setHandshakeLimit(int ms)
{
    m_limits.handshakeMs = ms;
    applyLimits();
}

void Relay::applyLimits()
{
    for (RelaySession *session : m_sessions)
        session->setLimits(m_limits);
}

StreamSocket::State Relay::clientState() const
{
    return newest() ? newest()->clientState() : StreamSocket::State::Closed;
}

StreamSocket::State Relay::serverState() const
{
    return newest() ? newest()->serverState() : StreamSocket::State::Closed;
}

qint64 Relay::pendingSendBytes(Side towards) const
{
    return newest() ? newest()->pendingSendBytes(towards) : 0;
}

void Relay::onRearmTick()
{
    tmrAll.stop();
    if (oneAtATime() && !m_sessions.empty())
        return;
    m_listener.close();
    m_listener.setAccepting(int(m_sessions.size()) < m_settings.maxClients);
    if (!m_listener.listen()) {
        RelayEvent failed = RelayEvent::listenFailed(m_settings.listenPort, m_listener.error(), m_listener.errorString());
        m_listener.close();
        report(failed);
        return;
    }
    // A port the system picked is kept for the next sessions: the client was
    // pointed at it.
    m_listener.setLocalPort(m_listener.listeningPort());
    report(RelayEvent::listening());
}

void Relay::onClientArrived(qintptr descriptor)
{
    if (m_finishing || m_stopped || int(m_sessions.size()) >= m_settings.maxClients) {
        ClientListener::turnAway(descriptor);
        return;
    }
    m_acceptFailing = false;
    // The number is the session's only once its client is taken.
    const int number = m_lastNumber + 1;
    auto *session = new RelaySession(oneAtATime() ? 0 : number, m_run, m_limits, this);
    if (!session->takeClient(descriptor)) {
        // Mostly a client that reset while it waited: dropped, counted, and
        // the relay goes on listening.
        noteClientGone(session->client());
        delete session;
        return;
    }
    m_lastNumber = number;
    m_sessions.push_back(session);
    if (oneAtATime()) {
        m_listener.close(); // the port closes: a second client is refused
    } else if (int(m_sessions.size()) >= m_settings.maxClients) {
        m_listener.setAccepting(false); // further clients wait in the system's queue
        if (!m_waitWatch.isActive())
            m_waitWatch.start();
    }
    connect(session, &RelaySession::bytesRelayed, this, &Relay::bytesRelayed);
    connect(session, &RelaySession::rowBreak, this, &Relay::rowBreak);
    connect(session, &RelaySession::eventOccurred, this, &Relay::eventOccurred);
    connect(session, &RelaySession::ended, this,
            [this, session](qint64 toClient, qint64 toServer) { sessionEnded(session, toClient, toServer); });
    session->holdReading(m_held);
    session->begin();
}

void Relay::onAcceptFailed()
{
    // The client stays queued and is taken once the system allows; told
    // once, not at every retry.
    if (m_acceptFailing)
        return;
    m_acceptFailing = true;
    reportClientRefused();
}

void Relay::reportClientRefused()
{
    report(RelayEvent::peerReset(Side::Client, m_listener.error(), m_listener.errorString(), m_listener.failure()));
}

void Relay::noteClientGone(const StreamSocket &client)
{
    ++m_goneCount;
    m_goneCause = client.failure();
    m_goneReason = client.errorString();
    if (!m_goneTimer.isActive())
        reportClientsGone();
}

void Relay::reportClientsGone()
{
    if (m_goneCount == 0)
        return;
    const RelayEvent gone = RelayEvent::clientsGone(m_goneCount, m_goneCause, m_goneReason);
    m_goneCount = 0;
    // Those gone within the next second are told together then.
    m_goneTimer.start();
    report(gone);
}

void Relay::watchWaiting()
{
    const bool full = int(m_sessions.size()) >= m_settings.maxClients;
    // Not full, those waiting are about to be taken; the watch ends once none is left.
    const int waiting = m_listener.isListening() ? m_listener.waitingClients() : 0;
    if (!full && waiting == 0)
        m_waitWatch.stop();
    if (waiting == m_waiting)
        return;
    m_waiting = waiting;
    report(RelayEvent::clientsWaiting(waiting, int(m_sessions.size()), m_settings.maxClients));
}

void Relay::stopWatchingWaiting()
{
    // Those still waiting are refused as the port closes.
    m_waitWatch.stop();
    m_waiting = 0;
}

void Relay::sessionEnded(RelaySession *session, qint64 toClient, qint64 toServer)
{
    const auto at = std::find(m_sessions.begin(), m_sessions.end(), session);
    if (at == m_sessions.end())
        return;
    m_sessions.erase(at);
    // Its signals may still be on their way out of it.
    session->deleteLater();
    if (m_finishing) {
        m_finishUndelivered[0] += toClient;
        m_finishUndelivered[1] += toServer;
        if (m_sessions.empty()) {
            const qint64 lostToClient = m_finishUndelivered[0];
            const qint64 lostToServer = m_finishUndelivered[1];
            QMetaObject::invokeMethod(
                this, [this, lostToClient, lostToServer] { Q_EMIT finished(lostToClient, lostToServer); },
                Qt::QueuedConnection);
        }
        return;
    }
    if (m_stopped)
        return;
    if (oneAtATime())
        tmrAll.start();
    else if (m_listener.isListening())
        m_listener.setAccepting(true); // the next client waiting, if any, is served
}

void Relay::report(RelayEvent event)
{
    event.time = QDateTime::currentMSecsSinceEpoch();
    // A failed listen names the port it asked for; every other event the one listened on.
    if (event.kind != RelayEvent::Kind::ListenFailed)
        event.listenPort = m_listener.listeningPort();
    event.server = Endpoint::named(m_settings.serverHost, m_settings.serverPort);
    Q_EMIT eventOccurred(event);
}
