#include "CertificateAuthority.h"

#include "OwnerOnlyFiles.h"
#include "PrivateSaveFile.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QStandardPaths>
#include <QUrl>

#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <ctime>

namespace {

constexpr QFile::Permissions OwnerOnlyDir = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner;
constexpr QFile::Permissions Others = QFile::ReadGroup | QFile::WriteGroup | QFile::ExeGroup | QFile::ReadOther
    | QFile::WriteOther | QFile::ExeOther;
constexpr int LockWaitMs = 10000;
constexpr long SecondsPerDay = 24L * 3600;
// The longest common name a certificate may hold (ub-common-name, RFC 5280).
constexpr int CommonNameLength = 64;

struct BioFree {
    void operator()(BIO *bio) const { BIO_free(bio); }
};
using BioPtr = std::unique_ptr<BIO, BioFree>;

std::shared_ptr<X509> own(X509 *certificate)
{
    return {certificate, X509_free};
}

std::shared_ptr<EVP_PKEY> own(EVP_PKEY *key)
{
    return {key, EVP_PKEY_free};
}

// The last libcrypto error, for a message a user can pass on; empty when the
// library has no words for it.
QString cryptoError()
{
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    const char *reason = code ? ERR_reason_error_string(code) : nullptr;
    return reason ? QString::fromLatin1(reason) : QString();
}

FailureCause failed(FailureCause::Kind kind, const QString &path, const QString &detail = {})
{
    return FailureCause::about(kind, QDir::toNativeSeparators(path), detail);
}

QByteArray bioBytes(BIO *bio)
{
    char *data = nullptr;
    const long size = BIO_get_mem_data(bio, &data);
    return size > 0 ? QByteArray(data, size) : QByteArray();
}

// A read-only BIO over bytes; null when libcrypto has no memory for it.
BioPtr readerOf(const QByteArray &bytes)
{
    return BioPtr(BIO_new_mem_buf(bytes.constData(), static_cast<int>(bytes.size())));
}

bool setSerial(X509 *certificate)
{
    // 127 random bits: unique per certificate and positive once encoded.
    BIGNUM *number = BN_new();
    const bool ok = number && BN_rand(number, 127, BN_RAND_TOP_ANY, BN_RAND_BOTTOM_ANY)
        && BN_to_ASN1_INTEGER(number, X509_get_serialNumber(certificate));
    BN_free(number);
    return ok;
}

bool addExtension(X509 *certificate, X509 *issuer, int nid, const char *value)
{
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, issuer, certificate, nullptr, nullptr, 0);
    X509_EXTENSION *extension = X509V3_EXT_nconf_nid(nullptr, &context, nid, value);
    const bool ok = extension && X509_add_ext(certificate, extension, -1);
    X509_EXTENSION_free(extension);
    return ok;
}

bool setName(X509_NAME *name, const QByteArray &commonName)
{
    const auto add = [name](const char *field, const QByteArray &value) {
        return X509_NAME_add_entry_by_txt(name, field, MBSTRING_UTF8,
                                          reinterpret_cast<const unsigned char *>(value.constData()),
                                          static_cast<int>(value.size()), -1, 0);
    };
    return add("O", "Dravlin") && add("CN", commonName);
}

// Gives certificate a serial, a validity
// from an hour ago to days ahead (never past notAfterCap) and its public key.
bool fill(X509 *certificate, EVP_PKEY *subjectKey, int days, const ASN1_TIME *notAfterCap)
{
    if (!X509_set_version(certificate, X509_VERSION_3) || !setSerial(certificate)
        || !X509_gmtime_adj(X509_getm_notBefore(certificate), -CertificateAuthority::BackdateSeconds)
        || !X509_gmtime_adj(X509_getm_notAfter(certificate), days * SecondsPerDay)
        || !X509_set_pubkey(certificate, subjectKey))
        return false;
    if (notAfterCap && ASN1_TIME_compare(X509_get0_notAfter(certificate), notAfterCap) > 0
        && !X509_set1_notAfter(certificate, notAfterCap))
        return false;
    return true;
}

EVP_PKEY *newKey()
{
    return EVP_EC_gen("P-256");
}

