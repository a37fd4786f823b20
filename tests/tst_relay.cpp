#include "LoopbackPeer.h"
#include "Relay.h"
#include "RelaySettings.h"

#include <QMap>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <memory>
#include <vector>

namespace {

constexpr int Timeout = 5000;

// A port nothing listens on, on any interface, as the relay binds.
quint16 freePort()
{
    QTcpServer probe;
    return probe.listen(QHostAddress::Any, 0) ? probe.serverPort() : 0;
}

RelaySettings to(quint16 serverPort, quint16 listenPort = 0,
                 const QString &host = QStringLiteral("127.0.0.1"))
{
    return {listenPort, host, serverPort};
}

// Everything a relay reports: rows per side, the last message of each event.
struct RelayLog
{
    explicit RelayLog(Relay &relay)
    {
        QObject::connect(&relay, &Relay::rowsCaptured, &relay,
                         [this](Side side, const LineCapture::Rows &captured, qint64) {
                             for (qsizetype i = 0; i < captured.count(); ++i)
                                 rows[side].append(captured.row(i).toByteArray());
                         });
        QObject::connect(&relay, &Relay::eventOccurred, &relay,
                         [this](Relay::Event e, const QString &m) { events[e] = m; });
    }
    bool waitFor(Relay::Event event, int ms = Timeout) const
    {
        return QTest::qWaitFor([this, event] { return events.contains(event); }, ms);
    }

    QMap<Side, QList<QByteArray>> rows;
    QMap<Relay::Event, QString> events;
};

bool waitListening(const Relay &relay)
{
    return QTest::qWaitFor([&relay] { return relay.listeningPort() != 0; }, Timeout);
}

bool isIdle(const Relay &relay)
{
    return !relay.isArmed() && relay.listeningPort() == 0
        && relay.clientState() == StreamSocket::State::Closed
        && relay.serverState() == StreamSocket::State::Closed;
}

// The relay listening, a client connected through it to the server.
bool openSession(Relay &relay, LoopbackPeer &server, LoopbackPeer &client)
{
    if (!server.listen())
        return false;
    relay.start(to(server.serverPort()));
    if (!waitListening(relay))
        return false;
    client.connectTo(relay.listeningPort());
    return client.waitForConnected() && server.waitForAccepted(1)
        && QTest::qWaitFor(
               [&relay] { return relay.serverState() == StreamSocket::State::Connected; }, Timeout);
}

struct Session
{
    bool open() { return openSession(relay, server, client); }
    Relay relay;
    RelayLog log{relay};
    LoopbackPeer server, client;
};

} // namespace

class TestRelay : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void badInputChangesNothing_data();
    void badInputChangesNothing();
    void listensAfterTickAndServesOneClientAtATime();
    void stopCancelsRearmEvenWhenHammered();
    void destructionIsQuiet();
    void serverUnreachableDropsClient_data();
    void serverUnreachableDropsClient();
    void clientDataWhileServerConnectingIsDelivered();
    void everyByteValueBothWaysUntilClose_data();
    void everyByteValueBothWaysUntilClose();
    void hugeLineToSlowReaderIsBounded();
};

void TestRelay::badInputChangesNothing_data()
{
    QTest::addColumn<QString>("listen");
    QTest::addColumn<QString>("serverPort");
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("field");
    const QString ok = QStringLiteral("2525"), local = QStringLiteral("127.0.0.1");
    for (const char *bad : {"", "abc", "0", "65536", "99999999999", "+25", "٢٥"}) {
        const QString text = QString::fromUtf8(bad);
        QTest::addRow("listen «%s»", bad) << text << ok << local << QStringLiteral("Port d'écoute");
        QTest::addRow("server «%s»", bad) << ok << text << local << QStringLiteral("Port du serveur");
    }
    QTest::newRow("blank host") << ok << ok << QStringLiteral("  ")
                                << QStringLiteral("Adresse du serveur");
}

