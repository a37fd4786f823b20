#include "EventLog.h"
#include "FakeServer.h"
#include "Conversation.h"
#include "ConversationPcap.h"
#include "LineEchoServer.h"
#include "LoopbackPeer.h"
#include "TranscriptReader.h"
#include "StartTlsClient.h"
#include "TestTexts.h"
#include "Transcript.h"
#include "TranscriptWriter.h"
#include "TsharkStreams.h"

#include <QtNetwork>
#include <QtTest>
#include <algorithm>
#include <csignal>
#include <fcntl.h>
#include <functional>
#include <sys/stat.h>
#include <unistd.h>

// The console: the built `dravlin` (mostly `--console`) run between fake peers
// on loopback, and its two outputs alone, the transcript writer (stdout) and
// the event log (stderr), writing to files and pipes.
namespace {

// A chunk as the relay hands it over: its rows share a buffer of the given size.
LineCapture::Rows chunk(const QByteArray &bytes, qsizetype bufferBytes = 0)
{
    QByteArray buffer;
    buffer.reserve(qMax(bufferBytes, bytes.size()));
    buffer.append(bytes);
    return LineCapture().feed(buffer);
}

QByteArray readAllFrom(int fd)
{
    QByteArray all;
    char block[65536];
    for (ssize_t n; (n = ::read(fd, block, sizeof block)) > 0;)
        all.append(block, n);
    return all;
}

// A console relay towards a server on loopback, on a port the system picks.
QStringList relayTo(quint16 serverPort, const QStringList &more = {})
{
    return textList({"--console", "--listen", "0", "--server"}) << QStringLiteral("127.0.0.1:%1").arg(serverPort) << more;
}

QProcessEnvironment environment(const QString &dataHome = {})
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    // Half-hour offset: a stamp in UTC, or rounded to whole hours, cannot match by luck.
    env.insert(QStringLiteral("TZ"), QStringLiteral("XXX-05:30"));
    if (!dataHome.isEmpty())
        env.insert(QStringLiteral("XDG_DATA_HOME"), dataHome);
    return env;
}

struct ConsoleRun
{
    // stdoutSetup runs in the child before it starts: it may replace fd 1.
    explicit ConsoleRun(const QStringList &arguments, const QProcessEnvironment &env = environment(),
                        const std::function<void()> &stdoutSetup = {})
    {
        process.setProcessEnvironment(env);
        if (stdoutSetup)
            process.setChildProcessModifier(stdoutSetup);
        process.start(QStringLiteral(DRAVLIN_BINARY), arguments);
    }
    ~ConsoleRun() { process.kill(), process.waitForFinished(); }
    // Whether the console said it listens; port is then where (it is started with --listen 0).
    bool listening()
    {
        static const QRegularExpression said(QStringLiteral("dravlin: écoute sur le port (\\d+)\n"));
        QRegularExpressionMatch m;
        if (QTest::qWaitFor([&] { return drain(), (m = said.match(QString::fromUtf8(err))).hasMatch(); }, 10000))
            port = quint16(m.captured(1).toUInt());
        return port != 0;
    }
    qint64 statusKiB(const char *field) const
    {
        QFile status(QStringLiteral("/proc/%1/status").arg(process.processId()));
        const QRegularExpression line(QStringLiteral("^%1:\\s+(\\d+) kB").arg(QLatin1String(field)),
                                      QRegularExpression::MultilineOption);
        return status.open(QIODevice::ReadOnly) ? line.match(QString::fromLatin1(status.readAll())).captured(1).toLongLong() : -1;
    }
    bool waitFor(const char *needle) { return QTest::qWaitFor([&] { return drain(), (out.contains(needle) || err.contains(needle)); }, 10000); }
    void signal(int number) { ::kill(pid_t(process.processId()), number); }
    bool stop(int ms = 10000) { return signal(SIGTERM), finish(ms); }
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
    quint16 port = 0;
};

