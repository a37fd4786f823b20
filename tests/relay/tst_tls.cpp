#include "CertificateAuthority.h"
#include "FakeServer.h"
#include "RelayRecorder.h"
#include "SessionMarks.h"
#include "StartTlsClient.h"
#include "TranscriptMarks.h"

#include <QDateTime>
#include <QProcess>
#include <QSslSocket>
#include <QStandardPaths>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <sys/socket.h>

#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>

#include <cerrno>
#include <memory>

namespace {

constexpr int Timeout = 10000;
using Kind = RelayEvent::Kind;
using Upgrade = RelayEvent::Upgrade;
using Rows = QList<QByteArray>;
using Script = StartTlsClient::Dialogue;

// The rows a text of CR LF ended lines makes.
Rows lines(const QByteArray &text)
{
    Rows out = text.split('\n');
    out.removeLast();
    for (QByteArray &line : out)
        line.chop(1);
    return out;
}

} // namespace

// A relay between StartTlsClient and FakeServer, recording its events and its
// rows with whether each came through TLS.
class TestTls : public QObject
{
    Q_OBJECT

    QTemporaryDir m_home;
    std::unique_ptr<CertificateAuthority> m_serverCa; // the server's own, unknown to the system
    std::unique_ptr<RelayRecorder> m_relay;

    QString relayCa() const { return m_home.filePath(QStringLiteral("dravlin/ca.crt")); }

    // A client that asks for the upgrade, sends the first cut bytes of a
    // ClientHello and waits. As StartTlsClient, says what went wrong for it:
    // at best that the relay hung up.
    QString halfHello(int cut, QByteArray *heard)
    {
        QTcpSocket client;
        client.connectToHost(QHostAddress::LocalHost, m_relay->relay.listeningPort());
        const auto hears = [&](const QByteArray &expected) {
            return QTest::qWaitFor([&] { return (*heard += client.readAll()).size() >= expected.size(); }, Timeout);
        };
        if (!hears(Script().greeting))
            return QStringLiteral("no greeting");
        client.write(Script().request);
        if (!hears(Script().greeting + Script().answer))
            return QStringLiteral("no answer to STARTTLS");
        TlsEngine hello(TlsEngine::clientContext(), {QStringLiteral("localhost"), true});
        client.write(hello.takeOutgoing().first(cut));
        if (!QTest::qWaitFor([&] { return client.state() == QAbstractSocket::UnconnectedState; }, Timeout))
            return {};
        *heard += client.readAll();
        return QStringLiteral("the relay hung up during the handshake");
    }

    // A relay inspecting TLS, or bridging a plain client to a TLS server, that
    // trusts the CAs of extraCaFile besides the system's; true once it listens.
    bool startRelay(const FakeServer &server, const QString &extraCaFile, bool bridge = false)
    {
        return startRelay(extraCaFile, bridge, server.listener.serverPort());
    }
    bool startRelay(const QString &extraCaFile, bool bridge, quint16 port)
    {
        RelaySettings::Tls tls;
        tls.inspectTls = !bridge;
        tls.serverTls = bridge;
        tls.caDirectory = m_home.filePath(QStringLiteral("dravlin"));
        tls.extraCaFile = extraCaFile;
        return m_relay->startTo(port, tls);
    }

