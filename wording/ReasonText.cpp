#include "ReasonText.h"

#include "RowText.h"

#include <QLocale>

#include <cerrno>
#include <cstring>
#include <iterator>

namespace {

struct Row {
    int code;
    const char *name; // the technical name, kept for search
    const char *text; // UTF-8 French, translated where shown
};

// The row's name is its constant's own name.
#define REASON_ROW(code, text) {code, #code, text}
// Rows of the TLS library's tables, found by the name the relay gives.
#define NAMED_ROW(name, text) {0, #name, text}

const Row SystemRows[] = {
    REASON_ROW(ECONNREFUSED, QT_TRANSLATE_NOOP("ReasonText", "connexion refusée")),
    REASON_ROW(ECONNRESET, QT_TRANSLATE_NOOP("ReasonText", "connexion réinitialisée")),
    REASON_ROW(ECONNABORTED, QT_TRANSLATE_NOOP("ReasonText", "connexion abandonnée")),
    REASON_ROW(EPIPE, QT_TRANSLATE_NOOP("ReasonText", "connexion rompue, le pair ne reçoit plus")),
    REASON_ROW(ETIMEDOUT, QT_TRANSLATE_NOOP("ReasonText", "délai dépassé, pas de réponse")),
    REASON_ROW(EHOSTUNREACH, QT_TRANSLATE_NOOP("ReasonText", "hôte injoignable")),
    REASON_ROW(EHOSTDOWN, QT_TRANSLATE_NOOP("ReasonText", "hôte hors service")),
    REASON_ROW(ENETUNREACH, QT_TRANSLATE_NOOP("ReasonText", "réseau injoignable")),
    REASON_ROW(ENETDOWN, QT_TRANSLATE_NOOP("ReasonText", "réseau hors service")),
    REASON_ROW(ENETRESET, QT_TRANSLATE_NOOP("ReasonText", "connexion coupée par le réseau")),
    REASON_ROW(EADDRINUSE, QT_TRANSLATE_NOOP("ReasonText", "adresse déjà utilisée")),
    REASON_ROW(EADDRNOTAVAIL, QT_TRANSLATE_NOOP("ReasonText", "adresse locale indisponible")),
    REASON_ROW(EAFNOSUPPORT, QT_TRANSLATE_NOOP("ReasonText", "famille d'adresses non prise en charge")),
    REASON_ROW(EACCES, QT_TRANSLATE_NOOP("ReasonText", "accès refusé")),
    REASON_ROW(EPERM, QT_TRANSLATE_NOOP("ReasonText", "opération interdite (pare-feu ?)")),
    REASON_ROW(EMFILE, QT_TRANSLATE_NOOP("ReasonText", "trop de fichiers ouverts par Dravlin")),
    REASON_ROW(ENFILE, QT_TRANSLATE_NOOP("ReasonText", "trop de fichiers ouverts sur le système")),
    REASON_ROW(ENOBUFS, QT_TRANSLATE_NOOP("ReasonText", "mémoire du système épuisée")),
    REASON_ROW(ENOMEM, QT_TRANSLATE_NOOP("ReasonText", "mémoire épuisée")),
    REASON_ROW(ENOTCONN, QT_TRANSLATE_NOOP("ReasonText", "connexion déjà fermée par le pair")),
    // Files: saving, exporting, the capture and stdout.
    REASON_ROW(ENOSPC, QT_TRANSLATE_NOOP("ReasonText", "plus de place sur le disque")),
    REASON_ROW(EDQUOT, QT_TRANSLATE_NOOP("ReasonText", "quota de disque dépassé")),
    REASON_ROW(EROFS, QT_TRANSLATE_NOOP("ReasonText", "système de fichiers en lecture seule")),
    REASON_ROW(EFBIG, QT_TRANSLATE_NOOP("ReasonText", "fichier trop gros pour ce système de fichiers")),
    REASON_ROW(EIO, QT_TRANSLATE_NOOP("ReasonText", "erreur d'entrée-sortie du périphérique")),
    REASON_ROW(ENOENT, QT_TRANSLATE_NOOP("ReasonText", "fichier ou dossier introuvable")),
    REASON_ROW(ENOTDIR, QT_TRANSLATE_NOOP("ReasonText", "un élément du chemin n'est pas un dossier")),
    REASON_ROW(EISDIR, QT_TRANSLATE_NOOP("ReasonText", "c'est un dossier")),
    REASON_ROW(EEXIST, QT_TRANSLATE_NOOP("ReasonText", "le fichier existe déjà")),
    REASON_ROW(ENAMETOOLONG, QT_TRANSLATE_NOOP("ReasonText", "nom de fichier trop long")),
    REASON_ROW(ELOOP, QT_TRANSLATE_NOOP("ReasonText", "lien symbolique refusé")),
    REASON_ROW(ETXTBSY, QT_TRANSLATE_NOOP("ReasonText", "fichier en cours d'exécution")),
    REASON_ROW(EXDEV, QT_TRANSLATE_NOOP("ReasonText", "déplacement entre deux systèmes de fichiers impossible")),
    REASON_ROW(EBADF, QT_TRANSLATE_NOOP("ReasonText", "descripteur fermé")),
    REASON_ROW(ENXIO, QT_TRANSLATE_NOOP("ReasonText", "périphérique ou tube sans lecteur")),
    REASON_ROW(EINVAL, QT_TRANSLATE_NOOP("ReasonText", "opération invalide pour ce fichier")),
};

const Row CertificateRows[] = {
    NAMED_ROW(X509_V_ERR_CERT_HAS_EXPIRED, QT_TRANSLATE_NOOP("ReasonText", "certificat expiré")),
    NAMED_ROW(X509_V_ERR_CERT_NOT_YET_VALID, QT_TRANSLATE_NOOP("ReasonText", "certificat pas encore valide")),
    NAMED_ROW(X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT, QT_TRANSLATE_NOOP("ReasonText", "certificat auto-signé")),
    NAMED_ROW(X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN, QT_TRANSLATE_NOOP("ReasonText", "chaîne menant à une autorité auto-signée non reconnue")),
    NAMED_ROW(X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY, QT_TRANSLATE_NOOP("ReasonText", "autorité émettrice inconnue de ce système")),
    NAMED_ROW(X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT, QT_TRANSLATE_NOOP("ReasonText", "certificat de l'autorité émettrice introuvable")),
    NAMED_ROW(X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE, QT_TRANSLATE_NOOP("ReasonText", "signature du certificat invérifiable")),
    NAMED_ROW(X509_V_ERR_HOSTNAME_MISMATCH, QT_TRANSLATE_NOOP("ReasonText", "le nom d'hôte ne correspond pas au certificat")),
    NAMED_ROW(X509_V_ERR_IP_ADDRESS_MISMATCH, QT_TRANSLATE_NOOP("ReasonText", "l'adresse IP ne correspond pas au certificat")),
    NAMED_ROW(X509_V_ERR_EMAIL_MISMATCH, QT_TRANSLATE_NOOP("ReasonText", "l'adresse électronique ne correspond pas au certificat")),
    NAMED_ROW(X509_V_ERR_CERT_REVOKED, QT_TRANSLATE_NOOP("ReasonText", "certificat révoqué")),
    NAMED_ROW(X509_V_ERR_CERT_SIGNATURE_FAILURE, QT_TRANSLATE_NOOP("ReasonText", "signature du certificat invalide")),
    NAMED_ROW(X509_V_ERR_CERT_CHAIN_TOO_LONG, QT_TRANSLATE_NOOP("ReasonText", "chaîne de certificats trop longue")),
    NAMED_ROW(X509_V_ERR_INVALID_CA, QT_TRANSLATE_NOOP("ReasonText", "autorité invalide dans la chaîne")),
    NAMED_ROW(X509_V_ERR_INVALID_PURPOSE, QT_TRANSLATE_NOOP("ReasonText", "certificat non prévu pour cet usage")),
    NAMED_ROW(X509_V_ERR_CERT_UNTRUSTED, QT_TRANSLATE_NOOP("ReasonText", "certificat non approuvé")),
    NAMED_ROW(X509_V_ERR_CERT_REJECTED, QT_TRANSLATE_NOOP("ReasonText", "certificat rejeté")),
    NAMED_ROW(X509_V_ERR_EE_KEY_TOO_SMALL, QT_TRANSLATE_NOOP("ReasonText", "clé du certificat trop courte")),
    NAMED_ROW(X509_V_ERR_CA_KEY_TOO_SMALL, QT_TRANSLATE_NOOP("ReasonText", "clé de l'autorité trop courte")),
    NAMED_ROW(X509_V_ERR_CA_MD_TOO_WEAK, QT_TRANSLATE_NOOP("ReasonText", "signature de l'autorité trop faible")),
    NAMED_ROW(X509_V_ERR_PATH_LENGTH_EXCEEDED, QT_TRANSLATE_NOOP("ReasonText", "chaîne plus longue que l'autorité ne le permet")),
};

// RFC 8446 names: the ones a peer's log shows.
const Row AlertRows[] = {
    {0, "unexpected_message", QT_TRANSLATE_NOOP("ReasonText", "message inattendu")},
    {0, "bad_record_mac", QT_TRANSLATE_NOOP("ReasonText", "enregistrement altéré")},
    {0, "record_overflow", QT_TRANSLATE_NOOP("ReasonText", "enregistrement trop long")},
    {0, "handshake_failure", QT_TRANSLATE_NOOP("ReasonText", "aucun paramètre de sécurité en commun")},
    {0, "bad_certificate", QT_TRANSLATE_NOOP("ReasonText", "certificat incorrect")},
    {0, "unsupported_certificate", QT_TRANSLATE_NOOP("ReasonText", "type de certificat non pris en charge")},
    {0, "certificate_revoked", QT_TRANSLATE_NOOP("ReasonText", "certificat révoqué")},
    {0, "certificate_expired", QT_TRANSLATE_NOOP("ReasonText", "certificat expiré")},
    {0, "certificate_unknown", QT_TRANSLATE_NOOP("ReasonText", "certificat non accepté")},
    {0, "illegal_parameter", QT_TRANSLATE_NOOP("ReasonText", "paramètre invalide")},
    {0, "unknown_ca", QT_TRANSLATE_NOOP("ReasonText", "autorité inconnue")},
    {0, "access_denied", QT_TRANSLATE_NOOP("ReasonText", "accès refusé")},
    {0, "decode_error", QT_TRANSLATE_NOOP("ReasonText", "message illisible")},
    {0, "decrypt_error", QT_TRANSLATE_NOOP("ReasonText", "vérification cryptographique en échec")},
    {0, "protocol_version", QT_TRANSLATE_NOOP("ReasonText", "version de TLS non prise en charge")},
    {0, "insufficient_security", QT_TRANSLATE_NOOP("ReasonText", "sécurité insuffisante")},
    {0, "internal_error", QT_TRANSLATE_NOOP("ReasonText", "erreur interne")},
    {0, "inappropriate_fallback", QT_TRANSLATE_NOOP("ReasonText", "repli de version refusé")},
    {0, "user_canceled", QT_TRANSLATE_NOOP("ReasonText", "négociation annulée")},
    {0, "missing_extension", QT_TRANSLATE_NOOP("ReasonText", "extension manquante")},
    {0, "unsupported_extension", QT_TRANSLATE_NOOP("ReasonText", "extension non prise en charge")},
    {0, "unrecognized_name", QT_TRANSLATE_NOOP("ReasonText", "nom demandé (SNI) inconnu")},
    {0, "certificate_required", QT_TRANSLATE_NOOP("ReasonText", "certificat du client exigé")},
    {0, "no_application_protocol", QT_TRANSLATE_NOOP("ReasonText", "aucun protocole applicatif en commun")},
};

#undef REASON_ROW
#undef NAMED_ROW

template <size_t N>
const Row *find(const Row (&rows)[N], int code)
{
    for (const Row &row : rows)
        if (row.code == code)
            return &row;
    return nullptr;
}

template <size_t N>
const Row *find(const Row (&rows)[N], const QString &name)
{
    for (const Row &row : rows)
        if (!name.isEmpty() && name == QLatin1String(row.name))
            return &row;
    return nullptr;
}

// The TLS library's words, or that it had none.
QString libraryWords(const QString &text)
{
    return text.isEmpty() ? QCoreApplication::translate("ReasonText", "erreur inconnue") : RowText::escaped(text);
}

QString worded(const Row &row)
{
    return QStringLiteral("%1 (%2)").arg(QCoreApplication::translate("ReasonText", row.text), QLatin1String(row.name));
}

QString sideName(Side side)
{
    return side == Side::Client ? QCoreApplication::translate("ReasonText", "client") : QCoreApplication::translate("ReasonText", "serveur");
}

// Whether the alert's sender turned down the certificate it was shown.
bool blamesCertificate(const QString &alert)
{
    static const QStringList names{QStringLiteral("bad_certificate"),     QStringLiteral("unsupported_certificate"),
                                   QStringLiteral("certificate_revoked"), QStringLiteral("certificate_expired"),
                                   QStringLiteral("certificate_unknown"), QStringLiteral("unknown_ca")};
    return names.contains(alert);
}

} // namespace

