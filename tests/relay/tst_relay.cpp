#include "LoopbackPeer.h"
#include "RawPeer.h"
#include "RelayRecorder.h"
#include "TranscriptMarks.h"
#include "RelaySettings.h"
#include "SessionMarks.h"
#include "TestTexts.h"

#include <QHostInfo>
#include <QNetworkInterface>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTest>

#include <memory>
#include <vector>

namespace {

constexpr int Timeout = 5000;
using Kind = RelayEvent::Kind;
using End = RelayEvent::End;
using State = StreamSocket::State;
using Field = RelaySettings::Error::Field;
using Problem = RelaySettings::Error::Problem;

RelaySettings to(quint16 serverPort, quint16 listenPort = 0)
{
    return {listenPort, QStringLiteral("127.0.0.1"), serverPort};
}

bool isIdle(const Relay &relay)
{
    return !relay.isArmed() && relay.listeningPort() == 0 && relay.clientState() == State::Closed
        && relay.serverState() == State::Closed;
}

QByteArray pattern(qsizetype size) // no line end: one long line, cut into rows by size
{
    QByteArray bytes(size, '\0');
    for (qsizetype i = 0; i < size; ++i)
        bytes[i] = char('a' + (i * 7 + i / 4096) % 26);
    return bytes;
}

} // namespace

class TestRelay : public QObject
{
    Q_OBJECT
    enum Ending { ClientResets, ServerResets, RelayDestroyed };

private Q_SLOTS:
    void settingsRefusedChangeNothing_data()
    {
        QTest::addColumn<QStringList>("input"); // listen port, server port, server host
        QTest::addColumn<Field>("field");
        QTest::addColumn<Problem>("problem");
        const QString ok = QStringLiteral("2525"), local = QStringLiteral("127.0.0.1");
        for (const char *bad : {"", "abc", "0", "65536", "99999999999", "+25", "٢٥"}) {
            const QString text = QString::fromUtf8(bad);
            QTest::addRow("listen «%s»", bad) << QStringList{text, ok, local} << Field::ListenPort << Problem::NotAPort;
            QTest::addRow("server «%s»", bad) << QStringList{ok, text, local} << Field::ServerPort << Problem::NotAPort;
        }
        QTest::newRow("blank host") << QStringList{ok, ok, QStringLiteral("  ")} << Field::ServerHost << Problem::EmptyHost;
        for (const char *host : {"host:25:26", "[::1]:25", "mx:25", "::1:zz"})
            QTest::addRow("host «%s»", host) << QStringList{ok, ok, QString::fromUtf8(host)} << Field::ServerHost
                                             << Problem::HostWithColon;
        for (const char *host : {"mail server.example", "mx/1", "a@b"})
            QTest::addRow("host «%s»", host) << QStringList{ok, ok, QString::fromUtf8(host)} << Field::ServerHost
                                             << Problem::NotAHost;
        // Dravlin's own port on any name or address of this machine: each
        // client would come back to the relay. Names are not looked up.
        QStringList own{QStringLiteral("127.0.0.1"), QStringLiteral("127.8.9.10"), QStringLiteral("LocalHost"),
                        QStringLiteral("mx.localhost."), QStringLiteral("::1"), QStringLiteral("[::1]"),
                        QStringLiteral("0.0.0.0"), QStringLiteral("::"), QStringLiteral("::ffff:127.0.0.1"),
                        QHostInfo::localHostName()};
        for (const QHostAddress &address : QNetworkInterface::allAddresses())
            own.append(address.toString());
        for (const QString &host : own)
            QTest::addRow("self «%s»", qPrintable(host)) << QStringList{ok, ok, host} << Field::ServerHost << Problem::SelfRelay;
    }
    void settingsRefusedChangeNothing()
    {
        QFETCH(QStringList, input);
        QFETCH(Field, field);
        QFETCH(Problem, problem);
        RelaySettings settings = to(4242);
        const auto error = RelaySettings::parse(input[0], input[1], input[2], &settings);
        QVERIFY(error);
        QCOMPARE(error->field, field);
        QCOMPARE(error->problem, problem);
        QCOMPARE(settings.serverPort, quint16(4242));
        // The window names the field by its caption and quotes the value as typed.
        static const char *const captions[] = {"« Serveur sur le port »", "« Sur le port »", "« Redirige vers »"};
        const QString said = EventText::settingsError(*error, EventText::Naming::WindowFields);
        QVERIFY2(said.contains(QString::fromUtf8(captions[int(field)]))
                     && (said.contains(QStringLiteral("« %1 »").arg(input.at(int(field)))) || problem == Problem::EmptyHost),
                 qPrintable(said));
        if (problem == Problem::SelfRelay) {
            const QString console = EventText::settingsError(*error, EventText::Naming::ConsoleOptions);
            QVERIFY2(said.contains(QStringLiteral("port 2525")) && console.contains(QStringLiteral("--listen")), qPrintable(console));
            // Another port of the same machine is another server.
            RelaySettings other;
            QVERIFY(!RelaySettings::parse(input[0], QStringLiteral("2526"), input[2], &other));
        }
    }

