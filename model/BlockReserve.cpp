#include "BlockReserve.h"

#include "MemoryHints.h"

BlockReserve::BlockReserve(qsizetype room)
    : m_room(room)
{
}

BlockReserve::~BlockReserve()
{
    // The block in preparation is waited for, then freed with the rest.
    if (m_next.valid())
        m_next.wait();
}

QByteArray BlockReserve::take()
{
    // Should rows come faster than blocks are made, this waits for the one
    // under way, which is no slower than making it here.
    QByteArray block = m_next.valid() ? m_next.get() : make(m_room);
    m_next = std::async(std::launch::async, &BlockReserve::make, m_room);
    return block;
}

QByteArray BlockReserve::make(qsizetype room)
{
    // The rows start at the first large-page boundary and end a block later,
    // so the block is whole large pages; the bytes skipped are never touched,
    // so they take no memory.
    QByteArray fresh;
    fresh.reserve(room + MemoryHints::LargePage);
    fresh.resize(MemoryHints::largePageStart(fresh.data()) - fresh.data());
    MemoryHints::prepareAndMap(fresh.data() + fresh.size(), room);
    return fresh;
}
