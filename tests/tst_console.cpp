#include "LoopbackPeer.h"

#include <QProcess>
#include <QTcpServer>
#include <QTest>

#include <csignal>

// Runs the built console binary between fake peers on loopback.
namespace {

constexpr int Timeout = 10000;

// A port nothing listens on right now, on any interface, as the relay binds.
quint16 freePort()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::Any, 0))
        return 0;
    return probe.serverPort();
}

// One run of `dravlin --console`, with everything it writes collected.
struct ConsoleRun
{
    explicit ConsoleRun(const QStringList &arguments)
    {
        QObject::connect(&process, &QProcess::readyReadStandardOutput, &process,
                         [this] { out += process.readAllStandardOutput(); });
        QObject::connect(&process, &QProcess::readyReadStandardError, &process,
                         [this] { err += process.readAllStandardError(); });
        process.start(QStringLiteral(DRAVLIN_BINARY),
                      QStringList{QStringLiteral("--console")} + arguments);
    }
    ~ConsoleRun()
    {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished(Timeout);
        }
    }

    bool waitForStderr(const QByteArray &needle)
    {
        return QTest::qWaitFor([this, &needle] { return err.contains(needle); }, Timeout);
    }
    bool finish()
    {
        if (!process.waitForFinished(Timeout))
            return false;
        out += process.readAllStandardOutput();
        err += process.readAllStandardError();
        return process.exitStatus() == QProcess::NormalExit;
    }
    bool everyStderrLinePrefixed() const
    {
        const QList<QByteArray> lines = err.split('\n');
        for (qsizetype i = 0; i < lines.size(); ++i) {
            const bool lastAndEmpty = i == lines.size() - 1 && lines[i].isEmpty();
            if (!lastAndEmpty && !lines[i].startsWith("dravlin: "))
                return false;
        }
        return !err.isEmpty();
    }

    QProcess process;
    QByteArray out;
    QByteArray err;
};

} // namespace

class TestConsole : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void relaysAndPrintsSafeTranscript();
    void endsCleanlyOnSignal_data();
    void endsCleanlyOnSignal();
    void refusesBadPortWithStatus2_data();
    void refusesBadPortWithStatus2();
    void acceptsSpacesAroundPort();
    void takenPortExitsWithStatus1();
};

void TestConsole::relaysAndPrintsSafeTranscript()
{
    LoopbackPeer server;
    server.setGreeting("220 mx ESMTP\r\n");
    QVERIFY(server.listen());
    const quint16 port = freePort();
    ConsoleRun run({QStringLiteral("--listen"), QString::number(port), QStringLiteral("--server"),
                    QStringLiteral("127.0.0.1:%1").arg(server.serverPort())});
    QVERIFY(run.waitForStderr("En écoute"));

    LoopbackPeer client;
    client.connectTo(port);
    QVERIFY(client.waitForReceived(14));
    client.send("EHLO me\r\n");
    QVERIFY(server.waitForReceived(9));

    const QByteArray hostile = QByteArray("NUL\0here\r\n", 10)
        + "\x1b[31mred\x1b[0m\r\n"
          "C:\\dir\\x41\r\n"
          "tab\there\r\n"
          "caf\xc3\xa9 \xe2\x82\xac\r\n"
          "bad \xff\xfe\r\n"
          "csi \xc2\x9b"
          "2J\r\n"
          "lone\rCR and \x7f\x07\r\n";
    server.send(hostile);
    QVERIFY(client.waitForReceived(14 + hostile.size()));
    client.send("QUIT"); // no line end: shown when the relay ends
    QVERIFY(server.waitForReceived(13));
    QTRY_VERIFY_WITH_TIMEOUT(run.out.contains("S: lone"), Timeout);

    run.process.terminate();
    QVERIFY(run.finish());
    QCOMPARE(run.process.exitCode(), 0);

    QCOMPARE(server.received(), QByteArray("EHLO me\r\nQUIT"));
    QCOMPARE(client.received(), QByteArray("220 mx ESMTP\r\n") + hostile);

    const QList<QByteArray> expected{
        "S: 220 mx ESMTP",
        "C: EHLO me",
        "S: NUL\\x00here",
        "S: \\x1b[31mred\\x1b[0m",
        "S: C:\\\\dir\\\\x41",
        "S: tab\there",
        "S: caf\xc3\xa9 \xe2\x82\xac",
        "S: bad \xc3\xbf\xc3\xbe", // not UTF-8: each byte read as Latin-1
        "S: csi \\x9b2J",
        "S: lone\\x0dCR and \\x7f\\x07",
        "C: QUIT",
    };
    QCOMPARE(run.out.split('\n'), expected + QList<QByteArray>{""});
    QVERIFY2(run.everyStderrLinePrefixed(), run.err.constData());
}

