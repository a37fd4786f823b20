#ifndef DRAVLIN_STREAMSOCKET_H
#define DRAVLIN_STREAMSOCKET_H

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTcpServer>

class QTcpSocket;

// One TCP endpoint that either listens or carries a single connection, with
// the small set of operations the relay needs: listen, request/accept,
// connect, read all, send, close, and notifications for each.
//
// Unlike a bare QTcpSocket, it keeps reporting Closing after the peer has
// closed until we close it ourselves, and a close lets queued data drain to
// the peer instead of throwing it away.
class StreamSocket : public QObject
{
    Q_OBJECT

public:
    enum class State { Closed, Listening, Connecting, Connected, Closing, Failed };
    Q_ENUM(State)

    // Bounds what Qt buffers from the network before we read it.
    static constexpr qint64 ReadBufferBytes = qint64{512} * 1024;

    explicit StreamSocket(QObject *parent = nullptr);
    ~StreamSocket() override;

    void setLocalPort(quint16 port) { m_localPort = port; }
    quint16 localPort() const { return m_localPort; }
    void setRemoteHost(const QString &host) { m_remoteHost = host; }
    QString remoteHost() const { return m_remoteHost; }
    void setRemotePort(quint16 port) { m_remotePort = port; }
    quint16 remotePort() const { return m_remotePort; }

    State state() const { return m_state; }
    // Port actually bound while listening (differs from localPort() when that is 0).
    quint16 listeningPort() const;
    QHostAddress peerAddress() const;
    quint16 peerPort() const;
    QString errorString() const { return m_errorString; }

    // Stops listening or ends the connection; data already queued is still delivered.
    void close();
    bool listen();
    bool accept(int requestId);
    void connectToRemote();

    QByteArray readAll();
    bool send(const QByteArray &data);
    qint64 pendingSendBytes() const;

    // While paused, arriving data waits (in Qt's bounded buffer, then the
    // kernel's) and no dataArrival is raised; resuming raises it for what waited.
    void setReadPaused(bool paused);
    bool isReadPaused() const { return m_readPaused; }

Q_SIGNALS:
    void connectionRequest(int requestId);
    void connected();
    void dataArrival();
    void sent();
    // The peer closed or reset the connection; state() is Closing until close().
    void peerClosed();
    // Listening or connecting failed; reason is in French.
    void failed(const QString &reason);

private Q_SLOTS:
    void onNewConnection();
    void onConnected();
    void onReadyRead();
    void onBytesWritten();
    void onReadChannelFinished();
    void onErrorOccurred();
    void deliverWaiting();

private:
    void adopt(QTcpSocket *socket);
    void release();
    void markPeerClosed();

    QTcpServer m_server;
    QPointer<QTcpSocket> m_socket;
    QHash<int, QTcpSocket *> m_requests;
    int m_nextRequestId = 1;
    State m_state = State::Closed;
    QString m_remoteHost;
    QString m_errorString;
    quint16 m_localPort = 0;
    quint16 m_remotePort = 0;
    bool m_readPaused = false;
    bool m_closeAwaitsRead = false;
};

#endif
