#include "StreamSocket.h"

#include "SocketErrorText.h"

#include <QTcpSocket>
#include <QTimer>

namespace {
// A closed connection whose peer stops reading must not linger for ever.
constexpr int LingerMs = 30000;
} // namespace

StreamSocket::StreamSocket(QObject *parent)
    : QObject(parent)
{
    connect(&m_server, &QTcpServer::newConnection, this, &StreamSocket::onNewConnection);
}

StreamSocket::~StreamSocket()
{
    // Aborting raises the socket's own notifications; none may reach us now.
    if (m_socket) {
        m_socket->disconnect(this);
        m_socket->abort();
    }
}

quint16 StreamSocket::listeningPort() const
{
    return m_server.isListening() ? m_server.serverPort() : 0;
}

QHostAddress StreamSocket::peerAddress() const
{
    return m_socket ? m_socket->peerAddress() : QHostAddress();
}

quint16 StreamSocket::peerPort() const
{
    return m_socket ? m_socket->peerPort() : 0;
}

void StreamSocket::close()
{
    m_server.close();
    release();
    m_state = State::Closed;
    m_readPaused = false;
    m_closeAwaitsRead = false;
}

bool StreamSocket::listen()
{
    close();
    m_errorString.clear();
    if (!m_server.listen(QHostAddress::Any, m_localPort)) {
        m_errorString = SocketErrorText::forListen(m_server.serverError(), m_localPort);
        m_state = State::Failed;
        return false;
    }
    m_state = State::Listening;
    return true;
}

bool StreamSocket::accept(int requestId)
{
    QTcpSocket *socket = m_requests.take(requestId);
    if (!socket)
        return false;
    release();
    adopt(socket);
    m_state = State::Connected;
    return true;
}

void StreamSocket::connectToRemote()
{
    close();
    m_errorString.clear();
    auto *socket = new QTcpSocket(this);
    adopt(socket);
    m_state = State::Connecting;
    socket->connectToHost(m_remoteHost, m_remotePort);
}

QByteArray StreamSocket::readAll()
{
    return m_socket ? m_socket->readAll() : QByteArray();
}

bool StreamSocket::send(const QByteArray &data)
{
    if (!m_socket || (m_state != State::Connected && m_state != State::Connecting))
        return false;
    // Qt queues what is written while the connection is still being made and
    // sends it, in order, once it is made.
    return m_socket->write(data) == data.size();
}

qint64 StreamSocket::pendingSendBytes() const
{
    return m_socket ? m_socket->bytesToWrite() : 0;
}

void StreamSocket::setReadPaused(bool paused)
{
    if (m_readPaused == paused)
        return;
    m_readPaused = paused;
    if (!paused) {
        // Resuming usually happens inside a bytesWritten notification; deliver
        // what waited from the event loop rather than re-entering the relay.
        QMetaObject::invokeMethod(this, &StreamSocket::deliverWaiting, Qt::QueuedConnection);
    }
}

void StreamSocket::deliverWaiting()
{
    if (m_readPaused || !m_socket)
        return;
    if (m_socket->bytesAvailable() > 0)
        Q_EMIT dataArrival();
    if (m_closeAwaitsRead && m_socket && !m_readPaused && m_socket->bytesAvailable() == 0) {
        m_closeAwaitsRead = false;
        markPeerClosed();
    }
}

void StreamSocket::onNewConnection()
{
    while (QTcpSocket *socket = m_server.nextPendingConnection()) {
        // Once a request has been accepted the listener is closed; anything the
        // kernel had already queued behind it is turned away.
        if (!m_server.isListening()) {
            socket->abort();
            socket->deleteLater();
            continue;
        }
        const int id = m_nextRequestId++;
        m_requests.insert(id, socket);
        Q_EMIT connectionRequest(id);
        if (QTcpSocket *unclaimed = m_requests.take(id)) {
            unclaimed->abort();
            unclaimed->deleteLater();
        }
    }
}

void StreamSocket::onConnected()
{
    if (sender() != m_socket)
        return;
    m_state = State::Connected;
    Q_EMIT connected();
}

void StreamSocket::onReadyRead()
{
    if (sender() != m_socket || m_readPaused)
        return;
    Q_EMIT dataArrival();
}

void StreamSocket::onBytesWritten()
{
    if (sender() == m_socket)
        Q_EMIT sent();
}

void StreamSocket::onReadChannelFinished()
{
    if (sender() != m_socket)
        return;
    if (m_state != State::Connected && m_state != State::Connecting)
        return;
    // What arrived before the close is delivered before the close is reported.
    if (m_socket->bytesAvailable() > 0) {
        if (m_readPaused) {
            m_closeAwaitsRead = true;
            return;
        }
        Q_EMIT dataArrival();
    }
    if (m_socket && (m_state == State::Connected || m_state == State::Connecting))
        markPeerClosed();
}

void StreamSocket::onErrorOccurred()
{
    if (sender() != m_socket)
        return;
    const QAbstractSocket::SocketError error = m_socket->error();
    if (m_state == State::Connecting) {
        m_errorString = SocketErrorText::forConnect(error, m_socket->errorString());
        m_state = State::Failed;
        Q_EMIT failed(m_errorString);
        return;
    }
    if (m_state == State::Connected) {
        // A reset counts as the peer's close; the orderly close arrives here
        // too, before or after readChannelFinished.
        if (m_socket->bytesAvailable() > 0 && m_readPaused) {
            m_closeAwaitsRead = true;
            return;
        }
        if (m_socket->bytesAvailable() > 0)
            Q_EMIT dataArrival();
        if (m_socket && m_state == State::Connected)
            markPeerClosed();
    }
}

void StreamSocket::adopt(QTcpSocket *socket)
{
    socket->setParent(this);
    socket->setReadBufferSize(ReadBufferBytes);
    m_socket = socket;
    connect(socket, &QTcpSocket::connected, this, &StreamSocket::onConnected);
    connect(socket, &QTcpSocket::readyRead, this, &StreamSocket::onReadyRead);
    connect(socket, &QTcpSocket::bytesWritten, this, &StreamSocket::onBytesWritten);
    connect(socket, &QTcpSocket::readChannelFinished, this, &StreamSocket::onReadChannelFinished);
    connect(socket, &QTcpSocket::errorOccurred, this, &StreamSocket::onErrorOccurred);
}

void StreamSocket::release()
{
    if (!m_socket)
        return;
    QTcpSocket *socket = m_socket;
    m_socket = nullptr;
    socket->disconnect(this);
    // A connection still being made counts too: what a client said before
    // leaving goes out once the server answers, then the connection closes.
    if (socket->state() != QAbstractSocket::UnconnectedState && socket->bytesToWrite() > 0) {
        // Let the queued bytes reach the peer, then let go of the socket.
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QTcpSocket::errorOccurred, socket, &QObject::deleteLater);
        QTimer::singleShot(LingerMs, socket, &QTcpSocket::abort);
        socket->disconnectFromHost();
    } else {
        socket->abort();
        socket->deleteLater();
    }
}

void StreamSocket::markPeerClosed()
{
    m_state = State::Closing;
    Q_EMIT peerClosed();
}
