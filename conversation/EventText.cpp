#include "EventText.h"

#include "ReasonText.h"
#include "RowText.h"
#include "Transcript.h"

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

// A clause that a sentence of ours ends with its own full stop: one it
// already ends with is not doubled.
QString clause(QString text)
{
    if (text.endsWith(QLatin1Char('.')) && !text.endsWith(QStringLiteral("..")))
        text.chop(1);
    return text;
}

// French agreement: 0 and 1 take the singular.
QString agreed(qint64 count, const QString &singular, const QString &plural)
{
    return count < 2 ? singular : plural;
}

// Why, from the cause the relay gave, else its own words (text a peer or the
// system chose, hence escaped).
QString reasonOf(const RelayEvent &event)
{
    if (event.cause.kind != FailureCause::Kind::None)
        return ReasonText::describe(event.cause, event.side);
    return RowText::escaped(event.reason);
}

} // namespace

QString EventText::describe(const RelayEvent &event)
{
    using Kind = RelayEvent::Kind;
    switch (event.kind) {
    case Kind::Listening:
        return QStringLiteral("En écoute sur le port %1").arg(event.listenPort);
    case Kind::ListenFailed:
        return QStringLiteral("Écoute impossible : %1. Relais arrêté.").arg(clause(listenFailure(event)));
    case Kind::ClientConnected:
        return QStringLiteral("Client connecté depuis %1 ; connexion à %2…")
            .arg(RowText::escaped(event.client), RowText::escaped(event.server));
    case Kind::ServerConnected:
        return QStringLiteral("Connecté au serveur %1").arg(RowText::escaped(event.server));
    case Kind::ServerFailed:
        return QStringLiteral("Connexion à %1 impossible : %2. Client déconnecté, nouvelle écoute.")
            .arg(RowText::escaped(event.server), clause(connectFailure(event)));
    case Kind::PeerClosed:
        return QStringLiteral("Connexion fermée par le %1").arg(sideName(event.side));
    case Kind::PeerReset:
        if (event.end == RelayEvent::End::ClosedByClientAfterDialogue)
            return QStringLiteral("Connexion fermée par le client (réinitialisation après la fin du dialogue)");
        if (event.cause.kind != FailureCause::Kind::None)
            return QStringLiteral("Connexion avec le %1 interrompue : %2").arg(sideName(event.side), reasonOf(event));
        return withReason(QStringLiteral("Connexion réinitialisée par le %1").arg(sideName(event.side)),
                          RowText::escaped(event.reason));
    case Kind::Undelivered:
        return QStringLiteral("%1 non remis au %2 : %3")
                   .arg(bytes(event.undelivered), sideName(event.side), undeliveredBecause(event))
            + (event.reason.isEmpty()
                   ? QString()
                   : QStringLiteral(" ; réinitialisation impossible (%1), le %2 a pu prendre la fin pour normale")
                         .arg(event.reason, sideName(event.side)));
    case Kind::SessionEnded:
        return QStringLiteral("Session terminée, %1 : %2 %3 du client, %4 %5 du serveur, en %6")
            .arg(event.end == RelayEvent::End::TlsFailed ? withReason(sessionEnd(event.end, event.side), reasonOf(event))
                                                         : sessionEnd(event.end, event.side),
                 bytes(event.bytesClientToServer),
                 agreed(event.bytesClientToServer, QStringLiteral("reçu"), QStringLiteral("reçus")),
                 bytes(event.bytesServerToClient),
                 agreed(event.bytesServerToClient, QStringLiteral("reçu"), QStringLiteral("reçus")),
                 Transcript::durationText(event.durationMs));
    case Kind::Stopped:
        return QStringLiteral("Relais arrêté");
    case Kind::TlsEstablished:
        return QStringLiteral("TLS établi avec le %1").arg(tlsMarker(event));
    case Kind::TlsFailed:
        return QStringLiteral("Échec TLS avec le %1 : %2. Client déconnecté.")
            .arg(sideName(event.side), clause(reasonOf(event)));
    case Kind::PlaintextDropped:
        return QStringLiteral("%1 en clair %2 par le %3 après %4 et avant la négociation TLS : %5, "
                              "jamais transmis (injection de commandes ?)")
            .arg(bytes(event.dropped), agreed(event.dropped, QStringLiteral("envoyé"), QStringLiteral("envoyés")),
                 sideName(event.side), upgradeName(event.upgrade),
                 agreed(event.dropped, QStringLiteral("ignoré"), QStringLiteral("ignorés")));
    case Kind::TlsUnavailable:
        return QStringLiteral("%1. Relais arrêté.").arg(clause(RowText::escaped(event.reason)));
    case Kind::InspectionAbandoned:
        return QStringLiteral("inspection TLS abandonnée pour cette session : %1").arg(RowText::escaped(event.reason));
    }
    return QString();
}

