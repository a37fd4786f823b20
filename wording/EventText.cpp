#include "EventText.h"
#include "FigureText.h"

#include "EndpointText.h"
#include "ReasonText.h"
#include "RowText.h"

#include <QStringList>

namespace {

QString sideName(Side side)
{
    return side == Side::Client ? QCoreApplication::translate("EventText", "client") : QCoreApplication::translate("EventText", "serveur");
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

bool EventText::isFailure(const RelayEvent &event)
{
    // A client that resets once the server has said goodbye ends normally.
    if (event.kind == RelayEvent::Kind::PeerReset && event.end == RelayEvent::End::ClosedByClientAfterDialogue)
        return false;
    switch (event.kind) {
    case RelayEvent::Kind::ListenFailed:
    case RelayEvent::Kind::ServerFailed:
    case RelayEvent::Kind::PeerReset:
    case RelayEvent::Kind::Undelivered:
    case RelayEvent::Kind::TlsFailed:
    case RelayEvent::Kind::PlaintextDropped:
    case RelayEvent::Kind::TlsUnavailable:
    case RelayEvent::Kind::ClientsGone:
        return true;
    default:
        return false;
    }
}

QString EventText::describe(const RelayEvent &event)
{
    using Kind = RelayEvent::Kind;
    switch (event.kind) {
    case Kind::Listening:
        return tr("En écoute sur le port %1").arg(event.listenPort);
    case Kind::ListenFailed:
        return tr("Écoute impossible : %1. Relais arrêté.").arg(clause(listenFailure(event)));
    case Kind::ClientConnected:
        return tr("Client connecté depuis %1 ; connexion à %2…")
            .arg(RowText::escaped(EndpointText::text(event.client)), RowText::escaped(EndpointText::text(event.server)));
    case Kind::ServerConnected:
        return tr("Connecté au serveur %1").arg(RowText::escaped(EndpointText::text(event.server)));
    case Kind::ServerFailed:
        return tr("Connexion à %1 impossible : %2. Client déconnecté, nouvelle écoute.")
            .arg(RowText::escaped(EndpointText::text(event.server)), clause(connectFailure(event)));
    case Kind::PeerClosed:
        return tr("Connexion fermée par le %1").arg(sideName(event.side))
            + (event.tlsEnd == RelayEvent::TlsEnd::FinOnly ? tr(" (fin sans close_notify : flux TLS peut-être tronqué)")
                                                           : QString());
    case Kind::PeerReset:
        if (event.end == RelayEvent::End::ClosedByClientAfterDialogue)
            return tr("Connexion fermée par le client (réinitialisation après la fin du dialogue)");
        if (event.cause.kind != FailureCause::Kind::None)
            return tr("Connexion avec le %1 interrompue : %2").arg(sideName(event.side), reasonOf(event));
        return withReason(tr("Connexion réinitialisée par le %1").arg(sideName(event.side)),
                          RowText::escaped(event.reason));
    case Kind::Undelivered:
        // Bytes read after the end are counted apart: they were never shown as rows.
        return (event.undelivered > 0 || event.ignoredAfterEnd == 0
                    ? tr("%1 non remis au %2 : %3")
                          .arg(bytes(event.undelivered), sideName(event.side), undeliveredBecause(event))
                          + (event.ignoredAfterEnd > 0 ? tr(" ; de plus, ") : QString())
                    : QString())
            + (event.ignoredAfterEnd > 0
                   ? tr("%1 %2 par le %3 après la fin de la session, lus mais jamais remis au %4")
                         .arg(bytes(event.ignoredAfterEnd),
                              agreed(event.ignoredAfterEnd, tr("envoyé"), tr("envoyés")),
                              sideName(otherSide(event.side)), sideName(event.side))
                   : QString())
            + (event.reason.isEmpty()
                   ? QString()
                   : tr(" ; réinitialisation impossible (%1), le %2 a pu prendre la fin pour normale")
                         .arg(event.reason, sideName(event.side)));
    case Kind::SessionEnded:
        return tr("Session terminée, %1 : %2 %3 du client, %4 %5 du serveur, en %6")
            .arg(event.end == RelayEvent::End::TlsFailed ? withReason(sessionEnd(event.end, event.side), reasonOf(event))
                                                         : sessionEnd(event.end, event.side),
                 bytes(event.bytesClientToServer),
                 agreed(event.bytesClientToServer, tr("reçu"), tr("reçus")),
                 bytes(event.bytesServerToClient),
                 agreed(event.bytesServerToClient, tr("reçu"), tr("reçus")),
                 FigureText::duration(event.durationMs));
    case Kind::Stopped:
        return tr("Relais arrêté");
    case Kind::TlsEstablished:
        return tr("TLS établi avec le %1").arg(tlsMarker(event));
    case Kind::TlsFailed:
        return tr("Échec TLS avec le %1 : %2. Client déconnecté.")
            .arg(sideName(event.side), clause(reasonOf(event)));
    case Kind::PlaintextDropped:
        return tr("%1 en clair %2 par le %3 après %4 et avant la négociation TLS : %5, "
                              "jamais transmis (injection de commandes ?)")
            .arg(bytes(event.dropped), agreed(event.dropped, tr("envoyé"), tr("envoyés")),
                 sideName(event.side), upgradeName(event.upgrade),
                 agreed(event.dropped, tr("ignoré"), tr("ignorés")));
    case Kind::TlsUnavailable:
        return tr("%1. Relais arrêté.").arg(clause(reasonOf(event)));
    case Kind::InspectionAbandoned:
        return tr("inspection TLS abandonnée pour cette session : %1").arg(reasonOf(event));
    case Kind::ClientsGone: {
        const QString name = ReasonText::technicalName(event.cause);
        return withReason(agreed(event.count, tr("%1 client parti avant d'être servi"),
                                 tr("%1 clients partis avant d'être servis"))
                              .arg(FigureText::count(event.count)),
                          name);
    }
    case Kind::ClientsWaiting:
        if (event.count == 0)
            return tr("plus aucun client en attente");
        return agreed(event.count, tr("%1 client en attente : %2 sur %3"), tr("%1 clients en attente : %2 sur %3"))
            .arg(FigureText::count(event.count),
                 agreed(event.running, tr("%1 session en cours"), tr("%1 sessions en cours")).arg(event.running))
            .arg(event.places);
    }
    return QString();
}

QString EventText::headline(const RelayEvent &event)
{
    using Kind = RelayEvent::Kind;
    switch (event.kind) {
    case Kind::ListenFailed:
        if (event.error == QAbstractSocket::AddressInUseError)
            return tr("port %1 déjà utilisé — écoute impossible").arg(event.listenPort);
        if (event.error == QAbstractSocket::SocketAccessError)
            return tr("port %1 réservé à l'administrateur — écoute impossible").arg(event.listenPort);
        break;
    case Kind::ServerFailed:
        if (event.cause.kind == FailureCause::Kind::HostNotFound)
            return tr("hôte introuvable : %1").arg(RowText::escaped(event.cause.text.isEmpty() ? EndpointText::text(event.server) : event.cause.text));
        if (event.cause.kind == FailureCause::Kind::None && event.error == QAbstractSocket::HostNotFoundError)
            return tr("hôte introuvable : %1").arg(RowText::escaped(EndpointText::text(event.server)));
        return tr("%1 — connexion à %2 impossible").arg(clause(connectFailure(event)), RowText::escaped(EndpointText::text(event.server)));
    case Kind::TlsFailed:
        return tr("%1 — échec TLS avec le %2").arg(clause(reasonOf(event)), sideName(event.side));
    case Kind::PeerReset:
        if (isFailure(event) && event.cause.kind != FailureCause::Kind::None)
            return tr("%1 — connexion avec le %2 interrompue").arg(reasonOf(event), sideName(event.side));
        break;
    case Kind::Undelivered:
        // What a failure already shown cost: said beside it, not in its place.
        if (event.end == RelayEvent::End::ServerUnreachable || event.end == RelayEvent::End::TlsFailed)
            return tr("%1 non remis au %2").arg(bytes(event.undelivered), sideName(event.side));
        break;
    default:
        break;
    }
    return describe(event);
}

QString EventText::tlsMarker(const RelayEvent &event)
{
    const TlsSummary &tls = event.tls;
    QString text = tr("%1 : %2 %3").arg(sideName(event.side), tls.protocol, tls.cipher);
    if (event.side == Side::Client) {
        if (!tls.serverName.isEmpty())
            text += tr(", nom demandé « %1 »").arg(RowText::escaped(tls.serverName));
    } else {
        text += tr(", %1, %2").arg(RowText::escaped(tls.peerSubject),
                                               tls.peerVerified ? tr("certificat vérifié")
                                                                : tr("certificat NON vérifié"));
    }
    return text;
}

QString EventText::tlsDetails(const RelayEvent &event)
{
    const TlsSummary &tls = event.tls;
    QStringList lines{tr("TLS avec le %1 (%2)").arg(sideName(event.side), upgradeName(event.upgrade)),
                      tr("Protocole : %1").arg(tls.protocol),
                      tr("Chiffrement : %1").arg(tls.cipher)};
    if (!tls.serverName.isEmpty())
        lines.append(tr("Nom demandé (SNI) : %1").arg(RowText::escaped(tls.serverName)));
    if (event.side == Side::Server) {
        lines.append(tr("Sujet du certificat : %1").arg(RowText::escaped(tls.peerSubject)));
        lines.append(tr("Émetteur : %1").arg(RowText::escaped(tls.peerIssuer)));
        lines.append(tr("Empreinte SHA-256 : %1").arg(tls.peerFingerprint));
        lines.append(tls.peerVerified
                         ? tr("Certificat vérifié")
                         : tr("Certificat non vérifié : %1")
                               .arg(ReasonText::certificate(tls.verifyName, tls.verifyResult, tls.verifyError)));
    } else {
        lines.append(tr("Certificat présenté : émis par l'autorité de Dravlin"));
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
        return tr("TLS dès le premier octet");
    case Upgrade::Bridge:
        return tr("TLS vers le serveur seulement");
    case Upgrade::None:
        break;
    }
    return tr("la demande de passage en TLS");
}

QString EventText::listenFailure(const RelayEvent &event)
{
    switch (event.error) {
    case QAbstractSocket::AddressInUseError:
        return tr("le port %1 est déjà utilisé par un autre programme").arg(event.listenPort);
    case QAbstractSocket::SocketAccessError:
        return tr("accès refusé au port %1 (un port inférieur à 1024 demande des "
                              "droits d'administrateur)")
            .arg(event.listenPort);
    default:
        return withReason(tr("impossible d'écouter sur le port %1").arg(event.listenPort),
                          RowText::escaped(event.reason));
    }
}

QString EventText::connectFailure(const RelayEvent &event)
{
    if (event.cause.kind != FailureCause::Kind::None)
        return reasonOf(event);
    switch (event.error) {
    case QAbstractSocket::ConnectionRefusedError:
        return tr("connexion refusée par le serveur");
    case QAbstractSocket::HostNotFoundError:
        return tr("hôte introuvable");
    case QAbstractSocket::SocketTimeoutError:
        return tr("le serveur ne répond pas (délai dépassé)");
    case QAbstractSocket::NetworkError:
        return withReason(tr("réseau injoignable"), RowText::escaped(event.reason));
    case QAbstractSocket::SocketAccessError:
        return tr("accès refusé");
    default:
        return withReason(tr("échec de la connexion"), RowText::escaped(event.reason));
    }
}

QString EventText::sessionEnd(RelayEvent::End end, Side who)
{
    using End = RelayEvent::End;
    const QString side = sideName(who);
    switch (end) {
    case End::ClosedByClient:
        return tr("fermée par le client");
    case End::ClosedByServer:
        return tr("fermée par le serveur");
    case End::ClosedByClientAfterDialogue:
        return tr("fermée par le client (réinitialisation après la fin du dialogue)");
    case End::ResetByClient:
        return tr("réinitialisée par le client");
    case End::ResetByServer:
        return tr("réinitialisée par le serveur");
    case End::ServerUnreachable:
        return tr("serveur injoignable");
    case End::SilenceAfterHalfClose:
        return tr("le %1 est resté muet après la fermeture de l'autre côté").arg(side);
    case End::DeliveryStalled:
        return tr("le %1 ne lisait plus").arg(side);
    case End::TlsFailed:
        return tr("échec TLS avec le %1").arg(side);
    case End::Stopped:
    case End::None:
        break;
    }
    return tr("relais arrêté");
}

QString EventText::undeliveredBecause(const RelayEvent &event)
{
    using End = RelayEvent::End;
    switch (event.end) {
    case End::DeliveryStalled:
        return tr("il ne lisait plus, connexion réinitialisée");
    case End::ResetByClient:
    case End::ClosedByClientAfterDialogue:
        return tr("connexion réinitialisée par le client");
    case End::ResetByServer:
        return tr("connexion réinitialisée par le serveur");
    case End::ServerUnreachable:
        return tr("serveur injoignable");
    case End::TlsFailed:
        return tr("échec TLS");
    default:
        return tr("relais arrêté avant la fin de l'envoi");
    }
}

QString EventText::bytes(qint64 count)
{
    return tr("%1 %2").arg(FigureText::count(count),
                                       agreed(count, tr("octet"), tr("octets")));
}

QString EventText::settingsError(const RelaySettings::Error &error, Naming naming)
{
    using Field = RelaySettings::Error::Field;
    using Problem = RelaySettings::Error::Problem;
    const bool window = naming == Naming::WindowFields;
    switch (error.field) {
    case Field::ListenPort:
        return tr("Port d'écoute (%1) invalide : « %2 ». Entrez un nombre entier de 1 à 65535%3.")
            .arg(window ? tr("« Serveur sur le port »") : QStringLiteral("--listen"), RowText::escaped(error.text),
                 window ? QString() : tr(", ou 0 pour un port choisi par le système"));
    case Field::ServerPort:
        return tr("Port du serveur (%1) invalide : « %2 ». Entrez un nombre entier de 1 à 65535.")
            .arg(window ? tr("« Sur le port »") : QStringLiteral("--server"), RowText::escaped(error.text));
    case Field::Clients:
        return tr("Nombre de clients (%1) invalide : « %2 ». Entrez un nombre entier de 1 à %3.")
            .arg(window ? tr("« Clients à la fois »") : QStringLiteral("--clients"), RowText::escaped(error.text))
            .arg(RelaySettings::MaxClients);
    case Field::ServerHost:
        break;
    }
    const QString named = window ? tr("« Redirige vers »") : QStringLiteral("--server");
    if (error.problem == Problem::EmptyHost)
        return tr("Adresse du serveur (%1) vide. Entrez un nom d'hôte ou une adresse IP.").arg(named);
    if (error.problem == Problem::SelfRelay)
        return window ? tr("Le serveur « %1 », port %2 (« Redirige vers », « Sur le port »), est Dravlin lui-même : "
                           "il écoute sur le port %2 de cette machine (« Serveur sur le port »). Chaque client "
                           "reviendrait au relais sans fin. Entrez l'adresse ou le port du vrai serveur.")
                            .arg(RowText::escaped(error.text))
                            .arg(error.port)
                      : tr("Le serveur « %1 », port %2 (--server), est Dravlin lui-même : il écoute sur le port %2 "
                           "de cette machine (--listen). Chaque client reviendrait au relais sans fin. Donnez "
                           "l'adresse ou le port du vrai serveur.")
                            .arg(RowText::escaped(error.text))
                            .arg(error.port);
    if (error.problem == Problem::NotAHost)
        return tr("Adresse du serveur (%1) invalide : « %2 » n'est ni un nom d'hôte ni une adresse IP (un nom "
                  "ne contient que lettres, chiffres, tirets et points, sans espace).")
            .arg(named, RowText::escaped(error.text));
    return tr("Adresse du serveur (%1) invalide : « %2 ». %3")
        .arg(named, RowText::escaped(error.text),
             window ? tr("Entrez un nom d'hôte ou une adresse IP, sans port : le port va dans "
                                     "« Sur le port ».")
                    : tr("Une adresse IPv6 suivie d'un port s'écrit entre crochets : "
                         "[::1]:25."));
}