void TestRelay::badInputChangesNothing()
{
    QFETCH(QString, listen);
    QFETCH(QString, serverPort);
    QFETCH(QString, host);
    QFETCH(QString, field);
    Relay relay;
    relay.start(to(4242));
    relay.stop();
    const QString error = relay.start(listen, serverPort, host);
    QVERIFY2(error.contains(field), qPrintable(error));
    QVERIFY(isIdle(relay));
    QCOMPARE(relay.settings().serverPort, quint16(4242));
    QCOMPARE(relay.settings().serverHost, QStringLiteral("127.0.0.1"));
}

void TestRelay::listensAfterTickAndServesOneClientAtATime()
{
    Relay relay;
    RelayLog log(relay);
    LoopbackPeer server;
    QVERIFY(server.listen());
    const quint16 port = freePort();
    relay.start(to(server.serverPort(), port));
    QVERIFY(relay.isArmed());

    LoopbackPeer early; // before the tick: nothing listens yet
    early.connectTo(port);
    QVERIFY(early.waitForDisconnected());
    QVERIFY(!early.waitForConnected(0));
    QVERIFY(!log.events.contains(Relay::Event::Listening));
    QVERIFY(log.waitFor(Relay::Event::Listening));
    QCOMPARE(relay.listeningPort(), port);
    QVERIFY2(!relay.isArmed(), "one tick per arming");

    LoopbackPeer first, second;
    first.connectTo(port);
    QVERIFY(first.waitForConnected());
    QVERIFY(server.waitForAccepted(1));
    const QString shown = log.events.value(Relay::Event::ClientConnected);
    QVERIFY2(shown.contains(QStringLiteral("127.0.0.1:%1").arg(first.socket()->localPort()))
                 && !shown.contains(QStringLiteral("::ffff:")),
             qPrintable(shown));
    QTRY_COMPARE(relay.listeningPort(), quint16(0));
    second.connectTo(port);
    QVERIFY(second.waitForDisconnected());
    QVERIFY(!second.waitForConnected(0));
    first.send("NOOP\r\n");
    QVERIFY(server.waitForReceived(6));
    QCOMPARE(server.acceptedCount(), 1);

    // The server closes: the client is dropped, the listener comes back.
    server.send("221 bye\r\n");
    QVERIFY(first.waitForReceived(9));
    server.close();
    QVERIFY(log.waitFor(Relay::Event::ClosedByServer));
    first.send("late\r\n"); // shown, though the server can no longer be told
    QTRY_VERIFY(log.rows[Side::Client].contains("late"));
    QVERIFY(first.waitForDisconnected());
    QVERIFY(waitListening(relay));
    QCOMPARE(relay.serverState(), StreamSocket::State::Closed);
    LoopbackPeer next;
    next.connectTo(port);
    QVERIFY(server.waitForAccepted(2));
}

void TestRelay::stopCancelsRearmEvenWhenHammered()
{
    Session s;
    QSignalSpy events(&s.relay, &Relay::eventOccurred);
    QVERIFY(s.open());
    s.server.close();
    QTRY_VERIFY(s.relay.isArmed());
    s.relay.stop(); // with the re-arm the close asked for pending
    QVERIFY(s.client.waitForDisconnected());
    events.clear();
    QVERIFY(!events.wait(2 * Relay::RearmIntervalMs + 100));
    QVERIFY(isIdle(s.relay));

    // Start and Stop while clients come, now and then once listening, so a
    // Stop lands on a client being taken.
    const RelaySettings settings = to(s.server.serverPort(), freePort());
    QObject clients;
    std::vector<LoopbackPeer *> peers;
    for (int round = 0; round < 50; ++round) {
        s.relay.start(settings);
        if (round % 10 == 0)
            QVERIFY(waitListening(s.relay));
        peers.push_back(new LoopbackPeer(&clients));
        peers.back()->connectTo(settings.listenPort);
        QCoreApplication::processEvents();
        if (round % 3 == 0)
            s.relay.start(settings); // harmless while armed
        s.relay.stop();
        QVERIFY(isIdle(s.relay));
    }
    QTRY_VERIFY_WITH_TIMEOUT(
        std::all_of(peers.cbegin(), peers.cend(), [](auto *p) { return p->wasDisconnected(); }),
        Timeout);
    events.clear();
    QVERIFY(!events.wait(2 * Relay::RearmIntervalMs + 100));
    QVERIFY(isIdle(s.relay));

    s.relay.start(settings);
    QVERIFY(waitListening(s.relay));
    Relay other; // its port is taken: it stays idle and says why
    RelayLog log(other);
    other.start(settings);
    QVERIFY(log.waitFor(Relay::Event::ListenFailed));
    QVERIFY(isIdle(other));
    const QString why = log.events.value(Relay::Event::ListenFailed);
    QVERIFY2(why.contains(QString::number(settings.listenPort)), qPrintable(why));

    LoopbackPeer again;
    again.connectTo(settings.listenPort);
    again.send("still here\r\n");
    QVERIFY(s.server.waitForReceived(12));
    QVERIFY(s.server.received().endsWith("still here\r\n"));
}

