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
        else if (!longer)
            serverLine(kept);
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