// A host as it goes into a certificate: an address's bytes, or a lower-case
// ASCII name made only of letters, digits, '-', '_' and dots. Anything else
// (a client's SNI is whatever it chose to send) is refused, empty.
struct HostName {
    QByteArray address; // 4 or 16 bytes
    QByteArray name;
    bool isNull() const { return address.isEmpty() && name.isEmpty(); }
    QByteArray key() const { return address.isEmpty() ? name : address.toHex(); }
};

HostName parseHost(QString host)
{
    host = host.trimmed();
    if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']')))
        host = host.mid(1, host.size() - 2);
    HostName out;
    if (host.isEmpty())
        return out;
    if (ASN1_OCTET_STRING *ip = a2i_IPADDRESS(host.toLatin1().constData())) {
        out.address = QByteArray(reinterpret_cast<const char *>(ASN1_STRING_get0_data(ip)), ASN1_STRING_length(ip));
        ASN1_OCTET_STRING_free(ip);
        return out;
    }
    ERR_clear_error();
    QByteArray name = QUrl::toAce(host).toLower();
    if (name.endsWith('.'))
        name.chop(1);
    if (name.isEmpty() || name.size() > 253)
        return out;
    for (const QByteArray &label : name.split('.')) {
        if (label.isEmpty() || label.size() > 63)
            return out;
        for (const char c : label) {
            if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_'))
                return out;
        }
    }
    out.name = name;
    return out;
}

bool addAltNames(X509 *certificate, const QList<HostName> &hosts)
{
    GENERAL_NAMES *names = sk_GENERAL_NAME_new_null();
    bool ok = names != nullptr;
    for (const HostName &host : hosts) {
        if (!ok)
            break;
        ASN1_STRING *value = ASN1_STRING_type_new(host.address.isEmpty() ? V_ASN1_IA5STRING : V_ASN1_OCTET_STRING);
        const QByteArray &bytes = host.address.isEmpty() ? host.name : host.address;
        GENERAL_NAME *entry = GENERAL_NAME_new();
        ok = value && entry && ASN1_STRING_set(value, bytes.constData(), static_cast<int>(bytes.size()));
        if (ok) {
            GENERAL_NAME_set0_value(entry, host.address.isEmpty() ? GEN_DNS : GEN_IPADD, value);
            value = nullptr;
            ok = sk_GENERAL_NAME_push(names, entry) > 0;
            if (ok)
                entry = nullptr;
        }
        ASN1_STRING_free(value);
        GENERAL_NAME_free(entry);
    }
    ok = ok && X509_add1_ext_i2d(certificate, NID_subject_alt_name, names, 0, X509V3_ADD_DEFAULT) == 1;
    GENERAL_NAMES_free(names);
    return ok;
}

FailureCause saveFailed(const QString &path, const QString &why)
{
    return failed(FailureCause::Kind::FileUnwritable, path, why);
}

// Written whole or not at all, mode 0600 from its creation (the key is never
// readable by others, even for an instant), and put in place by a rename that
// replaces a link at path rather than writing where it leads. The bytes given
// are wiped afterwards: they may be a key.
FailureCause saveFile(const QString &path, QByteArray &bytes)
{
    PrivateSaveFile file(path);
    const bool saved = file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.commit();
    OPENSSL_cleanse(bytes.data(), static_cast<size_t>(bytes.size()));
    return saved ? FailureCause() : saveFailed(path, file.errorString());
}

FailureCause ownerOnlyFolder(const QString &directory)
{
    using Kind = FailureCause::Kind;
    const QFileInfo info(directory);
    if (!info.exists()) {
        QString why;
        if (!OwnerOnlyFiles::makeFolder(directory, &why))
            return failed(Kind::CaFolderUncreatable, directory, why);
        return {};
    }
    if (!info.isDir())
        return failed(Kind::CaNotAFolder, directory);
    if (!OwnerOnlyFiles::isOwnedByCurrentUser(directory))
        return failed(Kind::CaFolderNotOwned, directory);
    // Ours but opened wider, by hand or by an older copy: close it again.
    if ((info.permissions() & Others) && !QFile::setPermissions(directory, OwnerOnlyDir))
        return failed(Kind::CaFolderUnreservable, directory);
    if (const QString why = OwnerOnlyFiles::folderProblem(directory); !why.isEmpty())
        return failed(Kind::CaFolderUnusable, directory, why);
    return {};
}

} // namespace

