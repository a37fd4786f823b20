#include "Relay.h"

#include <QDateTime>
#include <QLocale>
#include <QSignalBlocker>

namespace {

RelayEvent::Upgrade upgradeOf(UpgradeDetector::Protocol protocol)
{
    using Protocol = UpgradeDetector::Protocol;
    using Upgrade = RelayEvent::Upgrade;
    switch (protocol) {
    case Protocol::Smtp:
        return Upgrade::Smtp;
    case Protocol::Pop3:
        return Upgrade::Pop3;
    case Protocol::Imap:
        return Upgrade::Imap;
    case Protocol::Ftp:
        return Upgrade::Ftp;
    case Protocol::Implicit:
        return Upgrade::Implicit;
    case Protocol::None:
        break;
    }
    return Upgrade::None;
}

} // namespace

Relay::Relay(QObject *parent)
    : QObject(parent)
{
    qRegisterMetaType<Side>();
    qRegisterMetaType<RelayEvent>();
    wskClient.setObjectName(QStringLiteral("wskClient"));
    wskServeur.setObjectName(QStringLiteral("wskServeur"));
    tmrAll.setObjectName(QStringLiteral("tmrAll"));
    tmrAll.setInterval(RearmIntervalMs);
    m_silenceTimer.setSingleShot(true);
    m_silenceTimer.setInterval(DefaultSilenceLimitMs);
    m_graceTimer.setSingleShot(true);
    setHandshakeLimit(DefaultHandshakeLimitMs);

    connect(&tmrAll, &QTimer::timeout, this, &Relay::onRearmTick);
    connect(&m_silenceTimer, &QTimer::timeout, this, &Relay::onSilenceTimeout);
    connect(&m_graceTimer, &QTimer::timeout, this, &Relay::onGraceTimeout);
    connect(&wskClient, &StreamSocket::connectionRequest, this, &Relay::onClientConnectionRequest);
    connect(&wskServeur, &StreamSocket::connected, this, &Relay::onServerConnected);
    connect(&wskServeur, &StreamSocket::failed, this, &Relay::onServerFailed);
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
        QTimer &clock = m_handshakeTimer[sideIndex(side)];
        clock.setSingleShot(true);
        connect(&clock, &QTimer::timeout, this, [this, side] { handshakeOverdue(side); });
    }
}

Relay::~Relay()
{
    // Owners usually hold the relay as a member, so by now the objects its
    // signals reach may be half destroyed: close quietly. Owners that want the
    // last rows call shutdown() or finish() first.
    const QSignalBlocker quiet(this);
    shutdown();
    // The sockets outlive this body; their last notifications must not come back here.
    wskClient.disconnect(this);
    wskServeur.disconnect(this);
}

std::optional<RelaySettings::Error> Relay::start(const QString &listenPortText,
                                                 const QString &serverPortText,
                                                 const QString &serverHostText,
                                                 const RelaySettings::Tls &tls)
{
    RelaySettings settings;
    if (auto error = RelaySettings::parse(listenPortText, serverPortText, serverHostText, &settings))
        return error;
    settings.tls = tls;
    start(settings);
    return std::nullopt;
}

void Relay::start(const RelaySettings &settings)
{
    m_settings = settings;
    m_finishing = false;
    if (!prepareTls())
        return;
    wskClient.setLocalPort(settings.listenPort);
    wskServeur.setRemotePort(settings.serverPort);
    wskServeur.setRemoteHost(settings.serverHost);
    tmrAll.start();
}

bool Relay::prepareTls()
{
    const RelaySettings::Tls &tls = m_settings.tls;
    if (!tls.any())
        return true;
    QString error;
    if (tls.inspectTls && !tls.serverTls) {
        const QString directory = tls.caDirectory.isEmpty() ? CertificateAuthority::defaultDirectory() : tls.caDirectory;
        if (!m_authority || m_authority->directory() != directory)
            m_authority = std::make_unique<CertificateAuthority>(directory);
        error = m_authority->ensure();
    }
    // Loading the system's CAs takes tens of milliseconds: once per start, not per client.
    if (error.isEmpty())
        m_trust = TlsEngine::clientContext(tls.extraCaFile, &error);
    if (error.isEmpty()) {
        m_clientFacing = TlsEngine::serverContext();
        if (!m_clientFacing)
            error = tr("TLS impossible : mémoire insuffisante");
    }
    if (error.isEmpty())
        return true;
    RelayEvent unavailable = makeEvent(RelayEvent::Kind::TlsUnavailable);
    unavailable.reason = error;
    report(unavailable);
    return false;
}

