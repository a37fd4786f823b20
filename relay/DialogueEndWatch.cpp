#include "DialogueEndWatch.h"

#include "Dialects.h"

#include <algorithm>
#include <cstring>

void DialogueEndWatch::feed(Side from, QByteArrayView bytes)
{
    LineStart &line = m_line[sideIndex(from)];
    const char *const data = bytes.data();
    qsizetype at = 0;
    while (at < bytes.size()) {
        const auto *lf = static_cast<const char *>(std::memchr(data + at, '\n', size_t(bytes.size() - at)));
        const qsizetype stop = lf ? lf - data : bytes.size();
        QByteArrayView kept;
        bool longer = false;
        if (lf && line.size == 0 && !line.longer) {
            // The whole line is in this chunk, as most are: read where it lies.
            longer = stop - at > KeptBytes;
            kept = QByteArrayView(data + at, longer ? KeptBytes : stop - at);
        } else {
            // Its start waits for the rest, in the chunks to come.
            const qsizetype take = std::min(stop - at, KeptBytes - line.size);
            std::memcpy(line.bytes.data() + line.size, data + at, size_t(take));
            line.size += take;
            line.longer = line.longer || take < stop - at;
            if (!lf)
                return;
            longer = line.longer;
            kept = QByteArrayView(line.bytes.data(), line.size);
            line.size = 0;
            line.longer = false;
        }
        while (!kept.isEmpty() && (kept.back() == '\r' || kept.back() == ' '))
            kept.chop(1);
        // A line too long to be a closing command is still a command: it
        // takes the place of the last one.
        if (from == Side::Client)
            clientLine(longer ? QByteArrayView() : kept);
        else if (!longer || !m_dialect) // a long greeting still names its protocol
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
