#include "DialogueEndWatch.h"

#include "Dialects.h"

#include <algorithm>
#include <cstring>

namespace {

// The last newline in [data, data + size), or null.
const char *lastNewline(const char *data, qsizetype size)
{
#ifdef __GLIBC__
    return static_cast<const char *>(memrchr(data, '\n', size_t(size)));
#else
    for (qsizetype i = size; i > 0; --i) {
        if (data[i - 1] == '\n')
            return data + i - 1;
    }
    return nullptr;
#endif
}

} // namespace

void DialogueEndWatch::feed(Side from, QByteArrayView bytes)
{
    if (bytes.isEmpty())
        return;
    if (from == Side::Client)
        feedClient(bytes);
    else if (m_dialect && !m_closing)
        // Until the client closes, nothing the server says counts: only where
        // its current line started is followed.
        keepTail(m_line[sideIndex(Side::Server)], bytes);
    else
        feedServer(bytes);
}

void DialogueEndWatch::keepTail(LineStart &line, QByteArrayView bytes)
{
    const char *const lf = lastNewline(bytes.data(), bytes.size());
    if (lf) {
        line.size = 0;
        line.longer = false;
        bytes = bytes.sliced(lf - bytes.data() + 1);
    }
    keep(line, bytes);
}

void DialogueEndWatch::keep(LineStart &line, QByteArrayView bytes)
{
    const qsizetype take = std::min(bytes.size(), KeptBytes - line.size);
    std::memcpy(line.bytes.data() + line.size, bytes.data(), size_t(take));
    line.size += take;
    line.longer = line.longer || take < bytes.size();
}

QByteArrayView DialogueEndWatch::trimmed(QByteArrayView line)
{
    while (!line.isEmpty() && (line.back() == '\r' || line.back() == ' '))
        line.chop(1);
    return line;
}

void DialogueEndWatch::feedClient(QByteArrayView bytes)
{
    // Each client line takes the place of the one before, and no server line
    // comes between two lines of one chunk: only the chunk's last whole line
    // counts, found from the end, so a long chunk costs a look at its end.
    LineStart &line = m_line[sideIndex(Side::Client)];
    const char *const data = bytes.data();
    const char *const lf = lastNewline(data, bytes.size());
    if (!lf) {
        keep(line, bytes);
        return;
    }
    const qsizetype end = lf - data;
    // Its start lies no further back than a kept line's length, or it is too long.
    const qsizetype window = std::max<qsizetype>(0, end - KeptBytes - 1);
    const char *const before = lastNewline(data + window, end - window);
    if (before) {
        clientLine(trimmed(QByteArrayView(before + 1, lf)));
    } else if (window > 0) {
        clientLine(QByteArrayView());
    } else {
        // It began in an earlier chunk.
        keep(line, QByteArrayView(data, end));
        clientLine(line.longer ? QByteArrayView() : trimmed(QByteArrayView(line.bytes.data(), line.size)));
    }
    line.size = 0;
    line.longer = false;
    keep(line, bytes.sliced(end + 1));
}

void DialogueEndWatch::feedServer(QByteArrayView bytes)
{
    LineStart &line = m_line[sideIndex(Side::Server)];
    const char *const data = bytes.data();
    qsizetype at = 0;
    while (at < bytes.size()) {
        const auto *lf = static_cast<const char *>(std::memchr(data + at, '\n', size_t(bytes.size() - at)));
        if (!lf) {
            keep(line, bytes.sliced(at));
            return;
        }
        const qsizetype stop = lf - data;
        keep(line, QByteArrayView(data + at, stop - at));
        const bool longer = line.longer;
        const QByteArrayView kept = trimmed(QByteArrayView(line.bytes.data(), line.size));
        line.size = 0;
        line.longer = false;
        if (!longer || !m_dialect) // a long greeting still names its protocol
            serverLine(kept);
        at = stop + 1;
    }
}

void DialogueEndWatch::clientLine(QByteArrayView line)
{
    m_over = false;
    // An overlong line (a body, a long argument) is no closing command, and
    // most lines of a long dialogue are such: asked of no dialect.
    if (line.isEmpty()) {
        m_closing = false;
        return;
    }
    const Dialect &dialect = m_dialect ? *m_dialect : Dialects::unknown();
    m_close = dialect.command(line, false);
    m_closing = m_close.kind == Command::Kind::Close;
}

void DialogueEndWatch::serverLine(QByteArrayView line)
{
    if (!m_dialect)
        m_dialect = &Dialects::greetedBy(line);
    // Answers to earlier commands (pipelined, or a multi-line reply) may come
    // first: only the answer to the closing command ends the dialogue.
    if (!m_closing)
        return;
    const Answer answer = m_dialect->answer(line);
    m_over = m_over || (answer.role == Answer::Role::Untagged && answer.status == "BYE")
        || (answer.tag == m_close.tag && m_dialect->accepts(m_close, answer));
}
