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
    QByteArray fresh;
    fresh.reserve(room);
    MemoryHints::mapAhead(fresh.data(), room);
    return fresh;
}