QString ReasonText::system(int errorNumber)
{
    if (const Row *row = find(SystemRows, errorNumber))
        return worded(*row);
    // The constant's name, never the system's English sentence.
    const char *name = ::strerrorname_np(errorNumber);
    return name ? tr("erreur système %1 (%2)").arg(errorNumber).arg(QLatin1String(name))
                : tr("erreur système %1").arg(errorNumber);
}

QString ReasonText::certificate(const QString &name, int verifyResult, const QString &libraryText)
{
    if (const Row *row = find(CertificateRows, name))
        return worded(*row);
    return tr("vérification en échec, code %1 (%2)").arg(verifyResult).arg(RowText::escaped(libraryText));
}

QString ReasonText::alert(const QString &name, int alert, Side sender)
{
    const Row *row = find(AlertRows, name);
    const QString what = row ? tr("%1 (alerte TLS %2)").arg(tr(row->text), QLatin1String(row->name))
                             : tr("alerte TLS %1").arg(alert);
    if (row && name == QLatin1String("unknown_ca") && sender == Side::Client)
        return tr("le client refuse le certificat présenté : %1 ; installez-y l'autorité de Dravlin "
                              "(dravlin --export-ca)")
            .arg(what);
    if (row && blamesCertificate(name))
        return tr("le %1 refuse le certificat présenté : %2").arg(sideName(sender), what);
    return tr("le %1 a mis fin à la session TLS : %2").arg(sideName(sender), what);
}

