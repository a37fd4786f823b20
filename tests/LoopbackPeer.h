#ifndef DRAVLIN_LOOPBACKPEER_H
#define DRAVLIN_LOOPBACKPEER_H

#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>

// A scriptable TCP peer for tests, on loopback only: either a fake server
// (listen() on 127.0.0.1, OS-picked port, greets and records what it gets) or
// a fake client (connectTo()). It holds one connection at a time; a server
// that accepts a new one lets go of the previous one.
//
// The waitFor* helpers spin the event loop until the condition holds or the
// timeout passes, and return whether it held.
class LoopbackPeer : public QObject
{
    Q_OBJECT

public:
    static constexpr int DefaultTimeoutMs = 5000;

    explicit LoopbackPeer(QObject *parent = nullptr);
    ~LoopbackPeer() override;

    // Server role.
    bool listen(const QHostAddress &address = QHostAddress::LocalHost, quint16 port = 0);
    quint16 serverPort() const { return m_server.serverPort(); }
    void stopListening() { m_server.close(); }
    // Sent to each client as soon as it is accepted.
    void setGreeting(const QByteArray &greeting) { m_greeting = greeting; }
    int acceptedCount() const { return m_accepted; }

    // Client role.
    void connectTo(quint16 port, const QHostAddress &address = QHostAddress::LocalHost);

    // Off: received data stays in the socket until readSome() takes it, which
    // makes a slow reader (and TCP back-pressure towards the sender).
    void setAutoRead(bool autoRead);
    QByteArray readSome(qint64 maxBytes);

    void send(const QByteArray &bytes);
    // Orderly close once what was sent has gone out.
    void close();
    // Abortive close: the peer sees a reset, not an end of stream.
    void reset();

    bool isConnected() const;
    bool wasDisconnected() const { return m_disconnected; }
    const QByteArray &received() const { return m_received; }
    void clearReceived() { m_received.clear(); }
    QTcpSocket *socket() const { return m_socket; }

    bool waitForConnected(int timeoutMs = DefaultTimeoutMs);
    bool waitForReceived(qsizetype bytes, int timeoutMs = DefaultTimeoutMs);
    bool waitForReceivedContains(const QByteArray &needle, int timeoutMs = DefaultTimeoutMs);
    bool waitForDisconnected(int timeoutMs = DefaultTimeoutMs);
    bool waitForAccepted(int count, int timeoutMs = DefaultTimeoutMs);

Q_SIGNALS:
    void accepted();
    void dataReceived();
    void disconnected();

private Q_SLOTS:
    void onNewConnection();
    void onReadyRead();
    void onDisconnected();

private:
    void adopt(QTcpSocket *socket);
    void drop();

    QTcpServer m_server;
    QPointer<QTcpSocket> m_socket;
    QByteArray m_greeting;
    QByteArray m_received;
    int m_accepted = 0;
    bool m_autoRead = true;
    bool m_connected = false;
    bool m_disconnected = false;
};

#endif
