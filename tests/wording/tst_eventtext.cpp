#include "Endpoint.h"
#include "EventText.h"
#include "RelayEvent.h"

#include <QRegularExpression>
#include <QTest>

#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>

#include <cerrno>
#include <memory>

// The French wording of the relay's events, which the relay reports as data.
class TestEventText : public QObject
{
    Q_OBJECT

private:
    using Kind = RelayEvent::Kind;
    using Cause = FailureCause::Kind;

    static FailureCause because(Cause kind, int code = 0, const QString &text = {})
    {
        return {kind, code, text, {}, {}, {}, {}, {}};
    }
    static FailureCause named(Cause kind, int code, const char *name)
    {
        FailureCause cause = because(kind, code);
        cause.name = QLatin1String(name);
        return cause;
    }
    // An event as the relay reports it, for the wording alone.
    static RelayEvent reported(Kind kind, Side side, const FailureCause &cause = {})
    {
        RelayEvent e;
        e.kind = kind;
        e.side = side;
        e.server = Endpoint::named(QStringLiteral("127.0.0.1"), 25);
        e.cause = cause;
        return e;
    }

private Q_SLOTS:
    // What the relay reports as codes, worded in French with the technical
    // name kept; what a peer chose escaped; counts grouped and agreed; never
    // a doubled full stop nor a control character.
    void causesAreWordedInFrench_data()
    {
        QTest::addColumn<RelayEvent>("event");
        QTest::addColumn<QString>("says");
        QTest::newRow("refused") << reported(Kind::ServerFailed, Side::Server, because(Cause::System, ECONNREFUSED))
                                 << "Connexion à 127.0.0.1:25 impossible : connexion refusée (ECONNREFUSED). Client "
                                    "déconnecté, nouvelle écoute.";
        QTest::newRow("unknown host") << reported(Kind::ServerFailed, Side::Server,
                                                  because(Cause::HostNotFound, 0, QStringLiteral("nohost..invalid")))
                                      << "impossible : hôte introuvable : nohost..invalid. Client";
        QTest::newRow("reset") << reported(Kind::PeerReset, Side::Client,
                                           because(Cause::System, ECONNRESET, QStringLiteral("Connection reset")))
                               << "Connexion avec le client interrompue : connexion réinitialisée (ECONNRESET)";
        // Its number and name, never the system's English sentence.
        QTest::newRow("errno not in the table") << reported(Kind::PeerReset, Side::Server,
                                                            because(Cause::System, EOPNOTSUPP, QStringLiteral("Operation not supported")))
                                                << ": erreur système 95 (EOPNOTSUPP)";
        QTest::newRow("expired") << reported(Kind::TlsFailed, Side::Server,
                                             FailureCause{Cause::CertificateRefused, X509_V_ERR_CERT_HAS_EXPIRED, QString(),
                                                          QStringLiteral("CN=a\nb"), QStringLiteral("CN=\\"),
                                                          QStringLiteral("X509_V_ERR_CERT_HAS_EXPIRED"), {}, {}})
                                 << "Échec TLS avec le serveur : certificat du serveur refusé : certificat expiré "
                                    "(X509_V_ERR_CERT_HAS_EXPIRED) (sujet : CN=a\\x0ab ; émetteur : CN=\\\\). Client déconnecté.";
        QTest::newRow("unknown_ca") << reported(Kind::TlsFailed, Side::Client,
                                                named(Cause::AlertReceived, SSL_AD_UNKNOWN_CA, "unknown_ca"))
                                    << "le client refuse le certificat présenté : autorité inconnue (alerte TLS unknown_ca)";
        QTest::newRow("other alert") << reported(Kind::TlsFailed, Side::Client,
                                                 named(Cause::AlertReceived, SSL_AD_PROTOCOL_VERSION, "protocol_version"))
                                     << "le client a mis fin à la session TLS : version de TLS non prise en charge "
                                        "(alerte TLS protocol_version). Client";
        QTest::newRow("closed") << reported(Kind::TlsFailed, Side::Client, because(Cause::ClosedInHandshake, 0))
                                << "Échec TLS avec le client : le client a fermé la connexion pendant la négociation TLS. "
                                   "Client déconnecté.";
        QTest::newRow("one full stop")
            << reported(Kind::TlsUnavailable, Side::Client, FailureCause::about(Cause::CaFileUnreadable, QStringLiteral("x.pem")))
            << "TLS impossible : fichier de certificats « x.pem » illisible. Relais arrêté.";
        QTest::newRow("CA key exposed")
            << reported(Kind::TlsUnavailable, Side::Client, FailureCause::about(Cause::CaKeyExposed, QStringLiteral("/d/ca.key")))
            << "La clé « /d/ca.key » est accessible à d'autres utilisateurs (chmod 600 attendu) ; elle n'est pas utilisée. "
               "Relais arrêté.";
        FailureCause noLeaf = FailureCause::of(Cause::NoClientCertificate);
        noLeaf.inner = std::make_shared<const FailureCause>(FailureCause::of(Cause::LeafUncreatable));
        QTest::newRow("nested, library silent") << reported(Kind::TlsFailed, Side::Client, noLeaf)
                                                << "pas de certificat à présenter au client : Création du certificat "
                                                   "présenté au client impossible : erreur inconnue. Client";
        QTest::newRow("handshake overdue") << reported(Kind::TlsFailed, Side::Client, FailureCause::of(Cause::HandshakeOverdue, 500))
                                           << "négociation TLS inachevée après 0,5 s, côté client.";
        QTest::newRow("watch given up") << reported(Kind::InspectionAbandoned, Side::Client,
                                                    FailureCause::of(Cause::NoDecisiveReply, 10))
                                        << "inspection TLS abandonnée pour cette session : aucune réponse décisive du "
                                           "serveur en 10 s";
        RelayEvent finOnly = reported(Kind::PeerClosed, Side::Server);
        finOnly.tlsEnd = RelayEvent::TlsEnd::FinOnly;
        QTest::newRow("fin only") << finOnly << "(fin sans close_notify : flux TLS peut-être tronqué)";
        // The address dialled is the wording's to show: an IPv4 client as IPv4,
        // IPv6 in brackets, the server by the name it was given.
        RelayEvent connected = reported(Kind::ClientConnected, Side::Client);
        connected.client = Endpoint::at(QHostAddress(QStringLiteral("::ffff:127.0.0.1")), 40112);
        connected.server = Endpoint{QHostAddress(QHostAddress::LocalHostIPv6), 2525, QStringLiteral("localhost")};
        QTest::newRow("endpoints") << connected << "Client connecté depuis 127.0.0.1:40112 ; connexion à localhost:2525…";
        connected.client = Endpoint::at(QHostAddress(QHostAddress::LocalHostIPv6), 40112);
        connected.server = Endpoint::named(QStringLiteral("::1"), 25);
        QTest::newRow("IPv6 endpoints") << connected << "depuis [::1]:40112 ; connexion à [::1]:25…";
        RelayEvent few = reported(Kind::SessionEnded, Side::Client);
        few.end = RelayEvent::End::ClosedByClient;
        few.bytesServerToClient = 1;
        QTest::newRow("0 and 1") << few << "0 octet reçu du client, 1 octet reçu du serveur, en 0 ms";
        RelayEvent many = few;
        many.bytesClientToServer = 2;
        many.bytesServerToClient = 750000;
        many.durationMs = 2584;
        QTest::newRow("2 and grouped") << many << "2 octets reçus du client, 750\u202f000 octets reçus du serveur, en 2,584 s";
        RelayEvent dropped = reported(Kind::PlaintextDropped, Side::Client);
        dropped.dropped = 1;
        dropped.upgrade = RelayEvent::Upgrade::Smtp;
        QTest::newRow("one dropped") << dropped << "1 octet en clair envoyé par le client après STARTTLS (SMTP) et avant "
                                                   "la négociation TLS : ignoré,";
        RelayEvent sni = reported(Kind::TlsEstablished, Side::Client);
        sni.tls.serverName = QStringLiteral("a\n\u00b7\u009b");
        QTest::newRow("SNI") << sni << "nom demandé « a\\x0a\u00b7\\xc2\\x9b »";
    }
    void causesAreWordedInFrench()
    {
        QFETCH(RelayEvent, event);
        QFETCH(QString, says);
        const QString said = EventText::describe(event);
        QVERIFY2(said.contains(says), qPrintable(said));
        static const QRegularExpression unsafe(QStringLiteral("[\\x00-\\x1f\\x7f-\\x9f]|\\.\\.( |$)"));
        QVERIFY2(!unsafe.match(said).hasMatch(), qPrintable(said));
    }
};

QTEST_GUILESS_MAIN(TestEventText)
#include "tst_eventtext.moc"