QString ReasonText::describe(const FailureCause &cause, Side peer)
{
    using Kind = FailureCause::Kind;
    switch (cause.kind) {
    case Kind::None:
        break;
    case Kind::System:
        return system(cause.code);
    case Kind::HostNotFound:
        return tr("hôte introuvable : %1").arg(RowText::escaped(cause.text));
    case Kind::AlertReceived:
        return alert(cause.name, cause.code, peer);
    case Kind::CertificateRefused:
        return tr("certificat du %1 refusé : %2 (sujet : %3 ; émetteur : %4)")
            .arg(sideName(peer), certificate(cause.name, cause.code, cause.text), RowText::escaped(cause.subject),
                 RowText::escaped(cause.issuer));
    case Kind::NotTls:
        return tr("le %1 ne parle pas TLS (%2)").arg(sideName(peer), libraryWords(cause.text));
    case Kind::Library:
        return tr("erreur TLS (%1)").arg(libraryWords(cause.text));
    case Kind::ClosedInHandshake:
        return tr("le %1 a fermé la connexion pendant la négociation TLS").arg(sideName(peer));
    case Kind::CutWithoutClose:
        return tr("le pair a coupé la session TLS sans la clore");
    case Kind::HandshakeOverdue:
        return tr("négociation TLS inachevée après %1 s, côté %2")
            .arg(QLocale(QLocale::French).toString(cause.code / 1000.0, 'g', 3), sideName(peer));
    case Kind::RefusedAfterServer:
        return tr("négociation refusée par une alerte, celle avec le serveur ayant échoué");
    case Kind::NoClientCertificate:
        return tr("pas de certificat à présenter au client : %1")
            .arg(cause.inner ? describe(*cause.inner, peer) : libraryWords(QString()));
    default:
        break;
    }
    return startFailure(cause);
}

