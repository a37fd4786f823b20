#include "EventText.h"
#include "LoopbackPeer.h"
#include "RawPeer.h"
#include "Relay.h"
#include "RelaySettings.h"

#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <memory>
#include <vector>

namespace {

constexpr int Timeout = 5000;
using Kind = RelayEvent::Kind;
using End = RelayEvent::End;
using State = StreamSocket::State;
using Field = RelaySettings::Error::Field;
using Problem = RelaySettings::Error::Problem;

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

QByteArray pattern(qsizetype size)
{
    QByteArray bytes(size, '\0');
    for (qsizetype i = 0; i < size; ++i)
        bytes[i] = char('a' + (i * 7 + i / 4096) % 26);
    return bytes;
}

// Everything a relay reports: rows per side, every event in order.
struct RelayLog
{
    explicit RelayLog(Relay &relay)
    {
        QObject::connect(&relay, &Relay::rowsCaptured, &relay, [this](Side side, const LineCapture::Rows &got, qint64) {
            for (qsizetype i = 0; i < got.count(); ++i)
                rows[side].append(got.row(i).toByteArray());
        });
        QObject::connect(&relay, &Relay::eventOccurred, &relay, [this](const RelayEvent &e) { events.append(e); });
    }
    bool has(Kind kind) const
    {
        return std::any_of(events.cbegin(), events.cend(), [kind](const RelayEvent &e) { return e.kind == kind; });
    }
    int count(Kind kind) const
    {
        return int(std::count_if(events.cbegin(), events.cend(), [kind](const RelayEvent &e) { return e.kind == kind; }));
    }
    RelayEvent last(Kind kind) const
    {
        for (auto it = events.crbegin(); it != events.crend(); ++it)
            if (it->kind == kind)
                return *it;
        return {};
    }
    bool waitFor(Kind kind, int ms = Timeout) const
    {
        return QTest::qWaitFor([this, kind] { return has(kind); }, ms);
    }
    QString text(Kind kind) const { return EventText::describe(last(kind)); }

    QMap<Side, QList<QByteArray>> rows;
    QList<RelayEvent> events;
};

// A relay to a server, with limits short enough for a test.
struct Bench
{
    explicit Bench(int silenceMs = 2000, int stallMs = 2000)
    {
        relay.setSilenceLimit(silenceMs);
        relay.setStallLimit(stallMs);
    }
    bool startTo(quint16 serverPort)
    {
        relay.start(to(serverPort));
        return waitListening(relay);
    }
    std::unique_ptr<Relay> owned = std::make_unique<Relay>();
    Relay &relay = *owned;
    RelayLog log{relay};
};

} // namespace

class TestRelay : public QObject
{
    Q_OBJECT
    enum Ending { ClientCloses, ClientResets, ServerResets, RelayDestroyed };

private Q_SLOTS:
    void settingsRefusedChangeNothing_data()
    {
        QTest::addColumn<QStringList>("input"); // listen port, server port, server host
        QTest::addColumn<int>("field");
        QTest::addColumn<int>("problem");
        const QString ok = QStringLiteral("2525"), local = QStringLiteral("127.0.0.1");
        for (const char *bad : {"", "abc", "0", "65536", "99999999999", "+25", "٢٥"}) {
            const QString text = QString::fromUtf8(bad);
            QTest::addRow("listen «%s»", bad) << QStringList{text, ok, local} << int(Field::ListenPort) << int(Problem::NotAPort);
            QTest::addRow("server «%s»", bad) << QStringList{ok, text, local} << int(Field::ServerPort) << int(Problem::NotAPort);
        }
        QTest::newRow("blank host") << QStringList{ok, ok, "  "} << int(Field::ServerHost) << int(Problem::EmptyHost);
        for (const char *host : {"host:25:26", "[::1]:25", "mx:25", "::1:zz"})
            QTest::addRow("host «%s»", host) << QStringList{ok, ok, host} << int(Field::ServerHost) << int(Problem::HostWithColon);
    }