void Relay::stop()
{
    shutdown();
    report(makeEvent(RelayEvent::Kind::Stopped));
}

void Relay::shutdown()
{
    // A pending re-arm must not bring a listener back behind a stopped relay.
    tmrAll.stop();
    m_graceTimer.stop();
    if (inSession()) {
        if (isRelaying()) {
            m_end = RelayEvent::End::Stopped;
            enter(SessionState::Ending);
        }
        completeSession(false);
    }
    closeBoth();
}

void Relay::finish(int graceMs)
{
    m_finishing = true;
    tmrAll.stop();
    if (!inSession()) {
        closeBoth();
        QMetaObject::invokeMethod(this, [this] { Q_EMIT finished(0, 0); }, Qt::QueuedConnection);
        return;
    }
    m_graceTimer.start(graceMs);
    endSession(RelayEvent::End::Stopped);
    settleEnding();
}

void Relay::holdReading(bool held)
{
    m_held = held;
    updateReading();
}

void Relay::setStallLimit(int ms)
{
    wskClient.setStallLimit(ms);
    wskServeur.setStallLimit(ms);
}

void Relay::setHandshakeLimit(int ms)
{
    for (QTimer &clock : m_handshakeTimer)
        clock.setInterval(ms);
}

void Relay::onRearmTick()
{
    tmrAll.stop();
    if (inSession())
        return;
    closeBoth();
    if (!wskClient.listen()) {
        RelayEvent failed = makeEvent(RelayEvent::Kind::ListenFailed);
        failed.listenPort = m_settings.listenPort;
        failed.error = wskClient.error();
        failed.reason = wskClient.errorString();
        closeBoth();
        report(failed);
        return;
    }
    // A port the system picked is kept for the next sessions: the client was
    // pointed at it.
    wskClient.setLocalPort(wskClient.listeningPort());
    report(makeEvent(RelayEvent::Kind::Listening));
}

void Relay::onClientConnectionRequest(int requestId)
{
    if (inSession())
        return;
    if (!wskClient.accept(requestId)) {
        // The system would not let the connection be driven: the client is
        // dropped, told by a reset, and the relay goes on listening.
        RelayEvent refused = makeEvent(RelayEvent::Kind::PeerReset);
        refused.side = Side::Client;
        refused.error = wskClient.error();
        refused.reason = wskClient.errorString();
        report(refused);
        return;
    }
    enter(SessionState::Dialling);
    m_flowPaused[0] = m_flowPaused[1] = false;
    m_bytesFrom[0] = m_bytesFrom[1] = 0;
    m_undelivered[0] = m_undelivered[1] = 0;
    m_resetFailure[0].clear();
    m_resetFailure[1].clear();
    m_firstEnded.reset();
    m_end = RelayEvent::End::None;
    m_endCause = {};
    m_detector = UpgradeDetector();
    m_dialogue = DialogueEndWatch();
    m_watching = m_settings.tls.inspectTls && !m_settings.tls.serverTls;
    m_upgrade = RelayEvent::Upgrade::None;
    m_sessionStart = QDateTime::currentMSecsSinceEpoch();
    m_sessionClock.start();
    m_client = clientName();
    updateReading();
    report(makeEvent(RelayEvent::Kind::ClientConnected));
    // What the client says before the server answers is queued, in order,
    // until the connection is made.
    if (!isRelaying())
        return;
    wskServeur.connectToRemote();
    if (m_settings.tls.serverTls) {
        // The bridge: the client stays plain, the server gets TLS from the first byte.
        m_upgrade = RelayEvent::Upgrade::Bridge;
        wskServeur.startTls(serverEngine());
    }
}

void Relay::relayChunk(Side from, const QByteArray &bytes)
{
    if (m_watching)
        watchForUpgrade(from, bytes);
    else
        forward(from, bytes);
}

void Relay::forward(Side from, const QByteArray &bytes)
{
    m_bytesFrom[sideIndex(from)] += bytes.size();
    m_dialogue.feed(from, bytes);
    const qint64 arrived = QDateTime::currentMSecsSinceEpoch();
    Q_EMIT bytesRelayed(from, bytes, arrived, wskClient.isTls() || wskServeur.isTls(), 0);

    StreamSocket &target = socket(otherSide(from));
    if (!target.send(bytes)) {
        m_undelivered[sideIndex(otherSide(from))] += bytes.size();
        return;
    }
    if (target.pendingSendBytes() > SendQueueBound) {
        m_flowPaused[sideIndex(from)] = true;
        updateReading();
    }
    if (m_silenceTimer.isActive())
        m_silenceTimer.start();
}

