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
using Event = Relay::Event;
using State = StreamSocket::State;

// A port nothing listens on, on any interface, as the relay binds.
quint16 freePort()
{
    QTcpServer probe;
    return probe.listen(QHostAddress::Any, 0) ? probe.serverPort() : 0;
}

RelaySettings to(quint16 serverPort, quint16 listenPort = 0, const QString &host = QStringLiteral("127.0.0.1"))
{
    return {listenPort, host, serverPort};
}

bool waitListening(const Relay &relay)
{
    return QTest::qWaitFor([&relay] { return relay.listeningPort() != 0; }, Timeout);
}

bool isIdle(const Relay &relay)
{
    return !relay.isArmed() && relay.listeningPort() == 0 && relay.clientState() == State::Closed
        && relay.serverState() == State::Closed;
}

// Nothing more is reported for two re-arm periods.
bool staysQuiet(QSignalSpy &events)
{
    events.clear();
    return !events.wait(2 * Relay::RearmIntervalMs + 100);
}

// Everything a relay reports: rows per side, the last message of each event.
struct RelayLog
{
    explicit RelayLog(Relay &relay)
    {
        QObject::connect(&relay, &Relay::rowsCaptured, &relay, [this](Side side, const LineCapture::Rows &got, qint64) {
            for (qsizetype i = 0; i < got.count(); ++i)
                rows[side].append(got.row(i).toByteArray());
        });
        QObject::connect(&relay, &Relay::eventOccurred, &relay, [this](Event e, const QString &m) { events[e] = m; });
    }
    bool waitFor(Event event, int ms = Timeout) const
    {
        return QTest::qWaitFor([this, event] { return events.contains(event); }, ms);
    }

    QMap<Side, QList<QByteArray>> rows;
    QMap<Event, QString> events;
};

// A relay, and a client connected through it to a server once open() succeeds.
struct Session
{
    bool open()
    {
        if (!server.listen())
            return false;
        relay.start(to(server.serverPort()));
        if (!waitListening(relay))
            return false;
        client.connectTo(relay.listeningPort());
        return client.waitForConnected() && server.waitForAccepted(1)
            && QTest::qWaitFor([this] { return relay.serverState() == State::Connected; }, Timeout);
    }
    std::unique_ptr<Relay> owned = std::make_unique<Relay>();
    Relay &relay = *owned;
    RelayLog log{relay};
    LoopbackPeer server, client;
};

} // namespace

class TestRelay : public QObject
{
    Q_OBJECT
    enum End { ClientCloses, ClientResets, ServerResets, RelayDestroyed };

private Q_SLOTS:
    void badInputChangesNothing_data()
    {
        QTest::addColumn<QStringList>("input"); // listen port, server port, server host
        QTest::addColumn<QString>("field");
        const QString ok = QStringLiteral("2525"), local = QStringLiteral("127.0.0.1");
        for (const char *bad : {"", "abc", "0", "65536", "99999999999", "+25", "٢٥"}) {
            const QString text = QString::fromUtf8(bad);
            QTest::addRow("listen «%s»", bad) << QStringList{text, ok, local} << QStringLiteral("Port d'écoute");
            QTest::addRow("server «%s»", bad) << QStringList{ok, text, local} << QStringLiteral("Port du serveur");
        }
        QTest::newRow("blank host") << QStringList{ok, ok, QStringLiteral("  ")} << QStringLiteral("Adresse du serveur");
    }

    void badInputChangesNothing()
    {
        QFETCH(QStringList, input);
        QFETCH(QString, field);
        Relay relay;
        relay.start(to(4242));
        relay.stop();
        const QString error = relay.start(input[0], input[1], input[2]);
        QVERIFY2(error.contains(field), qPrintable(error));
        QVERIFY(isIdle(relay));
        QCOMPARE(relay.settings().serverPort, quint16(4242));
        QCOMPARE(relay.settings().serverHost, QStringLiteral("127.0.0.1"));
    }