    // Listening starts on the re-arm tick; while a client is served nobody
    // else gets in; the server's answer and close reach it, then the relay
    // re-arms. Stop ends a session at once and nothing re-arms, even when it
    // lands on a client being taken.
    void oneClientAtATimeUntilStop()
    {
        RelayRecorder b;
        LoopbackPeer server, early, first, second, next;
        QVERIFY(server.listen());
        // Named, the server is known by its address only once reached.
        const RelaySettings settings{LoopbackPeer::unusedPort(), QStringLiteral("localhost"), server.serverPort()};
        const quint16 port = settings.listenPort;
        b.relay.start(settings);
        early.connectTo(port); // before the tick: nothing listens yet
        QVERIFY(early.waitForDisconnected());
        QVERIFY(!early.waitForConnected(0));
        QVERIFY(b.waitFor(Kind::Listening));
        QCOMPARE(b.relay.listeningPort(), port);

        first.connectTo(port);
        QVERIFY(first.waitForConnected() && server.waitForAccepted(1));
        QVERIFY(b.waitFor(Kind::ServerConnected));
        QCOMPARE(b.last(Kind::ClientConnected).server, (Endpoint{QHostAddress(), server.serverPort(), QStringLiteral("localhost")}));
        QCOMPARE(b.last(Kind::ClientConnected).client.port, first.socket()->localPort());
        QCOMPARE(b.last(Kind::ServerConnected).server,
                 (Endpoint{QHostAddress(QHostAddress::LocalHost), server.serverPort(), QStringLiteral("localhost")}));
        QTRY_COMPARE(b.relay.listeningPort(), quint16(0));
        second.connectTo(port);
        QVERIFY(second.waitForDisconnected());
        QVERIFY(!second.waitForConnected(0));
        first.send("QUIT\r\n");
        QVERIFY(server.waitForReceived(6));
        server.send("221 bye\r\n");
        server.close();
        QVERIFY(first.waitForDisconnected());
        QCOMPARE(first.received(), QByteArray("221 bye\r\n"));
        QCOMPARE(server.acceptedCount(), 1);
        QVERIFY(b.waitFor(Kind::SessionEnded));
        QCOMPARE(b.last(Kind::SessionEnded).end, End::ClosedByServer);
        QCOMPARE(b.last(Kind::SessionEnded).bytesServerToClient, 9);
        QCOMPARE(b.last(Kind::PeerClosed).side, Side::Client);
        QCOMPARE(b.count(Kind::Undelivered), 0);
        QVERIFY(b.listening());
        QCOMPARE(b.relay.serverState(), State::Closed);

        next.connectTo(port);
        QVERIFY(server.waitForAccepted(2));
        b.relay.stop();
        QCOMPARE(b.last(Kind::SessionEnded).end, End::Stopped);
        QVERIFY(server.waitForDisconnected());
        QObject clients;
        for (int round = 0; round < 50; ++round) {
            b.relay.start(settings);
            if (round % 10 == 0)
                QVERIFY(b.listening());
            (new LoopbackPeer(&clients))->connectTo(port);
            QCoreApplication::processEvents();
            if (round % 3 == 0)
                b.relay.start(settings); // harmless while armed
            b.relay.stop();
            QVERIFY(isIdle(b.relay));
        }
        for (LoopbackPeer *client : clients.findChildren<LoopbackPeer *>())
            QVERIFY(client->waitForDisconnected());
        const qsizetype told = b.events.size();
        QTest::qWait(2 * Relay::RearmIntervalMs + 100);
        QCOMPARE(b.events.size(), told); // nothing re-armed behind the stops
        QVERIFY(isIdle(b.relay));
        QCOMPARE(b.count(Kind::SessionEnded), b.count(Kind::ClientConnected)); // one per client taken
    }