void Relay::watchForUpgrade(Side from, const QByteArray &bytes)
{
    const bool wasFull = m_detector.holdIsFull();
    const UpgradeDetector::Parts parts = m_detector.feed(from, bytes);
    if (m_detector.phase() == UpgradeDetector::Phase::Abandoned) {
        // Said before the bytes it concerns are forwarded, and only once: the watch ends here.
        m_watching = false;
        RelayEvent abandoned = makeEvent(RelayEvent::Kind::InspectionAbandoned);
        abandoned.reason = m_detector.abandonReason();
        report(abandoned);
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
            m_bytesFrom[sideIndex(part.side)] += part.bytes.size();
            RelayEvent dropped = makeEvent(RelayEvent::Kind::PlaintextDropped);
            dropped.side = part.side;
            dropped.dropped = part.bytes.size();
            dropped.upgrade = upgradeOf(m_detector.protocol());
            report(dropped);
            break;
        }
        case UpgradeDetector::Fate::Tls:
            // The switch happens at the client's first TLS bytes, its ClientHello;
            // the server's come once the relay has sent its own.
            if (part.side == Side::Client)
                switchToTls(part.bytes);
            break;
        }
    }
    // While an answer is due the client's bytes wait in the detector, up to a bound.
    if (isRelaying() && wasFull != (m_watching && m_detector.holdIsFull()))
        updateReading();
}

void Relay::switchToTls(const QByteArray &clientHello)
{
    m_watching = false;
    m_upgrade = upgradeOf(m_detector.protocol());
    // The rows so far travelled in the clear; an unfinished line ends here.
    breakRow(Side::Client);
    breakRow(Side::Server);
    // Each clock runs before its handshake starts: a handshake that fails at
    // once stops it again.
    startHandshakeClock(Side::Client);
    wskClient.startTls(std::make_unique<TlsEngine>(m_clientFacing, *m_authority, m_settings.serverHost), clientHello);
    if (isRelaying()) {
        startHandshakeClock(Side::Server);
        wskServeur.startTls(serverEngine());
    }
}

std::unique_ptr<TlsEngine> Relay::serverEngine() const
{
    return std::make_unique<TlsEngine>(m_trust, TlsEngine::ClientOptions{m_settings.serverHost, m_settings.tls.tlsInsecure});
}

// A server still being dialled has not begun its handshake: its clock starts
// once connected, dialling having a limit of its own.
void Relay::startHandshakeClock(Side side)
{
    if (socket(side).state() == StreamSocket::State::Connected)
        m_handshakeTimer[sideIndex(side)].start();
}

// A peer that starts a handshake and stops midway (part of a ClientHello, or a
// server that accepted the upgrade but never speaks TLS) would otherwise hold
// the only client slot for as long as it likes.
void Relay::handshakeOverdue(Side side)
{
    const TlsEngine *engine = socket(side).tls();
    if (!inSession() || !engine || engine->state() != TlsEngine::State::Handshaking)
        return;
    const int limit = m_handshakeTimer[sideIndex(side)].interval();
    socket(side).abandonTlsHandshake(tr("négociation TLS inachevée après %1 s, côté %2")
                                         .arg(QLocale(QLocale::French).toString(limit / 1000.0, 'g', 3),
                                              side == Side::Client ? tr("client") : tr("serveur")));
}

void Relay::tlsEstablished(Side side)
{
    m_handshakeTimer[sideIndex(side)].stop();
    RelayEvent established = makeEvent(RelayEvent::Kind::TlsEstablished);
    established.side = side;
    established.upgrade = m_upgrade;
    established.tls = socket(side).tls()->summary();
    report(established);
}

void Relay::tlsFailed(Side side)
{
    m_handshakeTimer[sideIndex(side)].stop();
    if (!inSession())
        return;
    StreamSocket &s = socket(side);
    RelayEvent failed = makeEvent(RelayEvent::Kind::TlsFailed);
    failed.side = side;
    failed.upgrade = m_upgrade;
    failed.cause = s.tlsFailure();
    report(failed);
    m_undelivered[sideIndex(side)] += s.tlsDiscardedBytes();
    if (m_state == SessionState::Ending) {
        settleEnding();
        return;
    }
    m_endCause = failed.cause;
    endSession(RelayEvent::End::TlsFailed, side);
}

