#ifndef DRAVLIN_STREAMCALLS_H
#define DRAVLIN_STREAMCALLS_H

#include <QAbstractSocket>
#include <QHostAddress>
#include <QString>

// The system's side of one TCP connection, driven by its descriptor.
//
// QTcpSocket closes a connection whole as soon as a read sees the peer's end,
// so a half-closed exchange cannot be relayed through it; these calls give the
// two directions separately, a send that never raises SIGPIPE and what the
// kernel still holds for the peer. Every call says why it failed, in Qt's
// category and the system's own words, so that nothing here fails silently.
namespace StreamCalls {

struct Failure {
    QAbstractSocket::SocketError category = QAbstractSocket::UnknownSocketError;
    QString text;
    int systemError = 0; // errno, for wording the cause in the user's language
};

// Starts a non-blocking connection; the descriptor, or -1 with *why.
int startConnect(const QHostAddress &address, quint16 port, Failure *why);

enum class Progress { Done, Pending, Failed };
// Once the descriptor is writable: whether the connection was made.
Progress connectOutcome(int fd, Failure *why);

enum class Acceptance { Taken, NoneWaiting, Failed };
// Takes the next connection waiting on a non-blocking listening descriptor:
// *fd once Taken; NoneWaiting when the system's queue is empty (or the one
// waiting went away before it was taken); Failed with *why otherwise.
Acceptance acceptNext(int listeningFd, int *fd, Failure *why);

// Readies a descriptor a listener accepted to be driven here (non-blocking,
// kept from child processes) and tells who the peer is. False, with *why,
// when it cannot be: the caller then closes it.
bool prepareAccepted(int fd, QHostAddress *peer, quint16 *peerPort, Failure *why);

// How many connections wait in a listening descriptor's queue, made but not
// yet taken; -1 when the system cannot tell.
int waitingConnections(int listeningFd);

// Small writes leave at once instead of waiting to be coalesced (Nagle).
bool sendAtOnce(int fd, Failure *why);

struct Slice {
    const char *data;
    qsizetype size;
};
// Hands the slices to the kernel in one call. A peer gone is an error, never a
// signal that ends the program. Bytes taken (0 when the kernel's buffer is
// full), or -1 with *why.
qint64 send(int fd, const Slice *slices, int count, Failure *why);

// What receive() returns besides a count of bytes.
constexpr qint64 EndOfStream = 0;
constexpr qint64 NothingYet = -1;
constexpr qint64 Broken = -2;
qint64 receive(int fd, char *into, qint64 size, Failure *why);

// Ends our sending; the peer reads an end of stream and may still answer.
bool shutdownSending(int fd, Failure *why);

// Bytes handed to the kernel that the peer has not acknowledged yet; -1 when
// the system cannot tell.
qint64 unacknowledged(int fd);

// Closes the descriptor. With reset, the peer gets a reset rather than an end
// of stream, so that it cannot take a cut stream for a whole one; false, with
// *why, when the reset could not be arranged (the close then ends normally).
bool close(int fd, bool reset, Failure *why);

// A connection given up because nothing answered, in the system's words.
Failure timedOut();
// No address could even be tried.
Failure unreachable();

} // namespace StreamCalls

#endif
