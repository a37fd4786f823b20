#include "ClientListener.h"

#include "StreamSocket.h"

ClientListener::ClientListener(QObject *parent)
    : QObject(parent)
{
    connect(&m_listener, &TcpListener::descriptorAccepted, this, &ClientListener::onDescriptorAccepted);
    connect(&m_listener, &TcpListener::acceptFailed, this, [this](const StreamCalls::Failure &why) {
        failedWith(why);
        Q_EMIT acceptFailed();
    });
}

ClientListener::~ClientListener()
{
    close();
}

quint16 ClientListener::listeningPort() const
{
    return m_listener.isListening() ? m_listener.serverPort() : 0;
}

bool ClientListener::listen()
{
    close();
    if (m_listener.listenOn(m_localPort))
        return true;
    m_error = m_listener.serverError();
    m_errorString = m_listener.errorString();
    m_systemError = 0;
    return false;
}

void ClientListener::close()
{
    m_listener.stopListening();
}

void ClientListener::onDescriptorAccepted(qintptr descriptor)
{
    const int fd = int(descriptor);
    // Taken after listening stopped, or while another is still being
    // offered: nobody is there to serve it.
    if (!m_listener.isListening() || m_offeredFd >= 0) {
        StreamCalls::close(fd, false, nullptr);
        return;
    }
    m_offeredFd = fd;
    const int id = ++m_offeredId;
    Q_EMIT connectionRequest(id);
    // Not taken: turned away.
    if (m_offeredFd >= 0) {
        StreamCalls::close(m_offeredFd, false, nullptr);
        m_offeredFd = -1;
    }
}

bool ClientListener::acceptInto(int requestId, StreamSocket &connection)
{
    if (requestId != m_offeredId || m_offeredFd < 0)
        return false;
    const int fd = m_offeredFd;
    m_offeredFd = -1;
    QHostAddress peer;
    quint16 peerPort = 0;
    StreamCalls::Failure why;
    if (!StreamCalls::prepareAccepted(fd, &peer, &peerPort, &why)) {
        StreamCalls::close(fd, true, nullptr);
        failedWith(why);
        return false;
    }
    connection.adoptAccepted(fd, peer, peerPort);
    return true;
}

void ClientListener::failedWith(const StreamCalls::Failure &why)
{
    m_error = why.category;
    m_errorString = why.text;
    m_systemError = why.systemError;
}

FailureCause ClientListener::failure() const
{
    if (m_systemError != 0)
        return {FailureCause::Kind::System, m_systemError, m_errorString, {}, {}, {}, {}, {}};
    return {};
}