void Relay::drained(Side towards)
{
    const Side source = otherSide(towards);
    if (m_flowPaused[sideIndex(source)] && socket(towards).pendingSendBytes() <= SendQueueBound / 2) {
        m_flowPaused[sideIndex(source)] = false;
        updateReading();
    }
    if (m_silenceTimer.isActive())
        m_silenceTimer.start();
    if (m_state == SessionState::Ending)
        settleEnding();
}

void Relay::onServerConnected()
{
    if (m_state == SessionState::Dialling)
        enter(SessionState::Relaying);
    if (wskServeur.isTls())
        startHandshakeClock(Side::Server);
    report(makeEvent(RelayEvent::Kind::ServerConnected));
}

void Relay::onServerFailed()
{
    if (!inSession())
        return;
    RelayEvent failed = makeEvent(RelayEvent::Kind::ServerFailed);
    failed.side = Side::Server;
    failed.error = wskServeur.error();
    failed.reason = wskServeur.errorString();
    failed.cause = wskServeur.failure();
    report(failed);
    endSession(RelayEvent::End::ServerUnreachable, Side::Server);
}

void Relay::readEnded(Side side)
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
    RelayEvent closed = makeEvent(RelayEvent::Kind::PeerClosed);
    closed.side = side;
    report(closed);
    // Passed on once everything queued for the other side has been written.
    socket(otherSide(side)).shutdownWrite();
    if (m_state == SessionState::Ending) {
        settleEnding();
    } else if (socket(otherSide(side)).hasReadEnded()) {
        endSession(*m_firstEnded == Side::Client ? RelayEvent::End::ClosedByClient
                                                 : RelayEvent::End::ClosedByServer,
                   *m_firstEnded);
    } else {
        m_silenceTimer.start();
    }
}

void Relay::reset(Side side)
{
    // Decided before closeSide() counts what the client did not take: a
    // reset that lost bytes is never a normal end.
    const bool afterDialogue = side == Side::Client && (m_dialogue.isOver() || wskServeur.hasReadEnded())
        && wskClient.pendingSendBytes() == 0 && m_undelivered[sideIndex(Side::Client)] == 0;
    RelayEvent broken = makeEvent(RelayEvent::Kind::PeerReset);
    broken.side = side;
    broken.error = socket(side).error();
    broken.reason = socket(side).errorString();
    broken.cause = socket(side).failure();
    if (afterDialogue)
        broken.end = RelayEvent::End::ClosedByClientAfterDialogue;
    report(broken);
    closeSide(side);
    if (m_state == SessionState::Ending)
        settleEnding();
    else if (afterDialogue)
        endSession(RelayEvent::End::ClosedByClientAfterDialogue, side);
    else
        endSession(side == Side::Client ? RelayEvent::End::ResetByClient : RelayEvent::End::ResetByServer, side);
}

void Relay::stalled(Side side)
{
    // The peer has taken nothing for the whole limit: what is queued for it
    // will not be delivered. It gets a reset, never a clean end.
    closeSide(side, true);
    if (m_state == SessionState::Ending)
        settleEnding();
    else
        endSession(RelayEvent::End::DeliveryStalled, side);
}

void Relay::onSilenceTimeout()
{
    if (!isRelaying())
        return;
    // Bytes still on their way: the stall limit watches them instead.
    if (wskClient.undeliveredBytes() > 0 || wskServeur.undeliveredBytes() > 0) {
        m_silenceTimer.start();
        return;
    }
    const Side silent = wskClient.hasReadEnded() ? Side::Server : Side::Client;
    endSession(RelayEvent::End::SilenceAfterHalfClose, silent);
}

void Relay::onGraceTimeout()
{
    if (inSession())
        completeSession(!m_finishing);
}

void Relay::endSession(RelayEvent::End how, Side side)
{
    if (!isRelaying())
        return;
    enter(SessionState::Ending);
    m_end = how;
    m_endSide = side;
    m_silenceTimer.stop();
    updateReading();
    settleEnding();
}

void Relay::settleEnding()
{
    if (m_state != SessionState::Ending)
        return;
    bool open = false;
    for (const Side side : {Side::Client, Side::Server}) {
        StreamSocket &s = socket(side);
        if (s.pendingSendBytes() > 0
            && (s.state() == StreamSocket::State::Connected || s.state() == StreamSocket::State::Connecting)) {
            // Delivered first, then the end of stream; the stall limit bounds the wait.
            s.shutdownWrite();
            open = true;
        } else if (s.state() != StreamSocket::State::Closed) {
            closeSide(side);
        }
    }
    if (!open)
        completeSession(!m_finishing);
}

