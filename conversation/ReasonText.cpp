#include "ReasonText.h"

#include "RowText.h"

#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>

#include <cerrno>
#include <iterator>

namespace {

struct Row {
    int code;
    const char *name; // the technical name, kept for search
    const char *text; // UTF-8
};

// The row's name is its constant's own name.
#define REASON_ROW(code, text) {code, #code, text}

const Row SystemRows[] = {
    REASON_ROW(ECONNREFUSED, "connexion refusée"),
    REASON_ROW(ECONNRESET, "connexion réinitialisée"),
    REASON_ROW(ECONNABORTED, "connexion abandonnée"),
    REASON_ROW(EPIPE, "connexion rompue, le pair ne reçoit plus"),
    REASON_ROW(ETIMEDOUT, "délai dépassé, pas de réponse"),
    REASON_ROW(EHOSTUNREACH, "hôte injoignable"),
    REASON_ROW(EHOSTDOWN, "hôte hors service"),
    REASON_ROW(ENETUNREACH, "réseau injoignable"),
    REASON_ROW(ENETDOWN, "réseau hors service"),
    REASON_ROW(ENETRESET, "connexion coupée par le réseau"),
    REASON_ROW(EADDRINUSE, "adresse déjà utilisée"),
    REASON_ROW(EADDRNOTAVAIL, "adresse locale indisponible"),
    REASON_ROW(EAFNOSUPPORT, "famille d'adresses non prise en charge"),
    REASON_ROW(EACCES, "accès refusé"),
    REASON_ROW(EPERM, "opération interdite (pare-feu ?)"),
    REASON_ROW(EMFILE, "trop de fichiers ouverts par Dravlin"),
    REASON_ROW(ENFILE, "trop de fichiers ouverts sur le système"),
    REASON_ROW(ENOBUFS, "mémoire du système épuisée"),
    REASON_ROW(ENOMEM, "mémoire épuisée"),
};

const Row CertificateRows[] = {
    REASON_ROW(X509_V_ERR_CERT_HAS_EXPIRED, "certificat expiré"),
    REASON_ROW(X509_V_ERR_CERT_NOT_YET_VALID, "certificat pas encore valide"),
    REASON_ROW(X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT, "certificat auto-signé"),
    REASON_ROW(X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN, "chaîne menant à une autorité auto-signée non reconnue"),
    REASON_ROW(X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY, "autorité émettrice inconnue de ce système"),
    REASON_ROW(X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT, "certificat de l'autorité émettrice introuvable"),
    REASON_ROW(X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE, "signature du certificat invérifiable"),
    REASON_ROW(X509_V_ERR_HOSTNAME_MISMATCH, "le nom d'hôte ne correspond pas au certificat"),
    REASON_ROW(X509_V_ERR_IP_ADDRESS_MISMATCH, "l'adresse IP ne correspond pas au certificat"),
    REASON_ROW(X509_V_ERR_EMAIL_MISMATCH, "l'adresse électronique ne correspond pas au certificat"),
    REASON_ROW(X509_V_ERR_CERT_REVOKED, "certificat révoqué"),
    REASON_ROW(X509_V_ERR_CERT_SIGNATURE_FAILURE, "signature du certificat invalide"),
    REASON_ROW(X509_V_ERR_CERT_CHAIN_TOO_LONG, "chaîne de certificats trop longue"),
    REASON_ROW(X509_V_ERR_INVALID_CA, "autorité invalide dans la chaîne"),
    REASON_ROW(X509_V_ERR_INVALID_PURPOSE, "certificat non prévu pour cet usage"),
    REASON_ROW(X509_V_ERR_CERT_UNTRUSTED, "certificat non approuvé"),
    REASON_ROW(X509_V_ERR_CERT_REJECTED, "certificat rejeté"),
    REASON_ROW(X509_V_ERR_EE_KEY_TOO_SMALL, "clé du certificat trop courte"),
    REASON_ROW(X509_V_ERR_CA_KEY_TOO_SMALL, "clé de l'autorité trop courte"),
    REASON_ROW(X509_V_ERR_CA_MD_TOO_WEAK, "signature de l'autorité trop faible"),
    REASON_ROW(X509_V_ERR_PATH_LENGTH_EXCEEDED, "chaîne plus longue que l'autorité ne le permet"),
};

// RFC 8446 names: the ones a peer's log shows.
const Row AlertRows[] = {
    {SSL_AD_UNEXPECTED_MESSAGE, "unexpected_message", "message inattendu"},
    {SSL_AD_BAD_RECORD_MAC, "bad_record_mac", "enregistrement altéré"},
    {SSL_AD_RECORD_OVERFLOW, "record_overflow", "enregistrement trop long"},
    {SSL_AD_HANDSHAKE_FAILURE, "handshake_failure", "aucun paramètre de sécurité en commun"},
    {SSL_AD_BAD_CERTIFICATE, "bad_certificate", "certificat incorrect"},
    {SSL_AD_UNSUPPORTED_CERTIFICATE, "unsupported_certificate", "type de certificat non pris en charge"},
    {SSL_AD_CERTIFICATE_REVOKED, "certificate_revoked", "certificat révoqué"},
    {SSL_AD_CERTIFICATE_EXPIRED, "certificate_expired", "certificat expiré"},
    {SSL_AD_CERTIFICATE_UNKNOWN, "certificate_unknown", "certificat non accepté"},
    {SSL_AD_ILLEGAL_PARAMETER, "illegal_parameter", "paramètre invalide"},
    {SSL_AD_UNKNOWN_CA, "unknown_ca", "autorité inconnue"},
    {SSL_AD_ACCESS_DENIED, "access_denied", "accès refusé"},
    {SSL_AD_DECODE_ERROR, "decode_error", "message illisible"},
    {SSL_AD_DECRYPT_ERROR, "decrypt_error", "vérification cryptographique en échec"},
    {SSL_AD_PROTOCOL_VERSION, "protocol_version", "version de TLS non prise en charge"},
    {SSL_AD_INSUFFICIENT_SECURITY, "insufficient_security", "sécurité insuffisante"},
    {SSL_AD_INTERNAL_ERROR, "internal_error", "erreur interne"},
    {SSL_AD_INAPPROPRIATE_FALLBACK, "inappropriate_fallback", "repli de version refusé"},
    {SSL_AD_USER_CANCELLED, "user_canceled", "négociation annulée"},
    {SSL_AD_MISSING_EXTENSION, "missing_extension", "extension manquante"},
    {SSL_AD_UNSUPPORTED_EXTENSION, "unsupported_extension", "extension non prise en charge"},
    {SSL_AD_UNRECOGNIZED_NAME, "unrecognized_name", "nom demandé (SNI) inconnu"},
    {SSL_AD_CERTIFICATE_REQUIRED, "certificate_required", "certificat du client exigé"},
    {SSL_AD_NO_APPLICATION_PROTOCOL, "no_application_protocol", "aucun protocole applicatif en commun"},
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
    return QStringLiteral("%1 (%2)").arg(QString::fromUtf8(row.text), QLatin1String(row.name));
}

QString sideName(Side side)
{
    return side == Side::Client ? QStringLiteral("client") : QStringLiteral("serveur");
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

QString ReasonText::system(int errorNumber, const QString &systemText)
{
    if (const Row *row = find(SystemRows, errorNumber))
        return worded(*row);
    return QStringLiteral("erreur système %1 (%2)").arg(errorNumber).arg(RowText::escaped(systemText));
}

QString ReasonText::certificate(int verifyResult, const QString &libraryText)
{
    if (const Row *row = find(CertificateRows, verifyResult))
        return worded(*row);
    return QStringLiteral("vérification en échec, code %1 (%2)").arg(verifyResult).arg(RowText::escaped(libraryText));
}

QString ReasonText::alert(int alert, Side sender)
{
    const Row *row = find(AlertRows, alert);
    const QString what = row ? QStringLiteral("%1 (alerte TLS %2)").arg(QString::fromUtf8(row->text), QLatin1String(row->name))
                             : QStringLiteral("alerte TLS %1").arg(alert);
    if (alert == SSL_AD_UNKNOWN_CA && sender == Side::Client)
        return QStringLiteral("le client refuse le certificat présenté : %1 ; installez-y l'autorité de Dravlin "
                              "(dravlin --export-ca)")
            .arg(what);
    if (blamesCertificate(alert))
        return QStringLiteral("le %1 refuse le certificat présenté : %2").arg(sideName(sender), what);
    return QStringLiteral("le %1 a mis fin à la session TLS : %2").arg(sideName(sender), what);
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
        return system(cause.code, cause.text);
    case Kind::HostNotFound:
        return QStringLiteral("hôte introuvable : %1").arg(RowText::escaped(cause.text));
    case Kind::AlertReceived:
        return alert(cause.code, peer);
    case Kind::CertificateRefused:
        return QStringLiteral("certificat du %1 refusé : %2 (sujet : %3 ; émetteur : %4)")
            .arg(sideName(peer), certificate(cause.code, cause.text), RowText::escaped(cause.subject),
                 RowText::escaped(cause.issuer));
    case Kind::NotTls:
        return QStringLiteral("le %1 ne parle pas TLS (%2)").arg(sideName(peer), RowText::escaped(cause.text));
    case Kind::Library:
        return QStringLiteral("erreur TLS (%1)").arg(RowText::escaped(cause.text));
    case Kind::ClosedInHandshake:
        return QStringLiteral("le %1 a fermé la connexion pendant la négociation TLS").arg(sideName(peer));
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
        return named(find(SystemRows, cause.code), "errno");
    case FailureCause::Kind::CertificateRefused:
        return named(find(CertificateRows, cause.code), "X509_V_ERR");
    case FailureCause::Kind::AlertReceived:
        return named(find(AlertRows, cause.code), "alert");
    default:
        return QString();
    }
}
