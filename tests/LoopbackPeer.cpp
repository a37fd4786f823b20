#include "LoopbackPeer.h"

#include <QTcpSocket>
#include <QTest>

#include <sys/socket.h>

LoopbackPeer::LoopbackPeer(QObject *parent)
    : QObject(parent)
{
    connect(&m_server, &QTcpServer::newConnection, this, &LoopbackPeer::onNewConnection);
}

LoopbackPeer::~LoopbackPeer()
{
    drop();
}

bool LoopbackPeer::listen(const QHostAddress &address, quint16 port)
{
    return m_server.listen(address, port);
}

void LoopbackPeer::connectTo(quint16 port, const QHostAddress &address)
{
    drop();
    auto *socket = new QTcpSocket(this);
    adopt(socket);
    connect(socket, &QTcpSocket::connected, this, [this] { m_connected = true; });
    socket->connectToHost(address, port);
}

void LoopbackPeer::setAutoRead(bool autoRead)
{
    m_autoRead = autoRead;
    // Qt would otherwise take everything the kernel has, and the sender would
    // never feel a slow reader.
    if (m_socket)
        m_socket->setReadBufferSize(autoRead ? 0 : 16 * 1024);
    if (autoRead)
        onReadyRead();
}

QByteArray LoopbackPeer::readSome(qint64 maxBytes)
{
    if (!m_socket || !m_socket->isReadable())
        return QByteArray();
    QByteArray bytes = m_socket->read(maxBytes);
    m_received.append(bytes);
    return bytes;
}

void LoopbackPeer::send(const QByteArray &bytes)
{
    if (m_socket)
        m_socket->write(bytes);
}

void LoopbackPeer::close()
{
    if (m_socket)
        m_socket->disconnectFromHost();
}

void LoopbackPeer::reset()
{
    if (!m_socket)
        return;
    // A zero linger time turns close() into a reset.
    const linger hard{1, 0};
    ::setsockopt(static_cast<int>(m_socket->socketDescriptor()), SOL_SOCKET, SO_LINGER, &hard,
                 sizeof hard);
    m_socket->abort();
    m_disconnected = true;
}

bool LoopbackPeer::isConnected() const
{
    return m_socket && m_socket->state() == QAbstractSocket::ConnectedState;
}

bool LoopbackPeer::waitForConnected(int timeoutMs)
{
    return QTest::qWaitFor([this] { return m_connected; }, timeoutMs);
}

bool LoopbackPeer::waitForReceived(qsizetype bytes, int timeoutMs)
{
    return QTest::qWaitFor([this, bytes] { return m_received.size() >= bytes; }, timeoutMs);
}

bool LoopbackPeer::waitForReceivedContains(const QByteArray &needle, int timeoutMs)
{
    return QTest::qWaitFor([this, &needle] { return m_received.contains(needle); }, timeoutMs);
}

bool LoopbackPeer::waitForDisconnected(int timeoutMs)
{
    return QTest::qWaitFor([this] { return m_disconnected; }, timeoutMs);
}

bool LoopbackPeer::waitForAccepted(int count, int timeoutMs)
{
    return QTest::qWaitFor([this, count] { return m_accepted >= count; }, timeoutMs);
}

void LoopbackPeer::onNewConnection()
{
    while (QTcpSocket *socket = m_server.nextPendingConnection()) {
        drop();
        adopt(socket);
        m_connected = true;
        ++m_accepted;
        if (!m_greeting.isEmpty())
            socket->write(m_greeting);
        Q_EMIT accepted();
    }
}

void LoopbackPeer::onReadyRead()
{
    if (!m_socket || !m_autoRead || !m_socket->isReadable())
        return;
    const QByteArray bytes = m_socket->readAll();
    if (bytes.isEmpty())
        return;
    m_received.append(bytes);
    Q_EMIT dataReceived();
}

void LoopbackPeer::onDisconnected()
{
    if (sender() != m_socket)
        return;
    onReadyRead();
    m_disconnected = true;
    Q_EMIT disconnected();
}

void LoopbackPeer::adopt(QTcpSocket *socket)
{
    socket->setParent(this);
    m_socket = socket;
    m_connected = false;
    m_disconnected = false;
    connect(socket, &QTcpSocket::readyRead, this, &LoopbackPeer::onReadyRead);
    connect(socket, &QTcpSocket::disconnected, this, &LoopbackPeer::onDisconnected);
    // A refused or reset connection ends without a disconnected() signal.
    // Checked from the event loop, once Qt has finished changing the state.
    connect(
        socket, &QTcpSocket::errorOccurred, this,
        [this, socket] {
            if (socket == m_socket && !m_disconnected
                && socket->state() == QAbstractSocket::UnconnectedState) {
                onReadyRead();
                m_disconnected = true;
                Q_EMIT disconnected();
            }
        },
        Qt::QueuedConnection);
}

void LoopbackPeer::drop()
{
    if (!m_socket)
        return;
    QTcpSocket *old = m_socket;
    m_socket = nullptr;
    old->disconnect(this);
    old->abort();
    old->deleteLater();
}
