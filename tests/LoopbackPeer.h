#ifndef DRAVLIN_LOOPBACKPEER_H
#define DRAVLIN_LOOPBACKPEER_H

#include <QHostAddress>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

// A test peer on loopback: a fake server (listen(), greets each client and
// records what it gets) or a fake client (connectTo()), one connection at a
// time. The waitFor* helpers spin the event loop and return whether the
// condition held in time.
class LoopbackPeer : public QObject
{
public:
    static constexpr int DefaultTimeoutMs = 5000;

    explicit LoopbackPeer(QObject *parent = nullptr);
    ~LoopbackPeer() override { drop(); }

    bool listen() { return m_server.listen(QHostAddress::LocalHost, 0); }
    quint16 serverPort() const { return m_server.serverPort(); }
    void setGreeting(const QByteArray &greeting) { m_greeting = greeting; }
    int acceptedCount() const { return m_accepted; }
    void connectTo(quint16 port, const QHostAddress &address = QHostAddress::LocalHost);

    // Off: data stays in the socket until readSome() takes it (a slow reader).
    void setAutoRead(bool autoRead);
    QByteArray readSome(qint64 maxBytes);
    void send(const QByteArray &bytes) { if (m_socket) m_socket->write(bytes); }
    void close() { if (m_socket) m_socket->disconnectFromHost(); }
    void reset(); // the other end sees a reset, not an end of stream

    bool wasDisconnected() const { return m_disconnected; }
    const QByteArray &received() const { return m_received; }
    QTcpSocket *socket() const { return m_socket; }

    bool waitForConnected(int ms = DefaultTimeoutMs)
    {
        return QTest::qWaitFor([this] { return m_connected; }, ms);
    }
    bool waitForReceived(qsizetype bytes, int ms = DefaultTimeoutMs)
    {
        return QTest::qWaitFor([this, bytes] { return m_received.size() >= bytes; }, ms);
    }
    bool waitForDisconnected(int ms = DefaultTimeoutMs)
    {
        return QTest::qWaitFor([this] { return m_disconnected; }, ms);
    }
    bool waitForAccepted(int count, int ms = DefaultTimeoutMs)
    {
        return QTest::qWaitFor([this, count] { return m_accepted >= count; }, ms);
    }

private:
    void readAvailable();
    void ended();
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