    // The dialogue goes through as written, reaches the server whole inside
    // TLS, and the server's end ends the session.
    void converse(const FakeServer &server, const Script &dialogue)
    {
        QVERIFY(startRelay(server, m_serverCa->certificatePath(), dialogue.switching == StartTlsClient::Switch::Never));
        QByteArray heard;
        const QString failed = StartTlsClient::converse(m_relay->relay.listeningPort(), relayCa(), &heard, dialogue);
        QVERIFY2(failed.isEmpty(), qPrintable(failed));
        QTRY_COMPARE_WITH_TIMEOUT(m_relay->all(Kind::SessionEnded).size(), 1, Timeout);
        QVERIFY(server.decrypted == dialogue.insideTls);
        QCOMPARE(m_relay->all(Kind::SessionEnded).constLast().end, RelayEvent::End::ClosedByServer);
        QCOMPARE(m_relay->rowsOf(Side::Client, true), lines(dialogue.insideTls));
        QCOMPARE(m_relay->rowsOf(Side::Server, true), lines(dialogue.answeredInsideTls));
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_home.isValid());
        m_serverCa = std::make_unique<CertificateAuthority>(m_home.filePath(QStringLiteral("server-ca")));
        QVERIFY(m_serverCa->ensure().isNone());
    }

    // A handshake may take a while on a loaded machine: no stall limit short of the default.
    void init() { m_relay = std::make_unique<RelayRecorder>(2000, 30000); }
    void cleanup() { m_relay.reset(); }

    void upgradeIsFollowed_data()
    {
        QTest::addColumn<QByteArray>("greeting");
        QTest::addColumn<QByteArray>("upgrade");
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<Upgrade>("kind");
        QTest::addColumn<QByteArray>("pipelined"); // sent by the client after its request
        QTest::addColumn<QByteArray>("injected");  // sent by the server after its answer
        const QByteArray smtp = "220 mx ESMTP\r\n";
        QTest::newRow("SMTP STARTTLS") << smtp << QByteArray("starttls\r\n") << QByteArray("220 2.0.0 Ready\r\n")
                                       << Upgrade::Smtp << QByteArray() << QByteArray();
        QTest::newRow("POP3 STLS") << QByteArray("+OK POP3\r\n") << QByteArray("STLS\r\n")
                                   << QByteArray("+OK Begin TLS\r\n") << Upgrade::Pop3 << QByteArray() << QByteArray();
        QTest::newRow("IMAP STARTTLS") << QByteArray("* OK IMAP4rev1\r\n") << QByteArray("a1 STARTTLS\r\n")
                                       << QByteArray("* OK still plain\r\na1 OK Begin TLS\r\n") << Upgrade::Imap
                                       << QByteArray() << QByteArray();
        QTest::newRow("FTP AUTH TLS") << QByteArray("220 FTP\r\n") << QByteArray("AUTH TLS\r\n")
                                      << QByteArray("234 AUTH TLS ok\r\n") << Upgrade::Ftp << QByteArray() << QByteArray();
        QTest::newRow("client pipelines after STARTTLS") << smtp << QByteArray("STARTTLS\r\n") << QByteArray("220 Ready\r\n")
                                                         << Upgrade::Smtp << QByteArray("MAIL FROM:<x>\r\n") << QByteArray();
        QTest::newRow("server speaks after its 220") << smtp << QByteArray("STARTTLS\r\n") << QByteArray("220 Ready\r\n")
                                                     << Upgrade::Smtp << QByteArray() << QByteArray("250 injected\r\n");
    }

    // Each handshake reported, the rows decrypted and flagged from the switch
    // on, the end inside TLS passed on both ways. Plaintext either side slips in
    // between the upgrade and the handshake reaches nobody and is reported.
    void upgradeIsFollowed()
    {
        QFETCH(QByteArray, greeting);
        QFETCH(QByteArray, upgrade);
        QFETCH(QByteArray, answer);
        QFETCH(Upgrade, kind);
        QFETCH(QByteArray, pipelined);
        QFETCH(QByteArray, injected);
        FakeServer server(*m_serverCa, {greeting, upgrade, answer + injected, true, false});
        Script dialogue{greeting, upgrade + pipelined, answer};
        converse(server, dialogue);
        if (QTest::currentTestFailed())
            return;
        QCOMPARE(server.plain, upgrade);

        const QList<RelayEvent> handshakes = m_relay->all(Kind::TlsEstablished);
        QCOMPARE(handshakes.size(), 2);
        const bool clientFirst = handshakes.at(0).side == Side::Client;
        const RelayEvent &facingClient = handshakes.at(clientFirst ? 0 : 1);
        const RelayEvent &facingServer = handshakes.at(clientFirst ? 1 : 0);
        QCOMPARE(facingClient.upgrade, kind);
        QCOMPARE(facingClient.tls.serverName, QStringLiteral("localhost"));
        QVERIFY(facingServer.tls.peerVerified);

        // What the client pipelined was shown when read, though never forwarded.
        QCOMPARE(m_relay->rowsOf(Side::Client, false), lines(upgrade + pipelined));
        QCOMPARE(m_relay->rowsOf(Side::Server, false), lines(greeting + answer));
        const QList<RelayEvent> dropped = m_relay->all(Kind::PlaintextDropped);
        QCOMPARE(dropped.size(), pipelined.size() + injected.size() > 0 ? 1 : 0);
        if (!dropped.isEmpty()) {
            QCOMPARE(dropped.at(0).side, pipelined.isEmpty() ? Side::Server : Side::Client);
            QCOMPARE(dropped.at(0).dropped, pipelined.size() + injected.size());
        }
    }

    void plainDialogueAroundTheUpgrade_data()
    {
        QTest::addColumn<bool>("early");                // the client speaks before the greeting
        QTest::addColumn<QByteArray>("before");         // commands sent with STARTTLS, before it
        QTest::addColumn<QByteArray>("after");          // pipelined after it
        QTest::addColumn<QList<QByteArray>>("replies"); // the server's to the commands, in order
        QTest::addColumn<QByteArray>("answer");         // to STARTTLS
        const QByteArray ready = "220 2.0.0 Ready\r\n";
        QTest::newRow("refused: what was pipelined after it is answered")
            << false << QByteArray() << QByteArray("NOOP\r\n") << QList<QByteArray>{"250 ok\r\n"}
            << QByteArray("454 4.7.0 not now\r\n");
        QTest::newRow("greeting after the client's commands") << true << QByteArray("EHLO x\r\n") << QByteArray()
                                                              << QList<QByteArray>{"250 mx\r\n"} << ready;
        QTest::newRow("DATA refused") << false << QByteArray("DATA\r\n") << QByteArray()
                                      << QList<QByteArray>{"503 5.5.1 need RCPT\r\n"} << ready;
        QTest::newRow("message holding '. ' and STARTTLS lines")
            << false << QByteArray("DATA\r\nSubject: x\r\n. \r\n.\t\r\nSTARTTLS\r\n.\r\n") << QByteArray()
            << QList<QByteArray>{"354 go\r\n", "250 queued\r\n"} << ready;
    }

    // Every command and reply around the upgrade reaches the other side whole
    // and in order, whatever the server answers; an accepted upgrade is then
    // followed as usual.
    void plainDialogueAroundTheUpgrade()
    {
        QFETCH(bool, early);
        QFETCH(QByteArray, before);
        QFETCH(QByteArray, after);
        QFETCH(QList<QByteArray>, replies);
        QFETCH(QByteArray, answer);
        FakeServer::Script script;
        script.answer = answer;
        script.switches = answer.startsWith("220");
        script.replies = replies;
        script.greetsLate = early;
        FakeServer server(*m_serverCa, script);
        const QByteArray sent = before + "STARTTLS\r\n" + after;
        const QByteArray answers = after.isEmpty() ? replies.join() + answer : answer + replies.join();
        Script dialogue{script.greeting, sent, answers};
        if (early)
            dialogue = {script.greeting + answers, {}, {}, dialogue.insideTls, dialogue.answeredInsideTls,
                        StartTlsClient::Switch::AfterAnswer, sent};
        if (script.switches) {
            converse(server, dialogue);
        } else {
            dialogue.switching = StartTlsClient::Switch::Refused;
            QVERIFY(startRelay(server, m_serverCa->certificatePath()));
            QByteArray heard;
            const QString failed = StartTlsClient::converse(m_relay->relay.listeningPort(), relayCa(), &heard, dialogue);
            QVERIFY2(failed.isEmpty(), qPrintable(failed));
            QTRY_COMPARE_WITH_TIMEOUT(server.plain, sent, Timeout);
        }
        if (QTest::currentTestFailed())
            return;
        QCOMPARE(server.plain, sent);
        QCOMPARE(m_relay->rowsOf(Side::Client, false), lines(sent));
        QCOMPARE(m_relay->rowsOf(Side::Server, false), lines(script.greeting + answers));
        QCOMPARE(m_relay->count(Kind::PlaintextDropped) + m_relay->count(Kind::InspectionAbandoned), 0);
    }

    void unfitDialoguePassesThrough_data()
    {
        QTest::addColumn<QByteArray>("greeting");
        QTest::addColumn<QByteArray>("request"); // the first line, the server answers it
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<FailureCause::Kind>("cause");
        QTest::newRow("no protocol known") << QByteArray("SSH-2.0-x\r\n") << QByteArray("STARTTLS\r\n")
                                           << QByteArray("220 2.0.0 Ready\r\n") << FailureCause::Kind::NoKnownProtocol;
        // A strict server takes "]" for no tag's: it answers with an untagged BAD only.
        QTest::newRow("strict IMAP server") << QByteArray("* OK IMAP4rev1\r\n") << QByteArray("a]1 STARTTLS\r\n")
                                            << QByteArray("* BAD invalid tag\r\n") << FailureCause::Kind::ImapUntargetedBad;
    }

    // A server of no protocol the watch knows, or an answer that leaves what
    // the client sent next waiting for ever: said once, then every byte passes
    // as sent, the upgrade command and what follows it included.
    void unfitDialoguePassesThrough()
    {
        QFETCH(QByteArray, greeting);
        QFETCH(QByteArray, request);
        QFETCH(QByteArray, answer);
        QFETCH(FailureCause::Kind, cause);
        FakeServer::Script script;
        script.greeting = greeting;
        script.upgrade = request;
        script.answer = answer;
        script.switches = false;
        FakeServer server(*m_serverCa, script);
        QVERIFY(startRelay(server, m_serverCa->certificatePath()));
        const Script dialogue{script.greeting, request + "z1 NOOP\r\n", script.answer + "500 unrecognised command\r\n",
                                {}, {}, StartTlsClient::Switch::Refused};
        QByteArray heard;
        const QString failed = StartTlsClient::converse(m_relay->relay.listeningPort(), relayCa(), &heard, dialogue);
        QVERIFY2(failed.isEmpty(), qPrintable(failed));
        QCOMPARE(server.plain, dialogue.request);
        QCOMPARE(m_relay->count(Kind::PlaintextDropped), 0);
        QCOMPARE(m_relay->count(Kind::InspectionAbandoned), 1);
        QCOMPARE(m_relay->last(Kind::InspectionAbandoned).cause.kind, cause);
    }

    // A server that never answers the upgrade: what the client sent after it
    // is shown as soon as read, then waits ten seconds at most and goes on as
    // sent; a client that resets meanwhile still has it delivered.
    void heldBytesWaitForNoAnswerForEver_data()
    {
        QTest::addColumn<bool>("clientResets");
        QTest::newRow("ten seconds") << false;
        QTest::newRow("the client resets first") << true;
    }
    void heldBytesWaitForNoAnswerForEver()
    {
        QFETCH(bool, clientResets);
        FakeServer::Script script;
        script.answer = {};
        script.switches = false;
        FakeServer server(*m_serverCa, script);
        QVERIFY(startRelay(server, m_serverCa->certificatePath()));
        QTcpSocket client;
        client.connectToHost(QHostAddress::LocalHost, m_relay->relay.listeningPort());
        QByteArray heard;
        QTRY_COMPARE_WITH_TIMEOUT(heard += client.readAll(), script.greeting, Timeout);
        client.write("STARTTLS\r\nNOOP\r\n");
        QTRY_COMPARE_WITH_TIMEOUT(m_relay->rowsOf(Side::Client, false), (QList<QByteArray>{"STARTTLS", "NOOP"}), Timeout);
        QCOMPARE(server.plain, QByteArray("STARTTLS\r\n"));
        if (clientResets) {
            const linger hard{1, 0};
            ::setsockopt(int(client.socketDescriptor()), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
            client.abort();
            QTRY_COMPARE_WITH_TIMEOUT(server.plain, QByteArray("STARTTLS\r\nNOOP\r\n"), Timeout);
            QVERIFY(m_relay->waitFor(Kind::SessionEnded));
            QCOMPARE(m_relay->count(Kind::Undelivered), 0);
            QCOMPARE(m_relay->last(Kind::SessionEnded).bytesClientToServer, 16);
            return;
        }
        QTRY_COMPARE_WITH_TIMEOUT(server.plain, QByteArray("STARTTLS\r\nNOOP\r\n"), UpgradeDetector::DecisionMs + Timeout);
        QCOMPARE(m_relay->last(Kind::InspectionAbandoned).cause.kind, FailureCause::Kind::NoDecisiveReply);
        QCOMPARE(m_relay->last(Kind::InspectionAbandoned).cause.code, 10);
        QCOMPARE(m_relay->rowsOf(Side::Client, false), (QList<QByteArray>{"STARTTLS", "NOOP"})); // shown once
    }

    // 5 MB of lines inside TLS, through flow control, arrive byte-exact.
    void bulkInsideTlsArrivesExact()
    {
        Script dialogue;
        QByteArray bulk;
        for (int i = 0; bulk.size() < 5 * 1024 * 1024; ++i)
            bulk += QByteArray::number(i).rightJustified(8, '0') + " abcdefghijklmnopqrstuvwxyz0123456789\r\n";
        dialogue.insideTls.prepend(bulk);
        converse(FakeServer(*m_serverCa, {}), dialogue);
    }

    void tlsFromTheFirstByte_data()
    {
        QTest::addColumn<StartTlsClient::Switch>("client");
        QTest::addColumn<Upgrade>("kind");
        QTest::newRow("implicit TLS, both sides") << StartTlsClient::Switch::AtOnce << Upgrade::Implicit;
        QTest::newRow("bridge: plain client, TLS server") << StartTlsClient::Switch::Never << Upgrade::Bridge;
    }

    void tlsFromTheFirstByte()
    {
        QFETCH(StartTlsClient::Switch, client);
        QFETCH(Upgrade, kind);
        FakeServer::Script script;
        script.implicit = true;
        FakeServer server(*m_serverCa, script);
        converse(server, {{}, {}, {}, Script().insideTls, Script().answeredInsideTls, client});
        const QList<RelayEvent> handshakes = m_relay->all(Kind::TlsEstablished);
        QCOMPARE(handshakes.size(), kind == Upgrade::Bridge ? 1 : 2);
        QCOMPARE(handshakes.first().side, Side::Server); // checked before the client is answered
        QCOMPARE(handshakes.first().upgrade, kind);
    }

    void failedHandshakeDropsTheClient_data()
    {
        QTest::addColumn<bool>("serverSwitches");
        QTest::addColumn<bool>("serverSilent"); // when it does not switch: no word after its 220
        QTest::addColumn<int>("helloCut"); // > 0: the client sends only that much of its ClientHello
        QTest::addColumn<bool>("clientTrustsCa");
        QTest::addColumn<bool>("relayTrustsServer");
        QTest::addColumn<Side>("side");
        QTest::addColumn<FailureCause::Kind>("cause");
        QTest::addColumn<QString>("named"); // the verification result's name, or the limit in ms
        using Cause = FailureCause::Kind;
        // Checked before the client's handshake is answered: the client gets an alert, as direct.
        QTest::newRow("server certificate untrusted") << true << false << 0 << true << false << Side::Server
                                                      << Cause::CertificateRefused
                                                      << QStringLiteral("X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY");
        // This client hangs up without an alert: nothing says why, so nothing is guessed.
        QTest::newRow("client distrusts Dravlin's CA") << true << false << 0 << false << true << Side::Client
                                                       << Cause::ClosedInHandshake << QString();
        QTest::newRow("server says 220 but stays plain") << false << false << 0 << true << true << Side::Server
                                                         << Cause::NotTls << QString();
        QTest::newRow("client stops halfway through its ClientHello")
            << true << false << 100 << true << true << Side::Client
            << Cause::HandshakeOverdue << QStringLiteral("500");
        QTest::newRow("server silent after its 220") << false << true << 0 << true << true << Side::Server
                                                     << Cause::HandshakeOverdue << QStringLiteral("500");
        // -1: TLS from the first byte to a server that greets in plain text.
        QTest::newRow("client starts TLS with a plain server") << false << false << -1 << true << true << Side::Server
                                                               << Cause::NotTls << QString();
    }

    // Reported as a failure with its cause, in the events and in the mark
    // read back from a saved conversation; the next client is served.
    void failedHandshakeDropsTheClient()
    {
        QFETCH(bool, serverSwitches);
        QFETCH(bool, serverSilent);
        QFETCH(int, helloCut);
        QFETCH(bool, clientTrustsCa);
        QFETCH(bool, relayTrustsServer);
        QFETCH(Side, side);
        QFETCH(FailureCause::Kind, cause);
        QFETCH(QString, named);
        FakeServer::Script script;
        script.switches = serverSwitches;
        script.silent = serverSilent;
        FakeServer server(*m_serverCa, script);
        m_relay->relay.setHandshakeLimit(500);
        QVERIFY(startRelay(server, relayTrustsServer ? m_serverCa->certificatePath() : QString()));
        QByteArray heard;
        Script dialogue;
        if (helloCut < 0)
            dialogue = {{}, {}, {}, dialogue.insideTls, {}, StartTlsClient::Switch::AtOnce};
        const QString failed = helloCut > 0 ? halfHello(helloCut, &heard)
                                            : StartTlsClient::converse(m_relay->relay.listeningPort(),
                                                                       clientTrustsCa ? relayCa() : m_serverCa->certificatePath(),
                                                                       &heard, dialogue);
        // The client's handshake fails, so it says nothing inside TLS.
        QVERIFY2(failed.startsWith(helloCut > 0 ? QStringLiteral("the relay") : QStringLiteral("handshake")), qPrintable(failed));
        QVERIFY(heard.startsWith(QByteArray(dialogue.greeting + dialogue.answer)) && m_relay->rowsOf(Side::Client, true).isEmpty());
        QVERIFY(server.decrypted.isEmpty());
        QTRY_COMPARE_WITH_TIMEOUT(m_relay->all(Kind::SessionEnded).size(), 1, Timeout);
        const RelayEvent ended = m_relay->all(Kind::SessionEnded).constFirst();
        QCOMPARE(ended.end, RelayEvent::End::TlsFailed);
        QCOMPARE(ended.side, side);
        for (const FailureCause &why : {ended.cause, m_relay->all(Kind::TlsFailed).constFirst().cause}) {
            QCOMPARE(why.kind, cause);
            if (cause == FailureCause::Kind::CertificateRefused)
                QCOMPARE(why.name, named);
            else if (cause == FailureCause::Kind::HandshakeOverdue)
                QCOMPARE(QString::number(why.code), named);
        }
        const SessionMark readBack = TranscriptMarks::read(SessionMarks::text(ended).toUtf8(), ended.time,
                                                           QDateTime::fromMSecsSinceEpoch(ended.time).time().msecsSinceStartOfDay());
        QVERIFY(readBack.wordsRead.isEmpty());
        QCOMPARE(readBack.event.end, RelayEvent::End::TlsFailed);
        QCOMPARE(readBack.event.side, side);

        QTRY_COMPARE_WITH_TIMEOUT(m_relay->all(Kind::Listening).size(), 2, Timeout);
        QTcpSocket next;
        next.connectToHost(QHostAddress::LocalHost, m_relay->relay.listeningPort());
        QTRY_COMPARE_WITH_TIMEOUT(next.bytesAvailable(), script.greeting.size(), Timeout);
    }

    void serverRenegotiatesMidStream_data()
    {
        QTest::addColumn<bool>("bridge");
        QTest::addColumn<QByteArray>("command"); // on s_server's input: R asks for a client certificate too
        QTest::addColumn<QByteArray>("ending");
        QTest::newRow("inspection, r, client cuts") << false << QByteArray("r\n") << QByteArray("client cuts");
        QTest::newRow("inspection, R, server cuts") << false << QByteArray("R\n") << QByteArray("server cuts");
        QTest::newRow("bridge, R, client closes") << true << QByteArray("R\n") << QByteArray("client closes");
        QTest::newRow("inspection, r, client closes") << false << QByteArray("r\n") << QByteArray("client closes");
    }

    // A TLS 1.2 server that renegotiates while lines flow both ways: every
    // byte arrives, in order, without a failure. The protocol the client
    // offers (ALPN) reaches the server, its choice the client. Each side's
    // end reaches the other as it was made: close_notify, or a bare FIN.
    void serverRenegotiatesMidStream()
    {
        QFETCH(bool, bridge);
        QFETCH(QByteArray, command);
        QFETCH(QByteArray, ending);
        if (QStandardPaths::findExecutable(QStringLiteral("openssl")).isEmpty())
            QSKIP("openssl absent: no real server to renegotiate");
        const KeyedCertificate leaf = m_serverCa->issueLeaf({QStringLiteral("127.0.0.1")});
        const QString pem = m_home.filePath(QStringLiteral("s_server.pem"));
        BIO *file = BIO_new_file(QFile::encodeName(pem).constData(), "w");
        QVERIFY(file && PEM_write_bio_X509(file, leaf.certificate.get())
                && PEM_write_bio_PrivateKey(file, leaf.key.get(), nullptr, nullptr, 0, nullptr, nullptr));
        BIO_free(file);
        QProcess server;
        server.start(QStringLiteral("openssl"), {QStringLiteral("s_server"), QStringLiteral("-tls1_2"), QStringLiteral("-accept"),
                                                 QStringLiteral("127.0.0.1:0"), QStringLiteral("-cert"), pem,
                                                 QStringLiteral("-naccept"), QStringLiteral("1"), QStringLiteral("-alpn"),
                                                 QStringLiteral("imap"), QStringLiteral("-msg")});
        QByteArray said; // s_server's output: its messages, and what it read
        const QRegularExpression accepting(QStringLiteral("ACCEPT 127.0.0.1:(\\d+)"));
        QVERIFY(QTest::qWaitFor([&] { return accepting.match(QString::fromLatin1(said += server.readAllStandardOutput())).hasMatch(); }, Timeout));
        QVERIFY(startRelay(m_serverCa->certificatePath(), bridge, accepting.match(QString::fromLatin1(said)).captured(1).toUShort()));

        QTcpSocket client;
        client.connectToHost(QHostAddress::LocalHost, m_relay->relay.listeningPort());
        std::unique_ptr<TlsEngine> tls;
        if (!bridge)
            tls = std::make_unique<TlsEngine>(TlsEngine::clientContext(relayCa()),
                                              TlsEngine::ClientOptions{QStringLiteral("localhost"), false, {}, "\x04imap"});
        QByteArray heard;
        const auto pump = [&] {
            const QByteArray in = client.readAll();
            if (tls) {
                tls->feedIncoming(in);
                client.write(tls->takeOutgoing());
            }
            heard += tls ? tls->takePlaintext() : in;
        };
        QVERIFY(QTest::qWaitFor([&] { pump(); return !tls || tls->state() == TlsEngine::State::Established; }, Timeout));
        QCOMPARE(tls ? tls->alpn() : QByteArray(), bridge ? QByteArray() : QByteArray("imap"));
        QVERIFY(m_relay->waitFor(Kind::TlsEstablished)); // s_server renegotiates only once the first handshake is over
        QCOMPARE(m_relay->all(Kind::TlsEstablished).constFirst().tls.serverName, bridge ? QString() : QStringLiteral("localhost"));
        QByteArray up;
        const QByteArray down = "d000 from the server\r\nd001 again\r\n";
        bool downSent = false;
        // A line at a time, each relayed before the next, so that some
        // cross the renegotiation whenever it happens.
        for (int line = 0; line < 400; ++line) {
            const QByteArray text = "c" + QByteArray::number(line).rightJustified(3, '0') + " ABCDEFGHIJKLMNOPQRSTUVWXYZ\r\n";
            up += text;
            tls ? tls->writePlaintext(text) : void(client.write(text));
            if (line == 100) // alone on its input, or s_server takes it for data
                server.write(command);
            if (line >= 110 && !downSent && said.contains("SSL_do_handshake")) // once it took the command
                downSent = server.write(down) > 0;
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
            said += server.readAllStandardOutput();
            pump(); // sends what the engine has
        }
        QVERIFY2(QTest::qWaitFor([&] { return (said += server.readAllStandardOutput()).contains(up.right(32)); }, Timeout),
                 said.right(3000).constData());
        // A fast loop may end before s_server even takes the command.
        if (!downSent) {
            QVERIFY(QTest::qWaitFor([&] { pump(); return (said += server.readAllStandardOutput()).contains("SSL_do_handshake"); }, Timeout));
            downSent = server.write(down) > 0;
        }
        QVERIFY(downSent);
        QVERIFY(QTest::qWaitFor([&] { pump(); return heard.size() >= down.size(); }, Timeout));
        QCOMPARE(heard, down);
        // The lines came in order and whole, s_server's messages between them.
        qsizetype at = 0;
        for (const QByteArray &line : up.split('\n'))
            QVERIFY2((at = said.indexOf(line, at)) >= 0, line.constData());
        // Renegotiated once; s_server may print the second hello after the lines.
        QVERIFY(QTest::qWaitFor([&] { return (said += server.readAllStandardOutput()).count("ClientHello") >= 2; }, Timeout));
        QVERIFY2(said.count("ClientHello") == 2, said.constData());

        if (ending == "server cuts") {
            server.write("Q\n"); // s_server closes its socket, no close_notify
            QVERIFY(QTest::qWaitFor([&] { pump(); return client.state() == QAbstractSocket::UnconnectedState; }, Timeout));
            QCOMPARE(tls->state(), TlsEngine::State::Established); // no close_notify came
        } else {
            if (ending == "client closes" && tls) {
                tls->closeWrite();
                client.write(tls->takeOutgoing());
            }
            client.disconnectFromHost();
            QVERIFY(QTest::qWaitFor([&] { return (said += server.readAllStandardOutput()).contains("DONE") || said.contains("ERROR"); }, Timeout));
            QVERIFY2(said.contains(ending == "client cuts" ? "ERROR" : "DONE"), said.constData());
        }
        QTRY_COMPARE_WITH_TIMEOUT(m_relay->count(Kind::SessionEnded), 1, Timeout);
        // Cut, the server answers with an alert (decode_error), as it would have directly.
        if (ending != "client cuts")
            QCOMPARE(m_relay->count(Kind::TlsFailed), 0);
        QCOMPARE(m_relay->count(Kind::Undelivered), 0);
        const RelayEvent closed = m_relay->all(Kind::PeerClosed).constFirst();
        QCOMPARE(closed.side, ending == "server cuts" ? Side::Server : Side::Client);
        QCOMPARE(closed.tlsEnd, bridge ? RelayEvent::TlsEnd::NotTls
                              : ending == "client closes" ? RelayEvent::TlsEnd::CloseNotify : RelayEvent::TlsEnd::FinOnly);
    }

    // Trusted certificates that cannot be read: said at start, and nothing listens.
    void unavailableCaStopsTheRelay()
    {
        QVERIFY(!startRelay(FakeServer(*m_serverCa, {}), m_home.filePath(QStringLiteral("missing.pem"))));
        QCOMPARE(m_relay->all(Kind::TlsUnavailable).size(), 1);
        const FailureCause why = m_relay->all(Kind::TlsUnavailable).constFirst().cause;
        QCOMPARE(why.kind, FailureCause::Kind::CaFileUnreadable);
        QCOMPARE(why.text, m_home.filePath(QStringLiteral("missing.pem")));
    }
};

QTEST_GUILESS_MAIN(TestTls)
#include "tst_tls.moc"
