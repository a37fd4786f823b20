#include "LoopbackPeer.h"

#include <QtNetwork>
#include <QtTest>

#include <algorithm>
#include <csignal>

// Runs the built `dravlin --console` between fake peers on loopback.
namespace {

constexpr int Timeout = 10000;

struct ConsoleRun
{
    explicit ConsoleRun(const QStringList &arguments)
    {
        // Half-hour offset: a stamp in UTC, or rounded to whole hours, cannot match by luck.
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("TZ"), QStringLiteral("XXX-05:30"));
        process.setProcessEnvironment(env);
        process.start(QStringLiteral(DRAVLIN_BINARY), QStringList{"--console"} + arguments);
    }
    ~ConsoleRun()
    {
        if (process.state() != QProcess::NotRunning)
            process.kill();
        process.waitForFinished(Timeout);
    }
    bool waitFor(const QByteArray &needle)
    {
        return QTest::qWaitFor([&] {
            out += process.readAllStandardOutput();
            err += process.readAllStandardError();
            return (out + err).contains(needle);
        }, Timeout);
    }
    bool finish()
    {
        const bool finished = process.waitForFinished(Timeout);
        out += process.readAllStandardOutput();
        err += process.readAllStandardError();
        return finished && process.exitStatus() == QProcess::NormalExit;
    }
    bool everyStderrLinePrefixed() const
    {
        QList<QByteArray> lines = err.split('\n');
        return lines.takeLast().isEmpty() && !lines.isEmpty()
            && std::all_of(lines.cbegin(), lines.cend(),
                           [](const QByteArray &line) { return line.startsWith("dravlin: "); });
    }

    QProcess process;
    QByteArray out;
    QByteArray err;
};

// A port nothing listens on right now, on any interface, as the relay binds.
quint16 freePort()
{
    QTcpServer probe;
    return probe.listen(QHostAddress::Any, 0) ? probe.serverPort() : 0;
}

} // namespace

class TestConsole : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void relaysAndPrintsSafeTranscript_data()
    {
        QTest::addColumn<int>("signal");
        QTest::addColumn<bool>("stamped");
        QTest::newRow("SIGTERM") << int(SIGTERM) << false;
        QTest::newRow("SIGINT, --timestamps") << int(SIGINT) << true;
    }
    void relaysAndPrintsSafeTranscript()
    {
        QFETCH(int, signal);
        QFETCH(bool, stamped);
        LoopbackPeer server;
        server.setGreeting("220 mx ESMTP\r\n");
        QVERIFY(server.listen());
        const quint16 port = freePort();
        ConsoleRun run(QStringList{"--listen", QStringLiteral(" %1 ").arg(port), "--server",
                                   QStringLiteral("127.0.0.1:%1").arg(server.serverPort())}
                       + (stamped ? QStringList{"--timestamps"} : QStringList{}));
        QVERIFY2(run.waitFor("En écoute"), run.err.constData());
        const qint64 before = QDateTime::currentMSecsSinceEpoch();

        LoopbackPeer client;
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

        ::kill(static_cast<pid_t>(run.process.processId()), signal);
        QVERIFY(run.finish());
        const qint64 after = QDateTime::currentMSecsSinceEpoch();
        QCOMPARE(run.process.exitCode(), 0);
        QVERIFY2(run.everyStderrLinePrefixed(), run.err.constData());
        QCOMPARE(server.received(), QByteArray("EHLO me\r\nQUIT"));
        QCOMPARE(client.received(), QByteArray("220 mx ESMTP\r\n") + hostile);

        QList<QByteArray> lines = run.out.split('\n');
        const QList<QByteArray> expected{
            "S: 220 mx ESMTP", "C: EHLO me", "S: NUL\\x00here", "S: \\x1b[31mred\\x1b[0m",
            "S: C:\\\\dir\\\\x41", "S: tab\there", "S: caf\xc3\xa9 \xe2\x82\xac",
            "S: bad \xc3\xbf\xc3\xbe", // not UTF-8: each byte read as Latin-1
            "S: csi \\x9b2J", "S: lone\\x0dCR and \\x7f\\x07", "C: QUIT", ""};
        QCOMPARE(lines.size(), expected.size());
        // Each stamp is the local time, between `before` and `after`, and never goes back.
        constexpr qint64 Day = 86400000, Offset = (5 * 3600 + 30 * 60) * 1000;
        qint64 previous = 0;
        for (qsizetype i = 0; stamped && i + 1 < lines.size(); ++i) {
            const QString prefix = QString::fromLatin1(lines[i].left(13));
            const QTime time = QTime::fromString(prefix.trimmed(), QStringLiteral("HH:mm:ss.zzz"));
            QVERIFY2(time.toString(QStringLiteral("HH:mm:ss.zzz ")) == prefix, lines[i].constData());
            lines[i].remove(0, 13);
            const qint64 at = (QTime(0, 0).msecsTo(time) - (before + Offset) % Day + Day) % Day;
            QVERIFY2(at >= previous && at <= after - before,
                     qPrintable(QStringLiteral("%1: %2 ms after start, %3 allowed")
                                    .arg(prefix).arg(at).arg(after - before)));
            previous = at;
        }
        QCOMPARE(lines, expected);
    }

    void refusedWithStatus_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("status");
        for (const char *bad : {"", "abc", "-1", "0", "65536", "99999999999", "2 5"}) {
            QTest::addRow("--listen «%s»", bad)
                << QStringList{QStringLiteral("--listen=") + bad, "--server", "127.0.0.1:1"} << 2;
            QTest::addRow("server port «%s»", bad)
                << QStringList{"--listen", "2525", "--server", QStringLiteral("127.0.0.1:") + bad}
                << 2;
        }
        QTest::newRow("unknown option") << QStringList{"--ecoute", "1"} << 2;
        QTest::newRow("listen port taken")
            << QStringList{"--listen", "TAKEN", "--server", "127.0.0.1:1"} << 1;
    }
    void refusedWithStatus()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, status);
        QTcpServer taken;
        QVERIFY(taken.listen(QHostAddress::Any, 0));
        const QString port = QString::number(taken.serverPort());
        ConsoleRun run(arguments.replaceInStrings(QStringLiteral("TAKEN"), port));
        QVERIFY(run.finish());
        QCOMPARE(run.process.exitCode(), status);
        QVERIFY(run.out.isEmpty());
        QVERIFY2(run.everyStderrLinePrefixed() && !run.err.contains("En écoute")
                     && (status != 1 || run.err.contains(port.toLatin1())),
                 run.err.constData());
    }
};

QTEST_GUILESS_MAIN(TestConsole)
#include "tst_console.moc"
