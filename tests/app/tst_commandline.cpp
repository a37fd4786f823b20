#include "CommandLine.h"
#include "TestTexts.h"

#include <QRegularExpression>
#include <QtTest>

// The options, and the installed files that describe them to desktops and man.
namespace {

QString packaging(const char *name)
{
    return QStringLiteral(DRAVLIN_PACKAGING_DIR "/") + QLatin1String(name);
}

QString shown(const QString &text, bool given)
{
    return given ? text : u'(' + text + u')';
}

// What a command line comes to, on one line: "=file" for a CA export; "!" and
// the message when refused, on the console also by the check of its settings;
// else the flags (c console, t timestamps, s start, i inspect, k insecure,
// b bridge, as the relay will get them), the three field texts, in
// parentheses those not given, which the window leaves as they were, and
// with --clients "|" and the count (on the console, as the relay will get it).
QString outcome(const QStringList &args)
{
    CommandLine cl;
    const CommandLine::Outcome parsed = cl.parse(QStringList{QStringLiteral("dravlin")} + args);
    if (parsed == CommandLine::Outcome::ExportCa)
        return u'=' + cl.exportCaPath;
    if (parsed != CommandLine::Outcome::Run)
        return u'!' + cl.errorText;
    RelaySettings settings;
    settings.tls = cl.tls;
    QString error;
    if (cl.console && !cl.consoleSettings(&settings, &error))
        return u'!' + error;
    QString flags;
    for (const auto &[on, letter] : {std::pair{cl.console, 'c'}, {cl.timestamps, 't'}, {cl.start, 's'},
                                     {settings.tls.inspectTls, 'i'}, {settings.tls.tlsInsecure, 'k'},
                                     {settings.tls.serverTls, 'b'}})
        if (on)
            flags += QLatin1Char(letter);
    return flags + u'|' + shown(cl.listenPortText, cl.listenGiven) + u'|' + shown(cl.serverHostText, cl.serverGiven)
        + u'|' + shown(cl.serverPortText, cl.serverPortGiven)
        + (cl.clientsGiven ? u'|' + QString::number(cl.console ? settings.maxClients : cl.clients) : QString());
}

} // namespace

