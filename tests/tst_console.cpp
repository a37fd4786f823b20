#include "FakeServer.h"
#include "LoopbackPeer.h"
#include "StartTlsClient.h"
#include "TsharkStreams.h"

#include <QtNetwork>
#include <QtTest>
#include <algorithm>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

// Runs the built `dravlin` (mostly `--console`) between fake peers on loopback.
namespace {

struct ConsoleRun
{
    // stdoutSetup runs in the child before it starts: it may replace fd 1.
    explicit ConsoleRun(const QStringList &arguments, std::function<void()> stdoutSetup = {},
                        const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment())
    {
        QProcessEnvironment env = environment;
        // Half-hour offset: a stamp in UTC, or rounded to whole hours, cannot match by luck.
        env.insert("TZ", "XXX-05:30");
        process.setProcessEnvironment(env);
        if (stdoutSetup)
            process.setChildProcessModifier(stdoutSetup);
        process.start(QStringLiteral(DRAVLIN_BINARY), arguments);
    }
    ~ConsoleRun() { process.kill(), process.waitForFinished(); }
    // The port the console says it listens on (it is started with --listen 0).
    quint16 listeningPort()
    {
        static const QRegularExpression said(QStringLiteral("dravlin: écoute sur le port (\\d+)\n"));
        QRegularExpressionMatch m;
        return QTest::qWaitFor([&] { return drain(), (m = said.match(QString::fromUtf8(err))).hasMatch(); }, 10000)
            ? quint16(m.captured(1).toUInt()) : 0;
    }
    qint64 statusKiB(const char *field) const
    {
        QFile status(QStringLiteral("/proc/%1/status").arg(process.processId()));
        const QRegularExpression line(QStringLiteral("^%1:\\s+(\\d+) kB").arg(field), QRegularExpression::MultilineOption);
        return status.open(QIODevice::ReadOnly) ? line.match(QString::fromLatin1(status.readAll())).captured(1).toLongLong() : -1;
    }
    bool waitFor(const char *needle) { return QTest::qWaitFor([&] { return drain(), (out + err).contains(needle); }, 10000); }
    bool finish(int ms = 10000) // and then every stderr line carries the program's prefix
    {
        const bool ended = (process.state() == QProcess::NotRunning || process.waitForFinished(ms))
            && process.exitStatus() == QProcess::NormalExit;
        QList<QByteArray> lines = (drain(), err.split('\n'));
        return ended && lines.takeLast().isEmpty() && !lines.isEmpty()
            && std::all_of(lines.cbegin(), lines.cend(),
                           [](const QByteArray &line) { return line.startsWith("dravlin: "); });
    }
    void drain() { out += process.readAllStandardOutput(), err += process.readAllStandardError(); }

    QProcess process;
    QByteArray out, err;
};
} // namespace

