#include "RelaySession.h"

#include <QDateTime>
#include <QSignalBlocker>

#include <algorithm>

RelaySession::RelaySession(int number, std::shared_ptr<const Run> run, const Limits &limits, QObject *parent)
    : QObject(parent)
    , m_number(number)
    , m_run(std::move(run))
{
    wskClient.setObjectName(QStringLiteral("wskClient"));
    wskServeur.setObjectName(QStringLiteral("wskServeur"));
    m_graceTimer.setSingleShot(true);
    m_settleTimer.setInterval(SettlePollMs);
    setLimits(limits);
    wskServeur.setRemotePort(m_run->settings.serverPort);
    wskServeur.setRemoteHost(m_run->settings.serverHost);

    connect(&m_silenceClock, &PeerClock::expired, this, &RelaySession::onSilenceTimeout);
    m_decisionClock.setInterval(UpgradeDetector::DecisionMs);
    connect(&m_decisionClock, &PeerClock::expired, this, [this] {
        if (m_watching && isRelaying())
            sortWatched(m_detector.giveUp(FailureCause::of(FailureCause::Kind::NoDecisiveReply,
                                                           UpgradeDetector::DecisionMs / 1000)),
                        m_detector.holdIsFull());
    });
    connect(&m_graceTimer, &QTimer::timeout, this, [this] {
        if (isLive())
            completeSession(true);
    });
    connect(&m_settleTimer, &QTimer::timeout, this, &RelaySession::settleEnding);
    connect(&wskServeur, &StreamSocket::connected, this, &RelaySession::onServerConnected);
    connect(&wskServeur, &StreamSocket::failed, this, &RelaySession::onServerFailed);
    // One handler per event for both sockets, bound to its side here.
    for (const Side side : {Side::Client, Side::Server}) {
        StreamSocket *s = &socket(side);
        connect(s, &StreamSocket::received, this, [this, side](const QByteArray &bytes) { relayChunk(side, bytes); });
        connect(s, &StreamSocket::sent, this, [this, side] { drained(side); });
        connect(s, &StreamSocket::readEnded, this, [this, side] { readEnded(side); });
        connect(s, &StreamSocket::peerReset, this, [this, side] { reset(side); });
        connect(s, &StreamSocket::stalled, this, [this, side] { stalled(side); });
        connect(s, &StreamSocket::tlsEstablished, this, [this, side] { tlsEstablished(side); });
        connect(s, &StreamSocket::tlsFailed, this, [this, side] { tlsFailed(side); });
        if (side == Side::Client)
            connect(s, &StreamSocket::tlsHelloRead, this, &RelaySession::startServerTls);
        connect(&m_handshakeClock[sideIndex(side)], &PeerClock::expired, this, [this, side] { handshakeOverdue(side); });
    }
}

RelaySession::~RelaySession()
{
    // Owners that want the last rows end the session first: by now the
    // objects its signals reach may be half destroyed.
    const QSignalBlocker quiet(this);
    shutdown();
    wskClient.disconnect(this);
    wskServeur.disconnect(this);
}

void RelaySession::setLimits(const Limits &limits)
{
    m_silenceClock.setInterval(limits.silenceMs);
    wskClient.setStallLimit(limits.stallMs);
    wskServeur.setStallLimit(limits.stallMs);
    for (PeerClock &clock : m_handshakeClock)
        clock.setInterval(limits.handshakeMs);
}

void RelaySession::begin()
{
    const RelaySettings &settings = m_run->settings;
    m_watching = settings.tls.inspectTls && !settings.tls.serverTls;
    m_sessionClock.start();
    m_client = Endpoint::at(wskClient.peerAddress(), wskClient.peerPort());
    m_server = Endpoint::named(settings.serverHost, settings.serverPort);
    updateReading();
    report(RelayEvent::clientConnected());
    // Whoever heard of the client may have stopped everything meanwhile.
    if (!isRelaying())
        return;
    wskServeur.connectToRemote();
    // Dialling starts the server's socket afresh: a hold asked before still applies to it.
    updateReading();
    if (settings.tls.serverTls) {
        // The bridge: the client stays plain, the server gets TLS from the first byte.
        m_upgrade = RelayEvent::Upgrade::Bridge;
        wskServeur.startTls(serverEngine());
    }
}

