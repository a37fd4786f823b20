#include "SystemFile.h"

#include <cerrno>
#include <unistd.h>

qint64 SystemFile::writeData(const char *data, qint64 size)
{
    qint64 done = 0;
    while (done < size) {
        const ssize_t n = ::write(handle(), data + done, size_t(size - done));
        if (n > 0) {
            done += n;
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            // A short write with nothing more taken is how a full disk shows first.
            failedWith(n < 0 ? errno : ENOSPC);
            setErrorString(qt_error_string(m_systemError));
            return done > 0 ? done : -1;
        }
    }
    return done;
}

bool SystemFile::failedWith(int systemError)
{
    m_systemError = systemError;
    return false;
}
