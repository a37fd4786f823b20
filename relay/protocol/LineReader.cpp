#include "LineReader.h"

#include <algorithm>
#include <cstring>

qsizetype LineReader::read(QByteArrayView data, qsizetype at)
{
    const qsizetype size = data.size();
    if (m_skip > 0) {
        const qsizetype n = std::min(m_skip, size - at);
        m_skip -= n;
        return at + n;
    }
    const char *bytes = data.data();
    const void *hit = std::memchr(bytes + at, '\n', static_cast<size_t>(size - at));
    const qsizetype end = hit ? static_cast<const char *>(hit) - bytes + 1 : size;
    m_line.append(QByteArrayView(bytes + at, end - at));
    m_complete = hit != nullptr;
    return end;
}

void LineReader::next()
{
    m_line.clear();
    m_complete = false;
}
