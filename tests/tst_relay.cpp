#include "LoopbackPeer.h"
#include "Relay.h"
#include "RelaySettings.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>

#include <memory>
#include <vector>

namespace {

constexpr int Timeout = 5000;
constexpr qint64 QueueBound = Relay::SendQueueBound + StreamSocket::ReadBufferBytes;

// A port that nothing listens on, on any interface, as the relay binds.
quint16 freePort()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::Any, 0))
        return 0;
    return probe.serverPort();
}

RelaySettings loopbackTo(quint16 serverPort, quint16 listenPort = 0,
                         const QString &host = QStringLiteral("127.0.0.1"))
{
    RelaySettings settings;
    settings.listenPort = listenPort;
    settings.serverHost = host;
    settings.serverPort = serverPort;
    return settings;
}

// Everything a relay reports, in order.
struct RelayLog
{
    explicit RelayLog(Relay &relay)
    {
        QObject::connect(&relay, &Relay::rowsCaptured, &relay,
                         [this](Side side, const LineCapture::Rows &captured, qint64) {
                             for (qsizetype i = 0; i < captured.count(); ++i)
                                 rows.append({side, captured.row(i).toByteArray()});
                         });
        QObject::connect(&relay, &Relay::eventOccurred, &relay,
                         [this](Relay::Event event, const QString &message) {
                             events.append({event, message});
                         });
    }

    QList<QByteArray> rowsOf(Side side) const
    {
        QList<QByteArray> out;
        for (const auto &row : rows) {
            if (row.first == side)
                out.append(row.second);
        }
        return out;
    }
    QString messageOf(Relay::Event event) const
    {
        for (auto it = events.crbegin(); it != events.crend(); ++it) {
            if (it->first == event)
                return it->second;
        }
        return QString();
    }
    bool has(Relay::Event event) const { return !messageOf(event).isNull(); }
    bool waitFor(Relay::Event event, int timeoutMs = Timeout) const
    {
        return QTest::qWaitFor([this, event] { return has(event); }, timeoutMs);
    }

    QList<QPair<Side, QByteArray>> rows;
    QList<QPair<Relay::Event, QString>> events;
};

// A server whose accept queue is full: the system drops new connection
// requests (the dialler retries about a second later), so whoever dials it
// stays connecting until resume() makes room. Collects what it is sent.
struct StalledServer
{
    bool stall()
    {
        server.setListenBacklogSize(0);
        if (!server.listen(QHostAddress::LocalHost, 0))
            return false;
        server.pauseAccepting();
        filler.connectTo(server.serverPort());
        return filler.waitForConnected();
    }
    void resume()
    {
        const quint16 fillerPort = filler.socket()->localPort();
        QObject::connect(&server, &QTcpServer::newConnection, &server, [this, fillerPort] {
            while (QTcpSocket *s = server.nextPendingConnection()) {
                if (s->peerPort() == fillerPort)
                    continue;
                QObject::connect(s, &QTcpSocket::readyRead, s,
                                 [this, s] { delivered += s->readAll(); });
            }
        });
        server.resumeAccepting();
    }
    quint16 port() const { return server.serverPort(); }

    QTcpServer server;
    LoopbackPeer filler;
    QByteArray delivered;
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

} // namespace

class TestRelay : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // Lifecycle
    void startChecksInputFirst_data();
    void startChecksInputFirst();
    void listensOnlyAfterTick();
    void servesOneClientAtATime();
    void serverCloseDropsClientAndRearms();
    void clientCloseRearms();
    void stopCancelsPendingRearm();
    void stopThenStartAgain();
    void showsIPv4ClientsPlainly();
    void destructionIsQuiet();
    void hammeredStartStopEndsRight();

    // Capture through the relay
    void capturesBothWaysAndShowsTailAtClose();

    // Faults
    void listenFailureLeavesRelayIdle();
    void serverRefusedDropsClientAndRearms();
    void serverHostNotFoundDropsClientAndRearms();
    void clientDataWhileServerConnectingIsDelivered();
    void clientGoneBeforeServerAnswersIsStillDelivered();
    void everyByteValueBothWays();
    void serverResetCountsAsClose();
    void clientResetCountsAsClose();
    void hugeLineWithoutSeparatorIsBounded();
    void slowReaderHoldsBackFastSender();