    // Arming, one client at a time, closes from either side, Stop (also hammered), a taken port.
    void lifecycle()
    {
        Relay relay;
        RelayLog log(relay);
        QSignalSpy events(&relay, &Relay::eventOccurred);
        LoopbackPeer server, early, first, second, next, again;
        QVERIFY(server.listen());
        const RelaySettings settings = to(server.serverPort(), freePort());
        const quint16 port = settings.listenPort;
        relay.start(settings);
        QVERIFY(relay.isArmed());
        early.connectTo(port); // before the tick: nothing listens yet
        QVERIFY(early.waitForDisconnected());
        QVERIFY(!early.waitForConnected(0));
        QVERIFY(!log.events.contains(Event::Listening));
        QVERIFY(log.waitFor(Event::Listening));
        QCOMPARE(relay.listeningPort(), port);
        QVERIFY2(!relay.isArmed(), "one tick per arming");

        first.connectTo(port);
        QVERIFY(first.waitForConnected());
        QVERIFY(server.waitForAccepted(1));
        const QString shown = log.events.value(Event::ClientConnected);
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
        QVERIFY(log.waitFor(Event::ClosedByServer));
        first.send("late\r\n"); // shown, though the server can no longer be told
        QTRY_VERIFY(log.rows[Side::Client].contains("late"));
        QVERIFY(first.waitForDisconnected());
        QVERIFY(waitListening(relay));
        QCOMPARE(relay.serverState(), State::Closed);

        // The next client closes: the relay re-arms; Stop cancels that re-arm.
        next.connectTo(port);
        QVERIFY(server.waitForAccepted(2));
        next.close();
        QVERIFY(log.waitFor(Event::ClosedByClient));
        QTRY_VERIFY(relay.isArmed());
        relay.stop();
        QVERIFY(server.waitForDisconnected());
        QVERIFY(staysQuiet(events));
        QVERIFY(isIdle(relay));

        // Start and Stop while clients come, now and then once listening, so a Stop lands on a client being taken.
        QObject clients;
        std::vector<LoopbackPeer *> peers;
        for (int round = 0; round < 50; ++round) {
            relay.start(settings);
            if (round % 10 == 0)
                QVERIFY(waitListening(relay));
            peers.push_back(new LoopbackPeer(&clients));
            peers.back()->connectTo(port);
            QCoreApplication::processEvents();
            if (round % 3 == 0)
                relay.start(settings); // harmless while armed
            relay.stop();
            QVERIFY(isIdle(relay));
        }
        for (LoopbackPeer *peer : peers)
            QVERIFY(peer->waitForDisconnected());
        QVERIFY(staysQuiet(events));
        QVERIFY(isIdle(relay));

        relay.start(settings);
        QVERIFY(waitListening(relay));
        Relay other; // its port is taken: it stays idle and says why
        RelayLog otherLog(other);
        other.start(settings);
        QVERIFY(otherLog.waitFor(Event::ListenFailed));
        QVERIFY(isIdle(other));
        const QString why = otherLog.events.value(Event::ListenFailed);
        QVERIFY2(why.contains(QString::number(port)), qPrintable(why));
        again.connectTo(port);
        again.send("still here\r\n");
        QVERIFY(server.waitForAccepted(3));
        QTRY_VERIFY(server.received().endsWith("still here\r\n"));
    }

    void serverUnreachableDropsClient_data()
    {
        QTest::addColumn<QString>("host");
        QTest::addColumn<quint16>("port");
        QTest::addColumn<QString>("reason");
        QTest::newRow("refused") << QStringLiteral("127.0.0.1") << freePort() << QStringLiteral("refusée");
        // .invalid never resolves and puts no packet on the network.
        QTest::newRow("host not found") << QStringLiteral("nohost.invalid") << quint16(2525) << QStringLiteral("introuvable");
    }

