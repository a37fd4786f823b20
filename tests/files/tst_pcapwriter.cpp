#include "ConversationPcap.h"
#include "InterleavedSessions.h"
#include "PcapWriter.h"
#include "TestTexts.h"
#include "TsharkStreams.h"

#include <QtTest>


// Each case writes sessions with PcapWriter, then asks tshark, the real
// reader, to follow every TCP stream and to flag what it finds wrong.

namespace {

struct Chunk {
    Side from;
    QByteArray bytes;
};

struct Session {
    QHostAddress client;
    quint16 clientPort;
    QHostAddress server;
    quint16 serverPort;
    QList<Chunk> chunks;
    PcapWriter::Ending ending;
};

using Sessions = QList<Session>;

const qint64 T0 = QDateTime(QDate(2026, 12, 6), QTime(14, 3, 22, 418)).toMSecsSinceEpoch();

// What one segment carries (in hex), or which flag ends its stream, from whom
// and when: "0 2525 3232300d0a @1796565802430", "0 40112 FIN @...".
QByteArray segment(const QByteArray &stream, const QByteArray &port, const QByteArray &what, qint64 msecs)
{
    return stream + ' ' + port + ' ' + what + " @" + QByteArray::number(msecs);
}

// The fields tshark gives for every packet, one comma-separated line each.
QList<QByteArray> packetFields(const QString &capture, const QStringList &fields, QString *failure)
{
    QStringList arguments{QStringLiteral("-r"), capture, QStringLiteral("-o"), QStringLiteral("ip.check_checksum:TRUE"),
                          QStringLiteral("-o"), QStringLiteral("tcp.check_checksum:TRUE"), QStringLiteral("-T"),
                          QStringLiteral("fields"), QStringLiteral("-E"), QStringLiteral("separator=,")};
    for (const QString &field : fields)
        arguments << QStringLiteral("-e") << field;
    QProcess tshark;
    tshark.start(tsharkPath(), arguments);
    if (!tshark.waitForFinished(60000) || tshark.exitCode() != 0) {
        *failure = QString::fromLocal8Bit(tshark.readAllStandardError());
        return {};
    }
    return tshark.readAllStandardOutput().trimmed().split('\n');
}

} // namespace