private:
    // The relay listening, a client connected through it to the server.
    bool openSession(Relay &relay, LoopbackPeer &server, LoopbackPeer &client);
};

bool TestRelay::openSession(Relay &relay, LoopbackPeer &server, LoopbackPeer &client)
{
    if (!server.listen())
        return false;
    relay.start(loopbackTo(server.serverPort()));
    if (!waitListening(relay))
        return false;
    client.connectTo(relay.listeningPort());
    return client.waitForConnected() && server.waitForAccepted(1)
        && QTest::qWaitFor(
               [&relay] { return relay.serverState() == StreamSocket::State::Connected; },
               Timeout);
}

void TestRelay::startChecksInputFirst_data()
{
    QTest::addColumn<QString>("listen");
    QTest::addColumn<QString>("serverPort");
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("field");

    const QString listenField = QStringLiteral("Port d'écoute");
    const QString serverField = QStringLiteral("Port du serveur");
    for (const char *bad : {"", "   ", "abc", "-1", "0", "65536", "99999999999", "2 5", "+25",
                            "0x19", "25a", "٢٥"}) {
        QTest::addRow("listen «%s»", bad)
            << QString::fromUtf8(bad) << QStringLiteral("2525") << QStringLiteral("127.0.0.1")
            << listenField;
        QTest::addRow("server port «%s»", bad)
            << QStringLiteral("2525") << QString::fromUtf8(bad) << QStringLiteral("127.0.0.1")
            << serverField;
    }
    QTest::newRow("empty host") << QStringLiteral("2525") << QStringLiteral("2525") << QString()
                                << QStringLiteral("Adresse du serveur");
    QTest::newRow("blank host") << QStringLiteral("2525") << QStringLiteral("2525")
                                << QStringLiteral("  ") << QStringLiteral("Adresse du serveur");
}

void TestRelay::startChecksInputFirst()
{
    QFETCH(QString, listen);
    QFETCH(QString, serverPort);
    QFETCH(QString, host);
    QFETCH(QString, field);

    Relay relay;
    relay.start(loopbackTo(4242, 0));
    relay.stop();
    const RelaySettings before = relay.settings();

    const QString error = relay.start(listen, serverPort, host);
    QVERIFY2(error.contains(field), qPrintable(error));
    QVERIFY(isIdle(relay));
    QCOMPARE(relay.settings().serverPort, before.serverPort);
    QCOMPARE(relay.settings().serverHost, before.serverHost);

    // Surrounding spaces are forgiven; checked without starting, so nothing
    // ever listens on a fixed port here.
    RelaySettings parsed;
    QString parseError;
    QVERIFY(RelaySettings::parse(QStringLiteral(" 2525 "), QStringLiteral("\t65535 "),
                                 QStringLiteral(" mx.example "), &parsed, &parseError));
    QCOMPARE(parsed.listenPort, quint16(2525));
    QCOMPARE(parsed.serverPort, quint16(65535));
    QCOMPARE(parsed.serverHost, QStringLiteral("mx.example"));
}

