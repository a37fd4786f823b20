#ifndef DRAVLIN_CLIENTLISTENER_H
#define DRAVLIN_CLIENTLISTENER_H

#include "FailureCause.h"
#include "StreamCalls.h"
#include "TcpListener.h"

#include <QAbstractSocket>
#include <QObject>
#include <QString>

// The port clients come to. Each connection the system hands over is passed
// on as its descriptor (clientArrived), to be driven by whoever serves it.
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
    // Whether waiting clients are taken (clientArrived) or left in the
    // system's queue. Accepting is on when listening starts.
    void setAccepting(bool accepting) { m_listener.setAccepting(accepting); }
    // Clients waiting in the system's queue to be taken.
    int waitingClients() const { return m_listener.waitingCount(); }
    // Closes a descriptor clientArrived() handed over: the client sees an orderly end.
    static void turnAway(qintptr descriptor);

    // The last failure: Qt's category for it, the system's own text, and as data.
    QAbstractSocket::SocketError error() const { return m_error; }
    QString errorString() const { return m_errorString; }
    FailureCause failure() const;

Q_SIGNALS:
    // A client taken from the system's queue. The receiver owns descriptor:
    // it builds a connection on it (StreamSocket::adoptAccepted()) or turns
    // the client away.
    void clientArrived(qintptr descriptor);
    // A waiting client could not be taken: error() says why.
    void acceptFailed();

private:
    void onDescriptorAccepted(qintptr descriptor);
    void failedWith(const StreamCalls::Failure &why);

    TcpListener m_listener;
    quint16 m_localPort = 0;
    bool m_handingOver = false;
    QAbstractSocket::SocketError m_error = QAbstractSocket::UnknownSocketError;
    QString m_errorString;
    int m_systemError = 0;
};

#endif