class TestPcapWriter : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        if (tsharkPath().isEmpty())
            QSKIP("tshark is not installed (Debian package tshark, see scripts/install-deps.sh): "
                  "pcap files cannot be checked against the real reader");
    }

    void tsharkFollowsEveryStreamExactly_data()
    {
        QTest::addColumn<Sessions>("sessions");

        const QByteArray binary = everyByte().repeated(16);
        const QByteArray large = QByteArray("abcdefghijklmnopqrstuvw").repeated(8700); // 200 KB

        const QHostAddress v4(QStringLiteral("127.0.0.1"));
        const QHostAddress v6(QStringLiteral("::1"));
        QTest::newRow("IPv4 sessions closed by each side, then a refused one")
            << Sessions{{v4, 40112, v4, 2525,
                         {{Side::Server, "220 ready\r\n"}, {Side::Client, "EHLO a\r\n"}, {Side::Server, "250 ok\r\n"},
                          {Side::Client, "QUIT\r\n"}, {Side::Server, "221 bye\r\n"}},
                         PcapWriter::Ending::ClosedByServer},
                        {v4, 40114, v4, 2525, {{Side::Server, "220 again\r\n"}, {Side::Client, "QUIT\r\n"}},
                         PcapWriter::Ending::ClosedByClient},
                        {v4, 40116, v4, 2525, {}, PcapWriter::Ending::Refused}};
        QTest::newRow("IPv6, 200 KB chunk, reset")
            << Sessions{{v6, 40200, v6, 143, {{Side::Server, "* OK\r\n"}, {Side::Client, large}, {Side::Server, "a OK\r\n"}},
                         PcapWriter::Ending::ResetByClient}};
        QTest::newRow("binary bytes, IPv4 client to IPv6 server")
            << Sessions{{v4, 40112, v6, 2525, {{Side::Client, binary}, {Side::Server, binary.right(1000)}},
                         PcapWriter::Ending::ResetByServer}};
    }

    void tsharkFollowsEveryStreamExactly()
    {
        QFETCH(Sessions, sessions);
        QTemporaryDir dir;
        QFile file(dir.filePath(QStringLiteral("capture.pcap")));
        QVERIFY(file.open(QIODevice::WriteOnly));
        PcapWriter writer(&file);
        QList<QByteArray> expected;
        qint64 t = T0;
        for (int stream = 0; stream < sessions.size(); ++stream) {
            const Session &s = sessions[stream];
            const auto expect = [&](Side from, const QByteArray &what) {
                expected << segment(QByteArray::number(stream),
                                    QByteArray::number(from == Side::Client ? s.clientPort : s.serverPort), what, t);
            };
            writer.beginSession(s.client, s.clientPort, s.server, s.serverPort, t);
            for (const Chunk &c : s.chunks) {
                writer.data(c.from, c.bytes, t += 12);
                for (qsizetype at = 0; at < c.bytes.size(); at += PcapWriter::MaxSegmentBytes)
                    expect(c.from, c.bytes.mid(at, PcapWriter::MaxSegmentBytes).toHex());
            }
            writer.endSession(s.ending, t += 200);
            using E = PcapWriter::Ending;
            const Side closer = s.ending == E::ClosedByClient || s.ending == E::ResetByClient ? Side::Client : Side::Server;
            const bool closed = s.ending == E::ClosedByClient || s.ending == E::ClosedByServer;
            expect(closer, closed ? "FIN" : "RST");
            if (closed)
                expect(otherSide(closer), "FIN");
        }
        QVERIFY(writer.isOk());
        file.close();
        // Every segment as written, and on no packet anything a reader finds
        // amiss: checksums, sequence and acknowledgement numbers, window.
        QString failure;
        const QList<QByteArray> packets = packetFields(
            file.fileName(),
            {QStringLiteral("tcp.stream"), QStringLiteral("tcp.srcport"), QStringLiteral("tcp.payload"),
             QStringLiteral("frame.time_epoch"), QStringLiteral("tcp.flags.fin"), QStringLiteral("tcp.flags.reset"),
             QStringLiteral("tcp.analysis.flags"), QStringLiteral("tcp.checksum.status"), QStringLiteral("ip.checksum.status")},
            &failure);
        QVERIFY2(!packets.isEmpty(), qPrintable(failure));
        QList<QByteArray> seen;
        for (const QByteArray &line : packets) {
            const QList<QByteArray> f = line.split(',');
            QCOMPARE(f.size(), 9);
            QVERIFY2(f[6].isEmpty() && f[7] == "1" && (f[8].isEmpty() || f[8] == "1"), line.constData());
            const QByteArray what = !f[2].isEmpty() ? f[2] : QByteArray(f[4] == "1" ? "FIN" : f[5] == "1" ? "RST" : "");
            if (!what.isEmpty())
                seen << segment(f[0], f[1], what, qRound64(f[3].toDouble() * 1000));
        }
        QCOMPARE(seen, expected);
    }

    // Sessions served at once, exported from the model: one stream each,
    // with its own endpoints and exactly its own bytes, however their rows
    // and marks interleave; with one session shown, that session alone.
    // No packet of any stream looks amiss to the reader.
    void exportKeepsEachSessionItsOwnStream()
    {
        const QList<SessionStep> steps = interleavedSessions();
        Conversation conversation;
        fillInterleaved(conversation, steps, T0);
        for (const int shown : {0, 2}) {
            conversation.showSession(shown);
            QTemporaryDir dir;
            const QString path = dir.filePath(QStringLiteral("export.pcap"));
            QFile file(path);
            QString error;
            QVERIFY(file.open(QIODevice::WriteOnly) && ConversationPcap::write(conversation, &file, &error));
            file.close();
            const QList<int> sessions = shown ? QList<int>{shown} : QList<int>{1, 2};
            TcpStream followed;
            for (qsizetype i = 0; i < sessions.size(); ++i) {
                QByteArray said[2], endpoints; // from the client, from the server; both nodes, from the opening step
                for (const SessionStep &step : steps) {
                    if (step.session == sessions[i] && step.what != 'T' && step.what != 'E')
                        (step.what == 'B' ? endpoints : said[step.what == 'S']) += step.bytes;
                }
                QVERIFY(followStream(path, int(i), &followed));
                QCOMPARE(followed.clientNode + u' ' + followed.serverNode, QString::fromLatin1(endpoints));
                QCOMPARE(followed.fromClient, said[0]);
                QCOMPARE(followed.fromServer, said[1]);
            }
            QString failure;
            const QList<QByteArray> packets = packetFields(path, {QStringLiteral("tcp.analysis.flags")}, &failure);
            QVERIFY2(!packets.isEmpty() && packets.count("") == packets.size(), qPrintable(failure));
            QVERIFY(!followStream(path, int(sessions.size()), &followed)); // no stream beyond the sessions shown
        }
    }

    // A server given by name is known by its address only once dialled, and
    // the client may speak before: as the console writes as it goes, and as
    // the window exports its marks, the stream is between the addresses used,
    // never the unspecified one a name alone gives.
    void namedServerIsCapturedWhereItWasReached()
    {
        const Endpoint client = Endpoint::at(QHostAddress(QStringLiteral("::ffff:127.0.0.1")), 40112);
        const Endpoint named = Endpoint::named(QStringLiteral("mx.example.org"), 2525);
        Endpoint reached = named;
        reached.address = QHostAddress(QHostAddress::LocalHost);
        for (const bool fromMarks : {false, true}) {
            QTemporaryDir dir;
            QFile file(dir.filePath(QStringLiteral("named.pcap")));
            QVERIFY(file.open(QIODevice::WriteOnly));
            if (fromMarks) {
                Conversation conversation;
                RelayEvent event;
                event.kind = RelayEvent::Kind::ClientConnected;
                event.time = T0;
                event.client = client;
                event.server = named;
                conversation.appendMark(event);
                conversation.appendRows(Side::Client, LineCapture().feed("EHLO x\r\n"), T0 + 1);
                event.kind = RelayEvent::Kind::ServerConnected;
                event.server = reached;
                conversation.appendMark(event);
                conversation.appendRows(Side::Server, LineCapture().feed("250 ok\r\n"), T0 + 5);
                QString error;
                QVERIFY2(ConversationPcap::write(conversation, &file, &error), qPrintable(error));
            } else {
                PcapWriter writer(&file);
                ConversationPcap::beginSession(writer, client, named, T0, 0, true);
                writer.data(Side::Client, "EHLO x\r\n", T0 + 1);
                ConversationPcap::serverFound(writer, reached);
                writer.data(Side::Server, "250 ok\r\n", T0 + 5);
                ConversationPcap::endSession(writer, RelayEvent::End::ClosedByClient, Side::Client, T0 + 9);
            }
            file.close();
            TcpStream followed;
            QVERIFY(followStream(file.fileName(), 0, &followed));
            QCOMPARE(followed.clientNode + u' ' + followed.serverNode, QStringLiteral("127.0.0.1:40112 127.0.0.1:2525"));
            QCOMPARE(followed.fromClient, QByteArray("EHLO x\r\n"));
            QCOMPARE(followed.fromServer, QByteArray("250 ok\r\n"));
        }
    }

    // What a process killed now would leave: the writer is still open.
    void fileIsReadableBeforeItIsClosed()
    {
        QTemporaryDir dir;
        QFile file(dir.filePath(QStringLiteral("live.pcap")));
        QVERIFY(file.open(QIODevice::WriteOnly));
        PcapWriter writer(&file);
        writer.beginSession(QHostAddress::LocalHost, 40112, QHostAddress::LocalHost, 2525, T0);
        writer.data(Side::Server, "220 ready\r\n", T0 + 5);
        writer.data(Side::Client, "EHLO x\r\n", T0 + 9);
        TcpStream followed;
        QVERIFY(followStream(file.fileName(), 0, &followed));
        QCOMPARE(followed.fromClient, QByteArray("EHLO x\r\n"));
        QCOMPARE(followed.fromServer, QByteArray("220 ready\r\n"));
    }

    // A write that fails is told, in French, and stops the writing.
    void failedWriteIsTold()
    {
        QTemporaryFile file;
        QVERIFY(file.open());
        QFile readOnly(file.fileName());
        QVERIFY(readOnly.open(QIODevice::ReadOnly));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("ReadOnly device")));
        PcapWriter failing(&readOnly);
        failing.beginSession(QHostAddress::LocalHost, 40112, QHostAddress::LocalHost, 2525, T0);
        QVERIFY2(failing.errorString().startsWith(QStringLiteral("Impossible d\u2019\u00e9crire la capture\u00a0: ")),
                 qPrintable(failing.errorString()));
        QVERIFY(!failing.isOk());
    }
};

QTEST_GUILESS_MAIN(TestPcapWriter)
#include "tst_pcapwriter.moc"
