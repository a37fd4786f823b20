#include "CommandLine.h"
#include <QtTest>
#include <QRegularExpression>

// The options, and the installed files that describe them to desktops and man.
static QString packaging(const char *name) { return QStringLiteral(DRAVLIN_PACKAGING_DIR "/") + name; }
class TestCommandLine : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void parse_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("expected"); // flags|listen|host|server port, !part of the error, or =CA file to export
        const QString dh = QString::fromLatin1(CommandLine::DefaultServer);
        QTest::newRow("flags") << QStringList{"--console", "--timestamps", "--start"} << "cts|25|" + dh + "|25";
        QTest::newRow("host mirrors listen") << QStringList{"--server", "127.0.0.1", "--listen=2526"} << "|2526|127.0.0.1|2526";
        QTest::newRow("server port wins") << QStringList{"--listen", "2525", "--server", "127.0.0.1:110"} << "|2525|127.0.0.1|110";
        QTest::newRow("[v6]:port") << QStringList{"--listen", "25", "--server", "[::1]:2626"} << "|25|::1|2626";
        QTest::newRow("bare v6 is all host") << QStringList{"--listen", "40", "--server", "2001:db8::25:26"} << "|40|2001:db8::25:26|40";
        QTest::newRow("host:port:port") << QStringList{"--server", "mx:25:26"} << "!entre crochets";
        // Checked by the relay, not here, so the window can show them as typed.
        QTest::newRow("port as typed") << QStringList{"--listen", " 25x"} << "| 25x|" + dh + "| 25x";
        QTest::newRow("unknown") << QStringList{"--stamps"} << "!stamps";
        QTest::newRow("flag given a value") << QStringList{"--timestamps=oui"} << "!--timestamps";
        QTest::newRow("unclosed bracket") << QStringList{"--server", "[::1:25"} << "![::1:25";
        QTest::newRow("positional") << QStringList{"--console", "2525"} << "!2525";
        // Each file option belongs to one front end, and takes a name.
        QTest::newRow("open in the window") << QStringList{"--open", "c.txt"} << "|25|" + dh + "|25";
        QTest::newRow("pcap on the console") << QStringList{"--console", "--pcap", "c.pcap"} << "c|25|" + dh + "|25";
        QTest::newRow("open on the console") << QStringList{"--console", "--open", "c.txt"} << "!--open va avec la fenêtre";
        QTest::newRow("open with start") << QStringList{"--start", "--open", "c.txt"} << "!--open va avec la fenêtre";
        QTest::newRow("pcap in the window") << QStringList{"--pcap", "c.pcap"} << "!Exporter en pcap";
        QTest::newRow("pcap without a name") << QStringList{"--console", "--pcap="} << "!nom de fichier vide après --pcap";
        // TLS: flags i(nspect), k (any server certificate), b(ridge), for either front end.
        QTest::newRow("inspect on the console") << QStringList{"--console", "--inspect-tls", "--tls-insecure"} << "cik|25|" + dh + "|25";
        QTest::newRow("bridge in the window") << QStringList{"--server-tls", "--start"} << "sb|25|" + dh + "|25";
        QTest::newRow("insecure alone in the window") << QStringList{"--tls-insecure"} << "k|25|" + dh + "|25"; // the box can be ticked later
        QTest::newRow("insecure alone on the console") << QStringList{"--console", "--tls-insecure"} << "!--tls-insecure va avec";
        QTest::newRow("export the CA") << QStringList{"--export-ca", "ca.pem"} << "=ca.pem";
        QTest::newRow("export with a run") << QStringList{"--inspect-tls", "--export-ca=ca.pem"} << "!s'emploie seul";
        QTest::newRow("export twice") << QStringList{"--export-ca=a", "--export-ca=b"} << "!--export-ca donné 2 fois";
        QTest::newRow("open twice") << QStringList{"--open", "a", "--open", "b"} << "!--open donné 2 fois";
    }
    void parse()
    {
        QFETCH(QStringList, args);
        QFETCH(QString, expected);
        CommandLine cl;
        const CommandLine::Outcome outcome = cl.parse(QStringList{"dravlin"} + args);
        QCOMPARE(outcome == CommandLine::Outcome::ExportCa, expected.startsWith('='));
        if (outcome == CommandLine::Outcome::ExportCa)
            QCOMPARE(cl.exportCaPath, expected.mid(1));
        if (expected.startsWith('='))
            return;
        const bool run = outcome == CommandLine::Outcome::Run;
        QVERIFY2(run != expected.startsWith('!') && (run || cl.errorText.contains(expected.mid(1))),
                 qPrintable(cl.errorText));
        if (!run)
            return;
        QCOMPARE(QString(cl.console ? "c" : "") + (cl.timestamps ? "t" : "") + (cl.start ? "s" : "")
                     + (cl.tls.inspectTls ? "i" : "") + (cl.tls.tlsInsecure ? "k" : "") + (cl.tls.serverTls ? "b" : "") + '|'
                     + cl.listenPortText + '|' + cl.serverHostText + '|' + cl.serverPortText + cl.errorText,
                 expected);
        // The window fills only the fields that were given.
        QCOMPARE(cl.listenGiven, args.join(' ').contains("--listen"));
        QCOMPARE(cl.serverGiven, args.join(' ').contains("--server "));
        // The console's settings carry the TLS choices as given.
        RelaySettings settings;
        QString error;
        if (cl.console && cl.consoleSettings(&settings, &error)) {
            QCOMPARE(settings.tls.inspectTls, cl.tls.inspectTls);
            QCOMPARE(settings.tls.tlsInsecure, cl.tls.tlsInsecure);
            QCOMPARE(settings.tls.serverTls, cl.tls.serverTls);
        }
    }

    void desktopEntryIsValid()
    {
        const QString validator = QStandardPaths::findExecutable("desktop-file-validate");
        if (validator.isEmpty())
            QSKIP("desktop-file-validate is not installed");
        QProcess process;
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.start(validator, {packaging("dravlin.desktop")});
        QVERIFY2(process.waitForFinished(30000), qPrintable(process.errorString()));
        const QByteArray output = process.readAll(); // warnings leave the status at 0 but are faults
        QVERIFY2(process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0 && output.trimmed().isEmpty(),
                 output.constData());
    }

    void manPageNamesEveryOptionOfHelp()
    {
        QFile man(packaging("dravlin.1"));
        QVERIFY(man.open(QIODevice::ReadOnly));
        const QString page = QString::fromUtf8(man.readAll());
        CommandLine cl;
        QCOMPARE(cl.parse({"dravlin", "--help"}), CommandLine::Outcome::ShowHelp);
        const QRegularExpression option("^\\s+(?:-(\\w), )?--([\\w-]+)", QRegularExpression::MultilineOption);
        int seen = 0;
        for (auto it = option.globalMatch(cl.helpText); it.hasNext(); ++seen) {
            const QRegularExpressionMatch m = it.next();
            QVERIFY2(page.contains("\\-\\-" + m.captured(2).replace('-', "\\-"))
                         && (!m.hasCaptured(1) || page.contains("\\-" + m.captured(1))), qPrintable(m.captured(0)));
        }
        QVERIFY2(seen >= 7, qPrintable(cl.helpText));
    }
};

QTEST_GUILESS_MAIN(TestCommandLine)
#include "tst_commandline.moc"
