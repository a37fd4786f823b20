#ifndef DRAVLIN_ROWPAGES_H
#define DRAVLIN_ROWPAGES_H

#include "LineCapture.h"
#include "SessionMark.h"
#include "Side.h"

#include <QByteArray>
#include <QHash>

#include <deque>
#include <memory>
#include <vector>

class BlockReserve;

// One conversation's rows as stored: bytes in big blocks, each row one
// 8-byte reference (which also says how the row ended: see
// LineCapture::RowEnd), marks in a table of their own that a marker row's
// reference points into, and nothing ever reallocated wholesale, so that a
// row's bytes stay where they are for as long as the pages live.
//
// Rows of several sessions served at once are told apart by their chunk,
// which is always one session's: the row costs nothing more.
//
// Not locked: RowStore shares one between the thread that appends and the
// window's, and a conversation's kept clears and staged file are pages of
// their own that one thread alone touches.
class RowPages
{
public:
    struct RowRef {
        // block index << 5 | row end << 3 | encrypted << 2 | marker << 1 | side;
        // for a marker row: mark index << 5 | marker << 1
        quint32 flagsAndBlock;
        // within the block; for a marker row, where the next row's bytes go
        quint32 offset;
    };
    struct Chunk {
        int firstRow;
        // In what was the alignment's padding: a session costs no memory.
        int session;
        qint64 arrivedMsecs;
    };
    static_assert(sizeof(RowRef) == 8 && sizeof(Chunk) == 16, "a row costs 8 bytes, a chunk 16");

    static constexpr quint32 ServerBit = 1;
    static constexpr quint32 MarkerBit = 2;
    static constexpr quint32 EncryptedBit = 4;
    static constexpr int EndShift = 3;
    static constexpr quint32 EndBits = 3U << EndShift;
    // What tells rows of one chunk apart from the rows of another.
    static constexpr quint32 KindBits = ServerBit | MarkerBit | EncryptedBit;
    static constexpr int BlockShift = 5;
    // 8 MiB, each made ready ahead by a BlockReserve.
    static const qsizetype BlockBytes;

    // One model insertion's worth: all the rows of a chunk.
    void appendRows(Side side, const LineCapture::Rows &rows, qint64 arrivedMsecs, bool encrypted, int session,
                    BlockReserve &reserve);
    void appendMark(const SessionMark &mark);
    // The server's address, known once dialled, joins the opening mark of
    // event's session, latest first: a capture written from the marks shows it.
    void serverFound(const RelayEvent &event);

    void openChunk(qint64 arrivedMsecs, int session);
    void pushRow(quint32 flags, QByteArrayView bytes, BlockReserve &reserve);
    void pushMark(const SessionMark &mark);
    // The rows from first on, appended to these in their chunks.
    void appendFrom(const RowPages &other, int first, BlockReserve &reserve);
    // Forgets the rows from count on (their bytes stay in the blocks).
    void truncate(int count);

    int rows() const { return m_rows; }
    qint64 storedBytes() const { return m_storedBytes; }
    // Row numbers are never negative; the pages are indexed unsigned.
    const RowRef &at(int row) const
    {
        const auto index = static_cast<size_t>(row);
        return m_refPages[index / RefsPerPage][index % RefsPerPage];
    }
    QByteArrayView bytes(int row) const;
    const SessionMark &mark(int row) const { return m_marks[at(row).flagsAndBlock >> BlockShift]; }
    SessionMark &markAt(size_t index) { return m_marks[index]; }
    size_t markCount() const { return m_marks.size(); }
    // The chunk a row is in.
    size_t chunkIndex(int row) const;
    const std::vector<Chunk> &chunks() const { return m_chunks; }
    std::vector<Chunk> &chunks() { return m_chunks; }
    // Held row -> the recorded answer it differs from; few, so by row.
    QHash<int, QString> differences;

private:
    // Row references live in fixed pages, so appending never moves them;
    // 4 MiB each.
    static constexpr size_t RefsPerPage = size_t(1) << 19;

    void pushRef(RowRef r)
    {
        const auto index = static_cast<size_t>(m_rows);
        if (index % RefsPerPage == 0 && index / RefsPerPage == m_refPages.size())
            addRefPage();
        m_refPages[index / RefsPerPage][index % RefsPerPage] = r;
        ++m_rows;
    }
    void addRefPage();
    char *reserveBytes(qsizetype length, quint32 *block, quint32 *offset, BlockReserve &reserve);

    std::vector<std::unique_ptr<RowRef[]>> m_refPages;
    std::vector<QByteArray> m_blocks;
    std::vector<Chunk> m_chunks;
    // A deque: a mark handed out stays where it is as more are stored.
    std::deque<SessionMark> m_marks;
    int m_rows = 0;
    // Where the last block's room ends: short of its capacity, see reserveBytes().
    qsizetype m_blockEnd = 0;
    qint64 m_storedBytes = 0;
};

#endif
