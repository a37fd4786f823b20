#ifndef DRAVLIN_TLSNAMES_H
#define DRAVLIN_TLSNAMES_H

#include <QString>

// The technical names of what the TLS library reports, as plain text for the
// events: whoever words a failure needs no TLS header to name it.
class TlsNames
{
public:
    // "unknown_ca": the RFC 8446 name of an alert; empty for one not named here.
    static QString alert(int alert);
    // "X509_V_ERR_CERT_HAS_EXPIRED": the constant's name of a verification
    // result; empty for one not named here.
    static QString verifyResult(int result);
};

#endif
