#include "TestTexts.h"

#include <QtNetwork>
#include <QtTest>

#include <unistd.h>

// The replay: the built `dravlin --replay` run against servers on loopback
// (aiosmtpd with STARTTLS, and a scripted server for POP3, IMAP and a
// protocol Dravlin does not know), from transcripts written as the console
// writes them.
namespace {

// Answers each line the client sends with the reply given for it. A reply
// holding "|" is sent in two halves, 300 ms apart: a client that goes on before
// the second half has not waited for the whole answer, and is caught.
struct ScriptedServer
{
    QTcpServer listener;
    QHash<QByteArray, QByteArray> replies;
    QByteArray greeting;
    QByteArray heard;
    bool early = false; // a line came while an answer was half sent
    bool halfSent = false;

    explicit ScriptedServer(const QByteArray &hello, const QHash<QByteArray, QByteArray> &script)
        : replies(script), greeting(hello)
    {
        listener.listen(QHostAddress::LocalHost);
        QObject::connect(&listener, &QTcpServer::newConnection, &listener, [this] {
            QTcpSocket *s = listener.nextPendingConnection();
            s->write(greeting);
            QObject::connect(s, &QTcpSocket::readyRead, s, [this, s] { read(s); });
        });
    }
    void read(QTcpSocket *s)
    {
        while (s->canReadLine()) {
            const QByteArray line = s->readLine();
            heard += line;
            early = early || halfSent;
            const QList<QByteArray> halves = replies.value(line.trimmed(), "500 ?\r\n").split('|');
            if (halves.first().isEmpty())
                continue; // never answered
            s->write(halves.first());
            if (halves.size() > 1) {
                halfSent = true;
                QTimer::singleShot(300, s, [this, s, rest = halves.last()] { halfSent = false, s->write(rest); });
            }
        }
    }
};

QString text(const char *utf8)
{
    return QString::fromUtf8(utf8);
}

// A file, then options.
QStringList args(const QString &file, std::initializer_list<const char *> options = {})
{
    return QStringList{file} + textList(options);
}

struct Replay
{
    QProcess process;
    QByteArray out, err;
    explicit Replay(const QStringList &arguments)
    {
        process.start(QStringLiteral(DRAVLIN_BINARY), QStringList{QStringLiteral("--replay")} + arguments);
    }
    // The exit status, once the replay is over.
    int status()
    {
        if (process.state() != QProcess::NotRunning && !QTest::qWaitFor([this] { return process.state() == QProcess::NotRunning; }, 30000))
            return -1;
        out = process.readAllStandardOutput();
        err = process.readAllStandardError();
        return process.exitCode();
    }
};

} // namespace

class TestReplay : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

    QString saved(const char *name, const QByteArray &text)
    {
        QFile file(m_dir.filePath(QLatin1String(name)));
        file.open(QIODevice::WriteOnly);
        file.write(text);
        return file.fileName();
    }
    QString server(quint16 port) { return QStringLiteral("127.0.0.1:%1").arg(port); }
    static bool certificate(const QString &key, const QString &cert)
    {
        return QProcess::execute(QStringLiteral("openssl"),
                                 textList({"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
                                           "-subj", "/CN=localhost", "-days", "2", "-keyout"})
                                     << key << QStringLiteral("-out") << cert)
            == 0;
    }

    // An SMTP session recorded through the relay with --inspect-tls: STARTTLS,
    // then pipelined MAIL, RCPT and DATA, a message, QUIT. Its marks are
    // tagged, one worded in another language: the replay reads the tags.
    QString smtpTranscript()
    {
        return saved("smtp.txt", "10:00:00.000 -- [open client=127.0.0.1:40000 server=127.0.0.1:2525] "
                                 "10:00:00.000 \u00b7 client 127.0.0.1:40000 \u2192 127.0.0.1:2525\n"
                                 "10:00:00.010 S: 220 mx.test test\n"
                                 "C: EHLO client.test\nS: 250-mx.test\nS: 250-8BITMIME\nS: 250-STARTTLS\nS: 250 HELP\n"
                                 "C: STARTTLS\nS: 220 Ready to start TLS\n"
                                 // The client's handshake may be told first, and its first row before the server's.
                                 "-- [tls side=client upgrade=smtp protocol=TLSv1.3 cipher=TLS_AES_256_GCM_SHA384] "
                                 "TLS mit dem Client \u00b7 STARTTLS (SMTP)\n"
                                 "C: EHLO client.test\n"
                                 "-- [tls side=server upgrade=smtp protocol=TLSv1.3 cipher=TLS_AES_256_GCM_SHA384 "
                                 "subject=CN%3Dlocalhost issuer=CN%3Dlocalhost sha256=AA verified=1] TLS serveur \u00b7 TLSv1.3 \u00b7 TLS_AES_256_GCM_SHA384 \u00b7 STARTTLS (SMTP) \u00b7 sujet "
                                 "CN=localhost \u00b7 certificat v\u00e9rifi\u00e9 \u00b7 SHA-256 AA \u00b7 \u00e9metteur CN=localhost\n"
                                 "S: 250-mx.test\nS: 250-8BITMIME\nS: 250-AUTH LOGIN PLAIN\nS: 250 HELP\n"
                                 "C: MAIL FROM:<a@example.org>\nC: RCPT TO:<c@example.org>\nC: RCPT TO:<b@example.org>\nC: DATA\n"
                                 "S: 250 OK\nS: 250 OK\nS: 250 OK\nS: 354 End data with <CR><LF>.<CR><LF>\n"
                                 "C: Subject: essai\nC: \nC: caf\u00e9 \\x01\nC: .\nS: 250 Message accepted for delivery\n"
                                 "C: QUIT\nS: 221 Bye\n");
    }

