#include "TranscriptReader.h"

#include "RowText.h"

#include "Transcript.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>

#include <cstring>

namespace {

constexpr qint64 MsecsPerHour = qint64{3600} * 1000;
constexpr qint64 DayMsecs = 24 * MsecsPerHour;
constexpr qsizetype StampLength = 13; // "HH:MM:SS.mmm "

int digit(char c)
{
    return c >= '0' && c <= '9' ? c - '0' : -1;
}

int hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Milliseconds into the day of "HH:MM:SS.mmm ", or -1.
qint64 stampMsecs(const char *p)
{
    static const char shape[] = "99:99:99.999 ";
    int value[StampLength] = {};
    for (qsizetype i = 0; i < StampLength; ++i) {
        if (shape[i] == '9') {
            value[i] = digit(p[i]);
            if (value[i] < 0)
                return -1;
        } else if (p[i] != shape[i]) {
            return -1;
        }
    }
    const int hours = value[0] * 10 + value[1];
    const int minutes = value[3] * 10 + value[4];
    const int seconds = value[6] * 10 + value[7];
    const int millis = value[9] * 100 + value[10] * 10 + value[11];
    if (hours > 23 || minutes > 59 || seconds > 59)
        return -1;
    return ((hours * 60 + minutes) * 60 + seconds) * qint64{1000} + millis;
}

} // namespace

bool TranscriptReader::parse(QByteArrayView text, QDate lastDay)
{
    m_lines.clear();
    m_bytes.clear();
    m_error.clear();
    m_lastDay = lastDay;
    // Rows take at most the room of their lines.
    m_bytes.reserve(text.size());
    m_lines.reserve(static_cast<size_t>(text.size() / 48));

    const char *const begin = text.data();
    const char *const end = begin + text.size();
    const char *p = begin;
    // A byte order mark, as some editors put before UTF-8, is no part of a line.
    if (text.startsWith("\xef\xbb\xbf"))
        p += 3;
    qsizetype lineNumber = 0;
    qint64 previous = -1;
    int day = 0;
    while (p < end) {
        ++lineNumber;
        const char *eol = static_cast<const char *>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
        const char *next = eol ? eol + 1 : end;
        if (!eol)
            eol = end;
        // Dravlin writes a CR as \x0d, so a raw one can only be a line end
        // that an editor on another system turned into CR LF.
        if (eol > p && eol[-1] == '\r')
            --eol;
        const qint64 ofDay = eol - p >= StampLength + 3 ? stampMsecs(p) : -1;
        if (ofDay < 0) {
            fail(lineNumber, QStringLiteral("l\u2019heure HH:MM:SS.mmm manque en t\u00eate de ligne"));
            return false;
        }
        const char *content = p + StampLength;
        Line line{Line::Kind::Row, Side::Client, 0, m_bytes.size(), 0};
        if (std::memcmp(content, "C: ", 3) == 0) {
            line.side = Side::Client;
        } else if (std::memcmp(content, "S: ", 3) == 0) {
            line.side = Side::Server;
        } else if (std::memcmp(content, Transcript::MarkerPrefix, 3) == 0) {
            line.kind = Line::Kind::Marker;
        } else {
            fail(lineNumber, QStringLiteral("\u00ab\u00a0C: \u00bb, \u00ab\u00a0S: \u00bb ou \u00ab\u00a0-- \u00bb "
                                            "attendu apr\u00e8s l\u2019heure"));
            return false;
        }
        if (!unescape(QByteArrayView(content + 3, eol), lineNumber))
            return false;
        line.length = m_bytes.size() - line.offset;
        // A small step back is a clock set back; a large one is midnight.
        if (previous >= 0 && ofDay < previous - DayMsecs / 2)
            ++day;
        previous = ofDay;
        line.msecs = day * DayMsecs + ofDay;
        m_lines.push_back(line);
        p = next;
    }
    placeOnDays(day);
    return true;
}