    void settingsRefusedChangeNothing()
    {
        QFETCH(QStringList, input);
        QFETCH(int, field);
        QFETCH(int, problem);
        Relay relay;
        relay.start(to(4242));
        relay.stop();
        const auto error = relay.start(input[0], input[1], input[2]);
        QVERIFY(error);
        QCOMPARE(int(error->field), field);
        QCOMPARE(int(error->problem), problem);
        QVERIFY(isIdle(relay));
        QCOMPARE(relay.settings().serverPort, quint16(4242));
        // Each front end names the value its own way.
        const QString window = EventText::settingsError(*error, EventText::Naming::WindowFields);
        const QString console = EventText::settingsError(*error, EventText::Naming::ConsoleOptions);
        QVERIFY2(window.contains(QStringLiteral("« ")) && !window.contains(QStringLiteral("--")), qPrintable(window));
        QVERIFY2(console.contains(field == int(Field::ListenPort) ? "--listen" : "--server"), qPrintable(console));
    }

    // Arming, one client at a time, a server's close passed on, Stop (also hammered), a taken port.
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
        QVERIFY(!log.has(Kind::Listening));
        QVERIFY(log.waitFor(Kind::Listening));
        QCOMPARE(relay.listeningPort(), port);
        QVERIFY2(!relay.isArmed(), "one tick per arming");

        first.connectTo(port);
        QVERIFY(first.waitForConnected());
        QVERIFY(server.waitForAccepted(1));
        const QString shown = log.text(Kind::ClientConnected);
        QVERIFY2(shown.contains(QStringLiteral("127.0.0.1:%1").arg(first.socket()->localPort()))
                     && !shown.contains(QStringLiteral("::ffff:")),
                 qPrintable(shown));
        QTRY_COMPARE(relay.listeningPort(), quint16(0));
        second.connectTo(port);
        QVERIFY(second.waitForDisconnected());
        QVERIFY(!second.waitForConnected(0));
        // Held, nothing is read: the request waits in the kernel until released.
        relay.holdReading(true);
        first.send("QUIT\r\n");
        QVERIFY(!server.waitForReceived(6, 2 * Relay::RearmIntervalMs));
        relay.holdReading(false);
        QVERIFY(server.waitForReceived(6));
        QCOMPARE(server.acceptedCount(), 1);

        // The QUIT session: the server answers and closes, the client is told, then closes in turn.
        server.send("221 bye\r\n");
        server.close();
        QVERIFY(first.waitForDisconnected());
        QCOMPARE(first.received(), QByteArray("221 bye\r\n"));
        QVERIFY(log.waitFor(Kind::SessionEnded));
        QCOMPARE(log.last(Kind::SessionEnded).end, End::ClosedByServer);
        QCOMPARE(log.last(Kind::SessionEnded).bytesServerToClient, 9);
        QCOMPARE(log.last(Kind::PeerClosed).side, Side::Client);
        QVERIFY(!log.has(Kind::Undelivered));
        QVERIFY(waitListening(relay));
        QCOMPARE(relay.serverState(), State::Closed);

        // The next client; Stop while it is served ends its session and nothing re-arms.
        next.connectTo(port);
        QVERIFY(server.waitForAccepted(2));
        relay.stop();
        QCOMPARE(log.count(Kind::SessionEnded), 2);
        QCOMPARE(log.last(Kind::SessionEnded).end, End::Stopped);
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
        QCOMPARE(log.count(Kind::SessionEnded), log.count(Kind::ClientConnected)); // one per client taken