void TestRelay::destructionIsQuiet()
{
    auto relay = std::make_unique<Relay>();
    LoopbackPeer server, client;
    QVERIFY(openSession(*relay, server, client));
    client.send("half a line");
    QVERIFY(server.waitForReceived(11));

    // An owner's receiving members may already be gone when a member relay dies.
    int emitted = 0;
    connect(relay.get(), &Relay::rowsCaptured, this, [&emitted] { ++emitted; });
    connect(relay.get(), &Relay::eventOccurred, this, [&emitted] { ++emitted; });
    relay.reset();
    QCOMPARE(emitted, 0);
    QVERIFY(client.waitForDisconnected());
    QVERIFY(server.waitForDisconnected());
}

void TestRelay::serverUnreachableDropsClient_data()
{
    QTest::addColumn<QString>("host");
    QTest::addColumn<quint16>("port");
    QTest::addColumn<QString>("reason");
    QTest::newRow("refused") << QStringLiteral("127.0.0.1") << freePort() << QStringLiteral("refusée");
    // .invalid never resolves and puts no packet on the network.
    QTest::newRow("host not found") << QStringLiteral("nohost.invalid") << quint16(2525)
                                    << QStringLiteral("introuvable");
}

void TestRelay::serverUnreachableDropsClient()
{
    QFETCH(QString, host);
    QFETCH(quint16, port);
    QFETCH(QString, reason);
    Relay relay;
    RelayLog log(relay);
    relay.start(to(port, 0, host));
    QVERIFY(waitListening(relay));

    LoopbackPeer client;
    client.connectTo(relay.listeningPort());
    client.send("EHLO early\r\n");
    QVERIFY(log.waitFor(Relay::Event::ServerFailed, 15000));
    QVERIFY(client.waitForDisconnected());
    const QString message = log.events.value(Relay::Event::ServerFailed);
    QVERIFY2(message.contains(reason) && message.contains(QStringLiteral("%1:%2").arg(host).arg(port)),
             qPrintable(message));
    QVERIFY(waitListening(relay));
    QCOMPARE(relay.serverState(), StreamSocket::State::Closed);
}

void TestRelay::clientDataWhileServerConnectingIsDelivered()
{
    // A full accept queue: the relay's dial stays unanswered until resumed.
    QTcpServer server;
    server.setListenBacklogSize(0);
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    server.pauseAccepting();
    LoopbackPeer filler;
    filler.connectTo(server.serverPort());
    QVERIFY(filler.waitForConnected());
    QByteArray delivered;
    connect(&server, &QTcpServer::newConnection, this, [&] {
        while (QTcpSocket *s = server.nextPendingConnection())
            connect(s, &QTcpSocket::readyRead, s, [&delivered, s] { delivered += s->readAll(); });
    });

    Relay relay;
    RelayLog log(relay);
    relay.start(to(server.serverPort()));
    QVERIFY(waitListening(relay));
    QByteArray said;
    for (int i = 0; i < 2000; ++i)
        said.append(QByteArray::number(i).rightJustified(5, '0')).append(" EHLO client\r\n");
    LoopbackPeer client;
    client.connectTo(relay.listeningPort());
    client.send(said);
    QTRY_COMPARE_WITH_TIMEOUT(log.rows[Side::Client].size(), 2000, Timeout);
    QCOMPARE(relay.serverState(), StreamSocket::State::Connecting);

    // The client leaves too: the relay re-arms, and still delivers.
    client.close();
    QVERIFY(log.waitFor(Relay::Event::ClosedByClient));
    QVERIFY(waitListening(relay));
    QVERIFY(!log.events.contains(Relay::Event::ServerConnected));
    server.resumeAccepting();
    QTRY_COMPARE_WITH_TIMEOUT(delivered.size(), said.size(), 10000);
    QCOMPARE(delivered, said);
}