void TestRelay::listensOnlyAfterTick()
{
    LoopbackPeer server;
    QVERIFY(server.listen());
    const quint16 port = freePort();
    QVERIFY(port != 0);

    Relay relay;
    RelayLog log(relay);
    relay.start(loopbackTo(server.serverPort(), port));
    QVERIFY(relay.isArmed());
    QCOMPARE(relay.listeningPort(), quint16(0));
    QCOMPARE(relay.clientState(), StreamSocket::State::Closed);

    // A client this early finds nothing listening: the system refuses it.
    LoopbackPeer early;
    early.connectTo(port, QHostAddress::LocalHost);
    QVERIFY(early.waitForDisconnected());
    QVERIFY(!early.waitForConnected(0));
    QVERIFY(!log.has(Relay::Event::Listening));

    QVERIFY(log.waitFor(Relay::Event::Listening));
    QCOMPARE(relay.listeningPort(), port);
    QVERIFY2(!relay.isArmed(), "one tick per arming");

    LoopbackPeer client;
    client.connectTo(port);
    QVERIFY(client.waitForConnected());
    QVERIFY(server.waitForAccepted(1));
    QCOMPARE(server.acceptedCount(), 1);
}

void TestRelay::servesOneClientAtATime()
{
    Relay relay;
    LoopbackPeer server;
    QVERIFY(server.listen());
    relay.start(loopbackTo(server.serverPort()));
    QVERIFY(waitListening(relay));
    const quint16 port = relay.listeningPort();

    LoopbackPeer first;
    first.connectTo(port);
    QVERIFY(first.waitForConnected());
    QVERIFY(server.waitForAccepted(1));
    QTRY_COMPARE(relay.listeningPort(), quint16(0));

    LoopbackPeer second;
    second.connectTo(port);
    QVERIFY(second.waitForDisconnected());
    QVERIFY(!second.waitForConnected(0));

    // The first one is still served.
    first.send("NOOP\r\n");
    QVERIFY(server.waitForReceivedContains("NOOP\r\n"));
    QCOMPARE(server.acceptedCount(), 1);
}

void TestRelay::serverCloseDropsClientAndRearms()
{
    Relay relay;
    RelayLog log(relay);
    LoopbackPeer server;
    LoopbackPeer client;
    QVERIFY(openSession(relay, server, client));

    server.send("221 bye\r\n");
    QVERIFY(client.waitForReceived(9));
    server.close();
    QVERIFY(log.waitFor(Relay::Event::ClosedByServer));
    QVERIFY(relay.isArmed());

    // Shown, though the server can no longer be told.
    client.send("late\r\n");
    QTRY_VERIFY(log.rowsOf(Side::Client).contains("late"));

    QVERIFY(client.waitForDisconnected());
    QVERIFY(waitListening(relay));
    QCOMPARE(relay.serverState(), StreamSocket::State::Closed);

    LoopbackPeer next;
    next.connectTo(relay.listeningPort());
    QVERIFY(next.waitForConnected());
    QVERIFY(server.waitForAccepted(2));
}

void TestRelay::clientCloseRearms()
{
    Relay relay;
    RelayLog log(relay);
    LoopbackPeer server;
    LoopbackPeer client;
    QVERIFY(openSession(relay, server, client));

    client.send("QUIT\r\n");
    client.close();
    QVERIFY(server.waitForReceivedContains("QUIT\r\n"));
    QVERIFY(log.waitFor(Relay::Event::ClosedByClient));
    QVERIFY(server.waitForDisconnected());
    QVERIFY(waitListening(relay));
    QCOMPARE(relay.clientState(), StreamSocket::State::Listening);
    QCOMPARE(relay.serverState(), StreamSocket::State::Closed);
}

void TestRelay::stopCancelsPendingRearm()
{
    LoopbackPeer server;
    QVERIFY(server.listen());
    Relay relay;
    QSignalSpy events(&relay, &Relay::eventOccurred);

    // Stop right after Start: the first tick never comes.
    relay.start(loopbackTo(server.serverPort()));
    relay.stop();
    QVERIFY(isIdle(relay));
    events.clear();
    QVERIFY(!events.wait(2 * Relay::RearmIntervalMs + 100));
    QVERIFY(isIdle(relay));

    // Stop after the server closed: the re-arm it asked for is cancelled too.
    LoopbackPeer client;
    relay.start(loopbackTo(server.serverPort()));
    QVERIFY(waitListening(relay));
    client.connectTo(relay.listeningPort());
    QVERIFY(server.waitForAccepted(1));
    server.close();
    QTRY_VERIFY(relay.isArmed());
    relay.stop();
    QVERIFY(client.waitForDisconnected());
    events.clear();
    QVERIFY(!events.wait(2 * Relay::RearmIntervalMs + 100));
    QVERIFY(isIdle(relay));
}

