#include "TlsNames.h"

#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>

namespace {

struct Named {
    int code;
    const char *name;
};

#define NAMED(code) {code, #code}

const Named VerifyResults[] = {
    NAMED(X509_V_ERR_CERT_HAS_EXPIRED),
    NAMED(X509_V_ERR_CERT_NOT_YET_VALID),
    NAMED(X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT),
    NAMED(X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN),
    NAMED(X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY),
    NAMED(X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT),
    NAMED(X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE),
    NAMED(X509_V_ERR_HOSTNAME_MISMATCH),
    NAMED(X509_V_ERR_IP_ADDRESS_MISMATCH),
    NAMED(X509_V_ERR_EMAIL_MISMATCH),
    NAMED(X509_V_ERR_CERT_REVOKED),
    NAMED(X509_V_ERR_CERT_SIGNATURE_FAILURE),
    NAMED(X509_V_ERR_CERT_CHAIN_TOO_LONG),
    NAMED(X509_V_ERR_INVALID_CA),
    NAMED(X509_V_ERR_INVALID_PURPOSE),
    NAMED(X509_V_ERR_CERT_UNTRUSTED),
    NAMED(X509_V_ERR_CERT_REJECTED),
    NAMED(X509_V_ERR_EE_KEY_TOO_SMALL),
    NAMED(X509_V_ERR_CA_KEY_TOO_SMALL),
    NAMED(X509_V_ERR_CA_MD_TOO_WEAK),
    NAMED(X509_V_ERR_PATH_LENGTH_EXCEEDED),
};

#undef NAMED

// As RFC 8446 spells them: the names a peer's own log shows.
const Named Alerts[] = {
    {SSL_AD_UNEXPECTED_MESSAGE, "unexpected_message"},
    {SSL_AD_BAD_RECORD_MAC, "bad_record_mac"},
    {SSL_AD_RECORD_OVERFLOW, "record_overflow"},
    {SSL_AD_HANDSHAKE_FAILURE, "handshake_failure"},
    {SSL_AD_BAD_CERTIFICATE, "bad_certificate"},
    {SSL_AD_UNSUPPORTED_CERTIFICATE, "unsupported_certificate"},
    {SSL_AD_CERTIFICATE_REVOKED, "certificate_revoked"},
    {SSL_AD_CERTIFICATE_EXPIRED, "certificate_expired"},
    {SSL_AD_CERTIFICATE_UNKNOWN, "certificate_unknown"},
    {SSL_AD_ILLEGAL_PARAMETER, "illegal_parameter"},
    {SSL_AD_UNKNOWN_CA, "unknown_ca"},
    {SSL_AD_ACCESS_DENIED, "access_denied"},
    {SSL_AD_DECODE_ERROR, "decode_error"},
    {SSL_AD_DECRYPT_ERROR, "decrypt_error"},
    {SSL_AD_PROTOCOL_VERSION, "protocol_version"},
    {SSL_AD_INSUFFICIENT_SECURITY, "insufficient_security"},
    {SSL_AD_INTERNAL_ERROR, "internal_error"},
    {SSL_AD_INAPPROPRIATE_FALLBACK, "inappropriate_fallback"},
    {SSL_AD_USER_CANCELLED, "user_canceled"},
    {SSL_AD_MISSING_EXTENSION, "missing_extension"},
    {SSL_AD_UNSUPPORTED_EXTENSION, "unsupported_extension"},
    {SSL_AD_UNRECOGNIZED_NAME, "unrecognized_name"},
    {SSL_AD_CERTIFICATE_REQUIRED, "certificate_required"},
    {SSL_AD_NO_APPLICATION_PROTOCOL, "no_application_protocol"},
};

template <size_t N>
QString nameIn(const Named (&table)[N], int code)
{
    for (const Named &row : table)
        if (row.code == code)
            return QLatin1String(row.name);
    return {};
}

} // namespace

QString TlsNames::alert(int alert)
{
    return nameIn(Alerts, alert);
}

QString TlsNames::verifyResult(int result)
{
    return nameIn(VerifyResults, result);
}
