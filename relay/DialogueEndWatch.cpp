#include "DialogueEndWatch.h"

#include <algorithm>
#include <cstring>

namespace {

bool startsWithNoCase(QByteArrayView text, QByteArrayView start)
{
    return text.size() >= start.size() && qstrnicmp(text.data(), start.size(), start.data(), start.size()) == 0;
}

bool equalsNoCase(QByteArrayView text, QByteArrayView word)
{
    return text.size() == word.size() && startsWithNoCase(text, word);
}

} // namespace

void DialogueEndWatch::feed(Side from, QByteArrayView bytes)
{
    LineStart &line = m_line[sideIndex(from)];
    const char *const data = bytes.data();
    qsizetype at = 0;
    while (at < bytes.size()) {
        const auto *lf = static_cast<const char *>(std::memchr(data + at, '\n', size_t(bytes.size() - at)));
        const qsizetype stop = lf ? lf - data : bytes.size();
        const qsizetype take = std::min(stop - at, KeptBytes - line.size);
        std::memcpy(line.bytes.data() + line.size, data + at, size_t(take));
        line.size += take;
        line.longer = line.longer || take < stop - at;
        if (!lf)
            return;
        QByteArrayView kept(line.bytes.data(), line.size);
        while (!kept.isEmpty() && (kept.back() == '\r' || kept.back() == ' '))
            kept.chop(1);
        // A line too long to be a closing command is still a command: it
        // takes the place of the last one.
        if (from == Side::Client)
            clientLine(line.longer ? QByteArrayView() : kept);
        else if (!line.longer)
            serverLine(kept);
        // Only the count is reset: the bytes past it are never read, and
        // clearing them for every line relayed would cost more than the rest.
        line.size = 0;
        line.longer = false;
        at = stop + 1;
    }
}

void DialogueEndWatch::clientLine(QByteArrayView line)
{
    m_over = false;
    m_awaiting = Awaiting::Nothing;
    if (equalsNoCase(line, "QUIT")) {
        m_awaiting = Awaiting::QuitAnswer;
        return;
    }
    const qsizetype space = line.indexOf(' ');
    if (space > 0 && equalsNoCase(line.sliced(space + 1), "LOGOUT")) {
        m_awaiting = Awaiting::LogoutAnswer;
        m_tag = line.first(space).toByteArray();
    }
}

void DialogueEndWatch::serverLine(QByteArrayView line)
{
    // Answers to earlier commands (pipelined, or a multi-line reply) may come
    // first: only the answer to the closing command ends the dialogue.
    switch (m_awaiting) {
    case Awaiting::Nothing:
        return;
    case Awaiting::QuitAnswer:
        m_over = m_over || line.startsWith("221") || startsWithNoCase(line, "+OK");
        return;
    case Awaiting::LogoutAnswer:
        m_over = m_over || startsWithNoCase(line, "* BYE")
            || (line.startsWith(m_tag) && startsWithNoCase(line.sliced(m_tag.size()), " OK"));
        return;
    }
}