void TestRelay::stopThenStartAgain()
{
    Relay relay;
    RelayLog log(relay);
    LoopbackPeer server;
    LoopbackPeer client;
    QVERIFY(openSession(relay, server, client));

    relay.stop();
    QVERIFY(isIdle(relay));
    QVERIFY(log.has(Relay::Event::Stopped));
    QVERIFY(client.waitForDisconnected());
    QVERIFY(server.waitForDisconnected());

    relay.start(loopbackTo(server.serverPort()));
    QCOMPARE(relay.listeningPort(), quint16(0));
    QVERIFY(waitListening(relay));
    LoopbackPeer again;
    again.connectTo(relay.listeningPort());
    QVERIFY(server.waitForAccepted(2));
    again.send("EHLO again\r\n");
    QVERIFY(server.waitForReceivedContains("EHLO again\r\n"));
}

void TestRelay::showsIPv4ClientsPlainly()
{
    Relay relay;
    RelayLog log(relay);
    LoopbackPeer server;
    LoopbackPeer client;
    QVERIFY(openSession(relay, server, client));
    const QString message = log.messageOf(Relay::Event::ClientConnected);
    QVERIFY2(message.contains(QStringLiteral("127.0.0.1:%1").arg(client.socket()->localPort())),
             qPrintable(message));
    QVERIFY2(!message.contains(QStringLiteral("::ffff:")), qPrintable(message));
}

void TestRelay::destructionIsQuiet()
{
    auto relay = std::make_unique<Relay>();
    LoopbackPeer server;
    LoopbackPeer client;
    QVERIFY(openSession(*relay, server, client));
    client.send("half a line");
    QVERIFY(server.waitForReceived(11));

    // The owner's receiving members may already be gone when a member relay dies.
    int emitted = 0;
    connect(relay.get(), &Relay::rowsCaptured, this, [&emitted] { ++emitted; });
    connect(relay.get(), &Relay::eventOccurred, this, [&emitted] { ++emitted; });
    relay.reset();
    QCOMPARE(emitted, 0);
    QVERIFY(client.waitForDisconnected());
    QVERIFY(server.waitForDisconnected());
}

void TestRelay::hammeredStartStopEndsRight()
{
    LoopbackPeer server;
    QVERIFY(server.listen());
    const quint16 port = freePort();
    QVERIFY(port != 0);
    Relay relay;
    const RelaySettings settings = loopbackTo(server.serverPort(), port);

    QObject clients;
    std::vector<LoopbackPeer *> peers;
    for (int round = 0; round < 200; ++round) {
        relay.start(settings);
        // Now and then let it listen, so the stop lands on a client being taken.
        if (round % 20 == 0)
            QVERIFY(waitListening(relay));
        auto *peer = new LoopbackPeer(&clients);
        peer->connectTo(port);
        peers.push_back(peer);
        QCoreApplication::processEvents();
        if (round % 3 == 0)
            relay.start(settings); // a second Start while armed is harmless
        relay.stop();
        QVERIFY(isIdle(relay));
    }
    QTRY_VERIFY_WITH_TIMEOUT(std::all_of(peers.cbegin(), peers.cend(),
                                         [](const LoopbackPeer *p) { return p->wasDisconnected(); }),
                             Timeout);
    QVERIFY(isIdle(relay));

    relay.start(settings);
    QVERIFY(waitListening(relay));
    LoopbackPeer client;
    client.connectTo(port);
    QVERIFY(client.waitForConnected());
    client.send("still here\r\n");
    QVERIFY(server.waitForReceivedContains("still here\r\n"));
    relay.shutdown();
    QVERIFY(isIdle(relay));
}

