#ifndef DRAVLIN_FAILURECAUSE_H
#define DRAVLIN_FAILURECAUSE_H

#include <QString>

// Why a connection or a TLS session failed, as the system, the TLS library or
// the peer said it: codes rather than sentences, so that the front ends word
// every cause from one table, in French, and keep the technical name beside it.
struct FailureCause
{
    enum class Kind : quint8 {
        None,
        Said,               // text: the relay's own sentence, already in French
        System,             // code: an errno value; text: the system's own words
        HostNotFound,       // text: the host name looked up
        AlertReceived,      // code: the TLS alert the peer sent (RFC 8446 numbering)
        CertificateRefused, // code: the X509 verification result; subject, issuer: the certificate found wanting
        NotTls,             // text: the TLS library's words for what it read instead
        Library,            // text: the TLS library's words
        ClosedInHandshake,  // the peer closed the connection before the handshake was over
    };

    Kind kind = Kind::None;
    int code = 0;
    QString text;
    QString subject; // as the peer's certificate has them: text a peer chose
    QString issuer;

    static FailureCause said(const QString &sentence) { return {Kind::Said, 0, sentence, {}, {}}; }
};

#endif
