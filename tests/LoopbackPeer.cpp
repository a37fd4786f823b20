#include "LoopbackPeer.h"

#include <sys/socket.h>

LoopbackPeer::LoopbackPeer(QObject *parent)
    : QObject(parent)
{
    connect(&m_server, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket *socket = m_server.nextPendingConnection()) {
            adopt(socket);
            m_connected = true;
            ++m_accepted;
            if (!m_greeting.isEmpty())
                socket->write(m_greeting);
        }
    });
}

void LoopbackPeer::connectTo(quint16 port, const QHostAddress &address)
{
    auto *socket = new QTcpSocket(this);
    adopt(socket);
    connect(socket, &QTcpSocket::connected, this, [this] { m_connected = true; });
    socket->connectToHost(address, port);
}

void LoopbackPeer::setAutoRead(bool autoRead)
{
    m_autoRead = autoRead;
    // Unbounded, Qt would take all the kernel has and the sender would never
    // feel a slow reader.
    if (m_socket)
        m_socket->setReadBufferSize(autoRead ? 0 : 16 * 1024);
    readAvailable();
}

QByteArray LoopbackPeer::readSome(qint64 maxBytes)
{
    if (!m_socket || !m_socket->isReadable())
        return {};
    const QByteArray bytes = m_socket->read(maxBytes);
    m_received.append(bytes);
    return bytes;
}

void LoopbackPeer::reset()
{
    if (!m_socket)
        return;
    const linger hard{1, 0}; // zero linger: close() sends a reset
    ::setsockopt(int(m_socket->socketDescriptor()), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    m_socket->abort();
    m_disconnected = true;
}

void LoopbackPeer::readAvailable()
{
    if (m_socket && m_autoRead && m_socket->isReadable())
        m_received.append(m_socket->readAll());
}

void LoopbackPeer::ended()
{
    readAvailable();
    m_disconnected = true;
}

void LoopbackPeer::adopt(QTcpSocket *socket)
{
    drop();
    socket->setParent(this);
    m_socket = socket;
    m_connected = m_disconnected = false;
    connect(socket, &QTcpSocket::readyRead, this, &LoopbackPeer::readAvailable);
    connect(socket, &QTcpSocket::disconnected, this, &LoopbackPeer::ended);
    // A refused or reset connection ends without disconnected(); checked once
    // Qt has finished changing the state.
    connect(
        socket, &QTcpSocket::errorOccurred, this,
        [this, socket] {
            if (socket == m_socket && socket->state() == QAbstractSocket::UnconnectedState)
                ended();
        },
        Qt::QueuedConnection);
}

void LoopbackPeer::drop()
{
    if (QTcpSocket *old = m_socket) {
        m_socket = nullptr;
        old->disconnect(this);
        old->abort();
        old->deleteLater();
    }
}
