#include "CaCertificateExport.h"

#include "CertificateAuthority.h"
#include "EventText.h"
#include "ReasonText.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>

CaCertificateExport::CaCertificateExport(QWidget *window)
    : QObject(window)
    , m_window(window)
{
}

void CaCertificateExport::chooseAndExport()
{
    const QString path = QFileDialog::getSaveFileName(
        m_window, tr("Exporter le certificat CA"),
        QDir(QDir::homePath()).filePath(QStringLiteral("dravlin-ca.crt")),
        tr("Certificats PEM (*.crt *.pem);;Tous les fichiers (*)"));
    if (!path.isEmpty())
        exportTo(path);
}

bool CaCertificateExport::exportTo(const QString &path)
{
    CertificateAuthority authority(m_directory.isEmpty() ? CertificateAuthority::defaultDirectory() : m_directory);
    if (const FailureCause error = authority.exportCertificate(path); !error.isNone()) {
        Q_EMIT failed(ReasonText::describe(error));
        return false;
    }
    Q_EMIT exported(tr("Certificat de l'autorité de Dravlin exporté : %1, %2")
                        .arg(QDir::toNativeSeparators(path), EventText::bytes(QFileInfo(path).size())));
    return true;
}
