#include "ReasonText.h"

#include "RowText.h"

#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>

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
    REASON_ROW(X509_V_ERR_CERT_HAS_EXPIRED, QT_TRANSLATE_NOOP("ReasonText", "certificat expiré")),
    REASON_ROW(X509_V_ERR_CERT_NOT_YET_VALID, QT_TRANSLATE_NOOP("ReasonText", "certificat pas encore valide")),
    REASON_ROW(X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT, QT_TRANSLATE_NOOP("ReasonText", "certificat auto-signé")),
    REASON_ROW(X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN, QT_TRANSLATE_NOOP("ReasonText", "chaîne menant à une autorité auto-signée non reconnue")),
    REASON_ROW(X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY, QT_TRANSLATE_NOOP("ReasonText", "autorité émettrice inconnue de ce système")),
    REASON_ROW(X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT, QT_TRANSLATE_NOOP("ReasonText", "certificat de l'autorité émettrice introuvable")),
    REASON_ROW(X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE, QT_TRANSLATE_NOOP("ReasonText", "signature du certificat invérifiable")),
    REASON_ROW(X509_V_ERR_HOSTNAME_MISMATCH, QT_TRANSLATE_NOOP("ReasonText", "le nom d'hôte ne correspond pas au certificat")),
    REASON_ROW(X509_V_ERR_IP_ADDRESS_MISMATCH, QT_TRANSLATE_NOOP("ReasonText", "l'adresse IP ne correspond pas au certificat")),
    REASON_ROW(X509_V_ERR_EMAIL_MISMATCH, QT_TRANSLATE_NOOP("ReasonText", "l'adresse électronique ne correspond pas au certificat")),
    REASON_ROW(X509_V_ERR_CERT_REVOKED, QT_TRANSLATE_NOOP("ReasonText", "certificat révoqué")),
    REASON_ROW(X509_V_ERR_CERT_SIGNATURE_FAILURE, QT_TRANSLATE_NOOP("ReasonText", "signature du certificat invalide")),
    REASON_ROW(X509_V_ERR_CERT_CHAIN_TOO_LONG, QT_TRANSLATE_NOOP("ReasonText", "chaîne de certificats trop longue")),
    REASON_ROW(X509_V_ERR_INVALID_CA, QT_TRANSLATE_NOOP("ReasonText", "autorité invalide dans la chaîne")),
    REASON_ROW(X509_V_ERR_INVALID_PURPOSE, QT_TRANSLATE_NOOP("ReasonText", "certificat non prévu pour cet usage")),
    REASON_ROW(X509_V_ERR_CERT_UNTRUSTED, QT_TRANSLATE_NOOP("ReasonText", "certificat non approuvé")),
    REASON_ROW(X509_V_ERR_CERT_REJECTED, QT_TRANSLATE_NOOP("ReasonText", "certificat rejeté")),
    REASON_ROW(X509_V_ERR_EE_KEY_TOO_SMALL, QT_TRANSLATE_NOOP("ReasonText", "clé du certificat trop courte")),
    REASON_ROW(X509_V_ERR_CA_KEY_TOO_SMALL, QT_TRANSLATE_NOOP("ReasonText", "clé de l'autorité trop courte")),
    REASON_ROW(X509_V_ERR_CA_MD_TOO_WEAK, QT_TRANSLATE_NOOP("ReasonText", "signature de l'autorité trop faible")),
    REASON_ROW(X509_V_ERR_PATH_LENGTH_EXCEEDED, QT_TRANSLATE_NOOP("ReasonText", "chaîne plus longue que l'autorité ne le permet")),
};