void TestConsole::endsCleanlyOnSignal_data()
{
    QTest::addColumn<int>("signal");
    QTest::newRow("SIGTERM") << int(SIGTERM);
    QTest::newRow("SIGINT") << int(SIGINT);
}

void TestConsole::endsCleanlyOnSignal()
{
    QFETCH(int, signal);
    LoopbackPeer server;
    QVERIFY(server.listen());
    const quint16 port = freePort();
    ConsoleRun run({QStringLiteral("--listen"), QString::number(port), QStringLiteral("--server"),
                    QStringLiteral("127.0.0.1:%1").arg(server.serverPort())});
    QVERIFY(run.waitForStderr("En écoute"));
    LoopbackPeer client;
    client.connectTo(port);
    QVERIFY(server.waitForAccepted(1));

    ::kill(static_cast<pid_t>(run.process.processId()), signal);
    QVERIFY(run.finish());
    QCOMPARE(run.process.exitCode(), 0);
    QVERIFY(client.waitForDisconnected());
    QVERIFY(server.waitForDisconnected());
    QVERIFY2(run.everyStderrLinePrefixed(), run.err.constData());
}

void TestConsole::refusesBadPortWithStatus2_data()
{
    QTest::addColumn<QStringList>("arguments");
    const QString server = QStringLiteral("127.0.0.1:1");
    for (const char *bad : {"", "abc", "-1", "0", "65536", "99999999999", "2 5"}) {
        const QString text = QString::fromUtf8(bad);
        QTest::addRow("--listen «%s»", bad)
            << QStringList{QStringLiteral("--listen=") + text, QStringLiteral("--server"), server};
        QTest::addRow("server port «%s»", bad)
            << QStringList{QStringLiteral("--listen"), QStringLiteral("2525"),
                           QStringLiteral("--server"), QStringLiteral("127.0.0.1:") + text};
    }
    QTest::newRow("unknown option") << QStringList{QStringLiteral("--ecoute"), QStringLiteral("1")};
    QTest::newRow("empty server host")
        << QStringList{QStringLiteral("--listen"), QStringLiteral("2525"), QStringLiteral("--server"),
                       QStringLiteral(":2525")};
}

void TestConsole::refusesBadPortWithStatus2()
{
    QFETCH(QStringList, arguments);
    ConsoleRun run(arguments);
    QVERIFY(run.finish());
    QCOMPARE(run.process.exitCode(), 2);
    QVERIFY(run.out.isEmpty());
    QVERIFY2(run.everyStderrLinePrefixed(), run.err.constData());
    QVERIFY2(!run.err.contains("En écoute"), run.err.constData());
}

void TestConsole::acceptsSpacesAroundPort()
{
    const quint16 port = freePort();
    ConsoleRun run({QStringLiteral("--listen"), QStringLiteral(" %1 ").arg(port),
                    QStringLiteral("--server"), QStringLiteral("127.0.0.1:1")});
    QVERIFY2(run.waitForStderr("En écoute"), run.err.constData());
    run.process.terminate();
    QVERIFY(run.finish());
    QCOMPARE(run.process.exitCode(), 0);
}

void TestConsole::takenPortExitsWithStatus1()
{
    QTcpServer taken;
    QVERIFY(taken.listen(QHostAddress::Any, 0));
    const QByteArray port = QByteArray::number(taken.serverPort());
    ConsoleRun run({QStringLiteral("--listen"), QString::fromLatin1(port), QStringLiteral("--server"),
                    QStringLiteral("127.0.0.1:1")});
    QVERIFY(run.finish());
    QCOMPARE(run.process.exitCode(), 1);
    QVERIFY2(run.err.contains(port), run.err.constData());
    QVERIFY2(run.everyStderrLinePrefixed(), run.err.constData());
}

QTEST_GUILESS_MAIN(TestConsole)
#include "tst_console.moc"
