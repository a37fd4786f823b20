#include "UpgradeDetector.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace {

// Past the end of a long line only this much is kept, enough for an IMAP literal's "{n}".
constexpr qsizetype LineEndBytes = 32;

// What is known from the first bytes: a TLS record of type handshake (22),
// version 3.0 to 3.4, then, after the 2-byte length, a ClientHello (1).
enum class Hello { No, Maybe, Yes };

Hello helloAt(QByteArrayView bytes)
{
    const auto at = [&bytes](qsizetype i) { return static_cast<unsigned char>(bytes[i]); };
    if ((bytes.size() > 0 && at(0) != 0x16) || (bytes.size() > 1 && at(1) != 0x03)
        || (bytes.size() > 2 && at(2) > 0x04) || (bytes.size() > 5 && at(5) != 0x01))
        return Hello::No;
    return bytes.size() > 5 ? Hello::Yes : Hello::Maybe;
}

bool sameText(QByteArrayView a, QByteArrayView b)
{
    return a.size() == b.size() && qstrnicmp(a.data(), a.size(), b.data(), b.size()) == 0;
}

bool startsWithText(QByteArrayView line, QByteArrayView start)
{
    return line.size() >= start.size() && sameText(line.first(start.size()), start);
}

// The line without its LF, its CR and trailing blanks.
QByteArrayView trimmedLine(QByteArrayView line)
{
    while (!line.isEmpty() && (line.back() == '\n' || line.back() == '\r' || line.back() == ' ' || line.back() == '\t'))
        line.chop(1);
    return line;
}

// The n of a line ending in an IMAP literal "{n}", "{n+}" or "~{n}", else -1.
qsizetype literalLength(QByteArrayView line)
{
    if (!line.endsWith('}'))
        return -1;
    line.chop(1);
    if (line.endsWith('+') || line.endsWith('-'))
        line.chop(1);
    const qsizetype open = line.lastIndexOf('{');
    const QByteArrayView digits = open < 0 ? QByteArrayView() : line.sliced(open + 1);
    if (digits.isEmpty() || digits.size() > 15)
        return -1;
    qsizetype n = 0;
    for (const char c : digits) {
        if (c < '0' || c > '9')
            return -1;
        n = n * 10 + (c - '0');
    }
    return n;
}

// Appends what fits of segment to a line kept to its first LineBytes.
void keepStart(QByteArray &line, QByteArrayView segment)
{
    const qsizetype room = UpgradeDetector::LineBytes - line.size();
    if (room > 0)
        line.append(segment.first(std::min(room, segment.size())));
}

} // namespace

UpgradeDetector::Step UpgradeDetector::feed(Side from, QByteArray &chunk)
{
    if (m_phase != Phase::Tls)
        return from == Side::Client ? feedClient(chunk) : feedServer(chunk);
    if (from == Side::Client) {
        m_clientSpokeTls = m_clientSpokeTls || !chunk.isEmpty();
        return {0, 0, true};
    }
    if (m_clientSpokeTls)
        return {0, 0, true};
    m_dropped[sideIndex(Side::Server)] += chunk.size();
    return {0, chunk.size(), true};
}

QByteArray UpgradeDetector::takeHeld()
{
    QByteArray held;
    held.swap(m_held);
    return held;
}

UpgradeDetector::Step UpgradeDetector::feedClient(QByteArray &chunk)
{
    if (!m_firstBytesKnown) {
        if (!m_held.isEmpty()) {
            chunk.prepend(m_held);
            m_held.clear();
        }
        switch (helloAt(chunk)) {
        case Hello::Yes:
            m_phase = Phase::Tls;
            m_protocol = Protocol::Implicit;
            m_clientSpokeTls = true;
            return {0, 0, true};
        case Hello::Maybe:
            m_held.swap(chunk);
            return {};
        case Hello::No:
            m_firstBytesKnown = true;
            break;
        }
    }
    if (m_phase == Phase::Awaiting) {
        m_dropped[sideIndex(Side::Client)] += chunk.size();
        return {0, chunk.size(), false};
    }
    const qsizetype end = scanClient(chunk);
    if (end < 0)
        return {chunk.size(), 0, false};
    m_phase = Phase::Awaiting;
    // The server's answer is a line begun after the request.
    m_serverLineStale = !m_serverAtLineStart;
    m_serverLine.clear();
    m_multiLineCode.clear();
    const qsizetype drop = chunk.size() - end;
    m_dropped[sideIndex(Side::Client)] += drop;
    return {end, drop, false};
}

qsizetype UpgradeDetector::scanClient(const QByteArray &chunk)
{
    const char *data = chunk.constData();
    const qsizetype size = chunk.size();
    qsizetype at = 0;
    while (at < size) {
        if (m_skip > 0) {
            const qsizetype n = std::min(m_skip, size - at);
            m_skip -= n;
            at += n;
            continue;
        }
        const void *hit = std::memchr(data + at, '\n', static_cast<size_t>(size - at));
        const qsizetype end = hit ? static_cast<const char *>(hit) - data + 1 : size;
        const QByteArrayView segment(data + at, end - at);
        if (!m_clientLineCut) {
            m_clientLine.append(segment);
            if (m_clientLine.size() > LineBytes) {
                m_clientLineCut = true;
                m_clientLine = m_clientLine.right(LineEndBytes);
            }
        } else {
            m_clientLine.append(segment.last(std::min(segment.size(), LineEndBytes)));
            m_clientLine.remove(0, m_clientLine.size() - LineEndBytes);
        }
        at = end;
        if (!hit)
            break;
        const bool upgrade = isUpgradeLine(m_clientLine, m_clientLineCut);
        m_clientLine.clear();
        m_clientLineCut = false;
        if (upgrade)
            return at;
    }
    return -1;
}

