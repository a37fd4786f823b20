#include "RawPeer.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int IoTimeoutSeconds = 20;

sockaddr_in loopback(quint16 port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

void bound(int fd)
{
    const timeval limit{IoTimeoutSeconds, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
}

} // namespace

RawPeer::RawPeer()
{
    m_listenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = loopback(0);
    socklen_t length = sizeof address;
    ::bind(m_listenFd, reinterpret_cast<sockaddr *>(&address), sizeof address);
    ::listen(m_listenFd, 4);
    ::getsockname(m_listenFd, reinterpret_cast<sockaddr *>(&address), &length);
    m_listenPort = ntohs(address.sin_port);
}

RawPeer::~RawPeer()
{
    m_released = true;
    if (m_thread.joinable())
        m_thread.join();
    ::close(m_listenFd);
}

void RawPeer::serve(const Script &script)
{
    // Set on the listener before the client comes, the accepted connection inherits it.
    if (script.receiveBuffer > 0)
        ::setsockopt(m_listenFd, SOL_SOCKET, SO_RCVBUF, &script.receiveBuffer, sizeof script.receiveBuffer);
    m_thread = std::thread([this, script] {
        pollfd waiting{m_listenFd, POLLIN, 0};
        const int fd = ::poll(&waiting, 1, IoTimeoutSeconds * 1000) == 1 ? ::accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC) : -1;
        play(fd, script);
    });
}

void RawPeer::connectTo(quint16 port, const Script &script)
{
    m_thread = std::thread([this, port, script] {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (script.receiveBuffer > 0)
            ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &script.receiveBuffer, sizeof script.receiveBuffer);
        const sockaddr_in address = loopback(port);
        const bool connected = ::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0;
        play(connected ? fd : (::close(fd), -1), script);
    });
}

void RawPeer::play(int fd, const Script &script)
{
    if (fd < 0) {
        m_done = true;
        return;
    }
    bound(fd);
    bool ok = true;
    std::thread talker;
    std::atomic<bool> talkerReset{false};
    if (script.sayWhileReading) {
        talker = std::thread([this, fd, script, &talkerReset] {
            for (qsizetype at = 0; at < script.say.size();) {
                const ssize_t n = ::send(fd, script.say.constData() + at, size_t(std::min<qsizetype>(script.say.size() - at, 64 * 1024)), MSG_NOSIGNAL);
                if (n <= 0) {
                    // The reset's error goes to whichever call meets it first.
                    talkerReset = errno == ECONNRESET;
                    return;
                }
                at += n;
                said = at;
            }
            if (script.halfClose)
                ::shutdown(fd, SHUT_WR);
        });
    } else {
        ok = ::send(fd, script.say.constData(), size_t(script.say.size()), MSG_NOSIGNAL) == script.say.size();
        if (ok && script.halfClose)
            ::shutdown(fd, SHUT_WR);
    }
    const auto start = std::chrono::steady_clock::now();
    while (script.readOnRelease && !m_released && std::chrono::steady_clock::now() - start < std::chrono::seconds(IoTimeoutSeconds))
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    QByteArray buffer(script.readStep > 0 ? script.readStep : 256 * 1024, '\0');
    while (ok) {
        const ssize_t n = ::recv(fd, buffer.data(), size_t(buffer.size()), 0);
        if (n <= 0) {
            cleanEnd = n == 0;
            break;
        }
        received.append(buffer.constData(), n);
        if (script.pauseMs > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(script.pauseMs));
    }
    if (cleanEnd && !script.answerAfterEnd.isEmpty())
        ::send(fd, script.answerAfterEnd.constData(), size_t(script.answerAfterEnd.size()), MSG_NOSIGNAL);
    while (script.stayOpen && !m_released && std::chrono::steady_clock::now() - start < std::chrono::seconds(IoTimeoutSeconds))
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (talker.joinable()) {
        // A talker blocked in a send to a peer that no longer reads is woken.
        ::shutdown(fd, SHUT_RDWR);
        talker.join();
        cleanEnd = cleanEnd && !talkerReset;
    }
    ::close(fd);
    m_done = true;
}
