#ifndef DRAVLIN_REASONTEXT_H
#define DRAVLIN_REASONTEXT_H

#include "FailureCause.h"
#include "Side.h"

#include <QCoreApplication>
#include <QString>

// Why something failed, in French, from one table of the system's errors,
// the TLS alerts and the certificate checks, each with its technical name in
// brackets so that it can still be searched for: "certificat expiré
// (X509_V_ERR_CERT_HAS_EXPIRED)". What a peer chose in it (a name, a
// certificate's subject) comes escaped, safe to show anywhere.
class ReasonText
{
    Q_DECLARE_TR_FUNCTIONS(ReasonText)

public:
    // peer is the side that failed, sent the alert or showed the certificate.
    static QString describe(const FailureCause &cause, Side peer);
    // A cause that concerns no peer: the CA, a file.
    static QString describe(const FailureCause &cause) { return describe(cause, Side::Client); }
    // "connexion refusée (ECONNREFUSED)"; for an errno the table does not know,
    // its number and name ("erreur système 95 (EOPNOTSUPP)"): never the
    // system's own sentence, which is English.
    static QString system(int errorNumber);
    // An X509 verification result, by its constant's name; its code and the
    // library's words for one the table does not know.
    static QString certificate(const QString &name, int verifyResult, const QString &libraryText);
    // An alert received from sender, by its RFC name; its number for one the table does not know.
    static QString alert(const QString &name, int alert, Side sender);
    // The cause's name alone, as the system or the TLS library calls it:
    // "ECONNREFUSED", "X509_V_ERR_CERT_HAS_EXPIRED", "unknown_ca"; the code
    // for one the tables do not know; empty for a cause that has none.
    static QString technicalName(const FailureCause &cause);

private:
    // What kept TLS or the CA from starting; what the upgrade watch could not follow.
    static QString startFailure(const FailureCause &cause);
    static QString misfit(const FailureCause &cause);
};

#endif
