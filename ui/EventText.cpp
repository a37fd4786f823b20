#include "EventText.h"

#include <QLocale>
#include <QStringList>

namespace {

QString sideName(Side side)
{
    return side == Side::Client ? QStringLiteral("client") : QStringLiteral("serveur");
}

QString withReason(const QString &text, const QString &reason)
{
    return reason.isEmpty() ? text : QStringLiteral("%1 (%2)").arg(text, reason);
}

} // namespace

QString EventText::describe(const RelayEvent &event)
{
    using Kind = RelayEvent::Kind;
    switch (event.kind) {
    case Kind::Listening:
        return QStringLiteral("En écoute sur le port %1").arg(event.listenPort);
    case Kind::ListenFailed:
        return QStringLiteral("Écoute impossible : %1. Relais arrêté.").arg(listenFailure(event));
    case Kind::ClientConnected:
        return QStringLiteral("Client connecté depuis %1 ; connexion à %2…").arg(event.client, event.server);
    case Kind::ServerConnected:
        return QStringLiteral("Connecté au serveur %1").arg(event.server);
    case Kind::ServerFailed:
        return QStringLiteral("Connexion à %1 impossible : %2. Client déconnecté, nouvelle écoute.")
            .arg(event.server, connectFailure(event));
    case Kind::PeerClosed:
        return QStringLiteral("Connexion fermée par le %1").arg(sideName(event.side));
    case Kind::PeerReset:
        return withReason(QStringLiteral("Connexion réinitialisée par le %1").arg(sideName(event.side)),
                          event.reason);
    case Kind::Undelivered:
        return QStringLiteral("%1 non remis au %2 : %3")
            .arg(bytes(event.undelivered), sideName(event.side), undeliveredBecause(event));
    case Kind::SessionEnded:
        return QStringLiteral("Session terminée, %1 : %2 reçus du client, %3 du serveur, en %4 s")
            .arg(sessionEnd(event.end, event.side)
                     + (event.end == RelayEvent::End::TlsFailed ? QStringLiteral(" (%1)").arg(event.reason) : QString()),
                 bytes(event.bytesClientToServer), bytes(event.bytesServerToClient),
                 QLocale(QLocale::French).toString(double(event.durationMs) / 1000.0, 'f', 1));
    case Kind::Stopped:
        return QStringLiteral("Relais arrêté");
    case Kind::TlsEstablished:
        return QStringLiteral("TLS établi avec le %1").arg(tlsMarker(event));
    case Kind::TlsFailed:
        return QStringLiteral("Échec TLS avec le %1 : %2. Client déconnecté.").arg(sideName(event.side), event.reason);
    case Kind::PlaintextDropped:
        return QStringLiteral("%1 en clair envoyés par le %2 après %3 et avant la négociation TLS : ignorés, "
                              "jamais transmis (injection de commandes ?)")
            .arg(bytes(event.dropped), sideName(event.side), upgradeName(event.upgrade));
    case Kind::TlsUnavailable:
        return QStringLiteral("%1. Relais arrêté.").arg(event.reason);
    case Kind::InspectionAbandoned:
        return QStringLiteral("inspection TLS abandonnée pour cette session : %1").arg(event.reason);
    }
    return QString();
}

QString EventText::tlsMarker(const RelayEvent &event)
{
    const TlsSummary &tls = event.tls;
    QString text = QStringLiteral("%1 : %2 %3").arg(sideName(event.side), tls.protocol, tls.cipher);
    if (event.side == Side::Client) {
        if (!tls.serverName.isEmpty())
            text += QStringLiteral(", nom demandé « %1 »").arg(tls.serverName);
    } else {
        text += QStringLiteral(", %1, %2").arg(tls.peerSubject,
                                               tls.peerVerified ? QStringLiteral("certificat vérifié")
                                                                : QStringLiteral("certificat NON vérifié"));
    }
    return text;
}

QString EventText::tlsDetails(const RelayEvent &event)
{
    const TlsSummary &tls = event.tls;
    QStringList lines{QStringLiteral("TLS avec le %1 (%2)").arg(sideName(event.side), upgradeName(event.upgrade)),
                      QStringLiteral("Protocole : %1").arg(tls.protocol),
                      QStringLiteral("Chiffrement : %1").arg(tls.cipher)};
    if (!tls.serverName.isEmpty())
        lines.append(QStringLiteral("Nom demandé (SNI) : %1").arg(tls.serverName));
    if (event.side == Side::Server) {
        lines.append(QStringLiteral("Sujet du certificat : %1").arg(tls.peerSubject));
        lines.append(QStringLiteral("Émetteur : %1").arg(tls.peerIssuer));
        lines.append(QStringLiteral("Empreinte SHA-256 : %1").arg(tls.peerFingerprint));
        lines.append(tls.peerVerified ? QStringLiteral("Certificat vérifié")
                                      : QStringLiteral("Certificat non vérifié : %1").arg(tls.verifyError));
    } else {
        lines.append(QStringLiteral("Certificat présenté : émis par l'autorité de Dravlin"));
    }
    return lines.join(QLatin1Char('\n'));
}