// RFC 8446 names: the ones a peer's log shows.
const Row AlertRows[] = {
    {SSL_AD_UNEXPECTED_MESSAGE, "unexpected_message", QT_TRANSLATE_NOOP("ReasonText", "message inattendu")},
    {SSL_AD_BAD_RECORD_MAC, "bad_record_mac", QT_TRANSLATE_NOOP("ReasonText", "enregistrement altéré")},
    {SSL_AD_RECORD_OVERFLOW, "record_overflow", QT_TRANSLATE_NOOP("ReasonText", "enregistrement trop long")},
    {SSL_AD_HANDSHAKE_FAILURE, "handshake_failure", QT_TRANSLATE_NOOP("ReasonText", "aucun paramètre de sécurité en commun")},
    {SSL_AD_BAD_CERTIFICATE, "bad_certificate", QT_TRANSLATE_NOOP("ReasonText", "certificat incorrect")},
    {SSL_AD_UNSUPPORTED_CERTIFICATE, "unsupported_certificate", QT_TRANSLATE_NOOP("ReasonText", "type de certificat non pris en charge")},
    {SSL_AD_CERTIFICATE_REVOKED, "certificate_revoked", QT_TRANSLATE_NOOP("ReasonText", "certificat révoqué")},
    {SSL_AD_CERTIFICATE_EXPIRED, "certificate_expired", QT_TRANSLATE_NOOP("ReasonText", "certificat expiré")},
    {SSL_AD_CERTIFICATE_UNKNOWN, "certificate_unknown", QT_TRANSLATE_NOOP("ReasonText", "certificat non accepté")},
    {SSL_AD_ILLEGAL_PARAMETER, "illegal_parameter", QT_TRANSLATE_NOOP("ReasonText", "paramètre invalide")},
    {SSL_AD_UNKNOWN_CA, "unknown_ca", QT_TRANSLATE_NOOP("ReasonText", "autorité inconnue")},
    {SSL_AD_ACCESS_DENIED, "access_denied", QT_TRANSLATE_NOOP("ReasonText", "accès refusé")},
    {SSL_AD_DECODE_ERROR, "decode_error", QT_TRANSLATE_NOOP("ReasonText", "message illisible")},
    {SSL_AD_DECRYPT_ERROR, "decrypt_error", QT_TRANSLATE_NOOP("ReasonText", "vérification cryptographique en échec")},
    {SSL_AD_PROTOCOL_VERSION, "protocol_version", QT_TRANSLATE_NOOP("ReasonText", "version de TLS non prise en charge")},
    {SSL_AD_INSUFFICIENT_SECURITY, "insufficient_security", QT_TRANSLATE_NOOP("ReasonText", "sécurité insuffisante")},
    {SSL_AD_INTERNAL_ERROR, "internal_error", QT_TRANSLATE_NOOP("ReasonText", "erreur interne")},
    {SSL_AD_INAPPROPRIATE_FALLBACK, "inappropriate_fallback", QT_TRANSLATE_NOOP("ReasonText", "repli de version refusé")},
    {SSL_AD_USER_CANCELLED, "user_canceled", QT_TRANSLATE_NOOP("ReasonText", "négociation annulée")},
    {SSL_AD_MISSING_EXTENSION, "missing_extension", QT_TRANSLATE_NOOP("ReasonText", "extension manquante")},
    {SSL_AD_UNSUPPORTED_EXTENSION, "unsupported_extension", QT_TRANSLATE_NOOP("ReasonText", "extension non prise en charge")},
    {SSL_AD_UNRECOGNIZED_NAME, "unrecognized_name", QT_TRANSLATE_NOOP("ReasonText", "nom demandé (SNI) inconnu")},
    {SSL_AD_CERTIFICATE_REQUIRED, "certificate_required", QT_TRANSLATE_NOOP("ReasonText", "certificat du client exigé")},
    {SSL_AD_NO_APPLICATION_PROTOCOL, "no_application_protocol", QT_TRANSLATE_NOOP("ReasonText", "aucun protocole applicatif en commun")},
};

#undef REASON_ROW

template <size_t N>
const Row *find(const Row (&rows)[N], int code)
{
    for (const Row &row : rows)
        if (row.code == code)
            return &row;
    return nullptr;
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
bool blamesCertificate(int alert)
{
    switch (alert) {
    case SSL_AD_BAD_CERTIFICATE:
    case SSL_AD_UNSUPPORTED_CERTIFICATE:
    case SSL_AD_CERTIFICATE_REVOKED:
    case SSL_AD_CERTIFICATE_EXPIRED:
    case SSL_AD_CERTIFICATE_UNKNOWN:
    case SSL_AD_UNKNOWN_CA:
        return true;
    default:
        return false;
    }
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

QString ReasonText::certificate(int verifyResult, const QString &libraryText)
{
    if (const Row *row = find(CertificateRows, verifyResult))
        return worded(*row);
    return tr("vérification en échec, code %1 (%2)").arg(verifyResult).arg(RowText::escaped(libraryText));
}

QString ReasonText::alert(int alert, Side sender)
{
    const Row *row = find(AlertRows, alert);
    const QString what = row ? tr("%1 (alerte TLS %2)").arg(tr(row->text), QLatin1String(row->name))
                             : tr("alerte TLS %1").arg(alert);
    if (alert == SSL_AD_UNKNOWN_CA && sender == Side::Client)
        return tr("le client refuse le certificat présenté : %1 ; installez-y l'autorité de Dravlin "
                              "(dravlin --export-ca)")
            .arg(what);
    if (blamesCertificate(alert))
        return tr("le %1 refuse le certificat présenté : %2").arg(sideName(sender), what);
    return tr("le %1 a mis fin à la session TLS : %2").arg(sideName(sender), what);
}

QString ReasonText::describe(const FailureCause &cause, Side peer)
{
    using Kind = FailureCause::Kind;
    switch (cause.kind) {
    case Kind::None:
        break;
    case Kind::Said:
        return RowText::escaped(cause.text);
    case Kind::System:
        return system(cause.code);
    case Kind::HostNotFound:
        return tr("hôte introuvable : %1").arg(RowText::escaped(cause.text));
    case Kind::AlertReceived:
        return alert(cause.code, peer);
    case Kind::CertificateRefused:
        return tr("certificat du %1 refusé : %2 (sujet : %3 ; émetteur : %4)")
            .arg(sideName(peer), certificate(cause.code, cause.text), RowText::escaped(cause.subject),
                 RowText::escaped(cause.issuer));
    case Kind::NotTls:
        return tr("le %1 ne parle pas TLS (%2)").arg(sideName(peer), RowText::escaped(cause.text));
    case Kind::Library:
        return tr("erreur TLS (%1)").arg(RowText::escaped(cause.text));
    case Kind::ClosedInHandshake:
        return tr("le %1 a fermé la connexion pendant la négociation TLS").arg(sideName(peer));
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
        return named(find(CertificateRows, cause.code), "X509_V_ERR");
    case FailureCause::Kind::AlertReceived:
        return named(find(AlertRows, cause.code), "alert");
    default:
        return QString();
    }
}
