#include "CommandLine.h"

#include <QtTest>

class TestCommandLine : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void runOptions_data();
    void runOptions();
    void rejected_data();
    void rejected();
    void helpNamesTheModeOfEachOption();
};

void TestCommandLine::initTestCase()
{
    QCoreApplication::setApplicationName(QStringLiteral("dravlin"));
}

void TestCommandLine::runOptions_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<bool>("console");
    QTest::addColumn<bool>("timestamps");
    QTest::addColumn<bool>("start");
    QTest::addColumn<QString>("listen");
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("serverPort");

    const QString dh = QString::fromLatin1(CommandLine::DefaultServer);
    QTest::newRow("defaults") << QStringList{} << false << false << false << "25" << dh << "25";
    QTest::newRow("console with timestamps")
        << QStringList{"--console", "--timestamps"} << true << true << false << "25" << dh << "25";
    QTest::newRow("start, window") << QStringList{"--start"} << false << false << true << "25" << dh
                                   << "25";
    QTest::newRow("all flags") << QStringList{"--start", "--timestamps", "--console"} << true
                               << true << true << "25" << dh << "25";
    QTest::newRow("server port mirrors listen")
        << QStringList{"--listen", "2525"} << false << false << false << "2525" << dh << "2525";
    QTest::newRow("mirrors listen, host without port, either order")
        << QStringList{"--server", "127.0.0.1", "--listen=2526"} << false << false << false
        << "2526" << "127.0.0.1" << "2526";
    QTest::newRow("explicit server port wins")
        << QStringList{"--listen", "2525", "--server", "127.0.0.1:110"} << false << false << false
        << "2525" << "127.0.0.1" << "110";
    QTest::newRow("bracketed v6 with port")
        << QStringList{"--console", "--listen", "2525", "--server", "[::1]:2626"} << true << false
        << false << "2525" << "::1" << "2626";
    QTest::newRow("bracketed v6 without port mirrors")
        << QStringList{"--listen", "40", "--server", "[::1]"} << false << false << false << "40"
        << "::1" << "40";
    QTest::newRow("bare v6 is all host")
        << QStringList{"--listen", "40", "--server", "::1"} << false << false << false << "40"
        << "::1" << "40";
    // Port texts are checked by the relay, not here, so the window can show them as typed.
    QTest::newRow("port text kept as typed")
        << QStringList{"--listen", " 25x"} << false << false << false << " 25x" << dh << " 25x";
}

void TestCommandLine::runOptions()
{
    QFETCH(QStringList, args);
    CommandLine cl;
    args.prepend(QStringLiteral("dravlin"));
    QCOMPARE(cl.parse(args), CommandLine::Outcome::Run);
    QVERIFY2(cl.errorText.isEmpty(), qPrintable(cl.errorText));
    QTEST(cl.console, "console");
    QTEST(cl.timestamps, "timestamps");
    QTEST(cl.start, "start");
    QTEST(cl.listenPortText, "listen");
    QTEST(cl.serverHostText, "host");
    QTEST(cl.serverPortText, "serverPort");
    // The window fills only the fields that were given.
    const QString joined = args.join(QLatin1Char(' '));
    QCOMPARE(cl.listenGiven, joined.contains(QStringLiteral("--listen")));
    QCOMPARE(cl.serverGiven, joined.contains(QStringLiteral("--server")));
}

void TestCommandLine::rejected_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("errorPart");

    QTest::newRow("flag given a value") << QStringList{"--timestamps=oui"} << "--timestamps";
    QTest::newRow("start given a value") << QStringList{"--start=1"} << "--start";
    QTest::newRow("unknown") << QStringList{"--stamps"} << "stamps";
    QTest::newRow("listen without value") << QStringList{"--listen"} << "listen";
    QTest::newRow("unclosed bracket") << QStringList{"--server", "[::1:25"} << "[::1:25";
    QTest::newRow("positional") << QStringList{"--console", "2525"} << "2525";
}

void TestCommandLine::rejected()
{
    QFETCH(QStringList, args);
    QFETCH(QString, errorPart);
    CommandLine cl;
    args.prepend(QStringLiteral("dravlin"));
    QCOMPARE(cl.parse(args), CommandLine::Outcome::Error);
    QVERIFY2(cl.errorText.contains(errorPart), qPrintable(cl.errorText));
}

void TestCommandLine::helpNamesTheModeOfEachOption()
{
    CommandLine cl;
    QCOMPARE(cl.parse({QStringLiteral("dravlin"), QStringLiteral("--timestamps"),
                       QStringLiteral("-h")}),
             CommandLine::Outcome::ShowHelp);
    // A user reading --help must learn which options apply to which front end.
    const QStringList lines = cl.helpText.split(QLatin1Char('\n'));
    auto describe = [&](const QString &option) {
        for (qsizetype i = 0; i < lines.size(); ++i) {
            if (lines[i].trimmed().startsWith(option)) {
                QString text = lines[i];
                for (qsizetype j = i + 1; j < lines.size() && lines[j].startsWith(QLatin1String("     "));
                     ++j)
                    text += lines[j];
                return text.simplified();
            }
        }
        return QString();
    };
    QVERIFY2(describe(QStringLiteral("--timestamps")).contains(QStringLiteral("--console")),
             qPrintable(cl.helpText));
    QVERIFY2(describe(QStringLiteral("--start")).contains(QStringLiteral("Fenêtre")),
             qPrintable(cl.helpText));
    QVERIFY(describe(QStringLiteral("--start")).contains(QStringLiteral("Ecouter")));
    QVERIFY(cl.helpText.startsWith(QStringLiteral("Utilisation :")));
}

QTEST_GUILESS_MAIN(TestCommandLine)
#include "tst_commandline.moc"