QString CertificateAuthority::defaultDirectory()
{
    // A relative XDG_DATA_HOME is to be ignored (XDG base directory rules):
    // it would name a different folder from each working directory.
    const QString dataHome = qEnvironmentVariable("XDG_DATA_HOME");
    if (!dataHome.isEmpty() && QDir::isRelativePath(dataHome))
        return QDir::homePath() + QStringLiteral("/.local/share/dravlin");
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + QStringLiteral("/dravlin");
}

CertificateAuthority::CertificateAuthority(const QString &directory)
    : m_directory(directory)
{
}

CertificateAuthority::~CertificateAuthority() = default;

QString CertificateAuthority::certificatePath() const
{
    return m_directory + QStringLiteral("/ca.crt");
}

QString CertificateAuthority::keyPath() const
{
    return m_directory + QStringLiteral("/ca.key");
}

FailureCause CertificateAuthority::ensure()
{
    if (isReady())
        return {};
    if (FailureCause error = ownerOnlyFolder(m_directory); !error.isNone())
        return error;
    // Two runs starting together must not each make half of a CA.
    QLockFile lock(m_directory + QStringLiteral("/ca.lock"));
    if (!lock.tryLock(LockWaitMs)) {
        if (lock.error() == QLockFile::LockFailedError)
            return failed(FailureCause::Kind::CaFolderLocked, m_directory);
        FailureCause unlockable = failed(FailureCause::Kind::CaFolderUnlockable, m_directory);
        unlockable.code = lock.error() == QLockFile::PermissionError ? 1 : 0;
        return unlockable;
    }
    // The certificate is renamed into place last: without it there is no CA
    // yet (at most a key left by a run that died while making one).
    return QFileInfo::exists(certificatePath()) ? load() : create();
}

FailureCause CertificateAuthority::load()
{
    using Kind = FailureCause::Kind;
    const QString keyFile = keyPath();
    const QFileInfo keyInfo(keyFile);
    if (!keyInfo.exists())
        return failed(Kind::CaKeyMissing, keyFile, QDir::toNativeSeparators(certificatePath()));
    if (!OwnerOnlyFiles::isOwnedByCurrentUser(keyFile) || (keyInfo.permissions() & Others))
        return failed(Kind::CaKeyExposed, keyFile);

    QFile certFile(certificatePath());
    QFile key(keyFile);
    if (!certFile.open(QIODevice::ReadOnly) || !key.open(QIODevice::ReadOnly))
        return failed(Kind::CaUnreadable, {}, certFile.isOpen() ? key.errorString() : certFile.errorString());
    const QByteArray certPem = certFile.readAll();
    QByteArray keyPem = key.readAll();
    BioPtr certBio = readerOf(certPem);
    BioPtr keyBio = readerOf(keyPem);
    if (!certBio || !keyBio) {
        OPENSSL_cleanse(keyPem.data(), static_cast<size_t>(keyPem.size()));
        return failed(Kind::CaUnreadable, {}, cryptoError());
    }
    KeyedCertificate ca{own(PEM_read_bio_X509(certBio.get(), nullptr, nullptr, nullptr)),
                        own(PEM_read_bio_PrivateKey(keyBio.get(), nullptr, nullptr, nullptr))};
    OPENSSL_cleanse(keyPem.data(), static_cast<size_t>(keyPem.size()));
    if (ca.isNull() || X509_check_private_key(ca.certificate.get(), ca.key.get()) != 1) {
        ERR_clear_error();
        return failed(Kind::CaMismatched, m_directory);
    }
    if (X509_cmp_current_time(X509_get0_notAfter(ca.certificate.get())) <= 0)
        return failed(Kind::CaExpired, m_directory);
    m_ca = ca;
    return {};
}