void RelaySession::shutdown()
{
    if (!isLive())
        return;
    if (isRelaying()) {
        m_end = RelayEvent::End::Stopped;
        enter(SessionState::Ending);
    }
    completeSession(true);
}

void RelaySession::finish(int graceMs)
{
    if (!isLive())
        return;
    m_graceTimer.start(graceMs);
    endSession(RelayEvent::End::Stopped);
    settleEnding();
}

void RelaySession::holdReading(bool held)
{
    m_held = held;
    if (isLive())
        updateReading();
}

void RelaySession::completeSession(bool forced)
{
    // What the last reads report (an end, a reset, a TLS alert) may ask to
    // settle again: the completion under way is the only one.
    if (!isLive() || m_completing)
        return;
    m_completing = true;
    m_graceTimer.stop();
    m_settleTimer.stop();
    for (PeerClock *clock : {&m_silenceClock, &m_decisionClock, &m_handshakeClock[0], &m_handshakeClock[1]})
        clock->stop();
    // Both sides drained first, as one may add to what the other missed; a
    // side that missed bytes never gets an end that looks complete.
    for (StreamSocket *s : {&wskClient, &wskServeur})
        if (s->isOpen())
            s->drainReadable();
    for (const Side side : {Side::Client, Side::Server})
        closeSide(side, missed(side), forced);
    enter(SessionState::Over);
    for (const Side side : {Side::Client, Side::Server}) {
        if (m_undelivered[sideIndex(side)] == 0 && m_ignored[sideIndex(side)] == 0)
            continue;
        const int i = sideIndex(side);
        report(RelayEvent::undeliveredBytes(side, m_undelivered[i], m_ignored[i], m_end, m_resetFailure[i]));
    }
    report(RelayEvent::sessionEnded(m_end, m_endSide, m_bytesFrom[sideIndex(Side::Client)],
                                    m_bytesFrom[sideIndex(Side::Server)], m_sessionClock.elapsed(), m_endCause));
    const int c = sideIndex(Side::Client), s = sideIndex(Side::Server);
    Q_EMIT this->ended(m_undelivered[c] + m_ignored[c], m_undelivered[s] + m_ignored[s]);
}

void RelaySession::report(RelayEvent event)
{
    event.time = QDateTime::currentMSecsSinceEpoch();
    event.session = m_number;
    event.client = m_client;
    event.server = m_server;
    Q_EMIT eventOccurred(event);
}

void RelaySession::relayChunk(Side from, const QByteArray &bytes)
{
    if (m_state == SessionState::Ending) {
        m_ignored[sideIndex(otherSide(from))] += bytes.size();
        return;
    }
    if (m_watching)
        watchForUpgrade(from, bytes);
    else
        forward(from, bytes);
}

void RelaySession::forward(Side from, const QByteArray &bytes)
{
    m_dialogue.feed(from, bytes);
    // Bytes held, then released, were shown and counted when read.
    if (const qsizetype shown = from == Side::Client ? m_detector.takeShown(bytes.size()) : 0; shown < bytes.size()) {
        m_bytesFrom[sideIndex(from)] += bytes.size() - shown;
        Q_EMIT bytesRelayed(from, shown == 0 ? bytes : bytes.sliced(shown), QDateTime::currentMSecsSinceEpoch(),
                            isEncrypted(), m_number);
    }

    StreamSocket &target = socket(otherSide(from));
    if (!target.send(bytes)) {
        m_undelivered[sideIndex(otherSide(from))] += bytes.size();
        return;
    }
    if (target.pendingSendBytes() > SendQueueBound) {
        m_flowPaused[sideIndex(from)] = true;
        updateReading();
    }
    m_silenceClock.touch();
}