bool TranscriptReader::readFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        m_lines.clear();
        m_bytes.clear();
        m_error = QStringLiteral("Impossible de lire \u00ab\u00a0%1\u00a0\u00bb\u00a0: %2").arg(path, file.errorString());
        return false;
    }
    const QDate day = QFileInfo(file).lastModified().date();
    const QByteArray text = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        m_lines.clear();
        m_bytes.clear();
        m_error = QStringLiteral("Impossible de lire \u00ab\u00a0%1\u00a0\u00bb\u00a0: %2").arg(path, file.errorString());
        return false;
    }
    return parse(text, day);
}

QByteArray TranscriptReader::transcript() const
{
    QByteArray out;
    out.reserve(m_bytes.size() + qsizetype(m_lines.size()) * 20);
    QByteArray stamp;
    qint64 stampedMsecs = 0;
    for (const Line &line : m_lines) {
        if (stamp.isEmpty() || line.msecs != stampedMsecs) {
            stamp = Transcript::stamp(line.msecs);
            stampedMsecs = line.msecs;
        }
        if (line.kind == Line::Kind::Row)
            Transcript::appendLine(out, stamp, line.side, bytes(line));
        else
            Transcript::appendMarkerLine(out, stamp, markerText(line));
    }
    return out;
}

void TranscriptReader::fail(qsizetype lineNumber, const QString &why)
{
    m_lines.clear();
    m_bytes.clear();
    m_error = QStringLiteral("ligne %1\u00a0: %2").arg(lineNumber).arg(why);
}

bool TranscriptReader::unescape(QByteArrayView text, qsizetype lineNumber)
{
    const auto *u = reinterpret_cast<const unsigned char *>(text.data());
    if (RowText::isPlainAscii(text)) {
        m_bytes.append(text);
        return true;
    }
    if (!text.isValidUtf8()) {
        fail(lineNumber, QStringLiteral("le texte n\u2019est pas de l\u2019UTF-8"));
        return false;
    }
    const qsizetype n = text.size();
    for (qsizetype i = 0; i < n; ++i) {
        const unsigned char c = u[i];
        if (c == '\\') {
            if (i + 1 < n && u[i + 1] == '\\') {
                m_bytes.append('\\');
                ++i;
                continue;
            }
            const int high = i + 3 < n && u[i + 1] == 'x' ? hexDigit(text[i + 2]) : -1;
            const int low = high >= 0 ? hexDigit(text[i + 3]) : -1;
            if (low < 0) {
                fail(lineNumber, QStringLiteral("\u00ab\u00a0\\\u00a0\u00bb doit \u00eatre suivi de "
                                                "\u00ab\u00a0\\\u00a0\u00bb ou de \u00ab\u00a0xHH\u00a0\u00bb"));
                return false;
            }
            // One byte, whatever it is: how a row that is not UTF-8 keeps its bytes.
            m_bytes.append(static_cast<char>(high << 4 | low));
            i += 3;
        } else if ((c < 0x20 && c != '\t') || c == 0x7f) {
            fail(lineNumber, QStringLiteral("caract\u00e8re de contr\u00f4le 0x%1 non \u00e9chapp\u00e9")
                                 .arg(c, 2, 16, QLatin1Char('0')));
            return false;
        } else {
            m_bytes.append(static_cast<char>(c));
        }
    }
    return true;
}

void TranscriptReader::placeOnDays(int lastDayIndex)
{
    // Local time of each line's day and hour, worked out once per hour
    // rather than once per line: it is the slow part, and offsets from UTC
    // change on the hour.
    qint64 cachedKey = -1;
    qint64 cachedStart = 0;
    for (Line &line : m_lines) {
        const qint64 key = line.msecs / MsecsPerHour;
        if (key != cachedKey) {
            const QDate date = m_lastDay.addDays(key / 24 - lastDayIndex);
            cachedStart = QDateTime(date, QTime(int(key % 24), 0)).toMSecsSinceEpoch();
            cachedKey = key;
        }
        line.msecs = cachedStart + line.msecs % MsecsPerHour;
    }
}
