#ifndef DRAVLIN_CLIENTLISTENER_H
#define DRAVLIN_CLIENTLISTENER_H

#include "FailureCause.h"
#include "StreamCalls.h"
#include "TcpListener.h"

#include <QAbstractSocket>
#include <QObject>
#include <QString>

class StreamSocket;

// The port clients come to. Each connection the system hands over is offered
// (connectionRequest) and handed to a StreamSocket that then carries it, or
// turned away when nobody takes it.
class ClientListener : public QObject
{
    Q_OBJECT

public:
    explicit ClientListener(QObject *parent = nullptr);
    ~ClientListener() override;

    void setLocalPort(quint16 port) { m_localPort = port; }
    bool listen();
    void close();
    bool isListening() const { return m_listener.isListening(); }
    // The port actually bound while listening (differs from the one asked when that is 0), else 0.
    quint16 listeningPort() const;
    // Whether waiting clients are taken (connectionRequest) or left in the
    // system's queue. Accepting is on when listening starts.
    void setAccepting(bool accepting) { m_listener.setAccepting(accepting); }
    // Clients waiting in the system's queue to be taken.
    int waitingClients() const { return m_listener.waitingCount(); }
    // Hands the connection offered by connectionRequest(requestId) to
    // connection; only valid while that signal is being delivered. False,
    // with error() here, when the system would not let it be driven: the
    // client is then dropped with a reset.
    bool acceptInto(int requestId, StreamSocket &connection);

    // The last failure: Qt's category for it, the system's own text, and as data.
    QAbstractSocket::SocketError error() const { return m_error; }
    QString errorString() const { return m_errorString; }
    FailureCause failure() const;

Q_SIGNALS:
    void connectionRequest(int requestId);
    // A waiting client could not be taken: error() says why.
    void acceptFailed();

private:
    void onDescriptorAccepted(qintptr descriptor);
    void failedWith(const StreamCalls::Failure &why);

    TcpListener m_listener;
    quint16 m_localPort = 0;
    int m_offeredFd = -1;
    int m_offeredId = 0;
    QAbstractSocket::SocketError m_error = QAbstractSocket::UnknownSocketError;
    QString m_errorString;
    int m_systemError = 0;
};

#endif