void RelaySession::watchForUpgrade(Side from, const QByteArray &bytes)
{
    const bool wasFull = m_detector.holdIsFull();
    sortWatched(m_detector.feed(from, bytes), wasFull);
    showHeld();
}

void RelaySession::showHeld()
{
    // What may be the start of a ClientHello is not a line: it is shown once sorted.
    const QByteArray fresh = m_watching && isRelaying() ? m_detector.takeNewlyHeld() : QByteArray();
    if (fresh.isEmpty())
        return;
    m_bytesFrom[sideIndex(Side::Client)] += fresh.size();
    Q_EMIT bytesRelayed(Side::Client, fresh, QDateTime::currentMSecsSinceEpoch(), false, m_number);
}

void RelaySession::sortWatched(const UpgradeDetector::Parts &parts, bool wasFull)
{
    if (m_detector.phase() == UpgradeDetector::Phase::Abandoned) {
        // Said before the bytes it concerns are forwarded, and only once: the watch ends here.
        m_watching = false;
        report(RelayEvent::inspectionAbandoned(m_detector.abandonCause()));
    }
    for (const UpgradeDetector::Part &part : parts) {
        if (!isRelaying())
            return;
        switch (part.fate) {
        case UpgradeDetector::Fate::Relay:
            forward(part.side, part.bytes);
            break;
        case UpgradeDetector::Fate::Drop: {
            // Plaintext after an accepted upgrade would be taken as sent
            // inside TLS once forwarded: it is never forwarded.
            m_bytesFrom[sideIndex(part.side)] += part.bytes.size() - (part.side == Side::Client ? m_detector.takeShown(part.bytes.size()) : 0);
            report(RelayEvent::plaintextDropped(part.side, part.bytes.size(), m_detector.upgrade()));
            break;
        }
        case UpgradeDetector::Fate::Tls:
            // The switch happens at the client's first TLS bytes, its ClientHello;
            // the server's come once the relay has sent its own.
            if (part.side == Side::Client) {
                m_detector.takeShown(part.bytes.size());
                switchToTls(part.bytes);
            }
            break;
        }
    }
    // While an answer is due the client's bytes wait in the detector, up to a bound.
    if (isRelaying() && wasFull != (m_watching && m_detector.holdIsFull()))
        updateReading();
    // Counted from the last time held bytes moved on: a busy pipelined client is no stalled one.
    const bool released = std::any_of(parts.cbegin(), parts.cend(), [](const UpgradeDetector::Part &part) {
        return part.side == Side::Client && part.fate == UpgradeDetector::Fate::Relay;
    });
    if (!m_watching || !m_detector.holding())
        m_decisionClock.stop();
    else if (released || !m_decisionClock.isArmed())
        m_decisionClock.start();
}

void RelaySession::switchToTls(const QByteArray &clientHello)
{
    m_watching = false;
    m_upgrade = m_detector.upgrade();
    // The rows so far travelled in the clear; an unfinished line ends here.
    breakRow(Side::Client);
    breakRow(Side::Server);
    // Each clock runs before its handshake starts: a handshake that fails at
    // once stops it again.
    startHandshakeClock(Side::Client);
    // The client's handshake stops at its ClientHello: the server is met
    // first (startServerTls), with what the client offered, and checked.
    auto engine = std::make_unique<TlsEngine>(m_run->clientFacing, *m_run->authority, m_run->settings.serverHost);
    engine->holdAfterHello();
    wskClient.startTls(std::move(engine), clientHello);
}

