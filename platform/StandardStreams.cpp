#include "StandardStreams.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace StandardStreams {

void ignoreBrokenPipe()
{
    // Cannot fail for a signal that exists and may be caught.
    std::signal(SIGPIPE, SIG_IGN);
}

bool occupyClosed(bool *outputWasClosed)
{
    *outputWasClosed = false;
    bool ok = true;
    // In ascending order, so that open() returns the very descriptor missing.
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        *outputWasClosed = *outputWasClosed || fd == Output;
        const int null = ::open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
        if (null == fd)
            continue;
        if (null < 0 || ::dup2(null, fd) != fd)
            ok = false;
        if (null >= 0)
            ::close(null);
    }
    return ok;
}

} // namespace StandardStreams
