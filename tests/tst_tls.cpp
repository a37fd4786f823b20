#include "CertificateAuthority.h"
#include "EventText.h"
#include "Relay.h"
#include "SessionMarks.h"
#include "FakeServer.h"
#include "TlsEngine.h"

#include <QSslSocket>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace {

constexpr int Timeout = 10000;
using Kind = RelayEvent::Kind;
using Upgrade = RelayEvent::Upgrade;

RelaySettings::Tls options(bool inspect, bool insecure = false, bool bridge = false)
{
    RelaySettings::Tls tls;
    tls.inspectTls = inspect;
    tls.tlsInsecure = insecure;
    tls.serverTls = bridge;
    return tls;
}

} // namespace

class TestTls : public QObject
{
    Q_OBJECT

    QTemporaryDir m_home;
    std::unique_ptr<CertificateAuthority> m_serverCa; // the server's own, unknown to the system
    std::unique_ptr<Relay> m_relay;
    QList<RelayEvent> m_events;
    QList<QPair<QByteArray, bool>> m_rows[2]; // per side: row, travelled encrypted

    QList<RelayEvent> all(Kind kind) const
    {
        QList<RelayEvent> out;
        std::copy_if(m_events.cbegin(), m_events.cend(), std::back_inserter(out), [kind](const RelayEvent &e) { return e.kind == kind; });
        return out;
    }
    RelayEvent last(Kind kind) const { return all(kind).value(all(kind).size() - 1); }
    int count(Kind kind) const { return int(all(kind).size()); }

    // A relay to server with its CA trusted, unless told otherwise.
    bool startRelay(const FakeServer &server, RelaySettings::Tls tls = {}, bool trustServerCa = true)
    {
        tls.caDirectory = m_home.filePath(QStringLiteral("dravlin"));
        if (trustServerCa)
            tls.extraCaFile = m_serverCa->certificatePath();
        m_relay->start(RelaySettings{0, QStringLiteral("127.0.0.1"), server.listener.serverPort(), tls});
        return QTest::qWaitFor([this] { return m_relay->listeningPort() != 0; }, Timeout);
    }

    // A client trusting Dravlin's CA, plain until told to switch.
    std::unique_ptr<QSslSocket> client(bool trustRelayCa = true)
    {
        auto socket = std::make_unique<QSslSocket>();
        QSslConfiguration config = socket->sslConfiguration();
        if (trustRelayCa)
            config.setCaCertificates(QSslCertificate::fromPath(m_home.filePath(QStringLiteral("dravlin/ca.crt"))));
        socket->setSslConfiguration(config);
        socket->setPeerVerifyName(QStringLiteral("mail.example.org"));
        return socket;
    }

    static bool waitRead(QSslSocket &socket, QByteArray &heard, const QByteArray &end)
    {
        return QTest::qWaitFor([&] { heard += socket.readAll(); return heard.endsWith(end); }, Timeout);
    }

    // Through the relay: the greeting, the request, the answer.
    std::unique_ptr<QSslSocket> ask(const FakeServer &server, const QByteArray &request, const QByteArray &answer,
                                    QByteArray &heard, bool trustRelayCa = true)
    {
        auto socket = client(trustRelayCa);
        socket->connectToHost(QHostAddress::LocalHost, m_relay->listeningPort());
        if (waitRead(*socket, heard, server.script.greeting)) {
            socket->write(request);
            waitRead(*socket, heard, answer);
        }
        return socket;
    }

    // Through the relay: the greeting, the upgrade request (with whatever the
    // client pipelines after it), the answer, the switch, then inside TLS
    // bulk, EHLO and QUIT, up to the server's "221 bye".
    void converse(const FakeServer &server, const QByteArray &request, const QByteArray &bulk = {},
                  QByteArray answer = {})
    {
        if (answer.isEmpty())
            answer = server.script.answer;
        QByteArray heard;
        auto socket = ask(server, request, answer, heard);
        QCOMPARE(heard, server.script.greeting + answer);
        socket->startClientEncryption();
        QVERIFY2(QTest::qWaitFor([&] { return socket->isEncrypted(); }, Timeout), qPrintable(socket->errorString()));
        socket->write(bulk + "EHLO client\r\nQUIT\r\n");
        QVERIFY(waitRead(*socket, heard, "250 hello\r\n221 bye\r\n"));
        QTRY_COMPARE_WITH_TIMEOUT(count(Kind::SessionEnded), 1, Timeout);
        // Nothing but the answer came before TLS, nothing more after it.
        QCOMPARE(heard, server.script.greeting + answer + "250 hello\r\n221 bye\r\n");
        QVERIFY(server.decrypted == bulk + "EHLO client\r\nQUIT\r\n");
    }

