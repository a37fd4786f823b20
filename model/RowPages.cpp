#include "RowPages.h"

#include "BlockReserve.h"
#include "MemoryHints.h"

#include <algorithm>
#include <cstring>

const qsizetype RowPages::BlockBytes = qsizetype(8) << 20;

void RowPages::appendRows(Side side, const LineCapture::Rows &rows, qint64 arrivedMsecs, bool encrypted, int session,
                          BlockReserve &reserve)
{
    const int count = static_cast<int>(rows.count());
    if (count == 0)
        return;
    openChunk(arrivedMsecs, session);
    const quint32 flags = (side == Side::Server ? ServerBit : 0U) | (encrypted ? EncryptedBit : 0U);
    for (int i = 0; i < count;) {
        // The first row opens a block if need be; the rows after it that also
        // fit are sized in with one resize rather than one each.
        quint32 block = 0;
        quint32 offset = 0;
        reserveBytes(rows.spans[i].length, &block, &offset, reserve);
        QByteArray &target = m_blocks[block];
        const qsizetype room = m_blockEnd - target.size();
        qsizetype more = 0;
        int end = i + 1;
        while (end < count && more + rows.spans[end].length <= room)
            more += rows.spans[end++].length;
        target.resize(target.size() + more);
        char *dest = target.data();
        const quint32 rowFlags = block << BlockShift | flags;
        for (; i < end; ++i) {
            const LineCapture::Span &span = rows.spans[i];
            const char *from = (i < rows.headRows ? rows.head : rows.buffer).constData() + span.offset;
            std::memcpy(dest + offset, from, static_cast<size_t>(span.length));
            pushRef({rowFlags | quint32(span.end) << EndShift, offset});
            offset += static_cast<quint32>(span.length);
            m_storedBytes += span.length;
        }
    }
}

void RowPages::appendMark(const SessionMark &mark)
{
    openChunk(mark.event.time, mark.event.session);
    pushMark(mark);
}

void RowPages::serverFound(const RelayEvent &event)
{
    for (auto mark = m_marks.rbegin(); mark != m_marks.rend(); ++mark) {
        if (mark->event.kind == RelayEvent::Kind::ClientConnected && mark->event.session == event.session) {
            mark->event.server = event.server;
            return;
        }
    }
}

void RowPages::openChunk(qint64 arrivedMsecs, int session)
{
    m_chunks.push_back({m_rows, session, arrivedMsecs});
}

void RowPages::pushRow(quint32 flags, QByteArrayView bytes, BlockReserve &reserve)
{
    quint32 block = 0;
    quint32 offset = 0;
    char *dest = reserveBytes(bytes.size(), &block, &offset, reserve);
    if (!bytes.isEmpty())
        std::memcpy(dest, bytes.data(), static_cast<size_t>(bytes.size()));
    pushRef({block << BlockShift | flags, offset});
    m_storedBytes += bytes.size();
}

void RowPages::pushMark(const SessionMark &mark)
{
    const auto index = static_cast<quint32>(m_marks.size());
    m_marks.push_back(mark);
    const auto next = m_blocks.empty() ? 0 : static_cast<quint32>(m_blocks.back().size());
    pushRef({index << BlockShift | MarkerBit, next});
}

void RowPages::appendFrom(const RowPages &other, int first, BlockReserve &reserve)
{
    if (first >= other.m_rows)
        return;
    const int shift = m_rows - first;
    for (size_t c = other.chunkIndex(first); c < other.m_chunks.size(); ++c) {
        const int from = std::max(first, other.m_chunks[c].firstRow);
        const int end = c + 1 < other.m_chunks.size() ? other.m_chunks[c + 1].firstRow : other.m_rows;
        openChunk(other.m_chunks[c].arrivedMsecs, other.m_chunks[c].session);
        for (int row = from; row < end; ++row) {
            const RowRef &r = other.at(row);
            if (r.flagsAndBlock & MarkerBit)
                pushMark(other.mark(row));
            else
                pushRow(r.flagsAndBlock & ((1U << BlockShift) - 1), other.bytes(row), reserve);
        }
    }
    for (auto it = other.differences.cbegin(); it != other.differences.cend(); ++it) {
        if (it.key() >= first)
            differences.insert(it.key() + shift, it.value());
    }
}

