#include "InterruptibleWriter.h"

#include <QMutex>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <poll.h>
#include <pthread.h>
#include <unistd.h>

namespace {

// A blocked write is ended by this signal: its handler does nothing, but
// installed without SA_RESTART it makes the write return.
int interruptSignal()
{
    return SIGRTMIN;
}

void onInterrupt(int) {}

} // namespace

struct InterruptibleWriter::Thread {
    QMutex mutex;
    bool bound = false;
    pthread_t id{};
};

InterruptibleWriter::InterruptibleWriter(int fd, bool closed)
    : m_fd(fd)
    , m_closed(closed)
    , m_thread(std::make_unique<Thread>())
{
}

InterruptibleWriter::~InterruptibleWriter() = default;

void InterruptibleWriter::bindToCurrentThread()
{
    struct sigaction action = {};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    // Fails only for a signal number the system lacks: interrupt() then
    // cannot cut a write short, and ending waits for the reader instead.
    sigaction(interruptSignal(), &action, nullptr);
    const QMutexLocker lock(&m_thread->mutex);
    m_thread->id = pthread_self();
    m_thread->bound = true;
}

void InterruptibleWriter::interrupt()
{
    m_interrupted = true;
    const QMutexLocker lock(&m_thread->mutex);
    if (m_thread->bound)
        pthread_kill(m_thread->id, interruptSignal());
}

qint64 InterruptibleWriter::write(const char *data, qint64 size, int *systemError)
{
    qint64 done = 0;
    int error = m_closed ? EBADF : 0;
    while (done < size && error == 0 && !m_interrupted) {
        const ssize_t n = ::write(m_fd, data + done, size_t(size - done));
        if (n > 0) {
            done += n;
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            // Someone left the descriptor non-blocking: wait for room as a blocking write would.
            pollfd room{m_fd, POLLOUT, 0};
            ::poll(&room, 1, 100);
        } else if (n < 0 && errno != EINTR) {
            error = errno;
        } else if (n == 0) {
            error = EIO;
        }
    }
    if (systemError)
        *systemError = error;
    return done;
}

qint64 InterruptibleWriter::writeReady(int fd, const char *data, qint64 size, int waitMs)
{
    qint64 done = 0;
    while (done < size) {
        pollfd room{fd, POLLOUT, 0};
        const int ready = ::poll(&room, 1, done == 0 ? waitMs : 0);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            break;
        if (room.revents & (POLLERR | POLLHUP | POLLNVAL))
            return -1;
        const ssize_t n = ::write(fd, data + done, size_t(qMin<qint64>(size - done, 4096)));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return -1;
        done += n;
    }
    return done;
}
