#pragma once

#include <QHostAddress>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

// A test peer on loopback, one connection at a time: a fake server (listen(), greets
// each client) or a fake client (connectTo()), recording what it receives. The
// waitFor* helpers spin the event loop and say whether the condition held in time.
class LoopbackPeer : public QObject
{
    Q_OBJECT
public:
    explicit LoopbackPeer(QObject *parent = nullptr);
    // A port nothing listens on right now, on any interface, as the relay
    // binds: for a field that can't say "0", or a dial that must find no one.
    static quint16 unusedPort()
    {
        QTcpServer probe;
        return probe.listen(QHostAddress::Any, 0) ? probe.serverPort() : 0;
    }
    ~LoopbackPeer() override { drop(); }

    bool listen() { return m_server.listen(QHostAddress::LocalHost, 0); }
    // A server whose accept queue is full: a dial to it waits until resumeAccepting().
    bool listenWithFullQueue();
    void resumeAccepting() { m_server.resumeAccepting(); }
    quint16 serverPort() const { return m_server.serverPort(); }
    void setGreeting(const QByteArray &greeting) { m_greeting = greeting; }
    int acceptedCount() const { return m_accepted; }
    void connectTo(quint16 port, const QHostAddress &address = QHostAddress::LocalHost);

    void send(const QByteArray &bytes) { if (m_socket) m_socket->write(bytes); }
    void close() { if (m_socket) m_socket->disconnectFromHost(); }
    void reset(); // the other end sees a reset, not an end of stream

    const QByteArray &received() const { return m_received; }
    QTcpSocket *socket() const { return m_socket; }

    bool waitForConnected(int ms = 5000) { return QTest::qWaitFor([this] { return m_connected; }, ms); }
    bool waitForDisconnected(int ms = 5000) { return QTest::qWaitFor([this] { return m_disconnected; }, ms); }
    bool waitForReceived(qsizetype bytes, int ms = 5000)
    { return QTest::qWaitFor([this, bytes] { return m_received.size() >= bytes; }, ms); }
    bool waitForAccepted(int count, int ms = 5000)
    { return QTest::qWaitFor([this, count] { return m_accepted >= count; }, ms); }

private:
    void readAll()
    {
        if (m_socket && m_socket->isReadable())
            m_received.append(m_socket->readAll());
    }
    void adopt(QTcpSocket *socket);
    void drop();

    QTcpServer m_server;
    QTcpSocket m_filler; // holds the one place in a full queue
    QPointer<QTcpSocket> m_socket;
    QByteArray m_greeting, m_received;
    int m_accepted = 0;
    bool m_connected = false, m_disconnected = false;
};