    void serverUnreachableDropsClient()
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
        QVERIFY(log.waitFor(Event::ServerFailed, 15000));
        QVERIFY(client.waitForDisconnected());
        const QString message = log.events.value(Event::ServerFailed);
        QVERIFY2(message.contains(reason) && message.contains(QStringLiteral("%1:%2").arg(host).arg(port)),
                 qPrintable(message));
        QVERIFY(waitListening(relay));
        QCOMPARE(relay.serverState(), State::Closed);
    }

    void clientDataWhileServerConnectingIsDelivered()
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
        QCOMPARE(relay.serverState(), State::Connecting);

        // The client leaves too: the relay re-arms, and still delivers.
        client.close();
        QVERIFY(log.waitFor(Event::ClosedByClient));
        QVERIFY(waitListening(relay));
        QVERIFY(!log.events.contains(Event::ServerConnected));
        server.resumeAccepting();
        QTRY_COMPARE_WITH_TIMEOUT(delivered.size(), said.size(), 10000);
        QCOMPARE(delivered, said);
    }

    void everyByteValueBothWaysUntilEnd_data()
    {
        QTest::addColumn<int>("end");
        QTest::newRow("client closes") << int(ClientCloses);
        QTest::newRow("client resets") << int(ClientResets); // a reset counts as a close
        QTest::newRow("server resets") << int(ServerResets);
        QTest::newRow("relay destroyed") << int(RelayDestroyed);
    }

    void everyByteValueBothWaysUntilEnd()
    {
        QFETCH(int, end);
        Session s;
        QVERIFY(s.open());
        QByteArray all;
        for (int b = 0; b < 3 * 256; ++b)
            all.append(char(b));
        QByteArray reversed(all);
        std::reverse(reversed.begin(), reversed.end());
        s.client.send(all);
        s.server.send(reversed);
        QVERIFY(s.server.waitForReceived(all.size()));
        QVERIFY(s.client.waitForReceived(reversed.size()));
        QCOMPARE(s.server.received(), all);
        QCOMPARE(s.client.received(), reversed);

        // No CR LF in either: each stream is one row, shown when the session ends, unless the
        // relay dies with it (an owner's receiving members may already be gone by then).
        if (end == RelayDestroyed) {
            QSignalSpy rows(&s.relay, &Relay::rowsCaptured), events(&s.relay, &Relay::eventOccurred);
            s.owned.reset();
            QVERIFY(rows.isEmpty() && events.isEmpty());
            QVERIFY(s.client.waitForDisconnected());
            QVERIFY(s.server.waitForDisconnected());
            return;
        }
        const bool byServer = end == ServerResets;
        LoopbackPeer &ender = byServer ? s.server : s.client;
        end == ClientCloses ? ender.close() : ender.reset();
        QVERIFY(s.log.waitFor(byServer ? Event::ClosedByServer : Event::ClosedByClient));
        QVERIFY((byServer ? s.client : s.server).waitForDisconnected());
        QVERIFY(waitListening(s.relay));
        QCOMPARE(s.relay.serverState(), State::Closed);
        QCOMPARE(s.log.rows[Side::Client], QList<QByteArray>{all});
        QCOMPARE(s.log.rows[Side::Server], QList<QByteArray>{reversed});
    }

    void hugeLineToSlowReaderIsBounded()
    {
        Session s;
        QVERIFY(s.open());
        LoopbackPeer &server = s.server;
        server.setAutoRead(false);
        qint64 maxPending = 0;
        const auto sample = [&] { maxPending = std::max(maxPending, s.relay.pendingSendBytes(Side::Server)); };
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
        QVERIFY(s.log.waitFor(Event::ClosedByClient));
        const QList<QByteArray> rows = s.log.rows[Side::Client];
        QCOMPARE(rows.size(), fullRows + 1);
        QVERIFY(std::all_of(rows.cbegin(), rows.cend(), [](const QByteArray &r) { return r.size() <= LineCapture::MaxRowBytes; }));
        QVERIFY(rows.join() == line);
        QVERIFY2(maxPending <= Relay::SendQueueBound + StreamSocket::ReadBufferBytes, qPrintable(QString::number(maxPending)));
    }
};

QTEST_GUILESS_MAIN(TestRelay)
#include "tst_relay.moc"
