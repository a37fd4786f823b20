#include "ConsoleRun.h"
#include "TranscriptLoading.h"

// The console relaying sessions: what stdout, the capture and stderr tell of them.
class TestConsole : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // Two sessions in one run: a STARTTLS one seen through, then a plain one
    // cut by SIGTERM. The transcript stamps, escapes and frames every row, a
    // mark per handshake in its place among them; the capture, for its owner
    // only, holds the bytes as relayed, the line left unended at the stop too.
    void transcriptAndCaptureShowEachSessionAsRelayed()
    {
        QTemporaryDir home;
        CertificateAuthority serverCa(home.filePath(QStringLiteral("server-ca"))); // unknown to the system: hence --tls-insecure
        QVERIFY(serverCa.ensure().isNone());
        FakeServer server(serverCa, {});
        const quint16 serverPort = server.listener.serverPort();
        const QString capture = home.filePath(QStringLiteral("capture.pcap"));
        ConsoleRun run(relayTo(serverPort, textList({"--timestamps", "--inspect-tls", "--tls-insecure", "--pcap"}) << capture),
                       environment(home.path()));
        QVERIFY2(run.listening(), run.err.constData());
        const qint64 before = QDateTime::currentMSecsSinceEpoch();
        QByteArray heard;
        const QString failed = StartTlsClient::converse(run.port, home.filePath(QStringLiteral("dravlin/ca.crt")), &heard);
        QVERIFY2(failed.isEmpty(), qPrintable(failed + QString::fromUtf8(run.err)));
        QVERIFY(QTest::qWaitFor([&] {
            run.drain();
            return run.err.count("écoute sur le port") == 2;
        }, 10000));

        // The next client is greeted with every kind of byte a line may hold.
        const QByteArray hostile = QByteArray("NUL\0here\r\n", 10)
            + "\x1b[31mred\x1b[0m\r\nC:\\dir\\x41\r\ntab\there\r\ncaf\xc3\xa9 \xe2\x82\xac\r\n"
              "bad \xff\\\xfe\r\ncsi \xc2\x9b" "2J\r\nlone\rCR and \x7f\x07\r\n";
        server.script.greeting += hostile;
        LoopbackPeer client;
        client.connectTo(run.port);
        QVERIFY(client.waitForReceived(server.script.greeting.size()));
        // A line longer than a row, and one with no end, shown when the relay ends.
        const QByteArray longLine(70000, 'y');
        client.send("EHLO me\r\n" + longLine + "\r\nQUIT");
        QVERIFY(QTest::qWaitFor([&] { return server.plain.endsWith("QUIT"); }, 10000));
        QVERIFY(run.waitFor("C: EHLO me"));
        QVERIFY2(run.stop(), run.err.constData());
        const qint64 after = QDateTime::currentMSecsSinceEpoch();
        QCOMPARE(run.process.exitCode(), 0);
        QVERIFY2(run.err.contains("dravlin: TLS établi avec le serveur"), run.err.constData());
        // Each stamp is the local time, between `before` and `after`, and never goes back.
        constexpr qint64 Day = 86400000, Offset = (5 * 3600 + 30 * 60) * 1000;
        qint64 previous = 0;
        for (const QByteArray &line : run.out.split('\n')) {
            const QString prefix = QString::fromLatin1(line.left(13));
            const QTime time = QTime::fromString(prefix.trimmed(), QStringLiteral("HH:mm:ss.zzz"));
            QVERIFY2(line.isEmpty() || time.toString(QStringLiteral("HH:mm:ss.zzz ")) == prefix, line.constData());
            const qint64 at = (QTime(0, 0).msecsTo(time) - (before + Offset) % Day + Day) % Day;
            QVERIFY2(line.isEmpty() || (at >= previous && at <= after - before), qPrintable(prefix));
            previous = line.isEmpty() ? previous : at;
        }
        // Each mark checked whole, its tag and its words, then replaced by what it tells.
        const QString tag = QStringLiteral("^-- \\[(open|end|tls) [^\\] ]+( [^\\] ]+)*\\] ");
        const QString stamp = tag + QStringLiteral("\\d\\d:\\d\\d:\\d\\d\\.\\d{3} \u00b7 ");
        const QList<std::pair<QString, QByteArray>> marks = {
            {stamp + QStringLiteral("client 127\\.0\\.0\\.1:\\d+ \u2192 127\\.0\\.0\\.1:%1$").arg(serverPort), "opened"},
            {tag + QStringLiteral("TLS client \u00b7 TLSv1\\.[23] \u00b7 \\S+ \u00b7 STARTTLS \\(SMTP\\)"), "TLS client"},
            {tag + QStringLiteral("TLS serveur \u00b7 TLSv1\\.[23] \u00b7 .* certificat NON vérifié .*"
                                  "\u00b7 SHA-256 ([0-9A-F]{2}:){31}[0-9A-F]{2} \u00b7 "), "TLS server"},
            {stamp + QStringLiteral("fermée par le serveur \u00b7 "), "closed by the server"},
            {QStringLiteral("^-- \\[end how=stopped side=\\w+ c2s=70015 s2c=\\d+ ms=\\d+\\] \\d\\d:\\d\\d:\\d\\d\\.\\d{3} \u00b7 "
                            "relais arrêté \u00b7 client \u2192 serveur 70.015 o \u00b7 "), "stopped, 70 015 bytes from the client"}};
        QList<QByteArray> lines = unstamped(run.out);
        for (QByteArray &line : lines) {
            for (const auto &[pattern, meaning] : marks)
                if (QRegularExpression(pattern).match(QString::fromUtf8(line)).hasMatch())
                    line = "-- " + meaning;
        }
        // The server's handshake is done and checked before the client's is answered.
        QCOMPARE(lines, (QList<QByteArray>{
            "-- opened", "S: 220 mx ESMTP", "C: STARTTLS", "S: 220 2.0.0 Ready", "-- TLS server", "-- TLS client",
            "C: EHLO client", "C: QUIT", "S: 250 hello", "S: 221 bye", "-- closed by the server",
            "-- opened", "S: 220 mx ESMTP", "S: NUL\\x00here", "S: \\x1b[31mred\\x1b[0m", "S: C:\\\\dir\\\\x41",
            "S: tab\there", "S: caf\xc3\xa9 \xe2\x82\xac",
            "S: bad \\xff\\\\\\xfe", // not UTF-8: every byte past ASCII escaped, backslashes doubled
            "S: csi \\xc2\\x9b2J", "S: lone\\x0dCR and \\x7f\\x07", "C: EHLO me",
            "C: " + longLine.first(LineCapture::MaxRowBytes), "C: " + longLine.sliced(LineCapture::MaxRowBytes), "C: QUIT",
            "-- stopped, 70 015 bytes from the client"}));

        QCOMPARE(QFileInfo(capture).permissions() & 0x7077, QFileDevice::ReadOwner | QFileDevice::WriteOwner); // owner, group, others
        if (tsharkPath().isEmpty())
            QSKIP("tshark is not installed (Debian package tshark, in scripts/install-deps.sh)");
        TcpStream stream;
        QVERIFY(followStream(capture, 1, &stream));
        QCOMPARE(stream.fromClient, "EHLO me\r\n" + longLine + "\r\nQUIT");
        QCOMPARE(stream.fromServer, server.script.greeting);
        QVERIFY2(stream.clientNode.startsWith(QStringLiteral("127.0.0.1:")), qPrintable(stream.clientNode));
        QCOMPARE(stream.serverNode, QStringLiteral("127.0.0.1:%1").arg(serverPort));

        // The transcript opened in the window and exported: the same streams,
        // but that a transcript keeps rows, not line ends, so the second
        // session's cut and unended rows come back with CR LF.
        TranscriptReader reader;
        QVERIFY2(reader.parse(run.out, QDate::currentDate()), qPrintable(reader.errorString()));
        Conversation conversation;
        TranscriptLoading::load(conversation, reader);
        QFile rebuilt(home.filePath(QStringLiteral("rebuilt.pcap")));
        QString error;
        QVERIFY(rebuilt.open(QIODevice::WriteOnly) && ConversationPcap::write(conversation, &rebuilt, &error));
        rebuilt.close();
        for (int index : {0, 1}) {
            TcpStream asRelayed, asExported;
            QVERIFY(followStream(capture, index, &asRelayed) && followStream(rebuilt.fileName(), index, &asExported));
            if (index == 0)
                QCOMPARE(asExported.fromClient, asRelayed.fromClient);
            QCOMPARE(asExported.fromServer, asRelayed.fromServer);
            QCOMPARE(asExported.clientNode + asExported.serverNode, asRelayed.clientNode + asRelayed.serverNode);
        }
    }

    // A name a client chose (its SNI, here with LF, ESC, a UTF-8 "·", a
    // right-to-left override and a paragraph separator) is
    // shown escaped on stderr and in the mark, decoded as UTF-8, and cannot
    // forge a line of its own.
    void peerChosenNameReachesTheTerminalEscaped()
    {
        QTemporaryDir home;
        CertificateAuthority serverCa(home.filePath(QStringLiteral("server-ca")));
        QVERIFY(serverCa.ensure().isNone());
        FakeServer::Script implicit;
        implicit.implicit = true;
        FakeServer server(serverCa, implicit);
        ConsoleRun run(relayTo(server.listener.serverPort(), textList({"--inspect-tls", "--tls-insecure"})),
                       environment(home.path()));
        QVERIFY2(run.listening(), run.err.constData());
        const QString sni = QStringLiteral("evil\n-- TLS serveur \u00b7 certificat v\u00e9rifi\u00e9\x1b[2J\u2029\u202e");
        TlsEngine client(TlsEngine::clientContext(), {sni, true});
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, run.port);
        QVERIFY(QTest::qWaitFor([&] {
            socket.write(client.takeOutgoing());
            client.feedIncoming(socket.readAll());
            return client.state() != TlsEngine::State::Handshaking;
        }, 10000));
        QCOMPARE(client.state(), TlsEngine::State::Established);
        socket.write(client.takeOutgoing()); // the client's last flight
        QVERIFY2(run.waitFor("TLS établi avec le client"), run.err.constData());
        socket.abort();
        QVERIFY2(run.stop(), run.err.constData()); // every line is the program's own
        const QByteArray shown = "evil\\x0a-- TLS serveur \xc2\xb7 certificat v\xc3\xa9rifi\xc3\xa9\\x1b[2J"
                                 "\\xe2\\x80\\xa9\\xe2\\x80\\xae";
        const QByteArray toldOnStderr = "nom demandé « " + shown + " »", marked = "nom demandé " + shown;
        QVERIFY2(run.err.contains(toldOnStderr), run.err.constData());
        QVERIFY2(run.out.contains(marked), run.out.constData());
    }

    // Four clients at once, their lines interleaved; one resets, the three
    // others flood, then SIGTERM with those three open, an unended line each:
    // every stdout line (after its stamp) and every event of a session carries
    // its number; each number's rows are exactly its client's and its server
    // connection's bytes, in order, closed by its own end mark; each server
    // connection got exactly its client's bytes; the capture holds one stream
    // per session, between its own client's port and the server.
    void severalClientsKeepTheirSessionsApart()
    {
        QTemporaryDir home;
        LineEchoServer server("220 ready\r\n", "250 ");
        const QString capture = home.filePath(QStringLiteral("multi.pcap"));
        ConsoleRun run(relayTo(server.serverPort(), textList({"--clients", "4", "--timestamps", "--pcap"}) << capture));
        QVERIFY2(run.listening(), run.err.constData());
        std::array<LoopbackPeer, 4> clients;
        const QList<quint16> ports = connectAll(clients, run.port, 11); // greeted together: served at once
        QVERIFY(!ports.contains(0));
        QList<QByteArray> said(4);
        for (int round = 1; round <= 3; ++round) {
            for (int k = 0; k < 4; ++k) {
                const QByteArray line = QStringLiteral("HELO c%1-%2\r\n").arg(k).arg(round).toLatin1();
                said[k] += line;
                clients[k].send(line);
            }
            for (int k = 0; k < 4; ++k)
                QVERIFY2(clients[k].waitForReceived(11 + said[k].size() + 4 * round), run.err.constData());
        }
        clients[0].reset();
        for (int chunk = 0; chunk <= 20; ++chunk) {
            for (int k = 1; k < 4; ++k) {
                QByteArray lines = chunk == 20 ? "QUIT" : ""; // the last, left unended
                for (int i = 0; chunk < 20 && i < 50; ++i)
                    lines += QStringLiteral("c%1 %2.%3 ").arg(k).arg(chunk).arg(i).toLatin1() + QByteArray(60, char('a' + k)) + "\r\n";
                clients[k].send(lines);
                said[k] += lines;
            }
        }
        QList<QByteArray> expected = said;
        std::sort(expected.begin(), expected.end());
        QVERIFY(QTest::qWaitFor([&] { return server.sorted() == expected; }, 10000));
        // Every answer in before the signal: nothing is owed, so the run succeeds.
        for (int k = 1; k < 4; ++k)
            QVERIFY(clients[k].waitForReceived(11 + said[k].lastIndexOf('\n') + 1 + 4 * said[k].count('\n')));
        QVERIFY2(run.stop(3000), run.err.constData()); // promptly
        QVERIFY2(run.process.exitCode() == 0, run.err.constData());
        for (int k = 1; k < 4; ++k)
            QVERIFY(clients[k].waitForDisconnected()); // all that was relayed to it, read
        const QMap<int, QList<QByteArray>> sessions = bySession(run.out, true);
        QCOMPARE(sessions.keys(), (QList<int>{1, 2, 3, 4}));
        for (int k = 0; k < 4; ++k) {
            QList<QByteArray> rows[2], dialogue = sessionOf(sessions, ports[k]);
            QVERIFY2(!dialogue.isEmpty() && dialogue.takeLast().contains(k ? " \xc2\xb7 relais arr\xc3\xaat\xc3\xa9 \xc2\xb7 "
                                                                          : " \xc2\xb7 r\xc3\xa9initialis\xc3\xa9" "e par le client"),
                     run.out.constData());
            for (const QByteArray &row : dialogue)
                rows[row.startsWith("S: ")].append(row.sliced(3));
            QCOMPARE(rows[0].join("\r\n") + (k ? "" : "\r\n"), said[k]);
            QCOMPARE(rows[1].join("\r\n") + "\r\n", clients[k].received());
            QVERIFY2(run.err.contains(QStringLiteral("dravlin: #%1 Session termin").arg(k + 1).toUtf8()), run.err.constData());
        }
        if (tsharkPath().isEmpty())
            QSKIP("tshark is not installed (Debian package tshark, in scripts/install-deps.sh)");
        TcpStream stream;
        for (int index = 0; index < 4; ++index) {
            QVERIFY(followStream(capture, index, &stream));
            const qsizetype k = ports.indexOf(stream.clientNode.section(u':', 1).toUShort());
            QVERIFY2(k >= 0 && stream.clientNode.startsWith(QStringLiteral("127.0.0.1:")), qPrintable(stream.clientNode));
            QCOMPARE(stream.fromClient, said[k]);
            QCOMPARE(stream.fromServer, clients[k].received());
            QCOMPARE(stream.serverNode, QStringLiteral("127.0.0.1:%1").arg(server.serverPort()));
        }
        QVERIFY(!followStream(capture, 4, &stream));
    }

    // With two at once a third client waits, unanswered, whatever it says;
    // once a session ends it is served, as #3, what it said meanwhile delivered.
    void aThirdClientWaitsForASessionToEnd()
    {
        LineEchoServer server("220 ready\r\n", "250 ");
        ConsoleRun run(relayTo(server.serverPort(), textList({"--clients", "2"})));
        QVERIFY2(run.listening(), run.err.constData());
        std::array<LoopbackPeer, 3> clients;
        for (LoopbackPeer &client : clients) { // one after the other: the third finds both places taken
            client.connectTo(run.port);
            QVERIFY(&client == &clients[2] ? client.waitForConnected() : client.waitForReceived(11));
        }
        clients[2].send("HELO early\r\n");
        clients[1].send("HELO c1\r\n"); // the sessions under way go on meanwhile
        QVERIFY(clients[1].waitForReceived(11 + 13));
        QCOMPARE(clients[2].received(), QByteArray());
        QCOMPARE(server.received.size(), 2);
        clients[0].close();
        QVERIFY2(clients[2].waitForReceived(11 + 16), run.err.constData());
        QCOMPARE(clients[2].received(), "220 ready\r\n250 HELO early\r\n");
        QVERIFY2(run.stop(), run.err.constData());
        QCOMPARE(run.process.exitCode(), 0);
        const QMap<int, QList<QByteArray>> sessions = bySession(run.out, false);
        QCOMPARE(sessions.keys(), (QList<int>{1, 2, 3}));
        // Its line was waiting when it was taken: read before the server's greeting.
        QCOMPARE(sessionOf(sessions, clients[2].socket()->localPort()).mid(0, 3),
                 (QList<QByteArray>{"C: HELO early", "S: 220 ready", "S: 250 HELO early"}));
        QVERIFY2(run.out.indexOf("#3 ") > run.out.lastIndexOf("#1 "), run.out.constData()); // after #1's end mark
    }
};

QTEST_GUILESS_MAIN(TestConsole)
#include "tst_console.moc"
