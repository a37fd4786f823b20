#include "PrivateSaveFile.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

PrivateSaveFile::PrivateSaveFile(const QString &path, QObject *parent)
    : SystemFile(parent)
    , m_path(path)
{
}

PrivateSaveFile::~PrivateSaveFile()
{
    discard();
}

bool PrivateSaveFile::open(OpenMode mode)
{
    if (isOpen() || (mode & ~(WriteOnly | Truncate)) != 0 || !(mode & WriteOnly))
        return fail(tr("ouverture en écriture seule attendue"));
    // Beside path, so that the rename stays on one file system. mkostemp makes
    // it with O_EXCL and mode 0600: never a link, never readable by others.
    QByteArray name = QFile::encodeName(m_path) + ".XXXXXX";
    const int fd = ::mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        return fail(qt_error_string(error), error);
    }
    m_temporary = QFile::decodeName(name);
    if (!QFile::open(fd, WriteOnly, AutoCloseHandle)) {
        ::close(fd);
        const QString why = errorString();
        discard();
        return fail(why);
    }
    return true;
}

bool PrivateSaveFile::commit()
{
    if (!isOpen() || m_temporary.isEmpty())
        return fail(tr("fichier non ouvert"));
    if (error() != NoError || !flush()) {
        const QString why = errorString();
        const int systemError = this->systemError();
        discard();
        return fail(why, systemError);
    }
    // On the disk before it takes the name: a crash then leaves the old file
    // or the whole new one, never an empty one.
    if (::fsync(handle()) != 0) {
        const int error = errno;
        discard();
        return fail(qt_error_string(error), error);
    }
    QFile::close();
    // rename(2) replaces whatever path names, a link included, in one step.
    if (std::rename(QFile::encodeName(m_temporary).constData(), QFile::encodeName(m_path).constData()) != 0) {
        const int error = errno;
        discard();
        return fail(qt_error_string(error), error);
    }
    m_temporary.clear();
    return true;
}

bool PrivateSaveFile::fail(const QString &reason, int systemError)
{
    setErrorString(reason);
    return failedWith(systemError);
}

void PrivateSaveFile::discard()
{
    if (isOpen())
        QFile::close();
    if (!m_temporary.isEmpty())
        ::unlink(QFile::encodeName(m_temporary).constData());
    m_temporary.clear();
}
