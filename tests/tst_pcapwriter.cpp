#include "PcapWriter.h"

#include <QtTest>

// Each case writes sessions with PcapWriter, then asks tshark, the real
// reader, to follow every TCP stream and to flag what it finds wrong.

namespace {

struct Chunk {
    Side from;
    QByteArray bytes;
};

struct Session {
    QString client;
    QString server;
    QList<Chunk> chunks;
    PcapWriter::Ending ending;
};

using Sessions = QList<Session>;

const qint64 T0 = QDateTime(QDate(2026, 12, 6), QTime(14, 3, 22, 418)).toMSecsSinceEpoch();

QByteArray run(const QStringList &arguments, QString *failure)
{
    QProcess tshark;
    tshark.start(QStringLiteral("tshark"), arguments);
    if (!tshark.waitForFinished(60000) || tshark.exitCode() != 0) {
        *failure = QString::fromLocal8Bit(tshark.readAllStandardError());
        return {};
    }
    return tshark.readAllStandardOutput();
}

// The bytes each side sent in one stream, from "follow,tcp,raw": node 0's
// segments in hex at the line start, node 1's after a tab.
bool followStream(const QString &path, int stream, QByteArray sent[2], QString *failure)
{
    const QByteArray out = run({"-r", path, "-q", "-z", QStringLiteral("follow,tcp,raw,%1").arg(stream)}, failure);
    if (out.isEmpty())
        return false;
    const QList<QByteArray> lines = out.split('\n');
    qsizetype i = 0;
    while (i < lines.size() && !lines[i].startsWith("Node 1:"))
        ++i;
    for (++i; i < lines.size() && !lines[i].startsWith("===="); ++i) {
        const bool second = lines[i].startsWith('\t');
        sent[second ? 1 : 0] += QByteArray::fromHex(lines[i].trimmed());
    }
    return true;
}

} // namespace

class TestPcapWriter : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void tsharkFollowsEveryStreamExactly_data();
    void tsharkFollowsEveryStreamExactly();
    void fileIsReadableBeforeItIsClosed();
    void failedWriteIsReported();
};

void TestPcapWriter::initTestCase()
{
    if (QStandardPaths::findExecutable(QStringLiteral("tshark")).isEmpty())
        QSKIP("tshark is not installed (Debian package tshark, see scripts/install-deps.sh): "
              "pcap files cannot be checked against the real reader");
}

void TestPcapWriter::tsharkFollowsEveryStreamExactly_data()
{
    QTest::addColumn<Sessions>("sessions");

    QByteArray binary(4096, '\0');
    for (int i = 0; i < binary.size(); ++i)
        binary[i] = static_cast<char>(i * 7 + i / 256);
    QByteArray large(200 * 1000, '\0');
    for (int i = 0; i < large.size(); ++i)
        large[i] = static_cast<char>('a' + i % 23);

    const QString v4Client = QStringLiteral("127.0.0.1:40112");
    const QString v4Server = QStringLiteral("127.0.0.1:2525");
    QTest::newRow("IPv4 sessions closed by each side, then a refused one")
        << Sessions{{v4Client, v4Server,
                     {{Side::Server, "220 ready\r\n"}, {Side::Client, "EHLO a\r\n"}, {Side::Server, "250 ok\r\n"},
                      {Side::Client, "QUIT\r\n"}, {Side::Server, "221 bye\r\n"}},
                     PcapWriter::Ending::ClosedByServer},
                    {QStringLiteral("127.0.0.1:40114"), v4Server,
                     {{Side::Server, "220 again\r\n"}, {Side::Client, "QUIT\r\n"}},
                     PcapWriter::Ending::ClosedByClient},
                    {QStringLiteral("127.0.0.1:40116"), v4Server, {}, PcapWriter::Ending::Refused}};
    QTest::newRow("IPv6, 200 KB chunk, reset")
        << Sessions{{QStringLiteral("[::1]:40200"), QStringLiteral("[::1]:143"),
                     {{Side::Server, "* OK\r\n"}, {Side::Client, large}, {Side::Server, "a OK\r\n"}},
                     PcapWriter::Ending::ResetByClient}};
    QTest::newRow("binary bytes, IPv4 client to IPv6 server")
        << Sessions{{v4Client, QStringLiteral("[::1]:2525"),
                     {{Side::Client, binary}, {Side::Server, binary.right(1000)}},
                     PcapWriter::Ending::ResetByServer}};
}

