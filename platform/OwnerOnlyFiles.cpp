#include "OwnerOnlyFiles.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool failed(int systemError, QString *reason)
{
    if (reason)
        *reason = systemError == ELOOP ? QCoreApplication::translate("OwnerOnlyFiles", "c'est un lien symbolique, qui n'est jamais suivi")
                                       : qt_error_string(systemError);
    return false;
}

} // namespace

namespace OwnerOnlyFiles {

bool openForWriting(QFile *file, const QString &path, int *systemError)
{
    const auto failedWith = [systemError](int error) {
        if (systemError)
            *systemError = error;
        return false;
    };
    const QByteArray name = QFile::encodeName(path);
    // O_NOFOLLOW: a link at path fails (ELOOP) instead of leading elsewhere.
    const int fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, S_IRUSR | S_IWUSR);
    if (fd < 0)
        return failedWith(errno);
    struct stat info;
    bool ok = ::fstat(fd, &info) == 0;
    int error = errno;
    // The mode above only applies to a file made now. A pipe or a device
    // (/dev/null) is left as it is: it keeps nothing, and may not be ours.
    if (ok && S_ISREG(info.st_mode) && (info.st_mode & 077) != 0) {
        ok = ::fchmod(fd, S_IRUSR | S_IWUSR) == 0;
        error = errno;
    }
    if (!ok || !file->open(fd, QIODevice::WriteOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return failedWith(ok ? EBADF : error);
    }
    return true;
}

bool makeFolder(const QString &path, QString *reason)
{
    const QString absolute = QDir::cleanPath(QDir(path).absolutePath());
    // Parents first, with the usual mode; only the last is reserved.
    QStringList missing;
    for (QString at = absolute; !QFile::exists(at) && at != QDir::rootPath(); at = QFileInfo(at).path())
        missing.prepend(at);
    for (const QString &folder : std::as_const(missing)) {
        const mode_t mode = folder == absolute ? S_IRWXU : (S_IRWXU | S_IRWXG | S_IRWXO);
        if (::mkdir(QFile::encodeName(folder).constData(), mode) != 0 && errno != EEXIST)
            return failed(errno, reason);
    }
    return true;
}

QString folderProblem(const QString &path)
{
    if (::access(QFile::encodeName(path).constData(), R_OK | W_OK | X_OK) == 0)
        return {};
    return qt_error_string(errno);
}

bool isOwnedByCurrentUser(const QString &path)
{
    struct stat info;
    return ::lstat(QFile::encodeName(path).constData(), &info) == 0 && info.st_uid == ::getuid();
}

} // namespace OwnerOnlyFiles