private Q_SLOTS:
    void filesAndOptionsThatCannotBeReplayed_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("message");
        const QString sessions = saved("two.txt", "#1 S: +OK\n#2 S: +OK\n#2 C: QUIT\n");
        const QString one = saved("one.txt", "S: +OK\nC: QUIT\n");
        QTest::newRow("missing file") << args(m_dir.filePath(QStringLiteral("none.txt")), {"--server", "h"}) << text("none.txt");
        QTest::newRow("not a transcript") << args(saved("bad.txt", "S: +OK\nhello\n"), {"--server", "h"})
                                          << text("n'est pas une transcription lisible : ligne 2");
        QTest::newRow("no session") << args(saved("empty.txt", ""), {"--server", "h"}) << text("aucune ligne de session");
        QTest::newRow("several sessions") << args(sessions, {"--server", "h"}) << text("contient les sessions 1, 2 : choisissez");
        QTest::newRow("session absent") << args(sessions, {"--session", "3", "--server", "h"}) << text("(sessions : 1, 2)");
        QTest::newRow("number given to one") << args(one, {"--session", "1", "--server", "h"}) << text("ne donnez pas --session");
        QTest::newRow("TLS not inspected")
            << args(saved("tls.txt", "S: 220 mx\nC: STARTTLS\nS: 220 go\nC: \\x16\\x03\\x01\\x00\\x05\nS: \\x16\\x03\\x03\n"),
                    {"--server", "h"})
            << text("ligne 4 : le TLS de cette session est passé sans être déchiffré");
        QTest::newRow("no server") << args(one) << text("--replay demande --server");
        QTest::newRow("with --console") << args(one, {"--server", "h", "--console"}) << text("--console ne va pas avec --replay");
        QTest::newRow("timeout 0") << args(one, {"--server", "h", "--timeout", "0"}) << text("--timeout : « 0 »");
        QTest::newRow("port 0") << args(one, {"--server", "h:0"}) << text("port invalide : « 0 »");
    }
    void filesAndOptionsThatCannotBeReplayed()
    {
        QFETCH(QStringList, args);
        QFETCH(QString, message);
        Replay replay(args);
        QCOMPARE(replay.status(), 2);
        QVERIFY2(QString::fromUtf8(replay.err).contains(message), replay.err.constData());
        QVERIFY(replay.out.isEmpty());
    }

    void smtpWithStartTlsAgainstAiosmtpd_data()
    {
        QTest::addColumn<QString>("refused");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("told");
        QTest::newRow("same server") << QString() << 0 << text("dravlin: rejeu : 10 réponses, 0 différente\n");
        QTest::newRow("recipient refused")
            << text("b@example.org") << 1
            << text("dravlin: réponse différente à « RCPT TO:<b@example.org> » : attendu 250, reçu 550\n"
               "dravlin: rejeu : 10 réponses, 1 différente\n");
    }
    void smtpWithStartTlsAgainstAiosmtpd()
    {
        QFETCH(QString, refused);
        QFETCH(int, status);
        QFETCH(QString, told);
        if (QStandardPaths::findExecutable(QStringLiteral("openssl")).isEmpty()
            || QProcess::execute(QStringLiteral("/usr/bin/python3"), {QStringLiteral("-c"), QStringLiteral("import aiosmtpd")}) != 0)
            QSKIP("openssl or python3's aiosmtpd missing");
        const QString key = m_dir.filePath(QStringLiteral("k.pem")), cert = m_dir.filePath(QStringLiteral("c.pem"));
        QVERIFY(certificate(key, cert));
        QProcess peer;
        peer.start(QStringLiteral("/usr/bin/python3"), QStringList{QFINDTESTDATA("peers/smtp_peer.py"), cert, key, refused});
        QVERIFY(QTest::qWaitFor([&] { return peer.canReadLine(); }, 10000));
        const quint16 port = quint16(peer.readLine().mid(5).trimmed().toUInt());

        // The certificate is self-signed: checked, the replay stops at the handshake.
        Replay checked({smtpTranscript(), QStringLiteral("--server"), server(port)});
        QCOMPARE(checked.status(), 1);
        QVERIFY2(checked.err.contains("rejeu arrêté : échec TLS avec le serveur 127.0.0.1:"), checked.err.constData());

        Replay replay(QStringList{smtpTranscript(), QStringLiteral("--server"), server(port)} + textList({"--tls-insecure", "--timestamps"}));
        QCOMPARE(replay.status(), status);
        QVERIFY2(replay.err.endsWith(told.toUtf8()), replay.err.constData());
        QVERIFY(replay.err.contains("accepté sans vérification (--tls-insecure) : SHA-256 "));
        // The conversation in the console's form, the message sent again byte for byte.
        const QRegularExpression stamped(QStringLiteral("^\\d\\d:\\d\\d:\\d\\d\\.\\d{3} (C: |S: |-- )"));
        for (const QString &line : QString::fromUtf8(replay.out).split(u'\n', Qt::SkipEmptyParts))
            QVERIFY2(stamped.match(line).hasMatch(), qPrintable(line));
        QVERIFY(replay.out.contains(" · client rejeu → 127.0.0.1:"));
        QVERIFY(replay.out.contains(" · STARTTLS (SMTP) · sujet CN=localhost · certificat NON vérifié"));
        QVERIFY(replay.out.contains(" C: café \\x01\n") && replay.out.contains(" S: 221 Bye\n"));
        QVERIFY(QTest::qWaitFor([&] { return peer.canReadLine(); }, 5000));
        QCOMPARE(peer.readLine(), refused.isEmpty() ? "message a@example.org -> c@example.org,b@example.org 27\n"
                                                    : "message a@example.org -> c@example.org 27\n");
        peer.kill();
        peer.waitForFinished();
    }

    // IMAP against dovecot, as imaplib spoke to it through the relay: STARTTLS,
    // AUTHENTICATE's "+", APPEND's synchronising literal.
    void imapWithStartTlsAgainstDovecot()
    {
        QTemporaryDir home;
        QTcpServer probe;
        if (QStandardPaths::findExecutable(QStringLiteral("dovecot"), {QStringLiteral("/usr/sbin")}).isEmpty() || ::geteuid() != 0
            || !probe.listen(QHostAddress::LocalHost))
            QSKIP("dovecot missing, or not run by root as it needs");
        const quint16 port = probe.serverPort();
        probe.close();
        const QString key = home.filePath(QStringLiteral("k.pem")), cert = home.filePath(QStringLiteral("c.pem"));
        QVERIFY(certificate(key, cert) && QFile::setPermissions(home.path(), QFile::Permissions(0x7777)));
        QFile(key).setPermissions(QFile::Permissions(0x6644));
        const QByteArray dir = home.path().toUtf8();
        QFile passwd(home.filePath(QStringLiteral("passwd")));
        QVERIFY(passwd.open(QIODevice::WriteOnly) && passwd.write("alice:{PLAIN}secret\n") > 0);
        passwd.close();
        QFile conf(home.filePath(QStringLiteral("dovecot.conf")));
        QVERIFY(conf.open(QIODevice::WriteOnly));
        conf.write("base_dir = " + dir + "/run\nstate_dir = " + dir + "/state\nlog_path = " + dir + "/log\nprotocols = imap\n"
                   "listen = 127.0.0.1\nssl = yes\nssl_cert = <" + dir + "/c.pem\nssl_key = <" + dir + "/k.pem\n"
                   "disable_plaintext_auth = no\npassdb {\n driver = passwd-file\n args = " + dir + "/passwd\n}\n"
                   "userdb {\n driver = static\n args = uid=nobody gid=nogroup home=" + dir + "/%u\n}\n"
                   "mail_location = maildir:" + dir + "/%u/Maildir\nservice imap-login {\n inet_listener imap {\n port = "
                   + QByteArray::number(port) + "\n }\n inet_listener imaps {\n port = 0\n }\n}\n");
        conf.close();
        QProcess dovecot;
        dovecot.start(QStringLiteral("/usr/sbin/dovecot"), {QStringLiteral("-F"), QStringLiteral("-c"), conf.fileName()});
        QVERIFY(QTest::qWaitFor([port] {
            QTcpSocket knock;
            return knock.connectToHost(QHostAddress::LocalHost, port), knock.waitForReadyRead(200);
        }, 10000));
        const QString transcript = saved("imap.txt",
            "S: * OK [CAPABILITY IMAP4rev1 STARTTLS AUTH=PLAIN] Dovecot (Debian) ready.\nC: A1 STARTTLS\nS: A1 OK Begin TLS.\n"
            "-- TLS serveur \u00b7 TLSv1.3 \u00b7 TLS_AES_128_GCM_SHA256 \u00b7 STARTTLS (IMAP) \u00b7 sujet CN=localhost \u00b7 "
            "certificat v\u00e9rifi\u00e9 \u00b7 SHA-256 AA \u00b7 \u00e9metteur CN=localhost\n"
            "C: A2 AUTHENTICATE PLAIN\nS: + \nC: AGFsaWNlAHNlY3JldA==\nS: A2 OK Logged in\nC: A3 SELECT INBOX\nS: * 0 EXISTS\n"
            "S: A3 OK [READ-WRITE] Select completed.\nC: A4 APPEND INBOX {21}\nS: + OK\nC: Subject: hi\nC: \nC: body\nC: \n"
            "S: * 1 EXISTS\nS: A4 OK [APPENDUID 1 1] Append completed.\nC: A5 LOGOUT\nS: * BYE Logging out\nS: A5 OK Logout completed.\n");
        Replay replay(QStringList{transcript, QStringLiteral("--server"), server(port), QStringLiteral("--tls-insecure")});
        QCOMPARE(replay.status(), 0);
        QVERIFY2(replay.err.endsWith("dravlin: rejeu : 8 réponses, 0 différente\n"), replay.err.constData());
        QVERIFY(replay.out.contains("S: A4 OK [APPENDUID "));
        dovecot.terminate();
        dovecot.waitForFinished();
    }

    // Each answer waited for whole, as its protocol's dialogue tells: a
    // POP3 listing up to its ".", an IMAP command up to its tag, after each
    // "+" for a literal; a protocol Dravlin does not know row by row.
    void answersAreAwaitedWholeAndCompared_data()
    {
        QTest::addColumn<QByteArray>("transcript");
        QTest::addColumn<QByteArray>("greeting");
        QTest::addColumn<QStringList>("script"); // line, reply, line, reply...
        QTest::addColumn<QStringList>("more");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("told");
        // Session 2 of a console run that served two clients at once.
        QTest::newRow("POP3") << QByteArray("#2 S: +OK ready\n#1 S: 220 mx\n#2 C: USER alice\n#1 C: QUIT\n#2 S: +OK\n#2 C: PASS secret\n"
                                            "#2 S: +OK in\n#2 C: LIST\n#2 S: +OK 2 messages\n#2 S: 1 120\n#2 S: 2 200\n#2 S: .\n"
                                            "#2 C: RETR 1\n#2 S: +OK\n#2 S: Subject: x\n#2 S: .\n#2 C: QUIT\n#2 S: +OK bye\n")
                              << QByteArray("+OK ready\r\n")
                              << textList({"USER alice", "+OK\r\n", "PASS secret", "+OK in\r\n", "LIST",
                                           "+OK 2 messages\r\n1 120\r\n|2 200\r\n.\r\n", "RETR 1", "-ERR gone\r\n",
                                           "QUIT", "+OK bye\r\n"})
                              << textList({"--session", "2"}) << 1 << text("dravlin: réponse différente à « RETR 1 » : attendu +OK, reçu -ERR\n"
                                      "dravlin: rejeu : 6 réponses, 1 différente\n");
        QTest::newRow("IMAP") << QByteArray("S: * OK ready\nC: a1 LOGIN {5}\nS: + go\nC: alice {6}\nS: + go\nC: secret\n"
                                            "S: a1 OK done\nC: a2 SELECT INBOX\nS: * 2 EXISTS\nS: a2 OK [READ-WRITE] done\n"
                                            "C: a3 LOGOUT\nS: * BYE\nS: a3 OK bye\n")
                              << QByteArray("* OK ready\r\n")
                              << textList({"a1 LOGIN {5}", "+ go\r\n", "alice {6}", "+ go\r\n", "secret", "a1 OK done\r\n",
                                           "a2 SELECT INBOX", "* 2 EXISTS\r\n|a2 OK [READ-WRITE] done\r\n", "a3 LOGOUT",
                                           "* BYE\r\na3 OK bye\r\n"})
                              << QStringList() << 0 << text("dravlin: rejeu : 6 réponses, 0 différente\n");
        QTest::newRow("unknown") << QByteArray("S: HELLO v1\nC: PING\nS: PONG 1\nC: BYE\nS: BYE\n") << QByteArray("HELLO v1\r\n")
                                 << textList({"PING", "PONG 2\r\n", "BYE", "BYE\r\n"}) << QStringList() << 1 << text("dravlin: réponse différente : attendu « PONG 1 », reçu « PONG 2 »\n"
                                         "dravlin: rejeu : 3 réponses, 1 différente\n");
        // What the recording sent inside TLS is never sent in the clear.
        QTest::newRow("upgrade refused")
            << QByteArray("S: 220 mx\nC: STARTTLS\nS: 220 go\n-- TLS serveur \xc2\xb7 TLSv1.3 \xc2\xb7 X \xc2\xb7 STARTTLS (SMTP) \xc2\xb7 "
                          "sujet CN=a \xc2\xb7 certificat v\xc3\xa9rifi\xc3\xa9 \xc2\xb7 SHA-256 AA \xc2\xb7 \xc3\xa9metteur CN=a\n"
                          "C: AUTH PLAIN AGFsaWNlAHNlY3JldA==\nS: 235 ok\n")
            << QByteArray("220 mx\r\n") << textList({"STARTTLS", "454 TLS not available\r\n"}) << QStringList() << 1
            << text("dravlin: réponse différente à « STARTTLS » : attendu 220, reçu 454\n"
                    "dravlin: rejeu arrêté : le serveur n'a pas accepté « STARTTLS », et la suite de la session passait en TLS\n"
                    "dravlin: rejeu : 2 réponses, 1 différente\n");
        QTest::newRow("no answer") << QByteArray("S: 220 mx\nC: NOOP\nS: 250 ok\nC: QUIT\nS: 221 bye\n") << QByteArray("220 mx\r\n")
                                   << textList({"NOOP", "250 ok\r\n", "QUIT", ""}) << textList({"--timeout", "1"}) << 1
                                   << text("dravlin: rejeu arrêté : pas de réponse à « QUIT » en 1 s\n"
                                           "dravlin: rejeu : 2 réponses, 0 différente\n");
    }
    void answersAreAwaitedWholeAndCompared()
    {
        QFETCH(QByteArray, transcript);
        QFETCH(QByteArray, greeting);
        QFETCH(QStringList, script);
        QFETCH(QStringList, more);
        QFETCH(int, status);
        QFETCH(QString, told);
        QHash<QByteArray, QByteArray> replies;
        for (qsizetype i = 0; i + 1 < script.size(); i += 2)
            replies.insert(script[i].toUtf8(), script[i + 1].toUtf8());
        ScriptedServer peer(greeting, replies);
        Replay replay(QStringList{saved("dialogue.txt", transcript), QStringLiteral("--server"), server(peer.listener.serverPort())} + more);
        QCOMPARE(replay.status(), status);
        QVERIFY2(replay.err.endsWith(told.toUtf8()), replay.err.constData());
        QVERIFY(!peer.early);
        // Sent exactly as recorded, rows in order, nothing else.
        QByteArray sent;
        for (QByteArray line : transcript.split('\n')) {
            if ((line = line.mid(line.startsWith("#2 ") ? 3 : 0)).startsWith("-- TLS"))
                break;
            if (line.startsWith("C: "))
                sent += line.mid(3) + "\r\n";
        }
        QCOMPARE(peer.heard, sent);
    }
};

QTEST_GUILESS_MAIN(TestReplay)
#include "tst_replay.moc"
