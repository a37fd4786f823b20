#ifndef DRAVLIN_ROWSTORE_H
#define DRAVLIN_ROWSTORE_H

#include "BlockReserve.h"
#include "LineCapture.h"
#include "RowPages.h"
#include "SessionMark.h"
#include "Side.h"

#include <QMutex>

#include <atomic>
#include <functional>

// The rows of the conversation shown, shared by the thread that captures
// (it appends) and the window's (it reads, clears, undoes, opens files).
// Every access goes through lock(); appending holds it for one chunk's copy,
// so that a window busy reading a slice never keeps the relay waiting long.
//
// Appending never tells the window row by row: the first append after the
// window last caught up calls the hook set with onGrown() once, and the
// window, when it gets to it, takes every row stored since.
class RowStore
{
public:
    RowStore();

    // Appends, from any thread, then tells of it if the window has not been told yet.
    void appendRows(Side side, const LineCapture::Rows &rows, qint64 arrivedMsecs, bool encrypted, int session);
    void appendMark(const SessionMark &mark);
    // See RowPages::serverFound(); a mark the window may be reading, so under the lock.
    void serverFound(const RelayEvent &event);
    // Called on the appending thread, at most once until caughtUp().
    void onGrown(std::function<void()> hook);

    // What the window reads and changes, held while the lock is.
    QRecursiveMutex &mutex() const { return m_mutex; }
    RowPages &pages() { return m_pages; }
    const RowPages &pages() const { return m_pages; }
    BlockReserve &reserve() { return m_reserve; }
    // The window is about to look at every row stored: the next append tells again.
    void caughtUp() { m_told.store(false, std::memory_order_release); }

private:
    void tell();

    mutable QRecursiveMutex m_mutex;
    RowPages m_pages;
    BlockReserve m_reserve;
    std::atomic<bool> m_told{false};
    std::function<void()> m_grown;
};

#endif