        relay.start(settings);
        QVERIFY(waitListening(relay));
        Relay other; // its port is taken: it stays idle and says why
        RelayLog otherLog(other);
        other.start(settings);
        QVERIFY(otherLog.waitFor(Kind::ListenFailed));
        QVERIFY(isIdle(other));
        const QString why = otherLog.text(Kind::ListenFailed);
        QVERIFY2(why.contains(QString::number(port)), qPrintable(why));
        again.connectTo(port);
        again.send("still here\r\n");
        QVERIFY(server.waitForAccepted(3));
        QTRY_VERIFY(server.received().endsWith("still here\r\n"));
    }

    void serverUnreachableEndsTheSession_data()
    {
        QTest::addColumn<QString>("host");
        QTest::addColumn<bool>("answers"); // false: a server whose accept queue is full
        QTest::addColumn<int>("error");
        QTest::addColumn<QString>("shown");
        QTest::newRow("refused") << QStringLiteral("127.0.0.1") << true << int(QAbstractSocket::ConnectionRefusedError) << "127.0.0.1:%1";
        QTest::newRow("refused, IPv6") << QStringLiteral("::1") << true << int(QAbstractSocket::ConnectionRefusedError) << "[::1]:%1";
        QTest::newRow("refused, IPv6 typed in brackets") << QStringLiteral(" [::1] ") << true << int(QAbstractSocket::ConnectionRefusedError) << "[::1]:%1";
        // An empty label is refused by the resolver itself: no query leaves the machine.
        QTest::newRow("host not found") << QStringLiteral("nohost..invalid") << true << int(QAbstractSocket::HostNotFoundError) << "nohost..invalid:%1";
        QTest::newRow("never answers") << QStringLiteral("127.0.0.1") << false << int(QAbstractSocket::SocketTimeoutError) << "127.0.0.1:%1";
    }

    void serverUnreachableEndsTheSession()
    {
        QFETCH(QString, host);
        QFETCH(bool, answers);
        QFETCH(int, error);
        QFETCH(QString, shown);
        QTcpServer full;
        LoopbackPeer filler;
        quint16 port = freePort();
        if (!answers) {
            full.setListenBacklogSize(0);
            QVERIFY(full.listen(QHostAddress::LocalHost, 0));
            full.pauseAccepting();
            filler.connectTo(full.serverPort());
            QVERIFY(filler.waitForConnected());
            port = full.serverPort();
        }
        Bench b(2000, 500);
        RelaySettings settings; // as typed, then on a port the system picks
        QVERIFY(!RelaySettings::parse(QStringLiteral("1"), QString::number(port), host, &settings));
        settings.listenPort = 0;
        b.relay.start(settings);
        QVERIFY(waitListening(b.relay));
        LoopbackPeer client;
        client.connectTo(b.relay.listeningPort());
        client.send("EHLO early\r\n");
        QVERIFY(b.log.waitFor(Kind::SessionEnded, 15000));
        QVERIFY(client.waitForDisconnected());
        const RelayEvent failed = b.log.last(Kind::ServerFailed);
        QCOMPARE(int(failed.error), error);
        const QString message = b.log.text(Kind::ServerFailed);
        QVERIFY2(message.contains(shown.arg(port)), qPrintable(message));
        QCOMPARE(b.log.last(Kind::SessionEnded).end, End::ServerUnreachable);
        // Whatever the client said before the failure is told as not delivered.
        QCOMPARE(b.log.last(Kind::Undelivered).undelivered, b.log.last(Kind::SessionEnded).bytesClientToServer);
        QVERIFY(waitListening(b.relay));
        QCOMPARE(b.relay.serverState(), State::Closed);
    }

    // A client that ends its sending at once, while the server is still being
    // reached, gets the answer the server gives after reading it all.
    void halfClosedClientWhileServerConnectingGetsItsAnswer()
    {
        QTcpServer full; // a full accept queue: the relay's dial waits until accepting resumes
        full.setListenBacklogSize(0);
        QVERIFY(full.listen(QHostAddress::LocalHost, 0));
        full.pauseAccepting();
        LoopbackPeer filler;
        filler.connectTo(full.serverPort());
        QVERIFY(filler.waitForConnected());
        QByteArray delivered;
        connect(&full, &QTcpServer::newConnection, this, [&] {
            while (QTcpSocket *s = full.nextPendingConnection()) {
                connect(s, &QTcpSocket::readyRead, s, [&delivered, s] { delivered += s->readAll(); });
                connect(s, &QTcpSocket::readChannelFinished, s, [s] { s->close(); });
            }
        });

        Bench b;
        QVERIFY(b.startTo(full.serverPort()));
        QByteArray said;
        for (int i = 0; i < 2000; ++i)
            said.append(QByteArray::number(i).rightJustified(5, '0')).append(" EHLO client\r\n");
        RawPeer client;
        client.connectTo(b.relay.listeningPort(), RawPeer::Script::speaking(said, true));
        QTRY_COMPARE_WITH_TIMEOUT(b.log.rows[Side::Client].size(), 2000, Timeout);
        QVERIFY(b.log.waitFor(Kind::PeerClosed));
        QCOMPARE(b.relay.serverState(), State::Connecting);
        QVERIFY2(b.relay.listeningPort() == 0, "the session is not over");
        full.resumeAccepting();
        QVERIFY(client.waitDone());
        QCOMPARE(delivered, said);
        QVERIFY(client.cleanEnd);
        QVERIFY(b.log.waitFor(Kind::SessionEnded));
        QCOMPARE(b.log.last(Kind::SessionEnded).end, End::ClosedByClient);
    }

    // Either side ends its sending first; the other still answers after
    // reading to the end, and gets every byte through.
    void halfCloseIsPassedOnAndTheAnswerArrives_data()
    {
        QTest::addColumn<Side>("first");
        QTest::newRow("client first (nc -N)") << Side::Client;
        QTest::newRow("server first") << Side::Server;
    }

    void halfCloseIsPassedOnAndTheAnswerArrives()
    {
        QFETCH(Side, first);
        const QByteArray request = "PING\r\n" + pattern(300'000), answer = pattern(2'000'000) + "PONG\r\n";
        RawPeer server, client;
        const RawPeer::Script speaker = RawPeer::Script::speaking(request, true), answerer = RawPeer::Script::answering(answer);
        Bench b;
        QVERIFY(b.startTo(server.listenPort()));
        server.serve(first == Side::Client ? answerer : speaker);
        client.connectTo(b.relay.listeningPort(), first == Side::Client ? speaker : answerer);
        QVERIFY(server.waitDone() && client.waitDone());
        RawPeer &asker = first == Side::Client ? client : server, &answering = first == Side::Client ? server : client;
        QVERIFY(answering.received == request);
        QVERIFY(asker.received == answer);
        QVERIFY(asker.cleanEnd && answering.cleanEnd);
        QVERIFY(b.log.waitFor(Kind::SessionEnded));
        const RelayEvent ended = b.log.last(Kind::SessionEnded);
        QCOMPARE(ended.end, first == Side::Client ? End::ClosedByClient : End::ClosedByServer);
        QCOMPARE(first == Side::Client ? ended.bytesClientToServer : ended.bytesServerToClient, request.size());
        QVERIFY(!b.log.has(Kind::Undelivered));
        QVERIFY(waitListening(b.relay));
    }

    // After the client ended, a server that stays silent for the limit ends
    // the session; nothing was owed, so the end is clean.
    void silenceAfterHalfCloseEndsTheSession()
    {
        constexpr int Silence = 300;
        RawPeer server, client;
        Bench b(Silence);
        QVERIFY(b.startTo(server.listenPort()));
        RawPeer::Script mute;
        mute.stayOpen = true;
        server.serve(mute);
        client.connectTo(b.relay.listeningPort(), RawPeer::Script::speaking("HELO\r\n", true));
        QVERIFY(client.waitDone());
        QVERIFY(client.cleanEnd && client.received.isEmpty());
        const RelayEvent ended = b.log.last(Kind::SessionEnded);
        QCOMPARE(ended.end, End::SilenceAfterHalfClose);
        QCOMPARE(ended.side, Side::Server);
        QVERIFY(ended.durationMs >= Silence);
        server.release();
        QVERIFY(server.waitDone());
        QCOMPARE(server.received, QByteArray("HELO\r\n"));
    }

    // A reader slower than the whole stall limit still gets every byte as long
    // as it keeps reading; one that stops is given up with a reset and a report.
    void slowReaderServedStoppedReaderGivenUp_data()
    {
        QTest::addColumn<bool>("keepsReading");
        QTest::newRow("slow reader") << true;
        QTest::newRow("stopped reader") << false;
    }

    void slowReaderServedStoppedReaderGivenUp()
    {
        QFETCH(bool, keepsReading);
        constexpr int Stall = 300;
        const QByteArray answer = pattern(4 * 1024 * 1024);
        RawPeer server, client;
        Bench b(Timeout, Stall);
        QVERIFY(b.startTo(server.listenPort()));
        server.serve(RawPeer::Script::speaking(answer, true));
        RawPeer::Script reader;
        reader.receiveBuffer = 32 * 1024;
        reader.readStep = 128 * 1024;
        reader.pauseMs = 15; // at most 64 KiB a read: 4 MiB take a second, several stall limits
        reader.readOnRelease = !keepsReading;
        client.connectTo(b.relay.listeningPort(), reader);
        QVERIFY(b.log.waitFor(Kind::SessionEnded, 20000));
        client.release();
        QVERIFY(client.waitDone(20000));
        const RelayEvent ended = b.log.last(Kind::SessionEnded);
        if (keepsReading) {
            QVERIFY(client.received == answer);
            QVERIFY(client.cleanEnd);
            QCOMPARE(ended.end, End::ClosedByServer);
            QVERIFY2(ended.durationMs > 2 * Stall, qPrintable(QString::number(ended.durationMs)));
            QVERIFY(!b.log.has(Kind::Undelivered));
            return;
        }
        QCOMPARE(ended.end, End::DeliveryStalled);
        QCOMPARE(ended.side, Side::Client);
        const RelayEvent lost = b.log.last(Kind::Undelivered);
        QCOMPARE(lost.side, Side::Client);
        QVERIFY(lost.undelivered > 0 && lost.undelivered <= answer.size() - client.received.size());
        const QString said = EventText::describe(lost);
        QVERIFY2(said.startsWith(QStringLiteral("%1 octets non remis au client").arg(lost.undelivered)), qPrintable(said));
        QVERIFY2(!client.cleanEnd, "a cut stream must not look complete");
        QVERIFY(waitListening(b.relay));
    }

    // finish(): what was read from the client reaches a server that is slow to
    // read, within the grace; past the grace the rest is counted, not hidden.
    void finishDeliversWhatWasRead_data()
    {
        QTest::addColumn<bool>("serverReads");
        QTest::newRow("slow server reads within the grace") << true;
        QTest::newRow("server never reads") << false;
    }

    void finishDeliversWhatWasRead()
    {
        QFETCH(bool, serverReads);
        const QByteArray request = pattern(6 * 1024 * 1024);
        RawPeer server;
        LoopbackPeer client;
        Bench b;
        QSignalSpy finished(&b.relay, &Relay::finished);
        QVERIFY(b.startTo(server.listenPort()));
        RawPeer::Script reader;
        reader.receiveBuffer = 32 * 1024;
        reader.readStep = 256 * 1024;
        reader.pauseMs = 20;
        reader.readOnRelease = true;
        server.serve(reader);
        client.connectTo(b.relay.listeningPort());
        client.send(request);
        QVERIFY(QTest::qWaitFor([&] { return b.relay.pendingSendBytes(Side::Server) > Relay::SendQueueBound / 2; }, Timeout));
        if (serverReads)
            server.release();
        b.relay.finish(serverReads ? 10000 : 300);
        QVERIFY(b.relay.listeningPort() == 0 && !b.relay.isArmed());
        QVERIFY(finished.wait(15000));
        const qint64 toServer = finished[0][1].toLongLong();
        QCOMPARE(finished[0][0].toLongLong(), 0);
        QCOMPARE(b.log.last(Kind::SessionEnded).end, End::Stopped);
        QVERIFY(client.waitForDisconnected());
        server.release();
        QVERIFY(server.waitDone());
        if (serverReads) {
            QCOMPARE(toServer, 0);
            QCOMPARE(server.received.size(), b.log.last(Kind::SessionEnded).bytesClientToServer);
            QVERIFY(request.startsWith(server.received));
            QVERIFY(server.cleanEnd);
        } else {
            QVERIFY(toServer > 0);
            QCOMPARE(b.log.last(Kind::Undelivered).undelivered, toServer);
            QVERIFY(!server.cleanEnd);
        }
        QVERIFY(!b.relay.isArmed() && b.relay.listeningPort() == 0);
    }

    void everyByteValueBothWaysUntilEnd_data()
    {
        QTest::addColumn<int>("end");
        QTest::newRow("client closes") << int(ClientCloses);
        QTest::newRow("client resets") << int(ClientResets);
        QTest::newRow("server resets") << int(ServerResets);
        QTest::newRow("relay destroyed") << int(RelayDestroyed);
    }

    void everyByteValueBothWaysUntilEnd()
    {
        QFETCH(int, end);
        LoopbackPeer server, client;
        QVERIFY(server.listen());
        Bench b;
        QVERIFY(b.startTo(server.serverPort()));
        client.connectTo(b.relay.listeningPort());
        QVERIFY(client.waitForConnected() && server.waitForAccepted(1));
        QByteArray all;
        for (int v = 0; v < 3 * 256; ++v)
            all.append(char(v));
        QByteArray reversed(all);
        std::reverse(reversed.begin(), reversed.end());
        client.send(all);
        server.send(reversed);
        QVERIFY(server.waitForReceived(all.size()));
        QVERIFY(client.waitForReceived(reversed.size()));
        QCOMPARE(server.received(), all);
        QCOMPARE(client.received(), reversed);

        // No CR LF in either: each stream is one row, shown when the session ends, unless the
        // relay dies with it (an owner's receiving members may already be gone by then).
        if (end == RelayDestroyed) {
            QSignalSpy rows(&b.relay, &Relay::rowsCaptured), events(&b.relay, &Relay::eventOccurred);
            b.owned.reset();
            QVERIFY(rows.isEmpty() && events.isEmpty());
            QVERIFY(client.waitForDisconnected());
            QVERIFY(server.waitForDisconnected());
            return;
        }
        const bool byServer = end == ServerResets;
        LoopbackPeer &ender = byServer ? server : client;
        end == ClientCloses ? ender.close() : ender.reset();
        QVERIFY((byServer ? client : server).waitForDisconnected());
        QVERIFY(b.log.waitFor(Kind::SessionEnded));
        const End expected = end == ClientCloses ? End::ClosedByClient
                                       : byServer           ? End::ResetByServer
                                                            : End::ResetByClient;
        QCOMPARE(b.log.last(Kind::SessionEnded).end, expected);
        QCOMPARE(b.log.last(Kind::SessionEnded).bytesClientToServer, all.size());
        QVERIFY(waitListening(b.relay));
        QCOMPARE(b.relay.serverState(), State::Closed);
        QCOMPARE(b.log.rows[Side::Client], QList<QByteArray>{all});
        QCOMPARE(b.log.rows[Side::Server], QList<QByteArray>{reversed});
    }

    void hugeLineToSlowReaderIsBounded()
    {
        LoopbackPeer server, client;
        QVERIFY(server.listen());
        Bench b;
        QVERIFY(b.startTo(server.serverPort()));
        client.connectTo(b.relay.listeningPort());
        QVERIFY(client.waitForConnected() && server.waitForAccepted(1));
        server.setAutoRead(false);
        qint64 maxPending = 0;
        const auto sample = [&] { maxPending = std::max(maxPending, b.relay.pendingSendBytes(Side::Server)); };
        connect(&b.relay, &Relay::rowsCaptured, this, sample);
        const QByteArray line = pattern(10'000'000);
        client.send(line);

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
        QCOMPARE(b.log.rows[Side::Client].size(), fullRows); // rows leave as the line comes
        client.close();
        QVERIFY(b.log.waitFor(Kind::PeerClosed));
        const QList<QByteArray> rows = b.log.rows[Side::Client];
        QCOMPARE(rows.size(), fullRows + 1);
        QVERIFY(std::all_of(rows.cbegin(), rows.cend(), [](const QByteArray &r) { return r.size() <= LineCapture::MaxRowBytes; }));
        QVERIFY(rows.join() == line);
        QVERIFY2(maxPending <= Relay::SendQueueBound + StreamSocket::ReadChunkBytes, qPrintable(QString::number(maxPending)));
    }
};

QTEST_GUILESS_MAIN(TestRelay)
#include "tst_relay.moc"