class TestCommandLine : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void parse_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("expected"); // as outcome() puts it; "!" and part of the message
        const auto row = [](const char *name, std::initializer_list<const char *> args, const char *expected) {
            QTest::newRow(name) << textList(args) << QString::fromUtf8(expected);
        };
        row("defaults", {"--console", "--timestamps", "--start"}, "cts|(25)|(192.168.0.1)|(25)");
        row("server port follows listen", {"--server", "127.0.0.1", "--listen=2526"}, "|2526|127.0.0.1|(2526)");
        row("server port wins", {"--listen", "2525", "--server", "127.0.0.1:110"}, "|2525|127.0.0.1|110");
        row("[v6]:port", {"--listen", "25", "--server", "[::1]:2626"}, "|25|::1|2626");
        row("bare v6 is all host", {"--listen", "40", "--server", "2001:db8::25:26"}, "|40|2001:db8::25:26|(40)");
        // The window shows a bad port as typed and checks it on start.
        row("window port as typed", {"--listen", " 25x"}, "| 25x|(192.168.0.1)|( 25x)");
        row("console takes --listen 0", {"--console", "--listen", "0", "--server", "[::1]:2525"}, "c|0|::1|2525");
        row("open in the window", {"--open", "c.txt"}, "|(25)|(192.168.0.1)|(25)");
        row("pcap and inspect on the console", {"--console", "--pcap", "c.pcap", "--inspect-tls", "--tls-insecure"},
            "cik|(25)|(192.168.0.1)|(25)");
        row("bridge in the window", {"--server-tls", "--start"}, "sb|(25)|(192.168.0.1)|(25)");
        row("insecure alone in the window", {"--tls-insecure"}, "k|(25)|(192.168.0.1)|(25)"); // the box is ticked later
        row("export the CA", {"--export-ca", "ca.pem"}, "=ca.pem");
        row("clients on the console", {"--console", "--clients", "64", "--listen", "0", "--server", "h:1"}, "c|0|h|1|64");
        // Spaces around are taken, as around a port.
        row("clients in the window", {"--clients= 2 "}, "|(25)|(192.168.0.1)|(25)|2");

        row("unknown", {"--stamps"}, "!option inconnue : --stamps");
        row("flag given a value", {"--timestamps=oui"}, "!l'option --timestamps ne prend pas de valeur");
        row("missing value", {"--listen"}, "!valeur manquante après --listen");
        row("positional", {"--console", "2525"}, "!argument inattendu : 2525");
        row("--listen twice", {"--listen", "1", "--listen", "2"}, "!--listen donné 2 fois");
        row("--server twice", {"--server", "a", "--server=b"}, "!--server donné 2 fois");
        row("host:25:26", {"--server", "host:25:26"}, "!entre crochets : [::1]:25");
        row("unclosed bracket", {"--server", "[::1:25"}, "!« [::1:25 » n'est pas de la forme");
        row("open on the console", {"--console", "--open", "c.txt"}, "!--open va avec la fenêtre");
        row("open with start", {"--start", "--open", "c.txt"}, "!--open va avec la fenêtre");
        row("pcap in the window", {"--pcap", "c.pcap"}, "!Exporter en pcap");
        row("pcap without a name", {"--console", "--pcap="}, "!nom de fichier vide après --pcap");
        row("insecure alone on the console", {"--console", "--tls-insecure"}, "!--tls-insecure va avec");
        row("export with a run", {"--inspect-tls", "--export-ca=ca.pem"}, "!--export-ca s'emploie seul");
        row("export without a name", {"--export-ca="}, "!nom de fichier vide après --export-ca");
        // The console checks its ports at once, naming the option.
        row("console --listen 65536", {"--console", "--listen", "65536"}, "!(--listen) invalide : « 65536 »");
        row("console server port 0", {"--console", "--listen", "0", "--server", "h:0"}, "!(--server) invalide : « 0 »");
        row("console --listen 0, no server port", {"--console", "--listen", "0"}, "!(--server hôte:port)");
        // A count the relay cannot serve, refused for either front end in one wording.
        for (const char *bad : {"0", "65", "100", "x", "", "-1", "1.5", "+3", "3 4", "\u0663", "0x4"}) {
            const QString message = QStringLiteral("!Nombre de clients (--clients) invalide : « %1 ». Entrez un "
                                                   "nombre entier de 1 à 64.").arg(QString::fromUtf8(bad));
            QTest::addRow("clients «%s»", bad) << textList({"--clients", bad}) << message;
            QTest::addRow("clients «%s», console", bad)
                << (textList({"--console", "--listen", "0", "--server", "h:1"}) << QStringLiteral("--clients=") + QString::fromUtf8(bad))
                << message;
        }
        row("--clients twice", {"--clients", "2", "--clients", "2"}, "!--clients donné 2 fois");
        row("--clients without a value", {"--clients"}, "!valeur manquante après --clients");
        row("--session without --replay", {"--console", "--session", "2"}, "!--session va avec --replay");
    }

    void parse()
    {
        QFETCH(QStringList, args);
        QFETCH(QString, expected);
        const QString got = outcome(args);
        if (!expected.startsWith(u'!')) {
            QCOMPARE(got, expected);
            return;
        }
        // Wholly French: none of the parser's own English wording comes through.
        static const QRegularExpression english(QStringLiteral("Missing|Unexpected|Unknown|value"));
        QVERIFY2(got.startsWith(u'!') && got.contains(expected.mid(1)) && !english.match(got).hasMatch(),
                 qPrintable(got));
    }

    void desktopEntryIsValid()
    {
        const QString validator = QStandardPaths::findExecutable(QStringLiteral("desktop-file-validate"));
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
        QCOMPARE(cl.parse({QStringLiteral("dravlin"), QStringLiteral("--help")}), CommandLine::Outcome::ShowHelp);
        const QRegularExpression option(QStringLiteral("^\\s+(?:-(\\w), )?--([\\w-]+)"),
                                        QRegularExpression::MultilineOption);
        int seen = 0;
        for (auto it = option.globalMatch(cl.helpText); it.hasNext(); ++seen) {
            const QRegularExpressionMatch m = it.next();
            const QString longName = QStringLiteral("\\-\\-") + m.captured(2).replace(u'-', QStringLiteral("\\-"));
            QVERIFY2(page.contains(longName) && (!m.hasCaptured(1) || page.contains(QStringLiteral("\\-") + m.captured(1))),
                     qPrintable(m.captured(0)));
        }
        QVERIFY2(seen >= 7, qPrintable(cl.helpText));
    }
};

QTEST_GUILESS_MAIN(TestCommandLine)
#include "tst_commandline.moc"