QString EventText::upgradeName(RelayEvent::Upgrade upgrade)
{
    using Upgrade = RelayEvent::Upgrade;
    switch (upgrade) {
    case Upgrade::Smtp:
        return QStringLiteral("STARTTLS (SMTP)");
    case Upgrade::Pop3:
        return QStringLiteral("STLS (POP3)");
    case Upgrade::Imap:
        return QStringLiteral("STARTTLS (IMAP)");
    case Upgrade::Ftp:
        return QStringLiteral("AUTH TLS (FTP)");
    case Upgrade::Implicit:
        return QStringLiteral("TLS dès le premier octet");
    case Upgrade::Bridge:
        return QStringLiteral("TLS vers le serveur seulement");
    case Upgrade::None:
        break;
    }
    return QStringLiteral("la demande de passage en TLS");
}

QString EventText::listenFailure(const RelayEvent &event)
{
    switch (event.error) {
    case QAbstractSocket::AddressInUseError:
        return QStringLiteral("le port %1 est déjà utilisé par un autre programme").arg(event.listenPort);
    case QAbstractSocket::SocketAccessError:
        return QStringLiteral("accès refusé au port %1 (un port inférieur à 1024 demande des "
                              "droits d'administrateur)")
            .arg(event.listenPort);
    default:
        return withReason(QStringLiteral("impossible d'écouter sur le port %1").arg(event.listenPort),
                          event.reason);
    }
}

QString EventText::connectFailure(const RelayEvent &event)
{
    switch (event.error) {
    case QAbstractSocket::ConnectionRefusedError:
        return QStringLiteral("connexion refusée par le serveur");
    case QAbstractSocket::HostNotFoundError:
        return QStringLiteral("hôte introuvable");
    case QAbstractSocket::SocketTimeoutError:
        return QStringLiteral("le serveur ne répond pas (délai dépassé)");
    case QAbstractSocket::NetworkError:
        return withReason(QStringLiteral("réseau injoignable"), event.reason);
    case QAbstractSocket::SocketAccessError:
        return QStringLiteral("accès refusé");
    default:
        return QStringLiteral("échec de la connexion (%1)").arg(event.reason);
    }
}

QString EventText::sessionEnd(RelayEvent::End end, Side who)
{
    using End = RelayEvent::End;
    const QString side = sideName(who);
    switch (end) {
    case End::ClosedByClient:
        return QStringLiteral("fermée par le client");
    case End::ClosedByServer:
        return QStringLiteral("fermée par le serveur");
    case End::ResetByClient:
        return QStringLiteral("réinitialisée par le client");
    case End::ResetByServer:
        return QStringLiteral("réinitialisée par le serveur");
    case End::ServerUnreachable:
        return QStringLiteral("serveur injoignable");
    case End::SilenceAfterHalfClose:
        return QStringLiteral("le %1 est resté muet après la fermeture de l'autre côté").arg(side);
    case End::DeliveryStalled:
        return QStringLiteral("le %1 ne lisait plus").arg(side);
    case End::TlsFailed:
        return QStringLiteral("échec TLS avec le %1").arg(side);
    case End::Stopped:
    case End::None:
        break;
    }
    return QStringLiteral("relais arrêté");
}

QString EventText::undeliveredBecause(const RelayEvent &event)
{
    using End = RelayEvent::End;
    switch (event.end) {
    case End::DeliveryStalled:
        return QStringLiteral("il ne lisait plus, connexion réinitialisée");
    case End::ResetByClient:
        return QStringLiteral("connexion réinitialisée par le client");
    case End::ResetByServer:
        return QStringLiteral("connexion réinitialisée par le serveur");
    case End::ServerUnreachable:
        return QStringLiteral("serveur injoignable");
    case End::TlsFailed:
        return QStringLiteral("échec TLS");
    default:
        return QStringLiteral("relais arrêté avant la fin de l'envoi");
    }
}

QString EventText::bytes(qint64 count)
{
    return QStringLiteral("%1 %2").arg(count).arg(count > 1 ? QStringLiteral("octets") : QStringLiteral("octet"));
}

QString EventText::settingsError(const RelaySettings::Error &error, Naming naming)
{
    using Field = RelaySettings::Error::Field;
    using Problem = RelaySettings::Error::Problem;
    const bool window = naming == Naming::WindowFields;
    switch (error.field) {
    case Field::ListenPort:
        return QStringLiteral("Port d'écoute (%1) invalide : « %2 ». Entrez un nombre entier de 1 à 65535%3.")
            .arg(window ? QStringLiteral("« Serveur sur le port »") : QStringLiteral("--listen"), error.text,
                 window ? QString() : QStringLiteral(", ou 0 pour un port choisi par le système"));
    case Field::ServerPort:
        return QStringLiteral("Port du serveur (%1) invalide : « %2 ». Entrez un nombre entier de 1 à 65535.")
            .arg(window ? QStringLiteral("« Sur le port »") : QStringLiteral("--server"), error.text);
    case Field::ServerHost:
        break;
    }
    const QString named = window ? QStringLiteral("« Redirige vers »") : QStringLiteral("--server");
    if (error.problem == Problem::EmptyHost)
        return QStringLiteral("Adresse du serveur (%1) vide. Entrez un nom d'hôte ou une adresse IP.").arg(named);
    return QStringLiteral("Adresse du serveur (%1) invalide : « %2 ». %3")
        .arg(named, error.text,
             window ? QStringLiteral("Entrez un nom d'hôte ou une adresse IP, sans port : le port va dans "
                                     "« Sur le port ».")
                    : QStringLiteral("Une adresse IPv6 suivie d'un port s'écrit entre crochets : "
                                     "[::1]:25."));
}
