#include "Relay.h"

#include <QDateTime>
#include <QSignalBlocker>

Relay::Relay(QObject *parent)
    : QObject(parent)
{
    qRegisterMetaType<Side>();
    wskClient.setObjectName(QStringLiteral("wskClient"));
    wskServeur.setObjectName(QStringLiteral("wskServeur"));
    tmrAll.setObjectName(QStringLiteral("tmrAll"));
    tmrAll.setInterval(RearmIntervalMs);

    connect(&tmrAll, &QTimer::timeout, this, &Relay::onRearmTick);
    connect(&wskClient, &StreamSocket::connectionRequest, this, &Relay::onClientConnectionRequest);
    connect(&wskClient, &StreamSocket::dataArrival, this, &Relay::onClientData);
    connect(&wskServeur, &StreamSocket::dataArrival, this, &Relay::onServerData);
    connect(&wskClient, &StreamSocket::sent, this, &Relay::onClientSent);
    connect(&wskServeur, &StreamSocket::sent, this, &Relay::onServerSent);
    connect(&wskServeur, &StreamSocket::connected, this, &Relay::onServerConnected);
    connect(&wskServeur, &StreamSocket::failed, this, &Relay::onServerFailed);
    connect(&wskClient, &StreamSocket::peerClosed, this, &Relay::onClientClosed);
    connect(&wskServeur, &StreamSocket::peerClosed, this, &Relay::onServerClosed);
}

Relay::~Relay()
{
    // Owners usually hold the relay as a member, so by now the objects its
    // signals reach may be half destroyed: close quietly. Owners that want the
    // last rows call shutdown() first.
    const QSignalBlocker quiet(this);
    shutdown();
    // The sockets outlive this body; their last notifications must not come back here.
    wskClient.disconnect(this);
    wskServeur.disconnect(this);
}

QString Relay::start(const QString &listenPortText, const QString &serverPortText,
                     const QString &serverHostText)
{
    RelaySettings settings;
    QString error;
    if (!RelaySettings::parse(listenPortText, serverPortText, serverHostText, &settings, &error))
        return error;
    start(settings);
    return QString();
}

void Relay::start(const RelaySettings &settings)
{
    m_settings = settings;
    wskClient.setLocalPort(settings.listenPort);
    tmrAll.start();
    wskServeur.setRemotePort(settings.serverPort);
    wskServeur.setRemoteHost(settings.serverHost);
}

void Relay::stop()
{
    shutdown();
    report(Event::Stopped, QStringLiteral("Relais arrêté"));
}

void Relay::shutdown()
{
    // A pending re-arm must not bring a listener back behind a stopped relay.
    tmrAll.stop();
    closeBoth();
}

void Relay::holdReading(bool held)
{
    m_readingHeld = held;
    if (held) {
        wskClient.setReadPaused(true);
        wskServeur.setReadPaused(true);
        return;
    }
    // Each side stays paused while its own send queue is over the bound.
    wskClient.setReadPaused(wskServeur.pendingSendBytes() > SendQueueBound);
    wskServeur.setReadPaused(wskClient.pendingSendBytes() > SendQueueBound);
}

void Relay::finish(int graceMs)
{
    Q_UNUSED(graceMs)
    const qint64 toClient = wskClient.pendingSendBytes();
    const qint64 toServer = wskServeur.pendingSendBytes();
    shutdown();
    QTimer::singleShot(0, this, [this, toClient, toServer] { Q_EMIT finished(toClient, toServer); });
}

void Relay::onRearmTick()
{
    closeBoth();
    const bool listening = wskClient.listen();
    tmrAll.stop();
    if (!listening) {
        const QString reason = wskClient.errorString();
        closeBoth();
        report(Event::ListenFailed, QStringLiteral("Écoute impossible : %1. Relais arrêté.").arg(reason));
        return;
    }
    report(Event::Listening, QStringLiteral("En écoute sur le port %1").arg(wskClient.listeningPort()));
}