FailureCause CertificateAuthority::create()
{
    KeyedCertificate ca{own(X509_new()), own(newKey())};
    X509 *cert = ca.certificate.get();
    // The date tells two Dravlin CAs apart in a trust store's list.
    const QByteArray name = "Dravlin CA " + QDateTime::currentDateTimeUtc().toString(Qt::ISODate).toLatin1();
    if (ca.isNull() || !fill(cert, ca.key.get(), CaValidityDays, nullptr)
        || !setName(X509_get_subject_name(cert), name) || !X509_set_issuer_name(cert, X509_get_subject_name(cert))
        || !addExtension(cert, cert, NID_basic_constraints, "critical,CA:TRUE,pathlen:0")
        || !addExtension(cert, cert, NID_key_usage, "critical,keyCertSign,cRLSign")
        || !addExtension(cert, cert, NID_subject_key_identifier, "hash")
        || !X509_sign(cert, ca.key.get(), EVP_sha256()))
        return failed(FailureCause::Kind::CaUncreatable, {}, cryptoError());

    BioPtr keyBio(BIO_new(BIO_s_secmem()));
    BioPtr certBio(BIO_new(BIO_s_mem()));
    if (!keyBio || !certBio || !PEM_write_bio_PrivateKey(keyBio.get(), ca.key.get(), nullptr, nullptr, 0, nullptr, nullptr)
        || !PEM_write_bio_X509(certBio.get(), cert))
        return failed(FailureCause::Kind::CaUncreatable, {}, cryptoError());
    QByteArray keyPem = bioBytes(keyBio.get());
    keyBio.reset();
    if (FailureCause error = saveFile(keyPath(), keyPem); !error.isNone())
        return error;
    QByteArray certPem = bioBytes(certBio.get());
    if (FailureCause error = saveFile(certificatePath(), certPem); !error.isNone())
        return error;
    m_ca = ca;
    return {};
}

KeyedCertificate CertificateAuthority::issueLeaf(const QStringList &hosts, FailureCause *error)
{
    const auto fail = [error](const FailureCause &why) {
        if (error)
            *error = why;
        return KeyedCertificate{};
    };
    if (const FailureCause why = ensure(); !why.isNone())
        return fail(why);

    QList<HostName> names;
    QList<QByteArray> keys;
    QStringList all = hosts;
    all << QStringLiteral("localhost") << QStringLiteral("127.0.0.1") << QStringLiteral("::1");
    for (const QString &host : std::as_const(all)) {
        const HostName parsed = parseHost(host);
        if (!parsed.isNull() && !keys.contains(parsed.key())) {
            names.append(parsed);
            keys.append(parsed.key());
        }
    }
    std::sort(keys.begin(), keys.end());
    const QString cacheKey = QString::fromLatin1(keys.join(' '));

    // Reused while it has more than a day to live, so that a long run never hands out an expired one.
    time_t tomorrow = std::time(nullptr) + SecondsPerDay;
    if (const auto cached = m_leaves.constFind(cacheKey);
        cached != m_leaves.constEnd() && X509_cmp_time(X509_get0_notAfter(cached->certificate.get()), &tomorrow) > 0)
        return *cached;

    KeyedCertificate leaf{own(X509_new()), own(newKey())};
    X509 *cert = leaf.certificate.get();
    X509 *issuer = m_ca.certificate.get();
    // The first name given (the server's) reads best in a certificate viewer;
    // clients match the alternative names, never this one.
    const auto named = std::find_if(names.cbegin(), names.cend(), [](const HostName &h) { return !h.name.isEmpty(); });
    const QByteArray commonName = named->name.left(CommonNameLength);
    if (leaf.isNull() || !fill(cert, leaf.key.get(), LeafValidityDays, X509_get0_notAfter(issuer))
        || !setName(X509_get_subject_name(cert), commonName)
        || !X509_set_issuer_name(cert, X509_get_subject_name(issuer))
        || !addExtension(cert, issuer, NID_basic_constraints, "critical,CA:FALSE")
        || !addExtension(cert, issuer, NID_key_usage, "critical,digitalSignature")
        || !addExtension(cert, issuer, NID_ext_key_usage, "serverAuth")
        || !addExtension(cert, issuer, NID_subject_key_identifier, "hash")
        || !addExtension(cert, issuer, NID_authority_key_identifier, "keyid")
        || !addAltNames(cert, names) || !X509_sign(cert, m_ca.key.get(), EVP_sha256()))
        return fail(failed(FailureCause::Kind::LeafUncreatable, {}, cryptoError()));

    if (m_leaves.size() >= LeafCacheSize)
        m_leaves.clear();
    m_leaves.insert(cacheKey, leaf);
    return leaf;
}

FailureCause CertificateAuthority::exportCertificate(const QString &path)
{
    if (FailureCause error = ensure(); !error.isNone())
        return error;
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio || !PEM_write_bio_X509(bio.get(), m_ca.certificate.get()))
        return saveFailed(path, cryptoError());
    QByteArray pem = bioBytes(bio.get());
    return saveFile(path, pem);
}
