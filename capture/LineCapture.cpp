#include "LineCapture.h"

#include <cstring>

namespace {

using RowEnd = LineCapture::RowEnd;

void addCut(LineCapture::Rows &rows, qsizetype offset, qsizetype length, qsizetype bound, RowEnd last)
{
    // An over-long line leaves as several rows of at most bound bytes each.
    while (length > bound) {
        rows.spans.append({offset, bound, RowEnd::Cut});
        offset += bound;
        length -= bound;
    }
    rows.spans.append({offset, length, last});
}

} // namespace

LineCapture::LineCapture(qsizetype maxRowBytes)
    : m_maxRowBytes(maxRowBytes > 0 ? maxRowBytes : MaxRowBytes)
{
}

qsizetype LineCapture::firstLineEnd(const QByteArray &chunk) const
{
    const char *data = chunk.constData();
    const qsizetype size = chunk.size();
    if (size > 0 && data[0] == '\n' && m_tail.endsWith('\r'))
        return 1;
    qsizetype from = 1;
    while (from < size) {
        const void *hit = std::memchr(data + from, '\n', static_cast<size_t>(size - from));
        if (!hit)
            return -1;
        const qsizetype lf = static_cast<const char *>(hit) - data;
        if (data[lf - 1] == '\r')
            return lf + 1;
        from = lf + 1;
    }
    return -1;
}

LineCapture::Rows LineCapture::feed(const QByteArray &chunk)
{
    Rows rows;
    qsizetype start = 0;
    if (m_tail.isEmpty()) {
        rows.buffer = chunk; // shared, not copied
    } else if (const qsizetype joined = firstLineEnd(chunk); joined > 0) {
        // Only the line the tail began is copied together; the rest of the
        // chunk is shared as it is.
        rows.head.reserve(m_tail.size() + joined);
        rows.head.append(m_tail).append(chunk.constData(), joined);
        m_tail.clear();
        addCut(rows, 0, rows.head.size() - 2, m_maxRowBytes, RowEnd::CrLf);
        rows.headRows = rows.spans.size();
        rows.buffer = chunk;
        start = joined;
    } else {
        rows.buffer.reserve(m_tail.size() + chunk.size());
        rows.buffer.append(m_tail).append(chunk);
        m_tail.clear();
    }

    const char *data = rows.buffer.constData();
    const qsizetype size = rows.buffer.size();
    qsizetype from = start;
    while (from < size) {
        const void *hit = std::memchr(data + from, '\n', static_cast<size_t>(size - from));
        if (!hit)
            break;
        const qsizetype lf = static_cast<const char *>(hit) - data;
        if (lf > start && data[lf - 1] == '\r') {
            addCut(rows, start, lf - 1 - start, m_maxRowBytes, RowEnd::CrLf);
            start = lf + 1;
        }
        from = lf + 1;
    }

    // Keep the rest for the next chunk, but never more than one row's worth:
    // a trailing CR is not counted, as it may be the first half of a separator.
    qsizetype rest = size - start;
    const auto pending = [&] { return rest - (rest > 0 && data[size - 1] == '\r' ? 1 : 0); };
    while (pending() > m_maxRowBytes) {
        rows.spans.append({start, m_maxRowBytes, RowEnd::Cut});
        start += m_maxRowBytes;
        rest -= m_maxRowBytes;
    }
    if (rest > 0)
        m_tail = rows.buffer.sliced(start);
    return rows;
}

LineCapture::Rows LineCapture::flush()
{
    Rows rows;
    if (!m_tail.isEmpty()) {
        rows.buffer.swap(m_tail);
        // The tail may be a full row plus a CR that waited for its LF.
        addCut(rows, 0, rows.buffer.size(), m_maxRowBytes, RowEnd::Unended);
    }
    return rows;
}

void LineCapture::reset()
{
    m_tail.clear();
}