void RowPages::truncate(int count)
{
    if (count >= m_rows)
        return;
    // The last row kept ends where the first one dropped starts: its block is
    // cut there, since the last row's bytes run to its block's end.
    qsizetype keptEnd = -1;
    size_t lastBlock = 0;
    for (int row = count - 1; row >= 0 && keptEnd < 0; --row) {
        const RowRef &r = at(row);
        if (!(r.flagsAndBlock & MarkerBit)) {
            lastBlock = r.flagsAndBlock >> BlockShift;
            keptEnd = r.offset + bytes(row).size();
        }
    }
    size_t marksKept = m_marks.size();
    for (int row = count; row < m_rows; ++row) {
        if (at(row).flagsAndBlock & MarkerBit) {
            marksKept = at(row).flagsAndBlock >> BlockShift;
            break;
        }
    }
    for (int row = count; row < m_rows; ++row)
        m_storedBytes -= bytes(row).size();
    m_marks.resize(marksKept);
    while (!m_chunks.empty() && m_chunks.back().firstRow >= count)
        m_chunks.pop_back();
    if (keptEnd < 0) {
        m_blocks.clear();
    } else {
        m_blocks.resize(lastBlock + 1);
        m_blocks.back().resize(keptEnd);
    }
    // No room is trusted after a cut: the next row opens a block of its own.
    m_blockEnd = m_blocks.empty() ? 0 : m_blocks.back().size();
    m_rows = count;
    for (auto it = differences.begin(); it != differences.end();)
        it = it.key() >= count ? differences.erase(it) : std::next(it);
}

QByteArrayView RowPages::bytes(int row) const
{
    const RowRef &r = at(row);
    if (r.flagsAndBlock & MarkerBit)
        return QByteArrayView();
    const quint32 block = r.flagsAndBlock >> BlockShift;
    qsizetype end = m_blocks[block].size();
    if (row + 1 < m_rows) {
        // A mark holds no bytes; it points where the bytes after it go, which
        // is where this row's end, in the block rows were going into.
        const RowRef &next = at(row + 1);
        if ((next.flagsAndBlock & MarkerBit) || (next.flagsAndBlock >> BlockShift) == block)
            end = next.offset;
    }
    return QByteArrayView(m_blocks[block]).sliced(r.offset, end - r.offset);
}

size_t RowPages::chunkIndex(int row) const
{
    const auto after = std::upper_bound(m_chunks.begin(), m_chunks.end(), row,
                                        [](int r, const Chunk &c) { return r < c.firstRow; });
    return static_cast<size_t>(after - m_chunks.begin()) - 1;
}

void RowPages::addRefPage()
{
    // Left unset: every reference is written before it is read, and
    // zeroing would touch all of the page's memory at once.
    std::unique_ptr<RowRef[]> page(new RowRef[RefsPerPage]);
    MemoryHints::mapAhead(reinterpret_cast<char *>(page.get()), RefsPerPage * sizeof(RowRef));
    m_refPages.push_back(std::move(page));
}

char *RowPages::reserveBytes(qsizetype length, quint32 *block, quint32 *offset, BlockReserve &reserve)
{
    // A row never straddles two blocks; rows are at most a capture row long,
    // far below a block, so the space left unused at a block's end is small.
    if (m_blocks.empty() || m_blocks.back().size() + length > m_blockEnd) {
        QByteArray fresh;
        if (length <= BlockBytes) {
            fresh = reserve.take();
            m_blockEnd = fresh.size() + BlockBytes;
        } else {
            fresh.reserve(length);
            m_blockEnd = length;
            // Filled within moments of its allocation.
            MemoryHints::mapAhead(fresh.data(), length);
        }
        m_blocks.push_back(std::move(fresh));
    }
    QByteArray &last = m_blocks.back();
    *block = static_cast<quint32>(m_blocks.size() - 1);
    *offset = static_cast<quint32>(last.size());
    last.resize(last.size() + length);
    return last.data() + *offset;
}
