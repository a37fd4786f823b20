#include "CertificateAuthority.h"
#include "TlsEngine.h"

#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>

#include <algorithm>
#include <memory>

using State = TlsEngine::State;

namespace {

// Feeds bytes to an engine in pieces of at most cut bytes (all at once when 0).
void feed(TlsEngine &engine, const QByteArray &bytes, qsizetype cut)
{
    for (qsizetype at = 0; at < bytes.size(); at += cut > 0 ? cut : bytes.size())
        engine.feedIncoming(QByteArrayView(bytes).sliced(at, std::min(bytes.size() - at, cut > 0 ? cut : bytes.size())));
}

// Carries bytes between two engines until neither has any to give; with a
// cut, records reach the other side split across chunks, as TCP may deliver them.
void shuttle(TlsEngine &client, TlsEngine &server, qsizetype cut = 0)
{
    for (int round = 0; round < 1000 && (client.hasOutgoing() || server.hasOutgoing()); ++round) {
        feed(server, client.takeOutgoing(), cut);
        feed(client, server.takeOutgoing(), cut);
    }
}

// A TLS 1.2 server of OpenSSL's own, on memory BIOs, that the test drives
// by hand: what a real server does is renegotiate when it likes.
struct PlainOpenSslServer {
    std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> context{SSL_CTX_new(TLS_server_method()), SSL_CTX_free};
    SSL *ssl = nullptr;
    BIO *in = BIO_new(BIO_s_mem());
    BIO *out = BIO_new(BIO_s_mem());
    QByteArray read;
    int lastError = SSL_ERROR_NONE;

    explicit PlainOpenSslServer(const KeyedCertificate &leaf)
    {
        SSL_CTX_set_max_proto_version(context.get(), TLS1_2_VERSION);
        SSL_CTX_use_certificate(context.get(), leaf.certificate.get());
        SSL_CTX_use_PrivateKey(context.get(), leaf.key.get());
        SSL_CTX_set_session_id_context(context.get(), reinterpret_cast<const unsigned char *>("test"), 4);
        ssl = SSL_new(context.get());
        SSL_set_bio(ssl, in, out);
        SSL_set_accept_state(ssl);
    }
    ~PlainOpenSslServer() { SSL_free(ssl); }
    // Feeds what the engine sent, reads what it can, and gives the engine the answer.
    void exchange(TlsEngine &engine)
    {
        for (int round = 0; round < 50; ++round) {
            const QByteArray sent = engine.takeOutgoing();
            BIO_write(in, sent.constData(), int(sent.size()));
            char buffer[4096];
            int n;
            while ((n = SSL_read(ssl, buffer, sizeof buffer)) > 0)
                read.append(buffer, n);
            lastError = SSL_get_error(ssl, n);
            QByteArray answer(int(BIO_pending(out)), Qt::Uninitialized);
            BIO_read(out, answer.data(), int(answer.size()));
            if (answer.isEmpty() && !engine.hasOutgoing())
                return;
            engine.feedIncoming(answer);
        }
    }
};

QByteArray randomBytes(qsizetype size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator::global()->fillRange(reinterpret_cast<quint32 *>(bytes.data()), size / 4);
    return bytes;
}

} // namespace

