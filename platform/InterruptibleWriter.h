#ifndef DRAVLIN_INTERRUPTIBLEWRITER_H
#define DRAVLIN_INTERRUPTIBLEWRITER_H

#include <QtGlobal>

#include <atomic>
#include <memory>

// Writes to a descriptor from a thread of its own, waiting for room as long
// as it takes, and lets another thread end a write blocked on a reader that
// never reads. Qt's file classes neither tell which system error ended a
// write (the user needs the reason) nor can they be interrupted.
class InterruptibleWriter
{
public:
    // closed: the descriptor was closed when the program began (and has been
    // occupied since, so nothing reuses it); writes fail as they would on it.
    explicit InterruptibleWriter(int fd, bool closed = false);
    ~InterruptibleWriter();
    InterruptibleWriter(const InterruptibleWriter &) = delete;
    InterruptibleWriter &operator=(const InterruptibleWriter &) = delete;

    // On the writing thread, before its first write: the thread interrupt() reaches.
    void bindToCurrentThread();
    // Writes all size bytes unless interrupted or failing; returns how many
    // were written. *systemError: the errno that ended it, else 0.
    qint64 write(const char *data, qint64 size, int *systemError);
    // From any thread: the write under way, and every later one, returns at
    // once. A write may be just about to start, so repeat it until the
    // writing thread is seen to leave.
    void interrupt();
    bool isInterrupted() const { return m_interrupted; }

    // What a non-blocking writer may do now: writes what the descriptor takes
    // within waitMs; the count, or -1 once nobody reads it any more.
    static qint64 writeReady(int fd, const char *data, qint64 size, int waitMs);

private:
    struct Thread;

    const int m_fd;
    const bool m_closed;
    std::atomic<bool> m_interrupted{false};
    std::unique_ptr<Thread> m_thread;
};

#endif