QString ReasonText::startFailure(const FailureCause &cause)
{
    using Kind = FailureCause::Kind;
    const QString path = RowText::escaped(cause.text);
    const QString words = libraryWords(cause.detail);
    switch (cause.kind) {
    case Kind::TlsOutOfMemory:
        return tr("TLS impossible : mémoire insuffisante");
    case Kind::SystemCasUnreadable:
        return tr("TLS impossible : certificats du système illisibles");
    case Kind::CaFileUnreadable:
        return tr("TLS impossible : fichier de certificats « %1 » illisible").arg(path);
    case Kind::ServerNameUnusable:
        return tr("TLS impossible : nom d'hôte « %1 » inutilisable").arg(path);
    case Kind::CaFolderUncreatable:
        return tr("Impossible de créer le dossier « %1 » : %2").arg(path, words);
    case Kind::CaNotAFolder:
        return tr("« %1 » n'est pas un dossier").arg(path);
    case Kind::CaFolderNotOwned:
        return tr("Le dossier « %1 » appartient à un autre utilisateur").arg(path);
    case Kind::CaFolderUnreservable:
        return tr("Impossible de réserver le dossier « %1 » à son propriétaire").arg(path);
    case Kind::CaFolderUnusable:
        return tr("Impossible d'utiliser le dossier « %1 » : %2").arg(path, words);
    case Kind::CaFolderLocked:
        return tr("Le dossier « %1 » est verrouillé par un autre Dravlin").arg(path);
    case Kind::CaFolderUnlockable:
        return tr("Impossible de verrouiller le dossier « %1 » : %2")
            .arg(path, cause.code == 1 ? tr("permission refusée") : tr("erreur inconnue"));
    case Kind::CaKeyMissing:
        return tr("La clé du certificat CA « %1 » est introuvable ; supprimez « %2 » pour en créer un nouveau")
            .arg(path, RowText::escaped(cause.detail));
    case Kind::CaKeyExposed:
        return tr("La clé « %1 » est accessible à d'autres utilisateurs (chmod 600 attendu) ; elle n'est pas utilisée")
            .arg(path);
    case Kind::CaUnreadable:
        return tr("Lecture du certificat CA impossible : %1").arg(words);
    case Kind::CaMismatched:
        return tr("Le certificat CA de « %1 » est illisible ou ne correspond pas à sa clé").arg(path);
    case Kind::CaExpired:
        return tr("Le certificat CA de « %1 » a expiré ; supprimez ce dossier pour en créer un nouveau").arg(path);
    case Kind::CaUncreatable:
        return tr("Création du certificat CA impossible : %1").arg(words);
    case Kind::LeafUncreatable:
        return tr("Création du certificat présenté au client impossible : %1").arg(words);
    case Kind::FileUnwritable:
        return tr("Impossible d'écrire « %1 » : %2").arg(path, words);
    default:
        break;
    }
    return misfit(cause);
}