void TestPcapWriter::tsharkFollowsEveryStreamExactly()
{
    QFETCH(Sessions, sessions);
    QTemporaryDir dir;
    QFile file(dir.filePath(QStringLiteral("capture.pcap")));
    QVERIFY(file.open(QIODevice::WriteOnly));
    PcapWriter writer(&file);
    qint64 t = T0;
    for (const Session &s : sessions) {
        const int colon = int(s.client.lastIndexOf(':'));
        const int serverColon = int(s.server.lastIndexOf(':'));
        const auto address = [](QStringView text) { return QHostAddress(text.toString().remove('[').remove(']')); };
        writer.beginSession(address(QStringView(s.client).left(colon)), s.client.mid(colon + 1).toUShort(),
                            address(QStringView(s.server).left(serverColon)), s.server.mid(serverColon + 1).toUShort(),
                            t);
        for (const Chunk &c : s.chunks)
            writer.data(c.from, c.bytes, t += 12);
        writer.endSession(s.ending, t += 200);
    }
    QVERIFY(writer.isOk());
    file.close();

    QString failure;
    for (int stream = 0; stream < sessions.size(); ++stream) {
        QByteArray sent[2];
        QVERIFY2(followStream(file.fileName(), stream, sent, &failure), qPrintable(failure));
        QByteArray expected[2];
        for (const Chunk &c : sessions[stream].chunks)
            expected[sideIndex(c.from)] += c.bytes;
        QCOMPARE(sent[0], expected[sideIndex(Side::Client)]);
        QCOMPARE(sent[1], expected[sideIndex(Side::Server)]);
    }
    // Per stream, each chunk's sender, size and arrival time, then who ended
    // it and how; and nothing a reader finds amiss on any packet: checksums,
    // sequence and acknowledgement numbers, window.
    QStringList expected;
    t = T0;
    for (int stream = 0; stream < sessions.size(); ++stream) {
        const Session &s = sessions[stream];
        const QString port[2] = {s.client.section(':', -1), s.server.section(':', -1)};
        for (const Chunk &c : s.chunks)
            expected << QStringLiteral("%1 %2 %3 bytes at %4").arg(stream).arg(port[sideIndex(c.from)])
                            .arg(c.bytes.size()).arg(t += 12);
        t += 200;
        const bool byClient = s.ending == PcapWriter::Ending::ClosedByClient
                              || s.ending == PcapWriter::Ending::ResetByClient;
        const bool reset = s.ending != PcapWriter::Ending::ClosedByClient
                           && s.ending != PcapWriter::Ending::ClosedByServer;
        expected << QStringLiteral("%1 %2 %3 at %4").arg(stream).arg(port[byClient ? 0 : 1])
                        .arg(reset ? "RST" : "FIN").arg(t);
    }
    const QByteArray fields =
        run({"-r", file.fileName(), "-o", "ip.check_checksum:TRUE", "-o", "tcp.check_checksum:TRUE", "-T", "fields",
             "-E", "separator=,", "-e", "tcp.stream", "-e", "tcp.srcport", "-e", "tcp.len", "-e", "frame.time_epoch",
             "-e", "tcp.flags.fin", "-e", "tcp.flags.reset", "-e", "tcp.analysis.flags", "-e", "tcp.checksum.status",
             "-e", "ip.checksum.status"},
            &failure);
    QVERIFY2(!fields.isEmpty(), qPrintable(failure));
    QStringList seen;
    QString lastData;
    qint64 lastBytes = 0;
    QSet<QByteArray> ended;
    for (const QByteArray &line : fields.trimmed().split('\n')) {
        const QList<QByteArray> f = line.split(',');
        QCOMPARE(f.size(), 9);
        QVERIFY2(f[6].isEmpty() && f[7] == "1" && (f[8].isEmpty() || f[8] == "1"), line.constData());
        const QString who = QStringLiteral("%1 %2").arg(QString::fromLatin1(f[0]), QString::fromLatin1(f[1]));
        const qint64 msecs = qRound64(f[3].toDouble() * 1000);
        if (f[2].toLongLong() > 0) {
            // A chunk's segments share its time; they are counted as one.
            const QString key = QStringLiteral("%1 at %2").arg(who).arg(msecs);
            if (key == lastData) {
                lastBytes += f[2].toLongLong();
                seen.last() = QStringLiteral("%1 %2 bytes at %3").arg(who).arg(lastBytes).arg(msecs);
                continue;
            }
            lastData = key;
            lastBytes = f[2].toLongLong();
            seen << QStringLiteral("%1 %2 bytes at %3").arg(who).arg(lastBytes).arg(msecs);
        } else if ((f[4] == "1" || f[5] == "1") && !ended.contains(f[0])) {
            ended.insert(f[0]);
            seen << QStringLiteral("%1 %2 at %3").arg(who, f[5] == "1" ? "RST" : "FIN").arg(msecs);
            lastData.clear();
        } else {
            lastData.clear();
        }
    }
    QCOMPARE(seen, expected);
}

void TestPcapWriter::fileIsReadableBeforeItIsClosed()
{
    // What a process killed now would leave: the writer is still open.
    QTemporaryDir dir;
    QFile file(dir.filePath(QStringLiteral("live.pcap")));
    QVERIFY(file.open(QIODevice::WriteOnly));
    PcapWriter writer(&file);
    writer.beginSession(QHostAddress::LocalHost, 40112, QHostAddress::LocalHost, 2525, T0);
    writer.data(Side::Server, "220 ready\r\n", T0 + 5);
    writer.data(Side::Client, "EHLO x\r\n", T0 + 9);
    QByteArray sent[2];
    QString failure;
    QVERIFY2(followStream(file.fileName(), 0, sent, &failure), qPrintable(failure));
    QCOMPARE(sent[0], QByteArray("EHLO x\r\n"));
    QCOMPARE(sent[1], QByteArray("220 ready\r\n"));
}

void TestPcapWriter::failedWriteIsReported()
{
    QTemporaryDir dir;
    QFile file(dir.filePath(QStringLiteral("read-only.pcap")));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.close();
    QVERIFY(file.open(QIODevice::ReadOnly));
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("ReadOnly device")));
    PcapWriter writer(&file);
    writer.beginSession(QHostAddress::LocalHost, 40112, QHostAddress::LocalHost, 2525, T0);
    QVERIFY(!writer.isOk());
    QVERIFY2(writer.errorString().startsWith(QStringLiteral("Impossible d\u2019\u00e9crire la capture\u00a0: ")),
             qPrintable(writer.errorString()));
}

QTEST_GUILESS_MAIN(TestPcapWriter)
#include "tst_pcapwriter.moc"