void Relay::completeSession(bool rearm)
{
    if (!inSession())
        return;
    m_graceTimer.stop();
    m_silenceTimer.stop();
    for (QTimer &clock : m_handshakeTimer)
        clock.stop();
    closeBoth();
    enter(SessionState::Idle);
    for (const Side side : {Side::Client, Side::Server}) {
        if (m_undelivered[sideIndex(side)] == 0)
            continue;
        RelayEvent lost = makeEvent(RelayEvent::Kind::Undelivered);
        lost.client = m_client;
        lost.side = side;
        lost.undelivered = m_undelivered[sideIndex(side)];
        lost.end = m_end;
        lost.reason = m_resetFailure[sideIndex(side)];
        report(lost);
    }
    RelayEvent ended = makeEvent(RelayEvent::Kind::SessionEnded);
    ended.client = m_client;
    ended.end = m_end;
    ended.side = m_endSide;
    ended.bytesClientToServer = m_bytesFrom[sideIndex(Side::Client)];
    ended.bytesServerToClient = m_bytesFrom[sideIndex(Side::Server)];
    ended.durationMs = m_sessionClock.elapsed();
    ended.cause = m_endCause;
    report(ended);
    if (m_finishing) {
        const qint64 toClient = m_undelivered[sideIndex(Side::Client)];
        const qint64 toServer = m_undelivered[sideIndex(Side::Server)];
        QMetaObject::invokeMethod(this, [this, toClient, toServer] { Q_EMIT finished(toClient, toServer); },
                                  Qt::QueuedConnection);
    } else if (rearm) {
        tmrAll.start();
    }
}

void Relay::enter(SessionState next)
{
    // Only these moves exist; any other would be a fault in this class.
    [[maybe_unused]] const bool allowed = [this, next] {
        switch (next) {
        case SessionState::Idle:
            return m_state == SessionState::Ending;
        case SessionState::Dialling:
            return m_state == SessionState::Idle;
        case SessionState::Relaying:
            return m_state == SessionState::Dialling;
        case SessionState::Ending:
            return m_state == SessionState::Dialling || m_state == SessionState::Relaying;
        }
        return false;
    }();
    Q_ASSERT_X(allowed, "Relay::enter", "a session state change that does not exist");
    m_state = next;
}

void Relay::updateReading()
{
    for (const Side side : {Side::Client, Side::Server})
        socket(side).setReadPaused(m_held || m_state == SessionState::Ending || m_flowPaused[sideIndex(side)]
                                   || (side == Side::Client && m_watching && m_detector.holdIsFull()));
}

void Relay::closeSide(Side side, bool reset)
{
    StreamSocket &s = socket(side);
    breakRow(side);
    // An orderly close leaves what the kernel holds to be delivered. With
    // bytes still queued here it is a reset instead, which loses those the
    // kernel holds as well.
    if (reset || s.pendingSendBytes() > 0) {
        m_undelivered[sideIndex(side)] += s.undeliveredBytes();
        if (const QString why = s.abort(); !why.isEmpty())
            m_resetFailure[sideIndex(side)] = why;
    } else if (s.state() != StreamSocket::State::Closed) {
        s.close();
    }
}

void Relay::closeBoth()
{
    closeSide(Side::Client);
    closeSide(Side::Server);
}

void Relay::breakRow(Side side)
{
    Q_EMIT rowBreak(side, QDateTime::currentMSecsSinceEpoch(), wskClient.isTls() || wskServeur.isTls(), 0);
}

RelayEvent Relay::makeEvent(RelayEvent::Kind kind) const
{
    RelayEvent e;
    e.kind = kind;
    e.time = QDateTime::currentMSecsSinceEpoch();
    e.listenPort = wskClient.listeningPort();
    if (inSession())
        e.client = m_client;
    e.server = serverName();
    return e;
}

void Relay::report(const RelayEvent &event)
{
    Q_EMIT eventOccurred(event);
}

QString Relay::clientName() const
{
    // The listener is dual-stack, so IPv4 clients arrive as ::ffff:a.b.c.d;
    // show them the way their user knows them.
    const QHostAddress address = wskClient.peerAddress();
    bool isV4 = false;
    const quint32 v4 = address.toIPv4Address(&isV4);
    return RelayEvent::hostPort(isV4 ? QHostAddress(v4).toString() : address.toString(), wskClient.peerPort());
}

QString Relay::serverName() const
{
    return RelayEvent::hostPort(m_settings.serverHost, m_settings.serverPort);
}
