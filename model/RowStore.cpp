#include "RowStore.h"

RowStore::RowStore()
    : m_reserve(RowPages::BlockBytes)
{
}

void RowStore::appendRows(Side side, const LineCapture::Rows &rows, qint64 arrivedMsecs, bool encrypted, int session)
{
    {
        const QMutexLocker lock(&m_mutex);
        m_pages.appendRows(side, rows, arrivedMsecs, encrypted, session, m_reserve);
        tell();
    }
}

void RowStore::appendMark(const SessionMark &mark)
{
    {
        const QMutexLocker lock(&m_mutex);
        m_pages.appendMark(mark);
        tell();
    }
}

void RowStore::serverFound(const RelayEvent &event)
{
    const QMutexLocker lock(&m_mutex);
    m_pages.serverFound(event);
}

void RowStore::tell()
{
    if (!m_told.exchange(true, std::memory_order_acq_rel) && m_grown)
        m_grown();
}

void RowStore::onGrown(std::function<void()> hook)
{
    // Under the lock, so that a hook let go is never called after.
    const QMutexLocker lock(&m_mutex);
    m_grown = std::move(hook);
}