    void serverUnreachableEndsTheSession_data()
    {
        QTest::addColumn<QString>("host");
        QTest::addColumn<bool>("answers"); // false: a server whose accept queue is full
        QTest::addColumn<QAbstractSocket::SocketError>("error");
        QTest::addColumn<QString>("named");            // the server as the event names it
        QTest::addColumn<FailureCause::Kind>("cause"); // why, with the system's code
        QTest::addColumn<int>("code");
        const auto refused = QAbstractSocket::ConnectionRefusedError;
        using Cause = FailureCause::Kind;
        QTest::newRow("refused, IPv6") << QStringLiteral("::1") << true << refused << QStringLiteral("::1") << Cause::System
                                       << ECONNREFUSED;
        QTest::newRow("refused, IPv6 typed in brackets") << QStringLiteral(" [::1] ") << true << refused
                                                         << QStringLiteral("::1") << Cause::System << ECONNREFUSED;
        // An empty label is refused by the resolver itself: no query leaves the machine.
        QTest::newRow("host not found") << QStringLiteral("nohost..invalid") << true << QAbstractSocket::HostNotFoundError
                                        << QStringLiteral("nohost..invalid") << Cause::HostNotFound << 0;
        QTest::newRow("never answers") << QStringLiteral("127.0.0.1") << false << QAbstractSocket::SocketTimeoutError
                                       << QStringLiteral("127.0.0.1") << Cause::System << ETIMEDOUT;
    }
    void serverUnreachableEndsTheSession()
    {
        QFETCH(QString, host);
        QFETCH(bool, answers);
        QFETCH(QAbstractSocket::SocketError, error);
        QFETCH(QString, named);
        QFETCH(FailureCause::Kind, cause);
        QFETCH(int, code);
        LoopbackPeer full;
        QVERIFY(answers || full.listenWithFullQueue());
        const quint16 port = answers ? LoopbackPeer::unusedPort() : full.serverPort();
        RelayRecorder b(2000, 500);
        RelaySettings settings; // as typed, then on a port the system picks
        QVERIFY(!RelaySettings::parse(QStringLiteral("1"), QString::number(port), host, &settings));
        settings.listenPort = 0;
        b.relay.start(settings);
        QVERIFY(b.listening());
        LoopbackPeer client;
        client.connectTo(b.relay.listeningPort());
        client.send("EHLO early\r\n");
        QVERIFY(b.waitFor(Kind::SessionEnded, 15000));
        QVERIFY(client.waitForDisconnected());
        QCOMPARE(b.last(Kind::ServerFailed).error, error);
        const RelayEvent failed = b.last(Kind::ServerFailed);
        QCOMPARE(failed.server.name, named);
        QCOMPARE(failed.server.port, port);
        // Never reached: only an address typed as one is known.
        QCOMPARE(failed.server.address, QHostAddress(named));
        QCOMPARE(failed.cause.kind, cause);
        QCOMPARE(failed.cause.code, code);
        QCOMPARE(b.last(Kind::SessionEnded).end, End::ServerUnreachable);
        // Whatever the client said before the failure is told as not delivered.
        QCOMPARE(b.last(Kind::Undelivered).undelivered, b.last(Kind::SessionEnded).bytesClientToServer);
        QVERIFY(b.listening());
    }

