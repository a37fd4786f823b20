#include "StreamCalls.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

namespace {

// More vectors than this per call buy nothing: the kernel's buffer is full first.
constexpr int MaxVectors = 64;

QAbstractSocket::SocketError categoryOf(int systemError)
{
    switch (systemError) {
    case ECONNREFUSED:
        return QAbstractSocket::ConnectionRefusedError;
    case ECONNRESET:
    case EPIPE:
        return QAbstractSocket::RemoteHostClosedError;
    case ETIMEDOUT:
        return QAbstractSocket::SocketTimeoutError;
    case ENETUNREACH:
    case EHOSTUNREACH:
    case ENETDOWN:
        return QAbstractSocket::NetworkError;
    case EACCES:
    case EPERM:
        return QAbstractSocket::SocketAccessError;
    case EMFILE:
    case ENFILE:
    case ENOBUFS:
    case ENOMEM:
        return QAbstractSocket::SocketResourceError;
    default:
        return QAbstractSocket::UnknownSocketError;
    }
}

// Fills *why from the system's error and returns result, the call's own
// way of saying it failed.
template <typename T>
T failed(T result, int systemError, StreamCalls::Failure *why)
{
    if (why)
        *why = {categoryOf(systemError), qt_error_string(systemError), systemError};
    return result;
}

bool fail(int systemError, StreamCalls::Failure *why)
{
    return failed(false, systemError, why);
}

// The system's address form of a QHostAddress; its length, or 0 when it has none.
socklen_t toSockaddr(const QHostAddress &address, quint16 port, sockaddr_storage *out)
{
    std::memset(out, 0, sizeof *out);
    if (address.protocol() == QAbstractSocket::IPv4Protocol) {
        auto *v4 = reinterpret_cast<sockaddr_in *>(out);
        v4->sin_family = AF_INET;
        v4->sin_port = htons(port);
        v4->sin_addr.s_addr = htonl(address.toIPv4Address());
        return sizeof *v4;
    }
    if (address.protocol() == QAbstractSocket::IPv6Protocol) {
        auto *v6 = reinterpret_cast<sockaddr_in6 *>(out);
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(port);
        const Q_IPV6ADDR bytes = address.toIPv6Address();
        std::memcpy(&v6->sin6_addr, bytes.c, sizeof bytes.c);
        v6->sin6_scope_id = address.scopeId().toUInt();
        return sizeof *v6;
    }
    return 0;
}

} // namespace

namespace StreamCalls {

int startConnect(const QHostAddress &address, quint16 port, Failure *why)
{
    sockaddr_storage target;
    const socklen_t length = toSockaddr(address, port, &target);
    if (length == 0)
        return failed(-1, EAFNOSUPPORT, why);
    const int fd = ::socket(target.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return failed(-1, errno, why);
    if (::connect(fd, reinterpret_cast<const sockaddr *>(&target), length) == 0 || errno == EINPROGRESS)
        return fd;
    const int error = errno;
    ::close(fd);
    return failed(-1, error, why);
}

Progress connectOutcome(int fd, Failure *why)
{
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
        error = errno;
    if (error == EINPROGRESS)
        return Progress::Pending;
    if (error != 0)
        return failed(Progress::Failed, error, why);
    return Progress::Done;
}

Acceptance acceptNext(int listeningFd, int *fd, Failure *why)
{
    for (;;) {
        const int taken = ::accept4(listeningFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (taken >= 0) {
            *fd = taken;
            return Acceptance::Taken;
        }
        if (errno == EINTR)
            continue;
        // A client that reset while it waited is simply gone: nobody to serve.
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ECONNABORTED)
            return Acceptance::NoneWaiting;
        return failed(Acceptance::Failed, errno, why);
    }
}

bool prepareAccepted(int fd, QHostAddress *peer, quint16 *peerPort, Failure *why)
{
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (::getpeername(fd, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
        // A client that reset while it waited is taken all the same, its
        // connection already over: the reset, not "not connected", says why.
        const int error = errno;
        int pending = 0;
        socklen_t size = sizeof pending;
        if (error == ENOTCONN && ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &pending, &size) == 0 && pending != 0)
            return fail(pending, why);
        return fail(error, why);
    }
    *peer = QHostAddress(reinterpret_cast<const sockaddr *>(&address));
    *peerPort = ntohs(address.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6 *>(&address)->sin6_port
                                                    : reinterpret_cast<sockaddr_in *>(&address)->sin_port);
    // A blocking descriptor would let one slow peer hold the whole event loop;
    // one inherited by a child would keep the connection open behind our back.
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags == -1 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == -1 || ::fcntl(fd, F_SETFD, FD_CLOEXEC) == -1)
        return fail(errno, why);
    return true;
}

int waitingConnections(int listeningFd)
{
    // On a listening socket Linux reports its accept queue's length as the
    // "unacknowledged" count.
    tcp_info info{};
    socklen_t size = sizeof info;
    if (::getsockopt(listeningFd, IPPROTO_TCP, TCP_INFO, &info, &size) != 0 || info.tcpi_state != TCP_LISTEN)
        return -1;
    return int(info.tcpi_unacked);
}

bool sendAtOnce(int fd, Failure *why)
{
    const int one = 1;
    return ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) == 0 || fail(errno, why);
}

qint64 send(int fd, const Slice *slices, int count, Failure *why)
{
    iovec vectors[MaxVectors];
    count = qMin(count, MaxVectors);
    for (int i = 0; i < count; ++i) {
        vectors[i].iov_base = const_cast<char *>(slices[i].data);
        vectors[i].iov_len = size_t(slices[i].size);
    }
    msghdr message{};
    message.msg_iov = vectors;
    message.msg_iovlen = size_t(count);
    for (;;) {
        const ssize_t n = ::sendmsg(fd, &message, MSG_NOSIGNAL);
        if (n >= 0)
            return n;
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return 0;
        return failed(-1, errno, why);
    }
}

qint64 receive(int fd, char *into, qint64 size, Failure *why)
{
    for (;;) {
        const ssize_t n = ::recv(fd, into, size_t(size), 0);
        if (n >= 0)
            return n;
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return NothingYet;
        return failed(Broken, errno, why);
    }
}

bool shutdownSending(int fd, Failure *why)
{
    // ENOTCONN: the connection is already over on both sides (the peer closed
    // or reset it); there is no end of stream left to send, and how it ended
    // is the reads' to tell.
    return ::shutdown(fd, SHUT_WR) == 0 || errno == ENOTCONN || fail(errno, why);
}

qint64 unacknowledged(int fd)
{
    int queued = 0;
    return ::ioctl(fd, SIOCOUTQ, &queued) == 0 ? queued : -1;
}

bool close(int fd, bool reset, Failure *why)
{
    bool ok = true;
    if (reset) {
        // A zero linger makes close() send a reset and drop what is queued.
        const linger hard{1, 0};
        ok = ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard) == 0 || fail(errno, why);
    }
    // On Linux the descriptor is gone even when close() reports an error, so
    // it is never retried; what was queued has been dropped or sent by then.
    ::close(fd);
    return ok;
}

Failure timedOut()
{
    return {categoryOf(ETIMEDOUT), qt_error_string(ETIMEDOUT), ETIMEDOUT};
}

Failure unreachable()
{
    return {categoryOf(EHOSTUNREACH), qt_error_string(EHOSTUNREACH), EHOSTUNREACH};
}

} // namespace StreamCalls
