#ifndef DRAVLIN_BLOCKRESERVE_H
#define DRAVLIN_BLOCKRESERVE_H

#include <QByteArray>

#include <future>

// Hands out the conversation's storage blocks, each made ready on another
// thread while the one before is being filled. The first write to fresh
// memory costs the system a fault and the zeroing of a page, dear under a
// hypervisor: done here, ahead of time, that cost leaves the thread that
// relays and stores rows, and on a machine of two cores runs beside it.
class BlockReserve
{
public:
    // room: the bytes a block holds.
    explicit BlockReserve(qsizetype room);
    ~BlockReserve();
    BlockReserve(const BlockReserve &) = delete;
    BlockReserve &operator=(const BlockReserve &) = delete;

    // An empty block with room bytes of capacity, every page of it mapped;
    // the next one is then prepared.
    QByteArray take();

private:
    static QByteArray make(qsizetype room);

    const qsizetype m_room;
    std::future<QByteArray> m_next;
};

#endif
