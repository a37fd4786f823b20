#ifndef DRAVLIN_TLSSUMMARY_H
#define DRAVLIN_TLSSUMMARY_H

#include <QString>

// What a TLS handshake settled, as plain data for whoever shows it.
struct TlsSummary
{
    QString protocol;        // "TLSv1.3"
    QString cipher;          // "TLS_AES_256_GCM_SHA384"
    QString serverName;      // facing a client: its SNI; facing a server: the SNI sent
    QString peerSubject;     // the server's certificate, RFC 2253
    QString peerIssuer;
    QString peerFingerprint; // SHA-256, "AB:CD:..."
    bool peerVerified = false;
    int verifyResult = 0;    // X509_V_OK, or the first reason found against it
    QString verifyError;     // the TLS library's words for it
    QString verifyName;      // its constant's name, "X509_V_ERR_CERT_HAS_EXPIRED"; empty when unnamed
};

#endif