void Relay::onClientConnectionRequest(int requestId)
{
    m_capture[sideIndex(Side::Client)].reset();
    m_capture[sideIndex(Side::Server)].reset();
    // Dial first: the client may start talking before the server answers, and
    // what it says is queued until the connection is made.
    wskServeur.connectToRemote();
    wskClient.close();
    wskClient.accept(requestId);
    report(Event::ClientConnected,
           QStringLiteral("Client connecté depuis %1 ; connexion à %2…")
               .arg(clientName(), serverName()));
}

void Relay::onClientData()
{
    relayChunk(Side::Client);
}

void Relay::onServerData()
{
    relayChunk(Side::Server);
}

void Relay::relayChunk(Side from)
{
    StreamSocket &source = socket(from);
    StreamSocket &target = socket(otherSide(from));
    const QByteArray chunk = source.readAll();
    if (chunk.isEmpty())
        return;

    const LineCapture::Rows rows = m_capture[sideIndex(from)].feed(chunk);
    if (!rows.isEmpty())
        Q_EMIT rowsCaptured(from, rows, QDateTime::currentMSecsSinceEpoch());

    // A side that has closed, or is closing, gets nothing more.
    const StreamSocket::State state = target.state();
    if (state == StreamSocket::State::Closed || state == StreamSocket::State::Closing)
        return;
    if (target.send(chunk) && target.pendingSendBytes() > SendQueueBound)
        source.setReadPaused(true);
}

void Relay::onClientSent()
{
    resumeAfterDrain(Side::Client);
}

void Relay::onServerSent()
{
    resumeAfterDrain(Side::Server);
}

void Relay::resumeAfterDrain(Side drained)
{
    StreamSocket &source = socket(otherSide(drained));
    if (!m_readingHeld && source.isReadPaused() && socket(drained).pendingSendBytes() <= SendQueueBound / 2)
        source.setReadPaused(false);
}

void Relay::onServerConnected()
{
    report(Event::ServerConnected, QStringLiteral("Connecté au serveur %1").arg(serverName()));
}

void Relay::onServerFailed(const QString &reason)
{
    closeSide(Side::Client);
    closeSide(Side::Server);
    tmrAll.start();
    report(Event::ServerFailed,
           QStringLiteral("Connexion à %1 impossible : %2. Client déconnecté, nouvelle écoute.")
               .arg(serverName(), reason));
}

void Relay::onClientClosed()
{
    peerClosed(Side::Client);
    report(Event::ClosedByClient, QStringLiteral("Connexion fermée par le client"));
}

void Relay::onServerClosed()
{
    peerClosed(Side::Server);
    report(Event::ClosedByServer, QStringLiteral("Connexion fermée par le serveur"));
}

void Relay::peerClosed(Side side)
{
    flushTail(side);
    // Nothing will drain towards a closed peer: let the other side be read
    // again, so its data is still shown (though no longer forwarded).
    if (!m_readingHeld)
        socket(otherSide(side)).setReadPaused(false);
    if (!tmrAll.isActive())
        tmrAll.start();
}

void Relay::closeSide(Side side)
{
    StreamSocket &s = socket(side);
    flushTail(side);
    if (s.state() != StreamSocket::State::Closed)
        s.close();
}

void Relay::closeBoth()
{
    closeSide(Side::Client);
    closeSide(Side::Server);
}

void Relay::flushTail(Side side)
{
    const LineCapture::Rows rows = m_capture[sideIndex(side)].flush();
    if (!rows.isEmpty())
        Q_EMIT rowsCaptured(side, rows, QDateTime::currentMSecsSinceEpoch());
}

void Relay::report(Event event, const QString &message)
{
    Q_EMIT eventOccurred(event, message);
}

QString Relay::clientName() const
{
    // The listener is dual-stack, so IPv4 clients arrive as ::ffff:a.b.c.d;
    // show them the way their user knows them.
    const QHostAddress address = wskClient.peerAddress();
    bool isV4 = false;
    const quint32 v4 = address.toIPv4Address(&isV4);
    if (isV4)
        return QStringLiteral("%1:%2").arg(QHostAddress(v4).toString()).arg(wskClient.peerPort());
    return QStringLiteral("[%1]:%2").arg(address.toString()).arg(wskClient.peerPort());
}

QString Relay::serverName() const
{
    return QStringLiteral("%1:%2").arg(m_settings.serverHost).arg(m_settings.serverPort);
}