class TestTlsEngine : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_home.isValid());
        m_ca = std::make_unique<CertificateAuthority>(m_home.filePath(QStringLiteral("dravlin")));
        QVERIFY(m_ca->ensure().isNone());
        FailureCause error;
        m_trustCa = TlsEngine::clientContext(m_ca->certificatePath(), &error);
        m_system = TlsEngine::clientContext();
        m_clientFacing = TlsEngine::serverContext();
        QVERIFY(m_trustCa && m_system && m_clientFacing);
        QVERIFY(error.isNone());
        // A file of trusted certificates that cannot be read is named.
        QVERIFY(!TlsEngine::clientContext(m_home.filePath(QStringLiteral("none.pem")), &error));
        QCOMPARE(error.kind, FailureCause::Kind::CaFileUnreadable);
        QCOMPARE(error.text, m_home.filePath(QStringLiteral("none.pem")));
    }

    void handshakeSettles_data()
    {
        QTest::addColumn<QString>("serverHost"); // what the server engine is told
        QTest::addColumn<QString>("dialled");    // what the client engine dials
        QTest::addColumn<QString>("sni");        // what the server engine reads from the hello
        QTest::newRow("name, sent as SNI") << "mail.example.org" << "mail.example.org" << "mail.example.org";
        QTest::newRow("SNI other than the configured host") << "10.0.0.9" << "imap.example.net" << "imap.example.net";
        QTest::newRow("address, no SNI") << "mail.example.org" << "127.0.0.1" << "";
        QTest::newRow("IPv6 in brackets") << "mail.example.org" << "[::1]" << "";
    }

    // Verified against the CA for the name dialled, then 1 MiB each way byte-exact,
    // then close_notify from each side in turn, the other still sending meanwhile.
    // The server answers the client's last flight at once (a session ticket):
    // a client with Nagle's algorithm on holds its first command until then.
    void handshakeSettles()
    {
        QFETCH(QString, serverHost);
        QFETCH(QString, dialled);
        QFETCH(QString, sni);
        // Every row on the one context, as a relay's sessions share it: each
        // still gets the leaf for its own host and SNI.
        TlsEngine server(m_clientFacing, *m_ca, serverHost);
        TlsEngine client(m_trustCa, {dialled, false});
        server.feedIncoming(client.takeOutgoing());
        client.feedIncoming(server.takeOutgoing());
        QCOMPARE(client.state(), State::Established);
        server.feedIncoming(client.takeOutgoing());
        QCOMPARE(server.state(), State::Established);
        QVERIFY(server.hasOutgoing());
        shuttle(client, server);
        const TlsEngine::Summary &seen = client.summary();
        QVERIFY2(seen.peerVerified, qPrintable(seen.verifyError));
        QCOMPARE(seen.protocol, QStringLiteral("TLSv1.3"));
        QVERIFY(!seen.cipher.isEmpty());
        QVERIFY2(seen.peerIssuer.contains(QStringLiteral("CN=Dravlin CA ")), qPrintable(seen.peerIssuer));
        QCOMPARE(seen.peerFingerprint.size(), 32 * 3 - 1);
        QCOMPARE(server.summary().serverName, sni);
        QCOMPARE(server.summary().protocol, seen.protocol);

        if (QTest::currentDataTag() != QByteArrayLiteral("name, sent as SNI"))
            return; // the bulk of the work once is enough
        // Records of every size at once, the server still sending while the client
        // closes; each record cut across chunks at a different place.
        const QByteArray up = randomBytes(1 << 20), down = randomBytes((1 << 20) + 4);
        client.writePlaintext(up);
        server.writePlaintext(down);
        client.closeWrite();
        shuttle(client, server, 7919);
        QVERIFY(server.takePlaintext() == up);
        QCOMPARE(server.state(), State::PeerClosed);
        server.writePlaintext("after the client's close_notify");
        server.closeWrite();
        shuttle(client, server);
        QVERIFY(client.takePlaintext() == down + "after the client's close_notify");
        QCOMPARE(client.state(), State::PeerClosed);
    }

    // Sessions share one context, so its ticket keys: a client that presents
    // the ticket of an earlier session still gets a full handshake, with the
    // certificate for its own name, and a ticket again.
    void sessionsDoNotResume()
    {
        std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> clientContext(SSL_CTX_new(TLS_client_method()), SSL_CTX_free);
        SSL_CTX_set_session_cache_mode(clientContext.get(), SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
        static SSL_SESSION *ticketed = nullptr; // a callback without context finds it here
        SSL_CTX_sess_set_new_cb(clientContext.get(), [](SSL *, SSL_SESSION *session) {
            SSL_SESSION_free(ticketed);
            ticketed = session;
            return 1;
        });
        for (int session = 0; session < 2; ++session) {
            TlsEngine server(m_clientFacing, *m_ca, QStringLiteral("mail.example.org"));
            SSL *client = SSL_new(clientContext.get());
            BIO *fromServer = BIO_new(BIO_s_mem());
            BIO *toServer = BIO_new(BIO_s_mem());
            SSL_set_bio(client, fromServer, toServer);
            SSL_set_connect_state(client);
            SSL_set_tlsext_host_name(client, "mail.example.org");
            if (session == 1) {
                QVERIFY(ticketed && SSL_SESSION_is_resumable(ticketed));
                SSL_set_session(client, ticketed);
                SSL_SESSION_free(ticketed);
                ticketed = nullptr;
            }
            char buffer[4096];
            for (int step = 0; step < 4; ++step) {
                SSL_read(client, buffer, sizeof buffer); // drives the handshake, then reads the ticket
                for (int n; (n = BIO_read(toServer, buffer, sizeof buffer)) > 0;)
                    server.feedIncoming(QByteArrayView(buffer, n));
                const QByteArray answer = server.takeOutgoing();
                BIO_write(fromServer, answer.constData(), static_cast<int>(answer.size()));
            }
            QCOMPARE(server.state(), State::Established);
            QVERIFY(!SSL_session_reused(client));
            SSL_shutdown(client); // else the client drops its ticket
            SSL_free(client);
        }
        QVERIFY(ticketed);
        SSL_SESSION_free(ticketed);
        ticketed = nullptr;
    }

    void failuresAreNamed_data()
    {
        QTest::addColumn<QString>("dialled");
        QTest::addColumn<bool>("trustCa");
        QTest::addColumn<bool>("insecure");
        QTest::addColumn<int>("verifyResult"); // X509_V_OK: the handshake succeeds
        QTest::addColumn<int>("alert");        // the one the server then hears
        QTest::newRow("client distrusts the CA") << "mail.example.org" << false << false
                                                 << X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY << SSL_AD_UNKNOWN_CA;
        QTest::newRow("address not in the certificate") << "127.0.0.2" << true << false
                                                        << X509_V_ERR_IP_ADDRESS_MISMATCH << SSL_AD_BAD_CERTIFICATE;
        QTest::newRow("insecure accepts, unverified") << "mail.example.org" << false << true << X509_V_OK << 0;
    }

    void failuresAreNamed()
    {
        QFETCH(QString, dialled);
        QFETCH(bool, trustCa);
        QFETCH(bool, insecure);
        QFETCH(int, verifyResult);
        QFETCH(int, alert);
        // The leaf names the host and the client's SNI: an address dialled is not in it.
        TlsEngine server(*m_ca, QStringLiteral("mail.example.org"));
        TlsEngine client(trustCa ? m_trustCa : m_system, {dialled, insecure});
        shuttle(client, server);
        if (verifyResult == X509_V_OK) {
            QCOMPARE(client.state(), State::Established);
            QVERIFY(!client.summary().peerVerified);
            QVERIFY(!client.summary().verifyError.isEmpty());
            QVERIFY(client.summary().peerSubject.contains(QStringLiteral("CN=mail.example.org")));
            QCOMPARE(client.summary().peerFingerprint.size(), 32 * 3 - 1);
            return;
        }
        QCOMPARE(client.state(), State::Failed);
        QCOMPARE(server.state(), State::Failed);
        using Kind = FailureCause::Kind;
        QCOMPARE(client.failure().kind, Kind::CertificateRefused);
        QCOMPARE(client.failure().code, verifyResult);
        // Named here, so that the wording needs no TLS header.
        QVERIFY(client.failure().name.startsWith(QStringLiteral("X509_V_ERR_")));
        QCOMPARE(client.failure().name, client.summary().verifyName);
        QVERIFY2(client.failure().issuer.startsWith(QStringLiteral("CN=Dravlin CA")), qPrintable(client.failure().issuer));
        QCOMPARE(server.failure().kind, Kind::AlertReceived);
        QCOMPARE(server.failure().code, alert);
        QVERIFY(!server.failure().name.isEmpty());
        // A failed engine takes no more input and gives no plaintext.
        client.feedIncoming("more");
        QVERIFY(client.takePlaintext().isEmpty());
    }

    void serverRenegotiates_data()
    {
        QTest::addColumn<bool>("asksCertificate"); // s_server's R rather than r
        QTest::newRow("renegotiation") << false;
        QTest::newRow("renegotiation asking for a client certificate") << true;
    }

    // A write, or close_notify, that comes while the server renegotiates
    // waits for the handshake, then goes out whole and in order: never lost,
    // never taken for done. Asked for a certificate, the engine has none.
    void serverRenegotiates()
    {
        QFETCH(bool, asksCertificate);
        PlainOpenSslServer server(m_ca->issueLeaf({QStringLiteral("mail.example.org")}));
        TlsEngine client(m_trustCa, {QStringLiteral("mail.example.org"), false});
        server.exchange(client);
        QCOMPARE(client.state(), State::Established);
        client.writePlaintext("before ");
        server.exchange(client);
        if (asksCertificate)
            SSL_set_verify(server.ssl, SSL_VERIFY_PEER | SSL_VERIFY_CLIENT_ONCE, nullptr);
        QVERIFY(SSL_renegotiate(server.ssl) == 1);
        SSL_do_handshake(server.ssl); // the HelloRequest
        QByteArray request(int(BIO_pending(server.out)), Qt::Uninitialized);
        BIO_read(server.out, request.data(), int(request.size()));
        client.feedIncoming(request);
        client.writePlaintext("during");
        client.closeWrite();
        QCOMPARE(client.state(), State::Established);
        QCOMPARE(client.unsentBytes(), 6);
        server.exchange(client);
        QCOMPARE(client.state(), State::Established);
        QCOMPARE(server.read, QByteArray("before during"));
        QCOMPARE(server.lastError, SSL_ERROR_ZERO_RETURN); // close_notify, after the data
        QCOMPARE(SSL_renegotiate_pending(server.ssl), 0);
        QCOMPARE(client.unsentBytes(), 0);
    }

private:
    QTemporaryDir m_home;
    std::unique_ptr<CertificateAuthority> m_ca;
    TlsEngine::Context m_trustCa, m_system, m_clientFacing;
};

QTEST_GUILESS_MAIN(TestTlsEngine)
#include "tst_tlsengine.moc"
