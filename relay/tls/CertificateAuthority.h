#ifndef DRAVLIN_CERTIFICATEAUTHORITY_H
#define DRAVLIN_CERTIFICATEAUTHORITY_H

#include "FailureCause.h"

#include <QByteArray>
#include <QHash>
#include <QString>
#include <QStringList>

#include <openssl/types.h>

#include <memory>

// A certificate and its private key, shared by reference count.
struct KeyedCertificate {
    std::shared_ptr<X509> certificate;
    std::shared_ptr<EVP_PKEY> key;
    bool isNull() const { return !certificate || !key; }
};

// Dravlin's own certificate authority: the certificate a client is shown when
// its TLS is inspected is signed by it, so a user who trusts it once sees no
// warning afterwards.
//
// The CA lives in one folder (mode 0700): ca.crt, and ca.key (mode 0600). It is
// made on first use and reused by later runs. Leaf keys stay in memory.
// Failures come back as causes for the front ends to word; no file is ever
// left half-written.
class CertificateAuthority
{
public:
    // CA and leaves: ECDSA on P-256, signed with SHA-256.
    static constexpr int CaValidityDays = 3650;
    static constexpr int LeafValidityDays = 7;
    // Start of validity moved back so that a client whose clock is late accepts it.
    static constexpr int BackdateSeconds = 3600;
    // Names a client may choose (its SNI) must not grow the cache without bound.
    static constexpr int LeafCacheSize = 64;

    // $XDG_DATA_HOME/dravlin, by default ~/.local/share/dravlin.
    static QString defaultDirectory();

    explicit CertificateAuthority(const QString &directory = defaultDirectory());
    ~CertificateAuthority();
    CertificateAuthority(const CertificateAuthority &) = delete;
    CertificateAuthority &operator=(const CertificateAuthority &) = delete;

    QString directory() const { return m_directory; }
    QString certificatePath() const;
    QString keyPath() const;

    // Loads the CA, making it first when there is none. None once ready, else why not.
    FailureCause ensure();
    bool isReady() const { return !m_ca.isNull(); }
    KeyedCertificate authority() const { return m_ca; }

    // A certificate for these hosts (names and addresses, in any order), plus
    // localhost, 127.0.0.1 and ::1; names that are not host names are left
    // out. The same set gives the same leaf while it has more than a day left.
    KeyedCertificate issueLeaf(const QStringList &hosts, FailureCause *error = nullptr);

    // Writes the CA certificate as PEM, making the CA if needed. None or why not.
    FailureCause exportCertificate(const QString &path);

private:
    FailureCause load();
    FailureCause create();

    QString m_directory;
    KeyedCertificate m_ca;
    QHash<QString, KeyedCertificate> m_leaves;
};

#endif