QString EventText::tlsMarker(const RelayEvent &event)
{
    const TlsSummary &tls = event.tls;
    QString text = QStringLiteral("%1 : %2 %3").arg(sideName(event.side), tls.protocol, tls.cipher);
    if (event.side == Side::Client) {
        if (!tls.serverName.isEmpty())
            text += QStringLiteral(", nom demandé « %1 »").arg(RowText::escaped(tls.serverName));
    } else {
        text += QStringLiteral(", %1, %2").arg(RowText::escaped(tls.peerSubject),
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
        lines.append(QStringLiteral("Nom demandé (SNI) : %1").arg(RowText::escaped(tls.serverName)));
    if (event.side == Side::Server) {
        lines.append(QStringLiteral("Sujet du certificat : %1").arg(RowText::escaped(tls.peerSubject)));
        lines.append(QStringLiteral("Émetteur : %1").arg(RowText::escaped(tls.peerIssuer)));
        lines.append(QStringLiteral("Empreinte SHA-256 : %1").arg(tls.peerFingerprint));
        lines.append(tls.peerVerified
                         ? QStringLiteral("Certificat vérifié")
                         : QStringLiteral("Certificat non vérifié : %1")
                               .arg(ReasonText::certificate(tls.verifyResult, tls.verifyError)));
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
                          RowText::escaped(event.reason));
    }
}

QString EventText::connectFailure(const RelayEvent &event)
{
    if (event.cause.kind != FailureCause::Kind::None)
        return reasonOf(event);
    switch (event.error) {
    case QAbstractSocket::ConnectionRefusedError:
        return QStringLiteral("connexion refusée par le serveur");
    case QAbstractSocket::HostNotFoundError:
        return QStringLiteral("hôte introuvable");
    case QAbstractSocket::SocketTimeoutError:
        return QStringLiteral("le serveur ne répond pas (délai dépassé)");
    case QAbstractSocket::NetworkError:
        return withReason(QStringLiteral("réseau injoignable"), RowText::escaped(event.reason));
    case QAbstractSocket::SocketAccessError:
        return QStringLiteral("accès refusé");
    default:
        return withReason(QStringLiteral("échec de la connexion"), RowText::escaped(event.reason));
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
    case End::ClosedByClientAfterDialogue:
        return QStringLiteral("fermée par le client (réinitialisation après la fin du dialogue)");
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
    case End::ClosedByClientAfterDialogue:
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
    return QStringLiteral("%1 %2").arg(Transcript::countText(count),
                                       agreed(count, QStringLiteral("octet"), QStringLiteral("octets")));
}

QString EventText::settingsError(const RelaySettings::Error &error, Naming naming)
{
    using Field = RelaySettings::Error::Field;
    using Problem = RelaySettings::Error::Problem;
    const bool window = naming == Naming::WindowFields;
    switch (error.field) {
    case Field::ListenPort:
        return QStringLiteral("Port d'écoute (%1) invalide : « %2 ». Entrez un nombre entier de 1 à 65535%3.")
            .arg(window ? QStringLiteral("« Serveur sur le port »") : QStringLiteral("--listen"), RowText::escaped(error.text),
                 window ? QString() : QStringLiteral(", ou 0 pour un port choisi par le système"));
    case Field::ServerPort:
        return QStringLiteral("Port du serveur (%1) invalide : « %2 ». Entrez un nombre entier de 1 à 65535.")
            .arg(window ? QStringLiteral("« Sur le port »") : QStringLiteral("--server"), RowText::escaped(error.text));
    case Field::ServerHost:
        break;
    }
    const QString named = window ? QStringLiteral("« Redirige vers »") : QStringLiteral("--server");
    if (error.problem == Problem::EmptyHost)
        return QStringLiteral("Adresse du serveur (%1) vide. Entrez un nom d'hôte ou une adresse IP.").arg(named);
    return QStringLiteral("Adresse du serveur (%1) invalide : « %2 ». %3")
        .arg(named, RowText::escaped(error.text),
             window ? QStringLiteral("Entrez un nom d'hôte ou une adresse IP, sans port : le port va dans "
                                     "« Sur le port ».")
                    : QStringLiteral("Une adresse IPv6 suivie d'un port s'écrit entre crochets : "
                                     "[::1]:25."));
}
