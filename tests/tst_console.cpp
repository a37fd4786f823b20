#include "LoopbackPeer.h"

#include <QtNetwork>
#include <QtTest>
#include <algorithm>
#include <csignal>

// Runs the built `dravlin --console` between fake peers on loopback.
namespace {

struct ConsoleRun
{
    explicit ConsoleRun(const QStringList &arguments)
    {
        // Half-hour offset: a stamp in UTC, or rounded to whole hours, cannot match by luck.
        qputenv("TZ", "XXX-05:30"); // inherited by the child
        process.start(QStringLiteral(DRAVLIN_BINARY), QStringList{"--console"} + arguments);
    }
    ~ConsoleRun() { process.kill(), process.waitForFinished(); }
    bool waitFor(const char *needle) { return QTest::qWaitFor([&] { return drain(), (out + err).contains(needle); }, 10000); }
    bool finish() // and then every stderr line carries the program's prefix
    {
        const bool ended = process.waitForFinished(10000) && process.exitStatus() == QProcess::NormalExit;
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
        QTcpServer probe; // a port free on every interface, as the relay binds
        QVERIFY(server.listen() && probe.listen(QHostAddress::Any, 0));
        const quint16 port = probe.serverPort();
        probe.close();
        ConsoleRun run({"--timestamps", "--listen", QStringLiteral(" %1 ").arg(port), "--server",
                        QStringLiteral("127.0.0.1:%1").arg(server.serverPort())});
        QVERIFY2(run.waitFor("En écoute"), run.err.constData());
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
        QCOMPARE(lines, (QList<QByteArray>{
            "S: 220 mx ESMTP", "C: EHLO me", "S: NUL\\x00here", "S: \\x1b[31mred\\x1b[0m",
            "S: C:\\\\dir\\\\x41", "S: tab\there", "S: caf\xc3\xa9 \xe2\x82\xac",
            "S: bad \xc3\xbf\xc3\xbe", // not UTF-8: each byte read as Latin-1
            "S: csi \\x9b2J", "S: lone\\x0dCR and \\x7f\\x07", "C: QUIT"}));
    }

    void refusedWithStatus_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("status");
        for (const char *bad : {"", "abc", "-1", "0", "65536", "99999999999", "2 5"}) {
            QTest::addRow("--listen «%s»", bad)
                << QStringList{QStringLiteral("--listen=") + bad, "--server", "127.0.0.1:1"} << 2;
            QTest::addRow("server port «%s»", bad)
                << QStringList{"--listen", "2525", "--server", QStringLiteral("127.0.0.1:") + bad} << 2;
        }
        QTest::newRow("unknown option") << QStringList{"--ecoute", "1"} << 2;
        QTest::newRow("listen port taken") << QStringList{"--listen", "TAKEN", "--server", "127.0.0.1:1"} << 1;
    }
    void refusedWithStatus()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, status);
        QTcpServer taken;
        QVERIFY(taken.listen(QHostAddress::Any, 0));
        const QString port = QString::number(taken.serverPort());
        ConsoleRun run(arguments.replaceInStrings("TAKEN", port));
        QVERIFY2(run.finish() && !run.err.contains("En écoute")
                     && (status != 1 || run.err.contains(port.toLatin1())),
                 run.err.constData());
        QCOMPARE(run.process.exitCode(), status);
        QVERIFY(run.out.isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestConsole)
#include "tst_console.moc"
