#include <QtTest>

#include <QProcess>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimeZone>

// Runs the console binary between a fake server and a fake client, both on
// loopback, and reads the stamped transcript it prints.
class TestConsoleTimestamps : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void everyRowCarriesItsLocalArrivalTime();

private:
    static quint16 freeLoopbackPort();
};

namespace {

// Half-hour offset: a stamp taken in UTC, or with the offset rounded to whole
// hours, cannot pass for local time by luck.
constexpr int ChildUtcOffsetSecs = 5 * 3600 + 30 * 60;
const char ChildTz[] = "XXX-05:30";
constexpr int TimeoutMs = 10000;

} // namespace

quint16 TestConsoleTimestamps::freeLoopbackPort()
{
    // The console takes a fixed port, so borrow one the system just handed out.
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        return 0;
    return probe.serverPort();
}

void TestConsoleTimestamps::everyRowCarriesItsLocalArrivalTime()
{
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    QTcpSocket *serverSide = nullptr;
    connect(&server, &QTcpServer::newConnection, this, [&] {
        serverSide = server.nextPendingConnection();
        serverSide->write("220 bonjour\r\n");
    });

    const quint16 listenPort = freeLoopbackPort();
    QVERIFY(listenPort != 0);

    QProcess relay;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("TZ"), QLatin1String(ChildTz));
    relay.setProcessEnvironment(env);
    QByteArray out;
    QByteArray err;
    connect(&relay, &QProcess::readyReadStandardOutput, this,
            [&] { out += relay.readAllStandardOutput(); });
    connect(&relay, &QProcess::readyReadStandardError, this,
            [&] { err += relay.readAllStandardError(); });
    relay.start(QStringLiteral(DRAVLIN_BINARY),
                {QStringLiteral("--console"), QStringLiteral("--timestamps"),
                 QStringLiteral("--listen"), QString::number(listenPort),
                 QStringLiteral("--server"),
                 QStringLiteral("127.0.0.1:%1").arg(server.serverPort())});
    QVERIFY2(relay.waitForStarted(TimeoutMs), qPrintable(relay.errorString()));
    QTRY_VERIFY2_WITH_TIMEOUT(err.contains("En écoute"), err.constData(), TimeoutMs);

    const qint64 before = QDateTime::currentMSecsSinceEpoch();
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, listenPort);
    QByteArray clientGot;
    connect(&client, &QTcpSocket::readyRead, this, [&] { clientGot += client.readAll(); });
    QTRY_VERIFY_WITH_TIMEOUT(clientGot.contains("220 bonjour\r\n"), TimeoutMs);
    // Two lines in one write: each row must be stamped, not only the chunk's first.
    client.write("EHLO test\r\nNOOP\r\n");
    QTRY_VERIFY2_WITH_TIMEOUT(out.count('\n') >= 3, out.constData(), TimeoutMs);
    const qint64 after = QDateTime::currentMSecsSinceEpoch();

    relay.terminate();
    QVERIFY(relay.waitForFinished(TimeoutMs));
    QCOMPARE(relay.exitStatus(), QProcess::NormalExit);
    QCOMPARE(relay.exitCode(), 0);
    out += relay.readAllStandardOutput();

    const QStringList lines = QString::fromUtf8(out).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    const QStringList expected{QStringLiteral("S: 220 bonjour"), QStringLiteral("C: EHLO test"),
                               QStringLiteral("C: NOOP")};
    QCOMPARE(lines.size(), expected.size());

    const QTimeZone childZone(ChildUtcOffsetSecs);
    const QDateTime from = QDateTime::fromMSecsSinceEpoch(before, childZone);
    const QDateTime until = QDateTime::fromMSecsSinceEpoch(after, childZone);
    const QRegularExpression stamped(QStringLiteral("^(\\d\\d:\\d\\d:\\d\\d\\.\\d\\d\\d) (.*)$"));
    QDateTime previous = from;
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const QRegularExpressionMatch m = stamped.match(lines[i]);
        QVERIFY2(m.hasMatch(), qPrintable(lines[i]));
        QCOMPARE(m.captured(2), expected[i]);
        const QTime time = QTime::fromString(m.captured(1), QStringLiteral("HH:mm:ss.zzz"));
        QVERIFY2(time.isValid(), qPrintable(lines[i]));
        QDateTime at(from.date(), time, childZone);
        if (at < from)
            at = at.addDays(1); // the run straddled midnight
        QVERIFY2(at >= previous && at <= until,
                 qPrintable(QStringLiteral("%1 not within %2 .. %3")
                                .arg(lines[i], previous.toString(Qt::ISODateWithMs),
                                     until.toString(Qt::ISODateWithMs))));
        previous = at;
    }
}

QTEST_GUILESS_MAIN(TestConsoleTimestamps)
#include "tst_console_timestamps.moc"