void RelaySession::startServerTls()
{
    if (!isRelaying() || wskServeur.isTls())
        return;
    // The client waits for the server, whose clock now runs instead.
    m_handshakeClock[sideIndex(Side::Client)].stop();
    startHandshakeClock(Side::Server);
    wskServeur.startTls(serverEngine(wskClient.tls()));
}

std::unique_ptr<TlsEngine> RelaySession::serverEngine(const TlsEngine *client) const
{
    TlsEngine::ClientOptions options{m_run->settings.serverHost, m_run->settings.tls.tlsInsecure, {}, {}};
    if (client) {
        options.name = client->hello().requestedName();
        options.alpn = client->hello().offeredAlpn();
    }
    return std::make_unique<TlsEngine>(m_run->trust, options);
}

// A server still being dialled has not begun its handshake: its clock starts
// once connected, dialling having a limit of its own.
void RelaySession::startHandshakeClock(Side side)
{
    if (socket(side).state() == StreamSocket::State::Connected)
        m_handshakeClock[sideIndex(side)].start();
}

// A peer that starts a handshake and stops midway (part of a ClientHello, or a
// server that accepted the upgrade but never speaks TLS) would otherwise hold
// the only client slot for as long as it likes.
void RelaySession::handshakeOverdue(Side side)
{
    const TlsEngine *engine = socket(side).tls();
    if (!isLive() || !engine || engine->state() != TlsEngine::State::Handshaking)
        return;
    const int limit = m_handshakeClock[sideIndex(side)].interval();
    socket(side).abandonTlsHandshake(FailureCause::of(FailureCause::Kind::HandshakeOverdue, limit));
}

void RelaySession::tlsEstablished(Side side)
{
    m_handshakeClock[sideIndex(side)].stop();
    report(RelayEvent::tlsEstablished(side, m_upgrade, socket(side).tls()->summary()));
    const TlsEngine *client = wskClient.tls();
    if (side == Side::Server && client && client->hello().state() == ClientHelloGate::State::Held) {
        // The server passed: the client is answered, with the protocol it chose.
        startHandshakeClock(Side::Client);
        const QByteArray alpn = wskServeur.tls()->alpn();
        wskClient.steerTls([&alpn](TlsEngine &engine) { engine.resumeHello(alpn); });
    }
}

void RelaySession::tlsFailed(Side side)
{
    m_handshakeClock[sideIndex(side)].stop();
    if (!isLive())
        return;
    StreamSocket &s = socket(side);
    const FailureCause cause = s.tlsFailure();
    report(RelayEvent::tlsFailed(side, m_upgrade, cause));
    m_undelivered[sideIndex(side)] += s.tlsDiscardedBytes();
    if (side == Side::Client && m_refusingClient)
        return; // the server's failure ends the session
    const TlsEngine *client = wskClient.tls();
    if (side == Side::Server && client && client->hello().state() == ClientHelloGate::State::Held) {
        // As it would have failed directly: with an alert, before saying anything inside TLS.
        m_refusingClient = true;
        wskClient.steerTls(
            [](TlsEngine &engine) { engine.refuseHello(FailureCause::of(FailureCause::Kind::RefusedAfterServer)); });
        m_refusingClient = false;
        if (!isLive())
            return;
    }
    if (m_state == SessionState::Ending) {
        settleEnding();
        return;
    }
    m_endCause = cause;
    endSession(RelayEvent::End::TlsFailed, side);
}

void RelaySession::drained(Side towards)
{
    const Side source = otherSide(towards);
    if (m_flowPaused[sideIndex(source)] && socket(towards).pendingSendBytes() <= SendQueueBound / 2) {
        m_flowPaused[sideIndex(source)] = false;
        updateReading();
    }
    m_silenceClock.touch();
    if (m_state == SessionState::Ending)
        settleEnding();
}

void RelaySession::onServerConnected()
{
    if (m_state == SessionState::Dialling)
        enter(SessionState::Relaying);
    if (wskServeur.isTls())
        startHandshakeClock(Side::Server);
    // From here on the server is where it was reached, whatever name led there.
    m_server.address = wskServeur.peerAddress();
    report(RelayEvent::serverConnected());
}