bool UpgradeDetector::isUpgradeLine(QByteArrayView line, bool cut)
{
    line = trimmedLine(line);
    if (m_inBody) {
        // A message ends at a line of one dot; its lines are text, never commands.
        m_inBody = cut || line != ".";
        return false;
    }
    if (const qsizetype literal = literalLength(line); literal >= 0) {
        m_skip = literal;
        return false;
    }
    if (cut)
        return false;
    if (sameText(line, "DATA")) {
        m_inBody = true;
        return false;
    }
    if (startsWithText(line, "BDAT ")) {
        // "BDAT <size> [LAST]": size bytes of message follow the line.
        QByteArrayView size = line.sliced(5);
        if (const qsizetype space = size.indexOf(' '); space >= 0)
            size.truncate(space);
        bool ok = false;
        const qlonglong length = size.size() <= 15 ? size.toLongLong(&ok) : 0;
        m_skip = ok && length > 0 ? length : 0;
        return false;
    }
    Protocol protocol = Protocol::None;
    if (sameText(line, "STARTTLS")) {
        protocol = Protocol::Smtp;
    } else if (sameText(line, "STLS")) {
        protocol = Protocol::Pop3;
    } else if (sameText(line, "AUTH TLS") || sameText(line, "AUTH SSL") || sameText(line, "AUTH TLS-C")
               || sameText(line, "AUTH TLS-P")) {
        protocol = Protocol::Ftp;
    } else if (const qsizetype space = line.indexOf(' ');
               space > 0 && sameText(line.sliced(space + 1), "STARTTLS")) {
        const QByteArrayView tag = line.first(space);
        for (const char c : tag) {
            if (static_cast<unsigned char>(c) <= ' ' || c == 0x7f)
                return false;
        }
        protocol = Protocol::Imap;
        m_tag = tag.toByteArray();
    }
    if (protocol == Protocol::None)
        return false;
    m_protocol = protocol;
    return true;
}

UpgradeDetector::Step UpgradeDetector::feedServer(const QByteArray &chunk)
{
    const qsizetype size = chunk.size();
    if (size == 0)
        return {};
    if (m_phase == Phase::Watching) {
        m_serverAtLineStart = chunk.endsWith('\n');
        return {size, 0, false};
    }
    const char *data = chunk.constData();
    qsizetype at = 0;
    while (at < size) {
        const void *hit = std::memchr(data + at, '\n', static_cast<size_t>(size - at));
        const qsizetype end = hit ? static_cast<const char *>(hit) - data + 1 : size;
        if (!m_serverLineStale)
            keepStart(m_serverLine, QByteArrayView(data + at, end - at));
        at = end;
        if (!hit)
            break;
        if (m_serverLineStale) {
            m_serverLineStale = false;
            continue;
        }
        const Answer answer = answerOf(m_serverLine);
        m_serverLine.clear();
        if (answer == Answer::Accepted) {
            m_phase = Phase::Tls;
            const qsizetype drop = size - at;
            m_dropped[sideIndex(Side::Server)] += drop;
            return {at, drop, true};
        }
        if (answer == Answer::Refused) {
            m_phase = Phase::Watching;
            break;
        }
    }
    m_serverAtLineStart = chunk.endsWith('\n');
    return {size, 0, false};
}

UpgradeDetector::Answer UpgradeDetector::answerOf(QByteArrayView line)
{
    line = trimmedLine(line);
    switch (m_protocol) {
    case Protocol::Pop3:
        return startsWithText(line, "+OK") ? Answer::Accepted : Answer::Refused;
    case Protocol::Imap: {
        // Untagged data, continuations and answers to earlier commands come first.
        if (line.size() <= m_tag.size() || !line.startsWith(m_tag) || line[m_tag.size()] != ' ')
            return Answer::NotYet;
        const QByteArrayView status = line.sliced(m_tag.size() + 1);
        return startsWithText(status, "OK") && (status.size() == 2 || status[2] == ' ') ? Answer::Accepted
                                                                                        : Answer::Refused;
    }
    case Protocol::Smtp:
    case Protocol::Ftp: {
        // A multi-line reply ("220-" ...) is over at the line of its code and a
        // space; in between (FTP) its lines may be any text.
        const bool coded = line.size() >= 3 && std::isdigit(static_cast<unsigned char>(line[0]))
            && std::isdigit(static_cast<unsigned char>(line[1])) && std::isdigit(static_cast<unsigned char>(line[2]));
        const bool goesOn = coded && line.size() > 3 && line[3] == '-';
        if (!m_multiLineCode.isEmpty()) {
            if (goesOn || !line.startsWith(m_multiLineCode))
                return Answer::NotYet;
        } else if (goesOn) {
            m_multiLineCode = line.first(3).toByteArray();
            return Answer::NotYet;
        }
        m_multiLineCode.clear();
        return line.startsWith(m_protocol == Protocol::Smtp ? "220" : "234") ? Answer::Accepted : Answer::Refused;
    }
    case Protocol::None:
    case Protocol::Implicit:
        break;
    }
    return Answer::Refused;
}