void TestRelay::capturesBothWaysAndShowsTailAtClose()
{
    Relay relay;
    RelayLog log(relay);
    LoopbackPeer server;
    LoopbackPeer client;
    server.setGreeting("220 hello\r\n");
    QVERIFY(openSession(relay, server, client));
    QVERIFY(client.waitForReceived(11));

    client.send("HE");
    QVERIFY(server.waitForReceived(2));
    client.send("LO x\r\n");
    QVERIFY(server.waitForReceived(8));
    server.send("250\r");
    QVERIFY(client.waitForReceived(15));
    server.send("\n\r\n");
    QVERIFY(client.waitForReceived(18));
    client.send("QUIT");
    QVERIFY(server.waitForReceived(12));
    client.close();
    QVERIFY(log.waitFor(Relay::Event::ClosedByClient));

    const QList<QPair<Side, QByteArray>> expected{{Side::Server, "220 hello"},
                                                  {Side::Client, "HELO x"},
                                                  {Side::Server, "250"},
                                                  {Side::Server, ""},
                                                  {Side::Client, "QUIT"}};
    QCOMPARE(log.rows, expected);
    QCOMPARE(server.received(), QByteArray("HELO x\r\nQUIT"));
    QCOMPARE(client.received(), QByteArray("220 hello\r\n250\r\n\r\n"));
}

void TestRelay::listenFailureLeavesRelayIdle()
{
    QTcpServer taken;
    QVERIFY(taken.listen(QHostAddress::Any, 0));
    Relay relay;
    RelayLog log(relay);
    relay.start(loopbackTo(4242, taken.serverPort()));
    QVERIFY(log.waitFor(Relay::Event::ListenFailed));
    QVERIFY(isIdle(relay));
    const QString message = log.messageOf(Relay::Event::ListenFailed);
    QVERIFY2(message.contains(QString::number(taken.serverPort())), qPrintable(message));
}

void TestRelay::serverRefusedDropsClientAndRearms()
{
    const quint16 nobody = freePort();
    Relay relay;
    RelayLog log(relay);
    relay.start(loopbackTo(nobody));
    QVERIFY(waitListening(relay));

    LoopbackPeer client;
    client.connectTo(relay.listeningPort());
    client.send("EHLO early\r\n");
    QVERIFY(log.waitFor(Relay::Event::ServerFailed));
    QVERIFY(client.waitForDisconnected());
    const QString message = log.messageOf(Relay::Event::ServerFailed);
    QVERIFY2(message.contains(QStringLiteral("refusée")), qPrintable(message));
    QVERIFY2(message.contains(QStringLiteral("127.0.0.1:%1").arg(nobody)), qPrintable(message));
    QVERIFY(waitListening(relay));
    QCOMPARE(relay.serverState(), StreamSocket::State::Closed);
}

void TestRelay::serverHostNotFoundDropsClientAndRearms()
{
    // .invalid never resolves, and asking never puts a packet on the network
    // beyond the local resolver.
    Relay relay;
    RelayLog log(relay);
    relay.start(loopbackTo(2525, 0, QStringLiteral("nohost.invalid")));
    QVERIFY(waitListening(relay));

    LoopbackPeer client;
    client.connectTo(relay.listeningPort());
    QVERIFY(client.waitForConnected());
    QVERIFY(log.waitFor(Relay::Event::ServerFailed, 15000));
    QVERIFY(client.waitForDisconnected());
    const QString message = log.messageOf(Relay::Event::ServerFailed);
    QVERIFY2(message.contains(QStringLiteral("introuvable")), qPrintable(message));
    QVERIFY(waitListening(relay));
}