QString ReasonText::misfit(const FailureCause &cause)
{
    using Kind = FailureCause::Kind;
    switch (cause.kind) {
    case Kind::TooManyPending:
        return tr("plus de %1 commandes sans réponse").arg(cause.code);
    case Kind::NoKnownProtocol:
        return tr("le serveur ne parle ni SMTP, ni POP3, ni IMAP, ni FTP");
    case Kind::ImapUntaggedCommand:
        return tr("commande sans étiquette avant l'accueil IMAP");
    case Kind::MultilineInterrupted:
        return tr("réponse multiligne du serveur interrompue par une autre");
    case Kind::ReplyWithoutCode:
        return tr("réponse du serveur sans code");
    case Kind::ReplyUnasked:
        return tr("le serveur a répondu sans commande en attente");
    case Kind::Pop3ReplyWithoutStatus:
        return tr("réponse POP3 sans +OK ni -ERR");
    case Kind::TlsWithoutConsent:
        return tr("le client a commencé TLS sans réponse positive reconnue");
    case Kind::ImapUntargetedBad:
        return tr("le serveur a rejeté une commande sans dire laquelle (* BAD)");
    case Kind::Compressed:
        return tr("la suite est compressée (COMPRESS)");
    case Kind::NoDecisiveReply:
        return tr("aucune réponse décisive du serveur en %1 s").arg(cause.code);
    default:
        break;
    }
    return QString();
}

QString ReasonText::technicalName(const FailureCause &cause)
{
    const auto named = [&cause](const Row *row, const char *unknown) -> QString {
        if (row)
            return QLatin1String(row->name);
        return QStringLiteral("%1 %2").arg(QLatin1String(unknown)).arg(cause.code);
    };
    switch (cause.kind) {
    case FailureCause::Kind::System:
        if (const char *name = find(SystemRows, cause.code) ? nullptr : ::strerrorname_np(cause.code))
            return QLatin1String(name);
        return named(find(SystemRows, cause.code), "errno");
    case FailureCause::Kind::CertificateRefused:
        return named(find(CertificateRows, cause.name), "X509_V_ERR");
    case FailureCause::Kind::AlertReceived:
        return named(find(AlertRows, cause.name), "alert");
    default:
        return QString();
    }
}