// The lines of a stamped transcript with their stamps taken off.
QList<QByteArray> unstamped(const QByteArray &out)
{
    QList<QByteArray> lines;
    for (const QByteArray &line : out.split('\n'))
        if (line.size() > 13)
            lines.append(line.mid(13));
    return lines;
}

// stdout's lines by session number, "#K " (after the stamp) taken off; a
// line without a number goes under 0, whole.
QMap<int, QList<QByteArray>> bySession(const QByteArray &out, bool stamped)
{
    static const QRegularExpression numbered(QStringLiteral("^#([1-9]\\d*) (.*)$"));
    QMap<int, QList<QByteArray>> sessions;
    for (const QByteArray &line : out.split('\n')) {
        const QRegularExpressionMatch m = numbered.match(QString::fromUtf8(stamped ? line.mid(13) : line));
        if (!line.isEmpty())
            sessions[m.captured(1).toInt()].append(m.hasMatch() ? m.captured(2).toUtf8() : line);
    }
    return sessions;
}

// The lines after the opening mark of the session whose client spoke from that port.
QList<QByteArray> sessionOf(const QMap<int, QList<QByteArray>> &sessions, quint16 clientPort)
{
    const QByteArray client = " client 127.0.0.1:" + QByteArray::number(clientPort) + " \xe2\x86\x92 ";
    for (const QList<QByteArray> &lines : sessions)
        if (lines.constFirst().startsWith("-- ") && lines.constFirst().contains(client))
            return lines.mid(1);
    return {};
}