    // A client that ends its sending while the server is still being reached
    // keeps its session: all it said reaches the server, and the server's
    // close comes back to it.
    void halfClosedClientWaitsForTheServerBeingReached()
    {
        LoopbackPeer server;
        QVERIFY(server.listenWithFullQueue());
        RelayRecorder b;
        QVERIFY(b.startTo(server.serverPort()));
        const QByteArray said = QByteArray("EHLO client\r\n").repeated(2000);
        RawPeer client;
        client.connectTo(b.relay.listeningPort(), RawPeer::Script{said, true});
        QVERIFY(b.waitFor(Kind::PeerClosed));
        QCOMPARE(b.relay.serverState(), State::Connecting);
        QCOMPARE(b.relay.listeningPort(), quint16(0));
        server.resumeAccepting();
        QVERIFY(server.waitForDisconnected()); // the client's end passed on, and Qt closes on it
        QCOMPARE(server.received(), said);
        QVERIFY(client.waitDone());
        QVERIFY(client.cleanEnd);
        QVERIFY(b.waitFor(Kind::SessionEnded));
        QCOMPARE(b.last(Kind::SessionEnded).end, End::ClosedByClient);
    }

    // Either side ends its sending first; the other still answers after
    // reading to the end and gets every byte through, or stays silent and
    // the session ends at the silence limit, cleanly: nothing was owed. While
    // the front end has reading held, the silence limit does not run: the
    // server is not silent, it is not being read.
    void halfClosedSideStillGetsTheAnswer_data()
    {
        QTest::addColumn<Side>("first");
        QTest::addColumn<QByteArray>("answer"); // empty: none, the side stays silent
        QTest::addColumn<End>("end");
        QTest::addColumn<int>("holdMs");
        const QByteArray answer = pattern(2'000'000) + "PONG\r\n";
        QTest::newRow("client first (nc -N)") << Side::Client << answer << End::ClosedByClient << 0;
        QTest::newRow("server first") << Side::Server << answer << End::ClosedByServer << 0;
        QTest::newRow("server silent after the client") << Side::Client << QByteArray() << End::SilenceAfterHalfClose << 0;
        QTest::newRow("reading held for four silence limits") << Side::Client << answer << End::ClosedByClient << 1200;
    }
    void halfClosedSideStillGetsTheAnswer()
    {
        QFETCH(Side, first);
        QFETCH(QByteArray, answer);
        QFETCH(End, end);
        QFETCH(int, holdMs);
        constexpr int Silence = 300;
        const QByteArray request = "PING\r\n" + pattern(300'000);
        RawPeer server, client;
        const RawPeer::Script speaker{request, true};
        RawPeer::Script answerer;
        answerer.answerAfterEnd = answer;
        answerer.stayOpen = answer.isEmpty();
        RelayRecorder b(answer.isEmpty() || holdMs ? Silence : Timeout);
        if (holdMs) {
            // Held from the moment the client's end is seen, before the server can answer it.
            connect(&b.relay, &Relay::eventOccurred, this, [&](const RelayEvent &e) {
                if (e.kind == Kind::PeerClosed && e.side == Side::Client)
                    b.relay.holdReading(true);
            });
        }
        QVERIFY(b.startTo(server.listenPort()));
        server.serve(first == Side::Client ? answerer : speaker);
        client.connectTo(b.relay.listeningPort(), first == Side::Client ? speaker : answerer);
        RawPeer &asker = first == Side::Client ? client : server, &answering = first == Side::Client ? server : client;
        if (holdMs) {
            QVERIFY(b.waitFor(Kind::PeerClosed));
            QVERIFY(!b.waitFor(Kind::SessionEnded, holdMs));
            b.relay.holdReading(false);
        }
        QVERIFY(asker.waitDone());
        answering.release();
        QVERIFY(answering.waitDone());
        QVERIFY(answering.received == request);
        QVERIFY(asker.received == answer);
        QVERIFY(asker.cleanEnd);
        QVERIFY(b.waitFor(Kind::SessionEnded));
        const RelayEvent ended = b.last(Kind::SessionEnded);
        QCOMPARE(ended.end, end);
        QCOMPARE(first == Side::Client ? ended.bytesClientToServer : ended.bytesServerToClient, request.size());
        QVERIFY(answer.size() || (ended.side == Side::Server && ended.durationMs >= Silence));
        QCOMPARE(b.count(Kind::Undelivered), 0);
        QVERIFY(b.listening());
    }

    // Bytes queued for a slow reader reach it as long as it reads, however
    // long that takes past the stall limit; from one that stops, or has not
    // read when finish()'s grace runs out, the rest is counted as undelivered,
    // never passed off as a clean end. Meanwhile the queue stays bounded, and
    // the talker's rows hold exactly what was read from it, the unended last
    // line included. (A server that reads within the grace gets it all: the
    // window suite's closing test.)
    void slowReaderGetsEveryByteOrTheRestIsCounted_data()
    {
        QTest::addColumn<Side>("slowSide");
        QTest::addColumn<bool>("reads");
        QTest::newRow("slow client, longer than the stall limit") << Side::Client << true;
        QTest::newRow("client stops reading") << Side::Client << false;
        QTest::newRow("server not read within the grace") << Side::Server << false;
    }
    void slowReaderGetsEveryByteOrTheRestIsCounted()
    {
        QFETCH(Side, slowSide);
        QFETCH(bool, reads);
        constexpr int Stall = 300;
        const bool byFinish = slowSide == Side::Server;
        const Side talker = byFinish ? Side::Client : Side::Server;
        // Past what the kernel's buffers take (some 4 MiB on loopback), so that the relay's queue fills.
        const QByteArray payload = pattern((byFinish ? 8 : 4) * 1024 * 1024);
        RawPeer server, client;
        RawPeer &reader = byFinish ? server : client;
        RelayRecorder b(Timeout, byFinish ? Timeout : Stall);
        QSignalSpy finished(&b.relay, &Relay::finished);
        qint64 maxPending = 0;
        connect(&b.relay, &Relay::bytesRelayed, this,
                [&] { maxPending = std::max(maxPending, b.relay.pendingSendBytes(slowSide)); });
        QVERIFY(b.startTo(server.listenPort()));
        RawPeer::Script slow;
        slow.receiveBuffer = 32 * 1024;
        slow.readStep = 128 * 1024;
        slow.pauseMs = 15; // at most 64 KiB a read: 4 MiB take a second, several stall limits
        slow.readOnRelease = !reads;
        server.serve(byFinish ? slow : RawPeer::Script{payload, true});
        client.connectTo(b.relay.listeningPort(), byFinish ? RawPeer::Script{payload, false} : slow);
        if (byFinish) {
            QVERIFY(QTest::qWaitFor([&] { return b.relay.pendingSendBytes(Side::Server) > Relay::SendQueueBound / 2; }, Timeout));
            b.relay.finish(Stall);
            QVERIFY(finished.size() == 1 || finished.wait(15000));
        }
        QVERIFY(b.waitFor(Kind::SessionEnded, 20000));
        reader.release();
        QVERIFY(server.waitDone(20000) && client.waitDone(20000));
        const RelayEvent ended = b.last(Kind::SessionEnded);
        const qint64 read = talker == Side::Client ? ended.bytesClientToServer : ended.bytesServerToClient;
        const qint64 undelivered = b.count(Kind::Undelivered) ? b.last(Kind::Undelivered).undelivered : 0;
        QVERIFY(payload.startsWith(reader.received));
        QVERIFY(b.rows[talker].join() == payload.left(read));
        QVERIFY2(maxPending <= Relay::SendQueueBound + StreamSocket::ReadChunkBytes, qPrintable(QString::number(maxPending)));
        QCOMPARE(ended.end, byFinish ? End::Stopped : reads ? End::ClosedByServer : End::DeliveryStalled);
        if (reads) {
            QCOMPARE(reader.received.size(), read);
            QCOMPARE(undelivered, 0);
            QVERIFY(reader.cleanEnd);
            QVERIFY(ended.durationMs > 2 * Stall); // slower than the stall limit, yet served
            return;
        }
        if (byFinish)
            QCOMPARE(finished[0], (QVariantList{qint64(0), undelivered + b.last(Kind::Undelivered).ignoredAfterEnd}));
        QCOMPARE(b.last(Kind::Undelivered).side, slowSide);
        QVERIFY(undelivered > 0 && reader.received.size() + undelivered <= read);
        QVERIFY2(!reader.cleanEnd, "a cut stream must not look complete");
    }

    // Ended while both sides still stream and one reads slowly: what was read
    // goes on being delivered for the grace, what was not is counted (the
    // rows hold no more than what each peer got plus that count), and a side
    // that missed bytes gets a reset, never an orderly end.
    void finishWhileBothStreamCountsEveryLostByte()
    {
        RawPeer server, client;
        RawPeer::Script talker{pattern(6 * 1024 * 1024)};
        talker.sayWhileReading = true;
        RawPeer::Script slow = talker;
        slow.readStep = 64 * 1024;
        slow.pauseMs = 30; // about 2 MB/s
        RelayRecorder b(Timeout, Timeout);
        QSignalSpy finished(&b.relay, &Relay::finished);
        QVERIFY(b.startTo(server.listenPort()));
        server.serve(talker);
        client.connectTo(b.relay.listeningPort(), slow);
        QVERIFY(QTest::qWaitFor([&] { return client.received.size() > 0 && server.received.size() > 1024 * 1024; }, Timeout));
        b.relay.finish(500);
        QVERIFY(finished.wait(Timeout) || finished.size() == 1);
        QVERIFY(server.waitDone() && client.waitDone());
        QCOMPARE(b.last(Kind::SessionEnded).end, End::Stopped);
        qint64 undelivered[2] = {}, lost[2] = {};
        for (const RelayEvent &e : b.all(Kind::Undelivered)) {
            undelivered[sideIndex(e.side)] = e.undelivered;
            lost[sideIndex(e.side)] = e.undelivered + e.ignoredAfterEnd;
        }
        QCOMPARE(finished[0], (QVariantList{lost[0], lost[1]}));
        for (const Side side : {Side::Client, Side::Server}) {
            const RawPeer &peer = side == Side::Client ? client : server;
            const QByteArray read = b.rows[otherSide(side)].join();
            // What the system still held counts as lost though the peer may
            // have had it, its acknowledgement delayed: a bound, never short.
            QVERIFY(read.startsWith(peer.received));
            QVERIFY(peer.received.size() + undelivered[sideIndex(side)] >= read.size());
            QVERIFY2(peer.cleanEnd == (lost[sideIndex(side)] == 0), side == Side::Client ? "client" : "server");
        }
        QVERIFY2(lost[sideIndex(Side::Client)] > 0, "a client reading at 2 MB/s cannot have taken it all");
    }

    // Every byte value, both ways at once, in order; then a reset is told as
    // such, never as a close (a clean close: the half-close tests), and each
    // side's unended line is shown.
    void everyByteValueBothWaysUntilEnd_data()
    {
        QTest::addColumn<Ending>("ending");
        QTest::newRow("client resets") << ClientResets;
        QTest::newRow("server resets") << ServerResets;
        QTest::newRow("relay destroyed") << RelayDestroyed;
    }
    void everyByteValueBothWaysUntilEnd()
    {
        QFETCH(Ending, ending);
        LoopbackPeer server, client;
        QVERIFY(server.listen());
        RelayRecorder b;
        QVERIFY(b.startTo(server.serverPort()));
        client.connectTo(b.relay.listeningPort());
        QVERIFY(client.waitForConnected() && server.waitForAccepted(1));
        const QByteArray all = everyByte().repeated(3);
        QByteArray reversed(all);
        std::reverse(reversed.begin(), reversed.end());
        client.send(all);
        server.send(reversed);
        QVERIFY(server.waitForReceived(all.size()) && client.waitForReceived(reversed.size()));
        QCOMPARE(server.received(), all);
        QCOMPARE(client.received(), reversed);

        // No CR LF in either: each stream is one row, shown when the session ends, unless the
        // relay dies with it (an owner's receiving members may already be gone by then).
        if (ending == RelayDestroyed) {
            b.owned.reset();
            QVERIFY(b.rows.isEmpty() && b.count(Kind::SessionEnded) == 0);
            QVERIFY(client.waitForDisconnected() && server.waitForDisconnected());
            return;
        }
        const bool byServer = ending == ServerResets;
        (byServer ? server : client).reset();
        QVERIFY((byServer ? client : server).waitForDisconnected());
        QVERIFY(b.waitFor(Kind::SessionEnded));
        QCOMPARE(b.last(Kind::SessionEnded).end, byServer ? End::ResetByServer : End::ResetByClient);
        QCOMPARE(b.last(Kind::SessionEnded).bytesClientToServer, all.size());
        QVERIFY(b.listening());
        QCOMPARE(b.relay.serverState(), State::Closed);
        QCOMPARE(b.rows[Side::Client], QList<QByteArray>{all});
        QCOMPARE(b.rows[Side::Server], QList<QByteArray>{reversed});
    }

    // A client that hangs up with a reset once the server has answered its
    // QUIT or LOGOUT, or has closed, ended the session normally: said without
    // alarm and read back from the session's mark. Before that, a reset stays
    // one. Each side's lines arrive cut in two, to be put together again.
    void resetAfterTheDialogueIsANormalEnd_data()
    {
        QTest::addColumn<QByteArray>("said");   // the client's last lines
        QTest::addColumn<QByteArray>("answer"); // the server's
        QTest::addColumn<bool>("serverCloses"); // then the server ends its sending
        QTest::addColumn<End>("end");
        const End normal = End::ClosedByClientAfterDialogue;
        QTest::newRow("after 221") << QByteArray("MAIL FROM:<a@example.org>\r\nQUIT\r\n")
                                   << QByteArray("250 2.1.0 Ok\r\n221 2.0.0 Bye\r\n") << false << normal;
        QTest::newRow("after POP3 +OK") << QByteArray("quit\r\n") << QByteArray("+OK bye\r\n") << false << normal;
        QTest::newRow("after * BYE") << QByteArray("a1 LOGOUT\r\n") << QByteArray("* BYE logging out\r\n") << false
                                     << normal;
        QTest::newRow("after the tagged OK") << QByteArray("a7 logout\r\n") << QByteArray("a7 OK LOGOUT done\r\n")
                                             << false << normal;
        QTest::newRow("after the server closed") << QByteArray("DATA\r\n") << QByteArray("354 go on\r\n") << true
                                                 << normal;
        QTest::newRow("mid-dialogue") << QByteArray("MAIL FROM:<a@example.org>\r\n") << QByteArray("250 2.1.0 Ok\r\n")
                                      << false << End::ResetByClient;
        QTest::newRow("QUIT refused") << QByteArray("QUIT\r\n") << QByteArray("500 5.5.2 no\r\n") << false
                                      << End::ResetByClient;
        QTest::newRow("another tag's OK") << QByteArray("a8 LOGOUT\r\n") << QByteArray("a7 OK done\r\n") << false
                                          << End::ResetByClient;
        QTest::newRow("QUIT inside a long line") << QByteArray(60, 'x') + " QUIT\r\n" << QByteArray("221 Bye\r\n")
                                                 << false << End::ResetByClient;
    }
    void resetAfterTheDialogueIsANormalEnd()
    {
        QFETCH(QByteArray, said);
        QFETCH(QByteArray, answer);
        QFETCH(bool, serverCloses);
        QFETCH(End, end);
        LoopbackPeer server, client;
        QVERIFY(server.listen());
        RelayRecorder b;
        QVERIFY(b.startTo(server.serverPort()));
        // The client hangs up at once when the server's end is told, before
        // the relay passes it on, as a client reading it would.
        connect(&b.relay, &Relay::eventOccurred, this, [&](const RelayEvent &e) {
            if (serverCloses && e.kind == Kind::PeerClosed && e.side == Side::Server)
                client.reset();
        });
        client.connectTo(b.relay.listeningPort());
        QVERIFY(client.waitForConnected() && server.waitForAccepted(1));
        for (qsizetype cut : {said.size() / 2, said.size()}) {
            client.send(said.left(cut).mid(server.received().size()));
            QVERIFY(server.waitForReceived(cut));
        }
        for (qsizetype cut : {answer.size() / 2, answer.size()}) {
            server.send(answer.left(cut).mid(client.received().size()));
            QVERIFY(client.waitForReceived(cut));
        }
        if (serverCloses)
            server.close();
        else
            client.reset();
        QVERIFY(b.waitFor(Kind::SessionEnded));
        const RelayEvent ended = b.last(Kind::SessionEnded);
        QCOMPARE(ended.end, end);
        QCOMPARE(ended.bytesServerToClient, answer.size());
        QCOMPARE(b.count(Kind::Undelivered), 0);
        QCOMPARE(b.last(Kind::PeerReset).end == End::ClosedByClientAfterDialogue, end != End::ResetByClient);
        const SessionMark readBack = TranscriptMarks::read(SessionMarks::text(ended).toUtf8(), ended.time,
                                                           QDateTime::fromMSecsSinceEpoch(ended.time).time().msecsSinceStartOfDay());
        QCOMPARE(readBack.event.end, end);
        QVERIFY(b.listening());
    }

    // While every place is taken, clients waiting are told with how many
    // sessions hold the places, and told again once none is left. Clients
    // that reset while waiting take no session number: a burst of them is
    // told as a count, at most once a second, in the system's words.
    void waitingAndVanishedClientsAreToldNotNumbered()
    {
        QTcpServer server; // holds every connection it is given: the sessions stay idle
        QVERIFY(server.listen(QHostAddress::LocalHost, 0));
        RelayRecorder b;
        RelaySettings settings = to(server.serverPort());
        settings.maxClients = 2;
        b.relay.start(settings);
        QVERIFY(b.listening());
        LoopbackPeer idle[2];
        for (LoopbackPeer &client : idle)
            client.connectTo(b.relay.listeningPort());
        QTRY_COMPARE_WITH_TIMEOUT(b.count(Kind::ServerConnected), 2, Timeout);
        constexpr int Vanishing = 20;
        std::vector<std::unique_ptr<LoopbackPeer>> waiting;
        for (int i = 0; i < Vanishing; ++i) {
            waiting.push_back(std::make_unique<LoopbackPeer>());
            waiting.back()->connectTo(b.relay.listeningPort());
            QVERIFY(waiting.back()->waitForConnected());
        }
        QTRY_VERIFY_WITH_TIMEOUT(b.last(Kind::ClientsWaiting).count == Vanishing, Timeout);
        QCOMPARE(b.last(Kind::ClientsWaiting).running, 2);
        QCOMPARE(b.last(Kind::ClientsWaiting).places, 2);
        for (auto &client : waiting)
            client->reset();
        for (LoopbackPeer &client : idle)
            client.reset();
        const auto gone = [&b] {
            qint64 total = 0;
            for (const RelayEvent &e : b.all(Kind::ClientsGone))
                total += e.count;
            return total;
        };
        QTRY_COMPARE_WITH_TIMEOUT(gone(), qint64{Vanishing}, Timeout);
        QTRY_COMPARE_WITH_TIMEOUT(b.last(Kind::ClientsWaiting).count, qint64{0}, Timeout);
        QVERIFY(b.count(Kind::ClientsGone) <= 3);
        QCOMPARE(b.last(Kind::ClientsGone).cause.kind, FailureCause::Kind::System);
        QCOMPARE(b.last(Kind::ClientsGone).cause.code, ECONNRESET);
        LoopbackPeer next;
        next.connectTo(b.relay.listeningPort());
        QTRY_COMPARE_WITH_TIMEOUT(b.count(Kind::ClientConnected), 3, Timeout);
        QCOMPARE(b.last(Kind::ClientConnected).session, 3);
        QCOMPARE(b.count(Kind::PeerReset), 2); // the two sessions' own clients
    }
};

QTEST_GUILESS_MAIN(TestRelay)
#include "tst_relay.moc"