void TestRelay::everyByteValueBothWaysUntilClose_data()
{
    QTest::addColumn<bool>("byServer");
    QTest::addColumn<bool>("reset"); // a reset counts as a close
    QTest::newRow("client closes") << false << false;
    QTest::newRow("client resets") << false << true;
    QTest::newRow("server resets") << true << true;
}

void TestRelay::everyByteValueBothWaysUntilClose()
{
    QFETCH(bool, byServer);
    QFETCH(bool, reset);
    Session s;
    auto &[relay, log, server, client] = s;
    QVERIFY(s.open());
    QByteArray all;
    for (int b = 0; b < 3 * 256; ++b)
        all.append(char(b));
    QByteArray reversed(all);
    std::reverse(reversed.begin(), reversed.end());

    client.send(all);
    server.send(reversed);
    QVERIFY(server.waitForReceived(all.size()));
    QVERIFY(client.waitForReceived(reversed.size()));
    QCOMPARE(server.received(), all);
    QCOMPARE(client.received(), reversed);

    // No CR LF in either: each stream is one row, shown when the session ends.
    LoopbackPeer &ender = byServer ? server : client;
    reset ? ender.reset() : ender.close();
    QVERIFY(log.waitFor(byServer ? Relay::Event::ClosedByServer : Relay::Event::ClosedByClient));
    QVERIFY((byServer ? client : server).waitForDisconnected());
    QVERIFY(waitListening(relay));
    QCOMPARE(relay.serverState(), StreamSocket::State::Closed);
    QCOMPARE(log.rows[Side::Client], QList<QByteArray>{all});
    QCOMPARE(log.rows[Side::Server], QList<QByteArray>{reversed});
}

void TestRelay::hugeLineToSlowReaderIsBounded()
{
    Session s;
    QVERIFY(s.open());
    LoopbackPeer &server = s.server;
    server.setAutoRead(false);
    qint64 maxPending = 0;
    const auto sample = [&] {
        maxPending = std::max(maxPending, s.relay.pendingSendBytes(Side::Server));
    };
    connect(&s.relay, &Relay::rowsCaptured, this, sample);

    QByteArray line(10'000'000, '\0');
    for (qsizetype i = 0; i < line.size(); ++i)
        line[i] = char('a' + i % 26);
    s.client.send(line);

    // 1 KiB every 10 ms: the relay's queue fills, then the reader takes 30 KiB more.
    QTimer slowRead;
    connect(&slowRead, &QTimer::timeout, this, [&] {
        server.readSome(1024);
        sample();
    });
    slowRead.start(10);
    QVERIFY2(QTest::qWaitFor([&] { return maxPending >= Relay::SendQueueBound; }, 10000),
             qPrintable(QString::number(maxPending)));
    const qsizetype more = server.received().size() + 30 * 1024;
    QVERIFY(QTest::qWaitFor([&] { return server.received().size() >= more; }, Timeout));
    slowRead.stop();

    server.setAutoRead(true);
    QVERIFY(server.waitForReceived(line.size(), 20000));
    QVERIFY(server.received() == line);
    const qsizetype fullRows = line.size() / LineCapture::MaxRowBytes;
    QCOMPARE(s.log.rows[Side::Client].size(), fullRows); // rows leave as the line comes

    s.client.close();
    QVERIFY(s.log.waitFor(Relay::Event::ClosedByClient));
    const QList<QByteArray> rows = s.log.rows[Side::Client];
    QCOMPARE(rows.size(), fullRows + 1);
    for (const QByteArray &row : rows)
        QVERIFY(row.size() <= LineCapture::MaxRowBytes);
    QVERIFY(rows.join() == line);
    QVERIFY2(maxPending <= Relay::SendQueueBound + StreamSocket::ReadBufferBytes, qPrintable(QString::number(maxPending)));
}

QTEST_GUILESS_MAIN(TestRelay)
#include "tst_relay.moc"
