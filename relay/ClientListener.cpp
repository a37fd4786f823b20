#include "ClientListener.h"

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
    // Taken after listening stopped, or while another is still being
    // handed over: nobody is there to serve it.
    if (!m_listener.isListening() || m_handingOver) {
        turnAway(descriptor);
        return;
    }
    m_handingOver = true;
    Q_EMIT clientArrived(descriptor);
    m_handingOver = false;
}

void ClientListener::turnAway(qintptr descriptor)
{
    StreamCalls::close(int(descriptor), false, nullptr);
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
