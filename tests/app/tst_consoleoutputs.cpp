#include "ConsoleRun.h"
#include "TranscriptMarks.h"
#include "EventLog.h"
#include "TranscriptWriter.h"

// The console's outputs under strain, and how runs end: stdout failing or never read, a stalled
// capture, exit statuses; the transcript writer (stdout) and the event log (stderr) alone.
class TestConsoleOutputs : public QObject
{
    Q_OBJECT

private Q_SLOTS:
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
        // was read reaches the server meanwhile). The memory the rows hold
        // has a cap too: chunks of 64 KiB, each in a read buffer of 256 KiB,
        // reach it a little before the rows reach 16 MiB.
        QVERIFY2(QTest::qWaitFor([&] { return relayed() >= (16 << 20) - (1 << 19); }, 5000), qPrintable(QString::number(relayed())));
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
                    RelayEvent dropped;
                    dropped.kind = RelayEvent::Kind::PlaintextDropped;
                    dropped.time = 1700000000000 + i;
                    dropped.session = session;
                    dropped.dropped = i;
                    writer.writeMark(dropped);
                    TranscriptMarks::append(expected, head, SessionMark{dropped, QByteArray()});
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

    // A write the interruption cannot reach (its signal blocked) outlives its
    // writer, which ends on time all the same; once the reader reads, the
    // thread ends on the state it shares, not on the writer gone (a sanitized
    // build tells any touch of it).
    void aWriteBlockedForGoodOutlivesItsWriter()
    {
        int ends[2];
        QVERIFY(::pipe(ends) == 0);
        const auto transcriptThreads = [] {
            int count = 0;
            for (const QString &task : QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
                QFile comm(QStringLiteral("/proc/self/task/%1/comm").arg(task));
                count += comm.open(QIODevice::ReadOnly) && comm.readAll().trimmed() == "transcript";
            }
            return count;
        };
        // The writer's thread starts with this thread's signal mask.
        sigset_t blocked, before;
        sigemptyset(&blocked);
        sigaddset(&blocked, SIGRTMIN);
        QCOMPARE(::pthread_sigmask(SIG_BLOCK, &blocked, &before), 0);
        auto writer = std::make_unique<TranscriptWriter>(ends[1]);
        ::pthread_sigmask(SIG_SETMASK, &before, nullptr);
        for (int i = 0; i < 64; ++i) // 256 KB, past what the pipe holds
            writer->write(Side::Client, chunk(QByteArray(4000, 'x') + "\r\n"), 0);
        QElapsedTimer ending;
        ending.start();
        QVERIFY(writer->finish(QDeadlineTimer(100)) > 0); // the rows of the blocked write, and any after it
        writer.reset();
        QVERIFY(ending.elapsed() < 5000);
        QCOMPARE(transcriptThreads(), 1);
        ::fcntl(ends[0], F_SETFL, O_NONBLOCK);
        QByteArray read;
        QTRY_VERIFY_WITH_TIMEOUT((read += readAllFrom(ends[0]), transcriptThreads() == 0), 5000);
        QVERIFY(read.startsWith("C: xxx") && read.size() > 64 * 1024);
        ::close(ends[0]);
        ::close(ends[1]);
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

QTEST_GUILESS_MAIN(TestConsoleOutputs)
#include "tst_consoleoutputs.moc"
