#include "RegularFile.h"

#include <QLocale>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString kindOf(mode_t mode)
{
    if (S_ISDIR(mode))
        return QCoreApplication::translate("RegularFile", "un dossier");
    if (S_ISFIFO(mode))
        return QCoreApplication::translate("RegularFile", "un tube nommé");
    if (S_ISSOCK(mode))
        return QCoreApplication::translate("RegularFile", "une socket");
    if (S_ISCHR(mode) || S_ISBLK(mode))
        return QCoreApplication::translate("RegularFile", "un périphérique");
    return QCoreApplication::translate("RegularFile", "un fichier spécial");
}

} // namespace

QString RegularFile::systemReason(int error) const
{
    return m_wording ? m_wording(error) : QString::fromLocal8Bit(std::strerror(error));
}

bool RegularFile::refuse(const QString &path, const QString &why)
{
    m_file.close();
    m_error = tr("Impossible de lire «\u00a0%1\u00a0»\u00a0: %2").arg(path, why);
    return false;
}

bool RegularFile::open(const QString &path, qint64 limit)
{
    m_file.close();
    m_error.clear();
    m_size = m_read = 0;
    m_path = path;
    const QByteArray name = QFile::encodeName(path);
    // Looked at before it is opened: opening a FIFO waits for a writer, and
    // opening some devices does something.
    struct stat before = {};
    if (::stat(name.constData(), &before) != 0)
        return refuse(path, systemReason(errno));
    const QLocale french(QLocale::French);
    const auto check = [&](const struct stat &info) {
        if (!S_ISREG(info.st_mode))
            return refuse(path, tr("c’est %1, pas un fichier ordinaire").arg(kindOf(info.st_mode)));
        if (info.st_size > limit) {
            return refuse(path, tr("%1 octets, plus que les %2 octets (%3 Mio) que Dravlin ouvre au plus")
                                    .arg(french.toString(qint64(info.st_size)), french.toString(limit),
                                         french.toString(limit >> 20)));
        }
        return true;
    };
    if (!check(before))
        return false;
    // Never blocks, even if the path became a FIFO meanwhile; looked at again once open.
    const int fd = ::open(name.constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return refuse(path, systemReason(errno));
    struct stat opened = {};
    if (::fstat(fd, &opened) != 0) {
        const int error = errno;
        ::close(fd);
        return refuse(path, systemReason(error));
    }
    if (!S_ISREG(opened.st_mode) || opened.st_size > limit) {
        ::close(fd);
        return check(opened);
    }
    if (!m_file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return refuse(path, m_file.errorString());
    }
    m_size = opened.st_size;
    m_modifiedMsecs = qint64(opened.st_mtim.tv_sec) * 1000 + opened.st_mtim.tv_nsec / 1000000;
    return true;
}

bool RegularFile::read(qsizetype maxBytes, QByteArray *piece)
{
    const qint64 wanted = std::min<qint64>(maxBytes, m_size - m_read);
    piece->resize(wanted);
    if (wanted <= 0) {
        piece->clear();
        return true;
    }
    errno = 0;
    const qint64 got = m_file.read(piece->data(), wanted);
    if (got < 0 && errno != 0) {
        m_error = tr("Impossible de lire «\u00a0%1\u00a0»\u00a0: %2").arg(m_path, systemReason(errno));
        piece->clear();
        return false;
    }
    if (got < 0) {
        m_error = tr("Impossible de lire «\u00a0%1\u00a0»\u00a0: %2").arg(m_path, m_file.errorString());
        piece->clear();
        return false;
    }
    // A file cut short meanwhile simply ends sooner.
    piece->resize(got);
    m_read = got == 0 ? m_size : m_read + got;
    return true;
}