    QList<QByteArray> rows(Side side, bool encrypted) const
    {
        QList<QByteArray> out;
        for (const auto &[row, flag] : m_rows[sideIndex(side)])
            if (flag == encrypted)
                out.append(row);
        return out;
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_home.isValid());
        m_serverCa = std::make_unique<CertificateAuthority>(m_home.filePath(QStringLiteral("server-ca")));
        QCOMPARE(m_serverCa->ensure(), QString());
    }

    void init()
    {
        m_relay = std::make_unique<Relay>();
        m_relay->setSilenceLimit(2000);
        m_events.clear();
        m_rows[0].clear();
        m_rows[1].clear();
        connect(m_relay.get(), &Relay::eventOccurred, this, [this](const RelayEvent &e) { m_events.append(e); });
        connect(m_relay.get(), &Relay::rowsCaptured, this, [this](Side side, const LineCapture::Rows &got, qint64, bool encrypted) {
            for (qsizetype i = 0; i < got.count(); ++i)
                m_rows[sideIndex(side)].append({got.row(i).toByteArray(), encrypted});
        });
    }

    void cleanup()
    {
        if (QTest::currentTestFailed()) {
            for (const RelayEvent &e : std::as_const(m_events))
                qInfo().noquote() << EventText::describe(e);
        }
        m_relay.reset();
    }

    // A session that TLS ended is named so when a saved conversation is read back.
    void endMarksReadBack()
    {
        using End = RelayEvent::End;
        for (End end : {End::TlsFailed, End::ClosedByServer, End::Stopped}) {
            RelayEvent ended;
            ended.kind = Kind::SessionEnded;
            ended.end = end;
            ended.side = Side::Server;
            End read = End::None;
            QVERIFY(SessionMarks::readEnd(SessionMarks::text(ended), &read));
            QCOMPARE(read, end);
        }
    }

    void upgradeFollowed_data()
    {
        QTest::addColumn<QByteArray>("greeting");
        QTest::addColumn<QByteArray>("upgrade");
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<int>("upgradeKind");
        QTest::newRow("SMTP STARTTLS") << QByteArray("220 mx ESMTP\r\n") << QByteArray("starttls\r\n")
                                       << QByteArray("220 2.0.0 Ready\r\n") << int(Upgrade::Smtp);
        QTest::newRow("POP3 STLS") << QByteArray("+OK POP3\r\n") << QByteArray("STLS\r\n")
                                   << QByteArray("+OK Begin TLS\r\n") << int(Upgrade::Pop3);
        QTest::newRow("IMAP STARTTLS") << QByteArray("* OK IMAP4rev1\r\n") << QByteArray("a1 STARTTLS\r\n")
                                       << QByteArray("* OK still plain\r\na1 OK Begin TLS\r\n") << int(Upgrade::Imap);
        QTest::newRow("FTP AUTH TLS") << QByteArray("220 FTP\r\n") << QByteArray("AUTH TLS\r\n")
                                      << QByteArray("234 AUTH TLS ok\r\n") << int(Upgrade::Ftp);
    }

    // Both sides decrypted, each handshake reported, rows flagged from the
    // switch on, and the end inside TLS passed on both ways.
    void upgradeFollowed()
    {
        QFETCH(QByteArray, greeting);
        QFETCH(QByteArray, upgrade);
        QFETCH(QByteArray, answer);
        QFETCH(int, upgradeKind);
        FakeServer server(*m_serverCa, {greeting, upgrade, answer, true, false});
        QVERIFY(startRelay(server, options(true)));
        converse(server, upgrade);
        if (QTest::currentTestFailed())
            return;
        QCOMPARE(server.plain, upgrade);
        QCOMPARE(server.decrypted, QByteArray("EHLO client\r\nQUIT\r\n"));
        const QList<RelayEvent> handshakes = all(Kind::TlsEstablished);
        QCOMPARE(handshakes.size(), 2);
        const RelayEvent facingClient = handshakes.at(0).side == Side::Client ? handshakes.at(0) : handshakes.at(1);
        const RelayEvent facingServer = handshakes.at(0).side == Side::Server ? handshakes.at(0) : handshakes.at(1);
        QCOMPARE(int(facingClient.upgrade), upgradeKind);
        QCOMPARE(facingClient.tls.serverName, QStringLiteral("mail.example.org"));
        QVERIFY(facingServer.tls.peerVerified);
        QVERIFY(facingServer.tls.peerIssuer.contains(QStringLiteral("Dravlin CA")));
        QVERIFY(EventText::tlsMarker(facingServer).startsWith(QStringLiteral("serveur : TLSv1.3 ")));
        QVERIFY(EventText::tlsMarker(facingServer).endsWith(QStringLiteral("certificat vérifié")));
        QVERIFY(EventText::tlsMarker(facingClient).contains(QStringLiteral("« mail.example.org »")));
        QCOMPARE(rows(Side::Client, false), QList<QByteArray>{upgrade.chopped(2)});
        QCOMPARE(rows(Side::Client, true), (QList<QByteArray>{"EHLO client", "QUIT"}));
        QCOMPARE(rows(Side::Server, true), (QList<QByteArray>{"250 hello", "221 bye"}));
        QCOMPARE(last(Kind::SessionEnded).end, RelayEvent::End::ClosedByServer);
        QCOMPARE(count(Kind::PlaintextDropped), 0);
    }

    void injectedPlaintextIsDropped_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<Side>("side");
        QTest::addColumn<qint64>("dropped");
        QTest::newRow("client pipelines after STARTTLS") << QByteArray("STARTTLS\r\nMAIL FROM:<x>\r\n")
                                                          << QByteArray("220 Ready\r\n") << Side::Client << qint64(15);
        QTest::newRow("server speaks after its 220") << QByteArray("STARTTLS\r\n")
                                                      << QByteArray("220 Ready\r\n250 injected\r\n") << Side::Server
                                                      << qint64(14);
    }

    // The server only ever reads the upgrade line alone, the client only the
    // answer; what either sent after it is reported, never forwarded.
    void injectedPlaintextIsDropped()
    {
        QFETCH(QByteArray, request);
        QFETCH(QByteArray, answer);
        QFETCH(Side, side);
        QFETCH(qint64, dropped);
        FakeServer::Script script;
        script.answer = answer;
        FakeServer server(*m_serverCa, script);
        QVERIFY(startRelay(server, options(true)));
        converse(server, request, {}, "220 Ready\r\n");
        if (QTest::currentTestFailed())
            return;
        QCOMPARE(server.plain, QByteArray("STARTTLS\r\n"));
        QCOMPARE(count(Kind::PlaintextDropped), 1);
        QCOMPARE(last(Kind::PlaintextDropped).side, side);
        QCOMPARE(last(Kind::PlaintextDropped).dropped, dropped);
        QVERIFY(!rows(otherSide(side), false).contains("MAIL FROM:<x>") && !rows(Side::Server, false).contains("250 injected"));
    }

    // 5 MB of lines inside TLS, through flow control, arrive byte-exact.
    void bulkArrivesExact()
    {
        QByteArray bulk;
        for (int i = 0; bulk.size() < 5 * 1024 * 1024; ++i)
            bulk += QByteArray::number(i).rightJustified(8, '0') + " abcdefghijklmnopqrstuvwxyz0123456789\r\n";
        FakeServer server(*m_serverCa, {});
        QVERIFY(startRelay(server, options(true)));
        converse(server, "STARTTLS\r\n", bulk);
        if (QTest::currentTestFailed())
            return;
        QCOMPARE(rows(Side::Client, true).size(), bulk.count('\n') + 2);
    }

    void tlsFromTheFirstByte_data()
    {
        QTest::addColumn<bool>("bridge");
        QTest::newRow("implicit TLS, both sides") << false;
        QTest::newRow("bridge: plain client, TLS server") << true;
    }

    void tlsFromTheFirstByte()
    {
        QFETCH(bool, bridge);
        FakeServer::Script script;
        script.implicit = true;
        FakeServer server(*m_serverCa, script);
        QVERIFY(startRelay(server, options(!bridge, false, bridge)));
        auto socket = client();
        if (bridge)
            socket->connectToHost(QHostAddress::LocalHost, m_relay->listeningPort());
        else
            socket->connectToHostEncrypted(QStringLiteral("127.0.0.1"), m_relay->listeningPort(), QStringLiteral("mail.example.org"));
        socket->write("EHLO client\r\nQUIT\r\n");
        QByteArray heard;
        QVERIFY(waitRead(*socket, heard, "250 hello\r\n221 bye\r\n"));
        QTRY_COMPARE_WITH_TIMEOUT(count(Kind::SessionEnded), 1, Timeout);
        QCOMPARE(server.decrypted, QByteArray("EHLO client\r\nQUIT\r\n"));
        const QList<RelayEvent> handshakes = all(Kind::TlsEstablished);
        QCOMPARE(handshakes.size(), bridge ? 1 : 2);
        QCOMPARE(handshakes.last().side, Side::Server);
        QCOMPARE(handshakes.last().upgrade, bridge ? Upgrade::Bridge : Upgrade::Implicit);
        QCOMPARE(rows(Side::Server, true), (QList<QByteArray>{"250 hello", "221 bye"}));
    }

    void failureDropsTheClient_data()
    {
        QTest::addColumn<bool>("serverSwitches");
        QTest::addColumn<bool>("clientTrustsCa");
        QTest::addColumn<bool>("relayTrustsServer");
        QTest::addColumn<Side>("side");
        QTest::addColumn<QString>("reason");
        QTest::newRow("server certificate untrusted") << true << true << false << Side::Server
                                                      << "certificat du serveur refusé";
        QTest::newRow("client distrusts Dravlin's CA") << true << false << true << Side::Client << "certificat";
        QTest::newRow("server says 220 but stays plain") << false << true << true << Side::Server
                                                         << "le pair ne parle pas TLS";
    }

    // The client is dropped with the reason, and the next one is served.
    void failureDropsTheClient()
    {
        QFETCH(bool, serverSwitches);
        QFETCH(bool, clientTrustsCa);
        QFETCH(bool, relayTrustsServer);
        QFETCH(Side, side);
        QFETCH(QString, reason);
        FakeServer::Script script;
        script.switches = serverSwitches;
        FakeServer server(*m_serverCa, script);
        QVERIFY(startRelay(server, options(true), relayTrustsServer));
        QByteArray heard;
        auto socket = ask(server, "STARTTLS\r\n", script.answer, heard, clientTrustsCa);
        QCOMPARE(heard, script.greeting + script.answer);
        socket->startClientEncryption();
        QTRY_VERIFY_WITH_TIMEOUT(socket->state() == QAbstractSocket::UnconnectedState, Timeout);
        QTRY_COMPARE_WITH_TIMEOUT(count(Kind::SessionEnded), 1, Timeout);
        const RelayEvent ended = last(Kind::SessionEnded);
        QCOMPARE(ended.end, RelayEvent::End::TlsFailed);
        QCOMPARE(ended.side, side);
        QVERIFY2(ended.reason.contains(reason), qPrintable(ended.reason));
        QCOMPARE(last(Kind::TlsFailed).reason, ended.reason);
        if (!relayTrustsServer) // subject and issuer named
            QVERIFY2(ended.reason.contains(QStringLiteral("CN=Dravlin CA")), qPrintable(ended.reason));
        QVERIFY(EventText::describe(ended).contains(reason));

        QTRY_COMPARE_WITH_TIMEOUT(count(Kind::Listening), 2, Timeout);
        QTcpSocket next;
        next.connectToHost(QHostAddress::LocalHost, m_relay->listeningPort());
        QTRY_COMPARE_WITH_TIMEOUT(next.bytesAvailable(), script.greeting.size(), Timeout);
    }

    // A refused upgrade switches nothing: later plaintext is forwarded and shown.
    void refusedUpgradeStaysPlain()
    {
        FakeServer::Script script;
        script.answer = "454 4.7.0 TLS not available\r\n";
        script.switches = false;
        FakeServer server(*m_serverCa, script);
        QVERIFY(startRelay(server, options(true)));
        QByteArray heard;
        auto socket = ask(server, "STARTTLS\r\n", script.answer, heard);
        QCOMPARE(heard, script.greeting + script.answer);
        socket->write("MAIL FROM:<a@example.org>\r\n");
        QTRY_COMPARE_WITH_TIMEOUT(server.plain, QByteArray("STARTTLS\r\nMAIL FROM:<a@example.org>\r\n"), Timeout);
        QTRY_COMPARE_WITH_TIMEOUT(rows(Side::Client, false), (QList<QByteArray>{"STARTTLS", "MAIL FROM:<a@example.org>"}), Timeout);
        QCOMPARE(count(Kind::TlsEstablished) + count(Kind::PlaintextDropped), 0);
    }

    // Trusted certificates that cannot be read: said at start, and nothing listens.
    void unavailableCaStopsTheRelay()
    {
        FakeServer server(*m_serverCa, {});
        RelaySettings::Tls tls = options(true);
        tls.extraCaFile = m_home.filePath(QStringLiteral("missing.pem"));
        m_relay->start(RelaySettings{0, QStringLiteral("127.0.0.1"), server.listener.serverPort(), tls});
        QCOMPARE(count(Kind::TlsUnavailable), 1);
        QVERIFY(EventText::describe(last(Kind::TlsUnavailable)).contains(QStringLiteral("missing.pem")));
        QVERIFY(!m_relay->isArmed());
    }
};

QTEST_GUILESS_MAIN(TestTls)
#include "tst_tls.moc"
