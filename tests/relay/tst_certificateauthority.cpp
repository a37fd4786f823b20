#include "CertificateAuthority.h"
#include "TestTexts.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cerrno>
#include <memory>

namespace {

// Owner, group and others' rights on path.
QFile::Permissions modeOf(const QString &path)
{
    return QFile::permissions(path) & 0x7077;
}

// The leaf's alternative names as "DNS:x" / "IP:x" texts.
QStringList altNames(X509 *certificate)
{
    QStringList out;
    auto *names = static_cast<GENERAL_NAMES *>(X509_get_ext_d2i(certificate, NID_subject_alt_name, nullptr, nullptr));
    for (int i = 0; i < sk_GENERAL_NAME_num(names); ++i) {
        const GENERAL_NAME *name = sk_GENERAL_NAME_value(names, i);
        int type = 0;
        const auto *value = static_cast<const ASN1_STRING *>(GENERAL_NAME_get0_value(name, &type));
        const QByteArray bytes(reinterpret_cast<const char *>(ASN1_STRING_get0_data(value)), ASN1_STRING_length(value));
        if (type == GEN_DNS)
            out << QStringLiteral("DNS:") + QString::fromLatin1(bytes);
        else if (type == GEN_IPADD)
            out << QStringLiteral("IP:") + QString::fromLatin1(bytes.toHex());
    }
    GENERAL_NAMES_free(names);
    out.sort();
    return out;
}

} // namespace