void TestRelay::clientDataWhileServerConnectingIsDelivered()
{
    StalledServer server;
    QVERIFY(server.stall());
    Relay relay;
    RelayLog log(relay);
    relay.start(loopbackTo(server.port()));
    QVERIFY(waitListening(relay));

    QByteArray said;
    for (int i = 0; i < 2000; ++i)
        said.append(QByteArray::number(i).rightJustified(5, '0')).append(" EHLO client\r\n");
    LoopbackPeer client;
    client.connectTo(relay.listeningPort());
    client.send(said);
    QTRY_COMPARE_WITH_TIMEOUT(log.rowsOf(Side::Client).size(), 2000, Timeout);
    QCOMPARE(relay.serverState(), StreamSocket::State::Connecting);

    server.resume();
    QTRY_COMPARE_WITH_TIMEOUT(server.delivered.size(), said.size(), 10000);
    QCOMPARE(server.delivered, said);
    QVERIFY(log.has(Relay::Event::ServerConnected));
}

void TestRelay::clientGoneBeforeServerAnswersIsStillDelivered()
{
    StalledServer server;
    QVERIFY(server.stall());
    Relay relay;
    RelayLog log(relay);
    relay.start(loopbackTo(server.port()));
    QVERIFY(waitListening(relay));

    // The client says its piece and leaves; the relay re-arms while the
    // server has not even answered yet.
    LoopbackPeer client;
    client.connectTo(relay.listeningPort());
    client.send("MAIL FROM:<a@b>\r\nQUIT\r\n");
    client.close();
    QVERIFY(log.waitFor(Relay::Event::ClosedByClient));
    QTRY_VERIFY_WITH_TIMEOUT(log.has(Relay::Event::Listening) && relay.listeningPort() != 0,
                             Timeout);
    QVERIFY(!log.has(Relay::Event::ServerConnected));

    server.resume();
    QTRY_COMPARE_WITH_TIMEOUT(server.delivered, QByteArray("MAIL FROM:<a@b>\r\nQUIT\r\n"), 10000);
}

void TestRelay::everyByteValueBothWays()
{
    Relay relay;
    RelayLog log(relay);
    LoopbackPeer server;
    LoopbackPeer client;
    QVERIFY(openSession(relay, server, client));

    QByteArray all;
    for (int round = 0; round < 3; ++round) {
        for (int b = 0; b < 256; ++b)
            all.append(char(b));
    }
    QByteArray reversed(all);
    std::reverse(reversed.begin(), reversed.end());

    client.send(all);
    server.send(reversed);
    QVERIFY(server.waitForReceived(all.size()));
    QVERIFY(client.waitForReceived(reversed.size()));
    QCOMPARE(server.received(), all);
    QCOMPARE(client.received(), reversed);

    // No CR LF in either: each stream is one row, shown when its side ends.
    client.close();
    QVERIFY(log.waitFor(Relay::Event::ClosedByClient));
    QVERIFY(QTest::qWaitFor([&] { return relay.serverState() == StreamSocket::State::Closed; },
                            Timeout));
    QCOMPARE(log.rowsOf(Side::Client), QList<QByteArray>{all});
    QCOMPARE(log.rowsOf(Side::Server), QList<QByteArray>{reversed});
}

void TestRelay::serverResetCountsAsClose()
{
    Relay relay;
    RelayLog log(relay);
    LoopbackPeer server;
    LoopbackPeer client;
    QVERIFY(openSession(relay, server, client));

    client.send("MAIL FROM:<a@b>\r\n");
    QVERIFY(server.waitForReceived(17));
    server.send("25");
    QVERIFY(client.waitForReceived(2));
    server.reset();

    QVERIFY(log.waitFor(Relay::Event::ClosedByServer));
    QCOMPARE(log.rowsOf(Side::Server), QList<QByteArray>{"25"});
    QVERIFY(client.waitForDisconnected());
    QVERIFY(waitListening(relay));
}

