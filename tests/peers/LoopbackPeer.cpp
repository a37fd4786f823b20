#include "LoopbackPeer.h"
#include <sys/socket.h>

LoopbackPeer::LoopbackPeer(QObject *parent) : QObject(parent)
{
    connect(&m_server, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket *socket = m_server.nextPendingConnection()) {
            ++m_accepted;
            adopt(socket);
            socket->write(m_greeting);
        }
    });
}

bool LoopbackPeer::listenWithFullQueue()
{
    m_server.setListenBacklogSize(0);
    if (!listen())
        return false;
    m_server.pauseAccepting();
    m_filler.connectToHost(QHostAddress::LocalHost, serverPort());
    return m_filler.waitForConnected(5000);
}

void LoopbackPeer::connectTo(quint16 port, const QHostAddress &address)
{
    adopt(new QTcpSocket(this));
    m_socket->connectToHost(address, port);
}

void LoopbackPeer::reset()
{
    const linger hard{1, 0}; // zero linger: close() sends a reset
    ::setsockopt(int(m_socket->socketDescriptor()), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    m_socket->abort();
    m_disconnected = true;
}

void LoopbackPeer::adopt(QTcpSocket *socket)
{
    drop();
    m_socket = socket;
    m_disconnected = false;
    m_connected = socket->state() == QAbstractSocket::ConnectedState; // accepted, not dialled
    const auto ended = [this] { readAll(); m_disconnected = true; };
    connect(socket, &QTcpSocket::connected, this, [this] { m_connected = true; });
    connect(socket, &QTcpSocket::readyRead, this, &LoopbackPeer::readAll);
    connect(socket, &QTcpSocket::disconnected, this, ended);
    // A refused or reset connection ends without disconnected(); checked once Qt has settled the state.
    connect(socket, &QTcpSocket::errorOccurred, this, [this, socket, ended] {
        if (socket == m_socket && socket->state() == QAbstractSocket::UnconnectedState)
            ended();
    }, Qt::QueuedConnection);
}

void LoopbackPeer::drop()
{
    if (!m_socket)
        return;
    m_socket->disconnect(this);
    m_socket->abort();
    m_socket->deleteLater();
}