class TestCertificateAuthority : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // Each case starts with no CA, in a data folder of its own.
    void init()
    {
        m_home = std::make_unique<QTemporaryDir>();
        QVERIFY(m_home->isValid());
        qputenv("XDG_DATA_HOME", m_home->path().toLocal8Bit());
        m_dir = m_home->path() + QStringLiteral("/dravlin");
    }

    // Made on first use with owner-only modes, reused afterwards.
    void createsOnceThenReuses()
    {
        QCOMPARE(CertificateAuthority::defaultDirectory(), m_dir);
        CertificateAuthority first;
        QVERIFY(first.ensure().isNone());
        QCOMPARE(modeOf(m_dir), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        QCOMPARE(modeOf(first.keyPath()), QFile::ReadOwner | QFile::WriteOwner);
        QCOMPARE(QDir(m_dir).entryList(QDir::Files), textList({"ca.crt", "ca.key"}));
        X509 *caCert = first.authority().certificate.get();
        QVERIFY(X509_check_ca(caCert) > 0);
        char subject[256] = {};
        X509_NAME_get_text_by_NID(X509_get_subject_name(caCert), NID_commonName, subject, sizeof subject);
        QVERIFY2(QByteArray(subject).startsWith("Dravlin CA "), subject);

        CertificateAuthority again;
        QVERIFY(again.ensure().isNone());
        QCOMPARE(X509_cmp(again.authority().certificate.get(), caCert), 0);
        QCOMPARE(EVP_PKEY_eq(again.authority().key.get(), first.authority().key.get()), 1);
    }

    // A key others can read is not used; a certificate without its key is not replaced.
    void refusesUnsafeOrBrokenStore()
    {
        QVERIFY(CertificateAuthority().ensure().isNone());
        const QString key = m_dir + QStringLiteral("/ca.key");
        QVERIFY(QFile::setPermissions(key, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther));
        CertificateAuthority exposed;
        QCOMPARE(exposed.ensure().kind, FailureCause::Kind::CaKeyExposed);
        QCOMPARE(exposed.ensure().text, key);
        QVERIFY(!exposed.isReady());
        QVERIFY(exposed.issueLeaf({QStringLiteral("localhost")}).isNull());

        QVERIFY(QFile::remove(key));
        CertificateAuthority keyless;
        const FailureCause missing = keyless.ensure();
        QCOMPARE(missing.kind, FailureCause::Kind::CaKeyMissing);
        QCOMPARE(missing.text, key);
        QCOMPARE(missing.detail, m_dir + QStringLiteral("/ca.crt"));
        QVERIFY(!QFile::exists(key));
    }

    // Alternative names from the hosts given plus the loopback ones, hostile names
    // left out, cached per name set. That a client verifies the leaf for each
    // name is the TLS engine suite's.
    void issuesLeavesForTheNamesGiven()
    {
        CertificateAuthority ca;
        const QStringList hosts = textList({"Mail.Example.org.", "sni.example.net", "10.1.2.3", "[2001:db8::1]",
                                             "evil,DNS:bank.example", "bad name", "x..y", ""});
        FailureCause error;
        const KeyedCertificate leaf = ca.issueLeaf(hosts, &error);
        QVERIFY(!leaf.isNull());
        QVERIFY(error.isNone());
        QCOMPARE(altNames(leaf.certificate.get()),
                 textList({"DNS:localhost", "DNS:mail.example.org", "DNS:sni.example.net",
                          "IP:00000000000000000000000000000001", "IP:0a010203", "IP:20010db8000000000000000000000001",
                          "IP:7f000001"}));
        QVERIFY(!(X509_get_extension_flags(leaf.certificate.get()) & EXFLAG_CA)); // basic constraints: no CA

        const KeyedCertificate same = ca.issueLeaf(textList({"sni.example.net", "10.1.2.3", "mail.example.org", "2001:db8::1"}));
        QCOMPARE(same.certificate, leaf.certificate);
        QVERIFY(ca.issueLeaf({QStringLiteral("other.example")}).certificate != leaf.certificate);
        // Leaf keys stay in memory.
        QCOMPARE(QDir(m_dir).entryList(QDir::Files), textList({"ca.crt", "ca.key"}));
    }

    // The folder follows the XDG rules, and when it cannot be had the cause
    // names it with the system's reason.
    void folderFollowsXdgAndSaysWhy_data()
    {
        QTest::addColumn<QByteArray>("dataHome"); // "" leaves the fresh one of init()
        QTest::addColumn<QString>("folder");      // under HOME; "" for the default one
        QTest::addColumn<QString>("expected");    // the folder used, or the one that could not be made
        QTest::newRow("relative XDG_DATA_HOME is ignored") << QByteArray("relative") << QString()
                                                           << QStringLiteral("HOME/.local/share/dravlin");
        QTest::newRow("absolute XDG_DATA_HOME is used") << QByteArray("HOME/data") << QString()
                                                        << QStringLiteral("HOME/data/dravlin");
        QTest::newRow("a file in the way of a parent") << QByteArray() << QStringLiteral("file/below/dravlin")
                                                       << QStringLiteral("HOME/file/below/dravlin");
    }
    void folderFollowsXdgAndSaysWhy()
    {
        QFETCH(QByteArray, dataHome);
        QFETCH(QString, folder);
        QFETCH(QString, expected);
        const QByteArray home = m_home->path().toLocal8Bit();
        const QByteArray oldHome = qgetenv("HOME");
        qputenv("HOME", home);
        if (!dataHome.isEmpty())
            qputenv("XDG_DATA_HOME", dataHome.replace("HOME", home));
        QFile file(m_home->filePath(QStringLiteral("file")));
        QVERIFY(file.open(QIODevice::WriteOnly));
        expected.replace(QStringLiteral("HOME"), m_home->path());
        CertificateAuthority ca(folder.isEmpty() ? CertificateAuthority::defaultDirectory() : m_home->filePath(folder));
        const FailureCause error = ca.ensure();
        qputenv("HOME", oldHome);
        if (!folder.isEmpty()) {
            QCOMPARE(error.kind, FailureCause::Kind::CaFolderUncreatable);
            QCOMPARE(error.text, expected);
            QCOMPARE(error.detail, qt_error_string(ENOTDIR));
            QVERIFY(!ca.isReady());
            return;
        }
        QVERIFY(error.isNone());
        QCOMPARE(ca.directory(), expected);
        QVERIFY(QFile::exists(expected + QStringLiteral("/ca.crt")));
    }

private:
    std::unique_ptr<QTemporaryDir> m_home;
    QString m_dir;
};

QTEST_GUILESS_MAIN(TestCertificateAuthority)
#include "tst_certificateauthority.moc"