// Clients connected at once, each then sent that many greeting bytes; the port each speaks from.
template <std::size_t N>
QList<quint16> connectAll(std::array<LoopbackPeer, N> &clients, quint16 port, qsizetype greeting = 0)
{
    QList<quint16> ports;
    for (LoopbackPeer &client : clients)
        client.connectTo(port);
    for (LoopbackPeer &client : clients)
        ports.append(client.waitForConnected() && client.waitForReceived(greeting) ? client.socket()->localPort() : 0);
    return ports;
}

} // namespace

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
        // Each mark checked whole, then replaced by what it tells.
        const QString stamp = QStringLiteral("^-- \\d\\d:\\d\\d:\\d\\d\\.\\d{3} \u00b7 ");
        const QList<std::pair<QString, QByteArray>> marks = {
            {stamp + QStringLiteral("client 127\\.0\\.0\\.1:\\d+ \u2192 127\\.0\\.0\\.1:%1$").arg(serverPort), "opened"},
            {QStringLiteral("^-- TLS client \u00b7 TLSv1\\.[23] \u00b7 \\S+ \u00b7 STARTTLS \\(SMTP\\)"), "TLS client"},
            {QStringLiteral("^-- TLS serveur \u00b7 TLSv1\\.[23] \u00b7 .* certificat NON vérifié .*"
                            "\u00b7 SHA-256 ([0-9A-F]{2}:){31}[0-9A-F]{2} \u00b7 "), "TLS server"},
            {stamp + QStringLiteral("fermée par le serveur \u00b7 "), "closed by the server"},
            {stamp + QStringLiteral("relais arrêté \u00b7 client \u2192 serveur 70.015 o \u00b7 "), "stopped, 70 015 bytes from the client"}};
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
        conversation.load(reader);
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

    // A failing stdout ends the run on its own: one report, status 1, the bytes still relayed.
    void stdoutFailureEndsTheRunWithOneReport_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<QByteArray>("reason");
        QTest::newRow("/dev/full") << 0 << QByteArray("plus de place sur le disque (ENOSPC)");
        QTest::newRow("closed (>&-), not reused") << 1 << QByteArray("sortie standard est fermée");
        QTest::newRow("pipe whose reader left first") << 2 << QByteArray("lecteur de la sortie standard est parti");
    }
    void stdoutFailureEndsTheRunWithOneReport()
    {
        QFETCH(int, kind);
        QFETCH(QByteArray, reason);
        LoopbackPeer server, client;
        QVERIFY(server.listen());
        int readEnd[2] = {-1, -1};
        QVERIFY(::pipe(readEnd) == 0);
        ::close(readEnd[0]); // the reader is gone before anything is written
        ConsoleRun run(relayTo(server.serverPort()), environment(), [kind, writeEnd = readEnd[1]] {
            if (kind == 0)
                ::dup2(::open("/dev/full", O_WRONLY), STDOUT_FILENO);
            else if (kind == 1)
                ::close(STDOUT_FILENO);
            else
                ::dup2(writeEnd, STDOUT_FILENO);
        });
        ::close(readEnd[1]);
        QVERIFY2(run.listening(), run.err.constData());
        if (kind == 1) // fd 1 holds /dev/null, not one of the program's own files or sockets
            QCOMPARE(QFile::symLinkTarget(QStringLiteral("/proc/%1/fd/1").arg(run.process.processId())),
                     QStringLiteral("/dev/null"));
        // The session's opening mark is the first line to fail: the run ends
        // then, and the lines it could not write are counted.
        client.connectTo(run.port);
        client.send("EHLO me\r\n");
        QVERIFY2(run.finish(), run.err.constData());
        QCOMPARE(run.process.exitCode(), 1);
        QCOMPARE(run.err.count("écriture impossible sur la sortie standard"), 1);
        static const QRegularExpression counted(QStringLiteral("\\d+ lignes? non écrites? sur la sortie standard"));
        QVERIFY2(run.err.contains(reason) && counted.match(QString::fromUtf8(run.err)).hasMatch(), run.err.constData());
        // What was read before the end was still delivered, whole or not at all.
        QVERIFY(QByteArray("EHLO me\r\n").startsWith(server.received()));
    }

    // 100,000 small segments towards a stdout nobody reads, from one client or
    // four at once: memory stays within the one budget the sessions share, the
    // relay stops reading until stdout is read again, and SIGTERM still ends it
    // promptly, counting the lines it could not write.
    void stdoutNeverReadHoldsMemoryAndReading_data()
    {
        QTest::addColumn<int>("clients");
        QTest::addColumn<int>("boundMiB"); // the budget, and the relay's queues and buffers
        QTest::newRow("one client") << 1 << 16 + 8;
        QTest::newRow("four at once") << 4 << 64;
    }
    void stdoutNeverReadHoldsMemoryAndReading()
    {
        QFETCH(int, clients);
        QFETCH(int, boundMiB);
        LineEchoServer server({}, {});
        int pipeEnds[2] = {-1, -1};
        QVERIFY(::pipe(pipeEnds) == 0);
        ConsoleRun run(relayTo(server.serverPort(), {QStringLiteral("--clients=%1").arg(clients)}), environment(),
                       [writeEnd = pipeEnds[1]] { ::dup2(writeEnd, STDOUT_FILENO); });
        ::close(pipeEnds[1]);
        QVERIFY2(run.listening(), run.err.constData());
        const qint64 baseKiB = run.statusKiB("VmRSS");
        std::array<LoopbackPeer, 4> peers;
        for (int k = 0; k < clients; ++k) {
            peers[k].connectTo(run.port);
            QVERIFY(peers[k].waitForConnected());
            peers[k].socket()->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        }
        const QByteArray segment = QByteArray(398, 'x') + "\r\n"; // 40 MB in all, over twice the budget
        for (int i = 0; i < 100000; ++i) {
            peers[i % clients].send(segment);
            peers[i % clients].socket()->flush(); // one send each while the kernel takes them
        }
        QVERIFY2(run.waitFor("lecture des connexions suspendue"), run.err.constData());
        const qint64 grownKiB = run.statusKiB("VmHWM") - baseKiB;
        QVERIFY2(grownKiB < boundMiB * 1024, qPrintable(QString::number(grownKiB)));
        const auto relayed = [&server] {
            qint64 total = 0;
            for (const QByteArray &got : server.received)
                total += got.size();
            return total;
        };
        // Reading stopped at the budget, counted as the rows were read (what
        // was read reaches the server meanwhile).
        QVERIFY2(QTest::qWaitFor([&] { return relayed() >= 16 << 20; }, 5000), qPrintable(QString::number(relayed())));
        QVERIFY2(relayed() < (16 << 20) + (3 << 19), qPrintable(QString::number(relayed())));
        // Reading stdout again resumes the relay; leaving it again holds it again.
        ::fcntl(pipeEnds[0], F_SETFL, O_NONBLOCK);
        char sink[65536];
        QVERIFY2(QTest::qWaitFor([&] {
                     while (::read(pipeEnds[0], sink, sizeof sink) > 0) {
                     }
                     return run.drain(), run.err.contains("lecture des connexions reprise");
                 }, 10000), run.err.constData());
        QVERIFY2(QTest::qWaitFor([&] { return run.drain(), run.err.count("suspendue") == 2; }, 10000), run.err.constData());
        QVERIFY2(run.stop(3000), run.err.constData()); // promptly
        QCOMPARE(run.process.exitCode(), 1);
        static const QRegularExpression counted(QStringLiteral("dravlin: \\d+ lignes non écrites sur la sortie standard\n"));
        QVERIFY2(counted.match(QString::fromUtf8(run.err)).hasMatch(), run.err.constData());
        ::close(pipeEnds[0]);
    }

    // A capture whose reader stops (a FIFO read no more) holds the peers as
    // an unread stdout does, never the relay: another client still gets its
    // greeting, SIGTERM still ends the run promptly, and what the capture
    // could not take is counted, with status 1.
    void aStalledCaptureHoldsThePeersNotTheRelay()
    {
        QTemporaryDir home;
        const QString fifo = home.filePath(QStringLiteral("capture.pcap"));
        QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
        LineEchoServer server("220 ready\r\n", {});
        ConsoleRun run(relayTo(server.serverPort(), textList({"--clients", "2", "--pcap"}) << fifo));
        const int reader = ::open(QFile::encodeName(fifo).constData(), O_RDONLY | O_NONBLOCK); // never reads
        QVERIFY(reader >= 0);
        QVERIFY2(run.listening(), run.err.constData());
        LoopbackPeer flood, late;
        flood.connectTo(run.port);
        QVERIFY(flood.waitForReceived(11));
        flood.send(QByteArray(24 << 20, 'x')); // more than the capture's budget
        QVERIFY2(run.waitFor("capture (--pcap) saturée"), run.err.constData());
        // The event loop still serves: a second client is taken and its server
        // reached (its greeting waits, like every byte, for the capture's reader).
        late.connectTo(run.port);
        QVERIFY2(run.waitFor("#2 Connecté au serveur"), run.err.constData());
        QElapsedTimer ending;
        ending.start();
        QVERIFY2(run.stop(4000), run.err.constData());
        QVERIFY(ending.elapsed() < 3500);
        QCOMPARE(run.process.exitCode(), 1);
        QVERIFY2(run.err.contains("de la capture non écrits"), run.err.constData());
        ::close(reader);
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

    // Eight python smtplib clients, all connected and greeted before any goes
    // on, send a mail each through the console to aiosmtpd: every mail arrives
    // whole, and each session's lines are its own client's dialogue.
    void eightMailClientsAtOnce()
    {
        const QString python = QStringLiteral("/usr/bin/python3"); // Debian's, where its aiosmtpd is
        if (QProcess::execute(python, {QStringLiteral("-c"), QStringLiteral("import aiosmtpd")}) != 0)
            QSKIP("aiosmtpd is not installed (Debian package python3-aiosmtpd)");
        // Says the port it serves on, takes the relay's on stdin, then runs the clients.
        const char *script = R"(
import smtplib, socket, sys, threading
from aiosmtpd.controller import Controller
got = {}
class Keep:
    async def handle_DATA(self, server, session, envelope):
        got[envelope.mail_from] = envelope.content
        return '250 kept'
probe = socket.socket(); probe.bind(('127.0.0.1', 0)); port = probe.getsockname()[1]; probe.close()
controller = Controller(Keep(), hostname='127.0.0.1', port=port); controller.start()
print(port, flush=True)
relay = int(sys.stdin.readline())
together = threading.Barrier(8, timeout=20)
def mail(k):
    with smtplib.SMTP('127.0.0.1', relay, local_hostname='c%d' % k, timeout=20) as smtp:
        together.wait()
        smtp.sendmail('c%d@example.org' % k, ['to@example.org'], 'Subject: %d\r\n\r\n.dot %d\r\nend\r\n' % (k, k))
threads = [threading.Thread(target=mail, args=(k,)) for k in range(8)]
[t.start() for t in threads]; [t.join() for t in threads]
controller.stop()
print(sum(got.get('c%d@example.org' % k) == b'Subject: %d\r\n\r\n.dot %d\r\nend\r\n' % (k, k) for k in range(8)))
)";
        QProcess mailer;
        mailer.start(python, {QStringLiteral("-c"), QString::fromLatin1(script)});
        QVERIFY(mailer.waitForReadyRead(20000));
        const QByteArray smtpPort = mailer.readLine().trimmed();
        ConsoleRun run(relayTo(smtpPort.toUShort(), textList({"--clients", "8"})));
        QVERIFY2(run.listening(), run.err.constData());
        mailer.write(QByteArray::number(run.port) + "\n");
        QVERIFY2(mailer.waitForFinished(60000) && mailer.exitCode() == 0, mailer.readAllStandardError().constData());
        QCOMPARE(mailer.readAllStandardOutput().trimmed(), "8");
        QVERIFY2(QTest::qWaitFor([&] { return run.drain(), run.err.count("Session termin") == 8; }, 10000), run.err.constData());
        QVERIFY2(run.stop(), run.err.constData());
        const QMap<int, QList<QByteArray>> sessions = bySession(run.out, false);
        QCOMPARE(sessions.size(), 8);
        for (const QList<QByteArray> &lines : sessions) {
            const QByteArray k = lines.value(2).mid(8); // "C: ehlo cK", after the opening mark and the greeting
            const QList<QByteArray> client = {"C: ehlo " + k, "C: mail FROM:<" + k + "@example.org> size=27",
                                              "C: rcpt TO:<to@example.org>", "C: data", "C: Subject: " + k.mid(1),
                                              "C: ", "C: ..dot " + k.mid(1), "C: end", "C: .", "C: QUIT"};
            QList<QByteArray> said;
            std::copy_if(lines.cbegin(), lines.cend(), std::back_inserter(said), [](const QByteArray &l) { return l.startsWith("C: "); });
            QVERIFY2(said == client, lines.join('\n').constData());
        }
    }

    // How a run that relays nothing ends: an export of the CA, 0 once written,
    // 1 when it cannot be; 2 for what was typed (the wording of each case is
    // the options suite's); 1 for what was found. Stdout stays empty. LINK is
    // a symbolic link planted at HOME/ca.pem: an export replaces the link
    // itself, a capture refuses it, and its target is never touched.
    void endsWithStatusAndReason_data()
    {
        QTest::addColumn<QStringList>("arguments"); // HOME: a fresh data folder; TAKEN: a port in use
        QTest::addColumn<bool>("caFolderTaken");    // a file where the CA's folder should be
        QTest::addColumn<QString>("display");       // DISPLAY; no display variable at all when empty
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("says");
        QTest::newRow("export makes the CA") << textList({"--export-ca", "HOME/ca.pem"}) << false << QString() << 0
                                             << QByteArray("certificat de l'autorité écrit");
        QTest::newRow("export over a link") << textList({"--export-ca", "LINK"}) << false << QString() << 0
                                            << QByteArray("certificat de l'autorité écrit");
        QTest::newRow("export, CA folder unusable") << textList({"--export-ca", "HOME/ca.pem"}) << true << QString() << 1
                                                    << QByteArray("--export-ca : ");
        QTest::newRow("capture through a link") << textList({"--console", "--listen", "0", "--server", "127.0.0.1:1",
                                                            "--pcap", "LINK"})
                                                << false << QString() << 1 << QByteArray("lien symbolique");
        QTest::newRow("capture on a full disk") << textList({"--console", "--listen", "0", "--server", "127.0.0.1:1",
                                                            "--pcap", "/dev/full"})
                                                << false << QString() << 1
                                                << QByteArray("capture\xc2\xa0: plus de place sur le disque (ENOSPC)");
        QTest::newRow("unknown option") << textList({"--console", "--ecoute", "1"}) << false << QString() << 2
                                        << QByteArray("option inconnue : --ecoute");
        QTest::newRow("bad server port") << textList({"--console", "--listen", "0", "--server", "127.0.0.1:99999"}) << false
                                         << QString() << 2 << QByteArray("(--server) invalide : « 99999 »");
        QTest::newRow("listen port taken") << textList({"--console", "--listen", "TAKEN", "--server", "127.0.0.1:1"}) << false
                                           << QString() << 1 << QByteArray("TAKEN");
        QTest::newRow("window without a display") << QStringList() << false << QString() << 1 << QByteArray("dravlin --console");
        // Named, but no X server behind it: the variable alone proves nothing.
        QTest::newRow("window, display not answering") << QStringList() << false << QStringLiteral(":59999") << 1
                                                       << QByteArray("DISPLAY « :59999 » injoignable");
    }
    void endsWithStatusAndReason()
    {
        QFETCH(QStringList, arguments);
        QFETCH(bool, caFolderTaken);
        QFETCH(QString, display);
        QFETCH(int, status);
        QFETCH(QByteArray, says);
        QTemporaryDir home;
        QFile blocker(home.filePath(QStringLiteral("dravlin")));
        QVERIFY(!caFolderTaken || blocker.open(QIODevice::WriteOnly));
        const QString exportPath = home.filePath(QStringLiteral("ca.pem")), target = home.filePath(QStringLiteral("target"));
        const bool planted = arguments.contains(QStringLiteral("LINK"));
        QFile victim(target);
        QVERIFY(!planted || (victim.open(QIODevice::WriteOnly) && victim.write("kept") == 4 && (victim.close(), true)
                             && QFile::link(target, exportPath)));
        const QFile::Permissions victimMode = victim.permissions();
        QTcpServer taken;
        QVERIFY(taken.listen(QHostAddress::Any, 0));
        const QString port = QString::number(taken.serverPort());
        QProcessEnvironment noDisplay = environment(home.path());
        for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "WAYLAND_SOCKET", "QT_QPA_PLATFORM"})
            noDisplay.remove(QLatin1String(name));
        if (!display.isEmpty())
            noDisplay.insert(QStringLiteral("DISPLAY"), display);
        arguments.replaceInStrings(QStringLiteral("TAKEN"), port).replaceInStrings(QStringLiteral("HOME"), home.path());
        arguments.replaceInStrings(QStringLiteral("LINK"), exportPath);
        ConsoleRun run(arguments, noDisplay);
        QVERIFY2(run.finish() && !run.err.contains("dravlin: écoute sur le port")
                     && run.err.contains(says.replace("TAKEN", port.toLatin1())),
                 run.err.constData());
        QCOMPARE(run.process.exitCode(), status);
        QVERIFY(run.out.isEmpty());
        // The export is the very CA the relay shows clients, not a second one.
        const QList<QSslCertificate> exported = QSslCertificate::fromPath(exportPath);
        QCOMPARE(exported.size(), status == 0 ? 1 : 0);
        QVERIFY(status != 0 || exported == QSslCertificate::fromPath(home.filePath(QStringLiteral("dravlin/ca.crt"))));
        if (!planted)
            return;
        QVERIFY(victim.open(QIODevice::ReadOnly));
        QCOMPARE(victim.readAll(), QByteArray("kept"));
        QCOMPARE(victim.permissions(), victimMode);
        QCOMPARE(QFileInfo(exportPath).isSymLink(), status != 0);
        QVERIFY(status != 0 || (QFile::permissions(exportPath) & 0x7077) == (QFile::ReadOwner | QFile::WriteOwner));
    }

    // Tiny chunks are packed, large ones queued as read: either way every row
    // comes out once, in order, with its chunk's stamp and session number.
    void mixedChunksComeOutWholeAndInOrder()
    {
        QTemporaryFile file;
        QVERIFY(file.open());
        QByteArray expected;
        {
            TranscriptWriter writer(file.handle());
            writer.setTimestamps(true);
            QRandomGenerator random(8);
            for (int i = 0; i < 3000; ++i) {
                const Side side = i % 3 ? Side::Client : Side::Server;
                // Sessions numbered up to past a byte's range, or none; now and then a mark.
                const int session = i % 5 ? random.bounded(300) : 0;
                const QByteArray head = Transcript::stamp(1700000000000 + i)
                    + (session ? '#' + QByteArray::number(session) + ' ' : QByteArray());
                if (i % 7 == 0) {
                    writer.writeMarker(1700000000000 + i, QStringLiteral("mark \u00b7 %1").arg(i), session);
                    Transcript::appendMarkerLine(expected, head, QStringLiteral("mark \u00b7 %1").arg(i));
                }
                const bool large = random.bounded(4) == 0;
                QByteArray bytes;
                for (int rows = large ? 600 : 1 + random.bounded(3); rows > 0; --rows)
                    bytes += "row " + QByteArray::number(i) + (random.bounded(9) ? "" : "\x01\\\xff") + "\r\n";
                const LineCapture::Rows rows = chunk(bytes, large ? 0 : 64 * 1024);
                const qint64 at = 1700000000000 + i;
                writer.write(side, rows, at, session);
                for (qsizetype r = 0; r < rows.count(); ++r)
                    Transcript::appendLine(expected, head, side, rows.row(r));
            }
            QCOMPARE(writer.finish(QDeadlineTimer(10000)), 0);
        }
        QVERIFY(file.seek(0));
        QCOMPARE(file.readAll(), expected);
    }

    // Events towards a stderr nobody reads never block the relay's thread;
    // the first ones wait, the rest are counted, and all is told once read.
    void eventLogNeverBlocks()
    {
        int ends[2];
        QVERIFY(::pipe(ends) == 0);
        EventLog log(ends[1]);
        const QString event = QStringLiteral("événement ").repeated(100); // 1.1 KB a line
        for (int i = 0; i < 1000; ++i) // far past the pipe and the backlog
            log.print(event + QString::number(i));
        ::fcntl(ends[0], F_SETFL, O_NONBLOCK);
        QByteArray told;
        QTRY_VERIFY_WITH_TIMEOUT((told += readAllFrom(ends[0])).contains("perdus"), 5000);
        const QByteArray first = "dravlin: " + event.toUtf8() + "0\n";
        QVERIFY(told.startsWith(first));
        const qsizetype lines = told.count('\n');
        QVERIFY(lines > 10 && lines < 1000);
        QVERIFY2(told.endsWith(QStringLiteral("dravlin: %1 messages d'événement perdus, la sortie d'erreur ne lisait plus\n")
                                   .arg(1000 - (lines - 1)).toUtf8()),
                 told.right(200).constData());
        ::close(ends[0]);
        ::close(ends[1]);
    }
};

QTEST_GUILESS_MAIN(TestConsole)
#include "tst_console.moc"