class TestConsole : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void relaysAndPrintsStampedSafeTranscriptUntilSigterm()
    {
        LoopbackPeer server, client;
        server.setGreeting("220 mx ESMTP\r\n");
        QVERIFY(server.listen());
        ConsoleRun run({"--console", "--timestamps", "--listen", " 0 ", "--server",
                        QStringLiteral("127.0.0.1:%1").arg(server.serverPort())});
        const quint16 port = run.listeningPort();
        QVERIFY2(port != 0, run.err.constData());
        const qint64 before = QDateTime::currentMSecsSinceEpoch();
        client.connectTo(port);
        QVERIFY(client.waitForReceived(14));
        client.send("EHLO me\r\n");
        QVERIFY(server.waitForReceived(9));
        const QByteArray hostile = QByteArray("NUL\0here\r\n", 10)
            + "\x1b[31mred\x1b[0m\r\nC:\\dir\\x41\r\ntab\there\r\ncaf\xc3\xa9 \xe2\x82\xac\r\n"
              "bad \xff\xfe\r\ncsi \xc2\x9b" "2J\r\nlone\rCR and \x7f\x07\r\n";
        server.send(hostile);
        QVERIFY(client.waitForReceived(14 + hostile.size()));
        client.send("QUIT"); // no line end: shown when the relay ends
        QVERIFY(server.waitForReceived(13));
        QVERIFY(run.waitFor("S: lone"));
        ::kill(static_cast<pid_t>(run.process.processId()), SIGTERM);
        QVERIFY2(run.finish(), run.err.constData());
        const qint64 after = QDateTime::currentMSecsSinceEpoch();
        QCOMPARE(run.process.exitCode(), 0);
        QList<QByteArray> lines = run.out.split('\n');
        QVERIFY(lines.takeLast().isEmpty());
        // Each stamp is the local time, between `before` and `after`, and never goes back.
        constexpr qint64 Day = 86400000, Offset = (5 * 3600 + 30 * 60) * 1000;
        qint64 previous = 0;
        for (QByteArray &line : lines) {
            const QString prefix = QString::fromLatin1(line.left(13));
            const QTime time = QTime::fromString(prefix.trimmed(), QStringLiteral("HH:mm:ss.zzz"));
            QVERIFY2(time.toString(QStringLiteral("HH:mm:ss.zzz ")) == prefix, line.constData());
            line.remove(0, 13);
            const qint64 at = (QTime(0, 0).msecsTo(time) - (before + Offset) % Day + Day) % Day;
            QVERIFY2(at >= previous && at <= after - before, qPrintable(prefix + QString::number(at)));
            previous = at;
        }
        // The session is framed by its marks: opened by this client, ended by the stop.
        QCOMPARE(lines.size(), 13);
        QVERIFY2(lines.first().startsWith("-- ") && lines.first().contains(" \xc2\xb7 client 127.0.0.1:")
                     && lines.first().endsWith("127.0.0.1:" + QByteArray::number(server.serverPort())),
                 lines.first().constData());
        QVERIFY2(lines.last().startsWith("-- ") && lines.last().contains("relais arr\xc3\xaat\xc3\xa9 \xc2\xb7 client "
                                                                          "\xe2\x86\x92 serveur 13 o"),
                 lines.last().constData());
        lines = lines.mid(1, 11);
        QCOMPARE(lines, (QList<QByteArray>{
            "S: 220 mx ESMTP", "C: EHLO me", "S: NUL\\x00here", "S: \\x1b[31mred\\x1b[0m",
            "S: C:\\\\dir\\\\x41", "S: tab\there", "S: caf\xc3\xa9 \xe2\x82\xac",
            "S: bad \\xff\\xfe", // not UTF-8: every byte past ASCII written as it is
            "S: csi \\xc2\\x9b2J", "S: lone\\x0dCR and \\x7f\\x07", "C: QUIT"}));
    }

    // A failing stdout ends the run on its own: one report, status 1, the bytes still relayed.
    void stdoutFailureEndsTheRun_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<QByteArray>("reason");
        QTest::newRow("/dev/full") << 0 << QByteArray("plus de place");
        QTest::newRow("closed (>&-), not reused") << 1 << QByteArray("sortie standard est fermée");
        QTest::newRow("pipe whose reader left first") << 2 << QByteArray("lecteur de la sortie standard est parti");
    }
    void stdoutFailureEndsTheRun()
    {
        QFETCH(int, kind);
        QFETCH(QByteArray, reason);
        LoopbackPeer server, client;
        QVERIFY(server.listen());
        int readEnd[2] = {-1, -1};
        QVERIFY(::pipe(readEnd) == 0);
        ::close(readEnd[0]); // the reader is gone before anything is written
        ConsoleRun run({"--console", "--listen", "0", "--server", QStringLiteral("127.0.0.1:%1").arg(server.serverPort())},
                       [kind, writeEnd = readEnd[1]] {
                           if (kind == 0)
                               ::dup2(::open("/dev/full", O_WRONLY), STDOUT_FILENO);
                           else if (kind == 1)
                               ::close(STDOUT_FILENO);
                           else
                               ::dup2(writeEnd, STDOUT_FILENO);
                       });
        ::close(readEnd[1]);
        const quint16 port = run.listeningPort();
        QVERIFY2(port != 0, run.err.constData());
        if (kind == 1) // fd 1 holds /dev/null, not one of the program's own files or sockets
            QCOMPARE(QFile::symLinkTarget(QStringLiteral("/proc/%1/fd/1").arg(run.process.processId())), "/dev/null");
        client.connectTo(port);
        // The session's opening mark is the first line to fail: the run ends
        // then, and the lines it could not write are counted.
        client.send("EHLO me\r\n");
        QVERIFY2(run.finish(), run.err.constData());
        QCOMPARE(run.process.exitCode(), 1);
        QCOMPARE(run.err.count("écriture impossible sur la sortie standard"), 1);
        QVERIFY2(run.err.contains(reason) && QString::fromUtf8(run.err).contains(
                     QRegularExpression(QStringLiteral("\\d+ lignes? non écrites? sur la sortie standard"))),
                 run.err.constData());
        // What was read before the end was still delivered, whole or not at all.
        QVERIFY(QByteArray("EHLO me\r\n").startsWith(server.received()));
    }

    // The capture is written as the conversation goes: killed outright, the
    // program leaves a file tshark reads, each session one stream holding
    // exactly the bytes relayed, the session still open included.
    void pcapReadableAfterSigkillWithEveryRelayedByte()
    {
        if (tsharkPath().isEmpty())
            QSKIP("tshark is not installed (Debian package tshark, in scripts/install-deps.sh)");
        LoopbackPeer server;
        server.setGreeting("220 mx ESMTP\r\n");
        QVERIFY(server.listen());
        QTemporaryDir dir;
        const QString capture = dir.filePath(QStringLiteral("capture.pcap"));
        const QString serverText = QStringLiteral("127.0.0.1:%1").arg(server.serverPort());
        ConsoleRun run({"--console", "--listen", "0", "--server", serverText, "--pcap", capture});
        const quint16 port = run.listeningPort();
        QVERIFY2(port != 0, run.err.constData());
        {
            LoopbackPeer client;
            client.connectTo(port);
            QVERIFY(client.waitForReceived(14));
            client.send("EHLO me\r\nQUIT\r\n");
            QVERIFY(server.waitForReceived(15));
            server.send("250 ok\r\n221 bye\r\n");
            QVERIFY(client.waitForReceived(31));
            client.close();
            QVERIFY(run.waitFor("dur\xc3\xa9" "e"));
        }
        QVERIFY(QTest::qWaitFor([&] { return run.drain(), run.err.count("écoute sur le port") == 2; }, 10000));
        LoopbackPeer second;
        second.connectTo(port);
        QVERIFY(second.waitForReceived(14));
        second.send("NOOP\r\n");
        QVERIFY(run.waitFor("C: NOOP"));
        ::kill(static_cast<pid_t>(run.process.processId()), SIGKILL);
        QVERIFY(run.process.waitForFinished(10000));

        TcpStream first, open;
        QVERIFY(followStream(capture, 0, &first));
        QCOMPARE(first.fromClient, QByteArray("EHLO me\r\nQUIT\r\n"));
        QCOMPARE(first.fromServer, QByteArray("220 mx ESMTP\r\n250 ok\r\n221 bye\r\n"));
        QVERIFY2(first.clientNode.startsWith(QStringLiteral("127.0.0.1:")), qPrintable(first.clientNode));
        QCOMPARE(first.serverNode, serverText);
        QVERIFY(followStream(capture, 1, &open));
        QCOMPARE(open.fromClient, QByteArray("NOOP\r\n"));
        QCOMPARE(open.fromServer, QByteArray("220 mx ESMTP\r\n"));
    }

    // 100,000 small segments towards a stdout nobody reads: memory stays within
    // the budget, the relay stops reading until stdout is read again, and
    // SIGTERM still ends it promptly.
    void stdoutNeverReadHoldsMemoryAndReading()
    {
        LoopbackPeer server, client;
        QVERIFY(server.listen());
        int pipeEnds[2] = {-1, -1};
        QVERIFY(::pipe(pipeEnds) == 0);
        ConsoleRun run({"--console", "--listen", "0", "--server", QStringLiteral("127.0.0.1:%1").arg(server.serverPort())},
                       [writeEnd = pipeEnds[1]] { ::dup2(writeEnd, STDOUT_FILENO); });
        ::close(pipeEnds[1]);
        const quint16 port = run.listeningPort();
        QVERIFY2(port != 0, run.err.constData());
        const qint64 baseKiB = run.statusKiB("VmRSS");
        client.connectTo(port);
        QVERIFY(client.waitForConnected());
        client.socket()->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        const QByteArray segment = QByteArray(398, 'x') + "\r\n"; // 40 MB in all, over twice the budget
        for (int i = 0; i < 100000; ++i) {
            client.send(segment);
            client.socket()->flush(); // one send each while the kernel takes them
        }
        QVERIFY2(run.waitFor("lecture des connexions suspendue"), run.err.constData());
        const qint64 grownKiB = run.statusKiB("VmHWM") - baseKiB;
        QVERIFY2(grownKiB < (16 + 8) * 1024, qPrintable(QString::number(grownKiB)));
        QVERIFY(server.received().size() < 40000000); // reading stopped
        // Reading stdout again resumes the relay; leaving it again holds it again.
        ::fcntl(pipeEnds[0], F_SETFL, O_NONBLOCK);
        char sink[65536];
        QVERIFY2(QTest::qWaitFor([&] {
                     while (::read(pipeEnds[0], sink, sizeof sink) > 0) {
                     }
                     return run.drain(), run.err.contains("lecture des connexions reprise");
                 }, 10000), run.err.constData());
        QVERIFY2(QTest::qWaitFor([&] { return run.drain(), run.err.count("suspendue") == 2; }, 10000), run.err.constData());
        ::kill(pid_t(run.process.processId()), SIGTERM);
        QElapsedTimer ending;
        ending.start();
        QVERIFY2(run.finish(5000), run.err.constData());
        QVERIFY2(ending.elapsed() < 3000, qPrintable(QString::number(ending.elapsed())));
        QCOMPARE(run.process.exitCode(), 1);
        QVERIFY2(QRegularExpression("dravlin: \\d+ lignes non écrites sur la sortie standard\n").match(run.err).hasMatch(),
                 run.err.constData());
        ::close(pipeEnds[0]);
    }

    // A STARTTLS session seen through: a mark per handshake in its place
    // among the rows, the rows inside TLS in clear, a capture only its owner reads.
    void inspectTlsShowsHandshakesThenDecryptedRows()
    {
        QTemporaryDir home;
        QVERIFY(home.isValid());
        CertificateAuthority serverCa(home.filePath("server-ca")); // unknown to the system: hence --tls-insecure
        QCOMPARE(serverCa.ensure(), QString());
        FakeServer server(serverCa, {});
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("XDG_DATA_HOME", home.path());
        const QString pcap = home.filePath("session.pcap");
        ConsoleRun run({"--console", "--timestamps", "--inspect-tls", "--tls-insecure", "--pcap", pcap, "--listen", "0",
                        "--server", QStringLiteral("127.0.0.1:%1").arg(server.listener.serverPort())}, {}, env);
        const quint16 port = run.listeningPort();
        QVERIFY2(port != 0, run.err.constData());
        QByteArray heard;
        const QString failed = StartTlsClient::converse(port, home.filePath("dravlin/ca.crt"), &heard);
        QVERIFY2(failed.isEmpty(), qPrintable(failed + run.err));
        QVERIFY(run.waitFor("S: 221 bye"));
        ::kill(static_cast<pid_t>(run.process.processId()), SIGTERM);
        QVERIFY2(run.finish(), run.err.constData());
        QCOMPARE(run.process.exitCode(), 0);
        QList<QByteArray> lines;
        for (const QByteArray &line : run.out.split('\n'))
            if (line.size() > 13)
                lines.append(line.mid(13)); // past the stamp
        const qsizetype client = lines.indexOf("S: 220 2.0.0 Ready") + 1;
        QVERIFY2(client > 0 && client + 6 <= lines.size(), run.out.constData());
        const QRegularExpression clientMark("^-- TLS client \u00b7 TLSv1\\.[23] \u00b7 \\S+ \u00b7 STARTTLS \\(SMTP\\)");
        const QRegularExpression serverMark("^-- TLS serveur \u00b7 TLSv1\\.[23] \u00b7 .* certificat NON vérifié .*"
                                            "\u00b7 SHA-256 ([0-9A-F]{2}:){31}[0-9A-F]{2} \u00b7 ");
        // The client's handshake is over at once; what it then says waits for the
        // server's, whose mark comes before the first row the server sends inside TLS.
        QVERIFY2(clientMark.match(QString::fromUtf8(lines.at(client))).hasMatch(), run.out.constData());
        const qsizetype reply = lines.indexOf("S: 250 hello");
        QVERIFY2(reply > client && serverMark.match(QString::fromUtf8(lines.at(reply - 1))).hasMatch(), run.out.constData());
        lines.removeAt(reply - 1);
        QCOMPARE(lines.mid(client - 2, 7), (QList<QByteArray>{"C: STARTTLS", "S: 220 2.0.0 Ready", lines.at(client),
                                                             "C: EHLO client", "C: QUIT", "S: 250 hello", "S: 221 bye"}));
        QVERIFY2(run.err.contains("dravlin: TLS établi avec le serveur"), run.err.constData());
        QCOMPARE(QFileInfo(pcap).permissions() & 0x7077, QFileDevice::ReadOwner | QFileDevice::WriteOwner); // owner, group, others
        // --export-ca gives the very CA the client trusted, without a second one made.
        const QString exported = home.filePath("exported.pem");
        ConsoleRun exporting({"--export-ca", exported}, {}, env);
        QVERIFY2(exporting.finish(), exporting.err.constData());
        QCOMPARE(exporting.process.exitCode(), 0);
        const QList<QSslCertificate> pem = QSslCertificate::fromPath(exported, QSsl::Pem);
        QCOMPARE(pem.size(), 1);
        QCOMPARE(pem.first(), QSslCertificate::fromPath(home.filePath("dravlin/ca.crt")).value(0));
    }

    // A first export makes the CA; one that cannot write says why, in French.
    void exportCa_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("says");
        QTest::newRow("makes the CA") << "ca.pem" << 0 << "certificat de l'autorité écrit";
        QTest::newRow("no such folder") << "missing/ca.pem" << 1 << "--export-ca : Impossible d'écrire";
        QTest::newRow("folder of the CA unusable") << "XDG/ca.pem" << 1 << "--export-ca : ";
    }
    void exportCa()
    {
        QFETCH(QString, file);
        QFETCH(int, status);
        QFETCH(QString, says);
        QTemporaryDir home;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("XDG_DATA_HOME", home.path());
        if (file.startsWith("XDG/")) { // a file where the CA's folder should be
            QFile blocker(home.filePath("dravlin"));
            QVERIFY(blocker.open(QIODevice::WriteOnly));
            file = file.mid(4);
        }
        ConsoleRun run({"--export-ca", home.filePath(file)}, {}, env);
        QVERIFY2(run.finish() && run.err.contains(says.toUtf8()), run.err.constData());
        QCOMPARE(run.process.exitCode(), status);
        QCOMPARE(QSslCertificate::fromPath(home.filePath(file)).size(), status == 0 ? 1 : 0);
        if (status == 0)
            QVERIFY(QFile::exists(home.filePath("dravlin/ca.key")));
    }

    void refusedWithStatus_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("says");
        const QString bad = "« %1 » invalide";
        for (const char *port : {"", "abc", "-1", "65536", "99999999999", "2 5"}) {
            QTest::addRow("--listen «%s»", port)
                << QStringList{QStringLiteral("--listen=") + port, "--server", "127.0.0.1:1"} << 2 << "--listen : port " + bad.arg(port);
            QTest::addRow("server port «%s»", port)
                << QStringList{"--listen", "2525", "--server", QStringLiteral("127.0.0.1:") + port} << 2 << "--server : port " + bad.arg(port);
        }
        QTest::newRow("server port 0") << QStringList{"--listen", "0", "--server", "127.0.0.1:0"} << 2 << "--server : port « 0 »";
        QTest::newRow("--listen 0 and no server port") << QStringList{"--listen", "0", "--server", "127.0.0.1"} << 2 << "--server hôte:port";
        QTest::newRow("unknown option") << QStringList{"--ecoute", "1"} << 2 << "option inconnue : --ecoute";
        QTest::newRow("missing value") << QStringList{"--listen"} << 2 << "valeur manquante après --listen";
        QTest::newRow("flag with a value") << QStringList{"--timestamps=oui"} << 2 << "--timestamps ne prend pas de valeur";
        QTest::newRow("--listen twice") << QStringList{"--listen", "1", "--listen", "2"} << 2 << "--listen donné 2 fois";
        QTest::newRow("--server twice") << QStringList{"--server", "a", "--server=b"} << 2 << "--server donné 2 fois";
        QTest::newRow("host:25:26") << QStringList{"--server", "host:25:26"} << 2 << "entre crochets : [::1]:25";
        QTest::newRow("listen port taken") << QStringList{"--listen", "TAKEN", "--server", "127.0.0.1:1"} << 1 << "TAKEN";
        QTest::newRow("--tls-insecure alone") << QStringList{"--tls-insecure"} << 2 << "--tls-insecure va avec --inspect-tls";
        QTest::newRow("--export-ca with a run") << QStringList{"--export-ca", "ca.pem"} << 2 << "--export-ca s'emploie seul";
        QTest::newRow("--export-ca without a name") << QStringList{"--export-ca="} << 2 << "nom de fichier vide après --export-ca";
        QTest::newRow("window without a display") << QStringList{} << 1 << "dravlin --console";
    }
    void refusedWithStatus()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, status);
        QFETCH(QString, says);
        QTcpServer taken;
        QVERIFY(taken.listen(QHostAddress::Any, 0));
        const QString port = QString::number(taken.serverPort());
        QProcessEnvironment noDisplay = QProcessEnvironment::systemEnvironment();
        for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
            noDisplay.remove(name);
        ConsoleRun run((arguments.isEmpty() ? QStringList() : QStringList{"--console"}) + arguments.replaceInStrings("TAKEN", port),
                       {}, noDisplay);
        QVERIFY2(run.finish() && !run.err.contains("dravlin: écoute sur le port") && run.err.contains(says.replace("TAKEN", port).toUtf8())
                     // wholly French: none of Qt's own English wording comes through
                     && !QRegularExpression("Missing|Unexpected|Unknown|value|option incomplète").match(run.err).hasMatch(),
                 run.err.constData());
        QCOMPARE(run.process.exitCode(), status);
        QVERIFY(run.out.isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestConsole)
#include "tst_console.moc"
