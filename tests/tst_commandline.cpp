#include "CommandLine.h"

#include <QtTest>

#include <QRegularExpression>

static const QString PackagingDir = QStringLiteral(DRAVLIN_PACKAGING_DIR "/");

static QString readPackagingFile(const QString &name)
{
    QFile file(PackagingDir + name);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

// The options, and the installed files that describe them to desktops and man.
class TestCommandLine : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void runOptions_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QStringList>("expected"); // flags (c, t, s), listen, host, server port
        const QString dh = QString::fromLatin1(CommandLine::DefaultServer);
        auto row = [](const char *name, const QStringList &args, const QStringList &expected) {
            QTest::newRow(name) << args << expected;
        };
        row("console, timestamps", {"--console", "--timestamps"}, {"ct", "25", dh, "25"});
        row("start", {"--start"}, {"s", "25", dh, "25"});
        row("host alone mirrors listen, either order", {"--server", "127.0.0.1", "--listen=2526"},
            {"", "2526", "127.0.0.1", "2526"});
        row("explicit server port wins", {"--listen", "2525", "--server", "127.0.0.1:110"},
            {"", "2525", "127.0.0.1", "110"});
        row("[v6]:port", {"--listen", "25", "--server", "[::1]:2626"}, {"", "25", "::1", "2626"});
        row("[v6] mirrors", {"--listen", "40", "--server", "[::1]"}, {"", "40", "::1", "40"});
        row("bare v6 is all host", {"--listen", "40", "--server", "::1"}, {"", "40", "::1", "40"});
        // Checked by the relay, not here, so the window can show them as typed.
        row("port text as typed", {"--listen", " 25x"}, {"", " 25x", dh, " 25x"});
    }
    void runOptions()
    {
        QFETCH(QStringList, args);
        CommandLine cl;
        QCOMPARE(cl.parse(QStringList{"dravlin"} + args), CommandLine::Outcome::Run);
        QVERIFY2(cl.errorText.isEmpty(), qPrintable(cl.errorText));
        const QString flags =
            QString(cl.console ? "c" : "") + (cl.timestamps ? "t" : "") + (cl.start ? "s" : "");
        QTEST((QStringList{flags, cl.listenPortText, cl.serverHostText, cl.serverPortText}),
              "expected");
        // The window fills only the fields that were given.
        QCOMPARE(cl.listenGiven, args.join(' ').contains("--listen"));
        QCOMPARE(cl.serverGiven, args.join(' ').contains("--server"));
    }

    void rejected_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("errorPart");
        QTest::newRow("flag given a value") << QStringList{"--timestamps=oui"} << "--timestamps";
        QTest::newRow("unknown") << QStringList{"--stamps"} << "stamps";
        QTest::newRow("listen without value") << QStringList{"--listen"} << "listen";
        QTest::newRow("unclosed bracket") << QStringList{"--server", "[::1:25"} << "[::1:25";
        QTest::newRow("positional") << QStringList{"--console", "2525"} << "2525";
    }
    void rejected()
    {
        QFETCH(QStringList, args);
        CommandLine cl;
        QCOMPARE(cl.parse(QStringList{"dravlin"} + args), CommandLine::Outcome::Error);
        QFETCH(QString, errorPart);
        QVERIFY2(cl.errorText.contains(errorPart), qPrintable(cl.errorText));
    }

    void packagingFileIsAccepted_data()
    {
        QTest::addColumn<QString>("tool");
        QTest::addColumn<QStringList>("args");
        QTest::newRow("desktop entry") << "desktop-file-validate" << QStringList{"dravlin.desktop"};
        QTest::newRow("man page")
            << "groff" << QStringList{"-k", "-man", "-Tutf8", "-ww", "-z", "dravlin.1"};
    }
    void packagingFileIsAccepted()
    {
        QFETCH(QString, tool);
        QFETCH(QStringList, args);
        const QString program = QStandardPaths::findExecutable(tool);
        if (program.isEmpty())
            QSKIP(qPrintable(tool + " is not installed"));
        QProcess process;
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.setWorkingDirectory(PackagingDir);
        process.start(program, args);
        QVERIFY2(process.waitForFinished(30000), qPrintable(process.errorString()));
        const QString output = QString::fromUtf8(process.readAll());
        // Warnings leave the exit status at 0 but are still faults.
        QVERIFY2(process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0
                     && output.trimmed().isEmpty(),
                 qPrintable(output));
    }

    void installedFilesNameTheProgramAndEveryOption()
    {
        const QRegularExpression exec("^Exec=(\\S+)", QRegularExpression::MultilineOption);
        QCOMPARE(exec.match(readPackagingFile("dravlin.desktop")).captured(1),
                 QStringLiteral(DRAVLIN_BINARY_NAME));
        const QString page = readPackagingFile("dravlin.1");
        CommandLine cl;
        QCOMPARE(cl.parse({"dravlin", "--help"}), CommandLine::Outcome::ShowHelp);
        const QRegularExpression option("^\\s+(?:-(\\w), )?--([\\w-]+)",
                                        QRegularExpression::MultilineOption);
        int seen = 0;
        for (auto it = option.globalMatch(cl.helpText); it.hasNext(); ++seen) {
            const QRegularExpressionMatch m = it.next();
            const QString longName = "\\-\\-" + m.captured(2).replace('-', "\\-");
            QVERIFY2(page.contains(longName), qPrintable(longName));
            if (m.hasCaptured(1))
                QVERIFY2(page.contains("\\-" + m.captured(1)), qPrintable(m.captured(1)));
        }
        QVERIFY2(seen >= 7, qPrintable(cl.helpText));
    }
};

QTEST_GUILESS_MAIN(TestCommandLine)
#include "tst_commandline.moc"