void RelaySession::onServerFailed()
{
    if (!isLive())
        return;
    report(RelayEvent::serverFailed(wskServeur.error(), wskServeur.errorString(), wskServeur.failure()));
    endSession(RelayEvent::End::ServerUnreachable, Side::Server);
}

void RelaySession::readEnded(Side side)
{
    // With one side's sending over no upgrade can follow: what the client sent
    // while an answer was due, or while its first bytes could still have begun
    // a ClientHello, goes on as plaintext.
    if (m_watching) {
        m_watching = false;
        if (const QByteArray held = m_detector.takeHeld(); !held.isEmpty())
            forward(Side::Client, held);
        updateReading();
    }
    breakRow(side);
    if (!m_firstEnded)
        m_firstEnded = side;
    // A TLS peer that ended without close_notify may have been cut: the
    // other side's end says the same, never a clean close_notify.
    const TlsEngine *tls = socket(side).tls();
    const bool cut = tls && tls->state() != TlsEngine::State::PeerClosed;
    report(RelayEvent::peerClosed(side, !tls  ? RelayEvent::TlsEnd::NotTls
                                        : cut ? RelayEvent::TlsEnd::FinOnly
                                              : RelayEvent::TlsEnd::CloseNotify));
    // Passed on once everything queued for the other side has been written,
    // as it came (a TLS end without close_notify goes on without one); not to
    // a side that already missed bytes, which is to be reset.
    if (!missed(otherSide(side)))
        socket(otherSide(side)).shutdownWrite(!cut);
    if (m_state == SessionState::Ending) {
        settleEnding();
    } else if (socket(otherSide(side)).hasReadEnded()) {
        endSession(*m_firstEnded == Side::Client ? RelayEvent::End::ClosedByClient
                                                 : RelayEvent::End::ClosedByServer,
                   *m_firstEnded);
    } else {
        m_silenceClock.start();
        keepClocks(); // the silent side is known only now
    }
}

void RelaySession::reset(Side side)
{
    // Decided before closeSide() counts what the client did not take: a
    // reset that lost bytes is never a normal end.
    const bool afterDialogue = side == Side::Client && (m_dialogue.isOver() || wskServeur.hasReadEnded())
        && wskClient.pendingSendBytes() == 0 && m_undelivered[sideIndex(Side::Client)] == 0;
    const StreamSocket &s = socket(side);
    report(RelayEvent::peerReset(side, s.error(), s.errorString(), s.failure(),
                                 afterDialogue ? RelayEvent::End::ClosedByClientAfterDialogue : RelayEvent::End::None));
    // The other side is told the same way, once what it is owed is delivered.
    m_resetAtClose[sideIndex(otherSide(side))] = true;
    closeSide(side);
    if (m_state == SessionState::Ending)
        settleEnding();
    else if (afterDialogue)
        endSession(RelayEvent::End::ClosedByClientAfterDialogue, side);
    else
        endSession(side == Side::Client ? RelayEvent::End::ResetByClient : RelayEvent::End::ResetByServer, side);
}

void RelaySession::stalled(Side side)
{
    // The peer has taken nothing for the whole limit: what is queued for it
    // will not be delivered. It gets a reset, never a clean end.
    closeSide(side, true);
    if (m_state == SessionState::Ending)
        settleEnding();
    else
        endSession(RelayEvent::End::DeliveryStalled, side);
}

void RelaySession::onSilenceTimeout()
{
    if (!isRelaying())
        return;
    // Bytes still on their way: the stall limit watches them instead.
    if (wskClient.undeliveredBytes() > 0 || wskServeur.undeliveredBytes() > 0) {
        m_silenceClock.start();
        return;
    }
    const Side silent = wskClient.hasReadEnded() ? Side::Server : Side::Client;
    endSession(RelayEvent::End::SilenceAfterHalfClose, silent);
}