void TestRelay::clientResetCountsAsClose()
{
    Relay relay;
    RelayLog log(relay);
    LoopbackPeer server;
    LoopbackPeer client;
    server.setGreeting("220 go\r\n");
    QVERIFY(openSession(relay, server, client));
    QVERIFY(client.waitForReceived(8));

    client.send("QUI");
    QVERIFY(server.waitForReceived(3));
    client.reset();

    QVERIFY(log.waitFor(Relay::Event::ClosedByClient));
    QCOMPARE(log.rowsOf(Side::Client), QList<QByteArray>{"QUI"});
    QVERIFY(server.waitForDisconnected());
    QVERIFY(waitListening(relay));
}

void TestRelay::hugeLineWithoutSeparatorIsBounded()
{
    Relay relay;
    RelayLog log(relay);
    LoopbackPeer server;
    LoopbackPeer client;
    QVERIFY(openSession(relay, server, client));

    qint64 maxPending = 0;
    connect(&relay, &Relay::rowsCaptured, this,
            [&] { maxPending = std::max(maxPending, relay.pendingSendBytes(Side::Server)); });

    QByteArray line(10'000'000, '\0');
    for (qsizetype i = 0; i < line.size(); ++i)
        line[i] = char('a' + i % 26);
    client.send(line);
    QVERIFY(server.waitForReceived(line.size(), 20000));
    QCOMPARE(server.received(), line);

    // Rows left as the line came, not all at the end.
    const qsizetype fullRows = line.size() / LineCapture::MaxRowBytes;
    QCOMPARE(log.rows.size(), fullRows);
    client.close();
    QVERIFY(log.waitFor(Relay::Event::ClosedByClient));

    const QList<QByteArray> rows = log.rowsOf(Side::Client);
    QCOMPARE(rows.size(), fullRows + 1);
    for (const QByteArray &row : rows)
        QVERIFY(row.size() <= LineCapture::MaxRowBytes);
    QVERIFY(rows.join() == line);
    QVERIFY2(maxPending <= QueueBound, qPrintable(QString::number(maxPending)));
}

void TestRelay::slowReaderHoldsBackFastSender()
{
    Relay relay;
    LoopbackPeer server;
    LoopbackPeer client;
    QVERIFY(openSession(relay, server, client));
    server.setAutoRead(false);

    qint64 maxPending = 0;
    const auto sample = [&] {
        maxPending = std::max(maxPending, relay.pendingSendBytes(Side::Server));
    };
    connect(&relay, &Relay::rowsCaptured, this, sample);

    QByteArray stream;
    for (int i = 0; stream.size() < qsizetype(12) * 1024 * 1024; ++i)
        stream.append("DATA line ").append(QByteArray::number(i)).append(" xxxxxxxxxxxxxxxxxxxx\r\n");
    client.send(stream);

    // 1 KiB every 10 ms, until the relay's queue towards the reader is full.
    QTimer slowRead;
    slowRead.setInterval(10);
    connect(&slowRead, &QTimer::timeout, this, [&] {
        server.readSome(1024);
        sample();
    });
    slowRead.start();
    QVERIFY2(QTest::qWaitFor([&] { return maxPending >= Relay::SendQueueBound; }, 10000),
             qPrintable(QString::number(maxPending)));
    const qsizetype readSlowly = server.received().size();
    QVERIFY(QTest::qWaitFor([&] { return server.received().size() >= readSlowly + qsizetype(30) * 1024; },
                            Timeout));
    slowRead.stop();
    QVERIFY2(maxPending <= QueueBound, qPrintable(QString::number(maxPending)));

    server.setAutoRead(true);
    QVERIFY(server.waitForReceived(stream.size(), 20000));
    QVERIFY(server.received() == stream);
    QVERIFY2(maxPending <= QueueBound, qPrintable(QString::number(maxPending)));
}

QTEST_GUILESS_MAIN(TestRelay)
#include "tst_relay.moc"