void RelaySession::endSession(RelayEvent::End how, Side side)
{
    if (!isRelaying())
        return;
    // What the client sent while an answer was due was read before the end:
    // delivered like the rest.
    if (m_watching) {
        m_watching = false;
        if (const QByteArray held = m_detector.takeHeld(); !held.isEmpty())
            forward(Side::Client, held);
    }
    enter(SessionState::Ending);
    m_end = how;
    m_endSide = side;
    m_silenceClock.stop();
    updateReading();
    settleEnding();
}

void RelaySession::settleEnding()
{
    if (m_state != SessionState::Ending || m_completing)
        return;
    // Each side is done once what it is owed has left our queue and, unless
    // it has ended its own sending (after which nothing it sends can make
    // the system reset it), has been acknowledged by the peer. The stall
    // limit bounds the wait on a peer that takes nothing.
    for (const Side side : {Side::Client, Side::Server}) {
        const StreamSocket &s = socket(side);
        if (!s.isOpen())
            continue;
        if (s.pendingSendBytes() > 0 || (!s.hasReadEnded() && s.kernelQueued() > 0)) {
            if (!m_settleTimer.isActive())
                m_settleTimer.start();
            return;
        }
    }
    completeSession();
}

void RelaySession::enter(SessionState next)
{
    // Only these moves exist; any other would be a fault in this class.
    using S = SessionState;
    Q_ASSERT_X((next == S::Relaying && m_state == S::Dialling)
                   || (next == S::Ending && (m_state == S::Dialling || m_state == S::Relaying))
                   || (next == S::Over && m_state == S::Ending),
               "RelaySession::enter", "a session state change that does not exist");
    m_state = next;
}

void RelaySession::updateReading()
{
    // Ending reads everything, to count and drop it: nothing is relayed any
    // more, so nothing waits on the front end or on the other side's queue.
    const bool ending = m_state == SessionState::Ending;
    for (const Side side : {Side::Client, Side::Server})
        socket(side).setReadPaused(!ending
                                   && (m_held || m_flowPaused[sideIndex(side)]
                                       || (side == Side::Client && m_watching && m_detector.holdIsFull())));
    keepClocks();
}

void RelaySession::keepClocks()
{
    // Each clock follows the reading of the peer it waits on.
    const Side silent = wskClient.hasReadEnded() ? Side::Server : Side::Client;
    m_silenceClock.setPaused(socket(silent).isReadPaused());
    m_decisionClock.setPaused(wskServeur.isReadPaused());
    for (const Side side : {Side::Client, Side::Server})
        m_handshakeClock[sideIndex(side)].setPaused(socket(side).isReadPaused());
}

void RelaySession::closeSide(Side side, bool reset, bool forced)
{
    StreamSocket &s = socket(side);
    breakRow(side);
    // An orderly close leaves what the kernel holds to be delivered. With
    // bytes still queued here, or still unacknowledged once the wait is over,
    // it is a reset instead, which loses those the kernel holds as well.
    if (reset || s.pendingSendBytes() > 0 || (forced && s.isOpen() && s.kernelQueued() > 0)) {
        m_undelivered[sideIndex(side)] += s.undeliveredBytes();
        if (const QString why = s.abort(); !why.isEmpty())
            m_resetFailure[sideIndex(side)] = why;
    } else if (s.state() != StreamSocket::State::Closed) {
        // Inside TLS an orderly end is close_notify first, as a direct peer
        // would send it (unless the other side's own end came without one).
        if (s.isTls() && s.isOpen() && !s.isWriteShut())
            s.shutdownWrite();
        s.close();
    }
}

void RelaySession::breakRow(Side side)
{
    Q_EMIT rowBreak(side, QDateTime::currentMSecsSinceEpoch(), isEncrypted(), m_number);
}
