#include "TranscriptReader.h"

#include "LineCapture.h"
#include "ReasonText.h"
#include "RegularFile.h"
#include "RowText.h"
#include "Transcript.h"
#include "TranscriptMarks.h"

#include <QDateTime>

#include <algorithm>
#include <cstring>

namespace {

constexpr qint64 MsecsPerHour = qint64{3600} * 1000;
constexpr qint64 DayMsecs = 24 * MsecsPerHour;
constexpr qsizetype StampLength = 13; // "HH:MM:SS.mmm "
// A line longer than this is read a piece at a time rather than held whole.
constexpr qsizetype LongLine = qsizetype{256} * 1024;
// Room left at a piece's end for an escape or a character cut in two.
constexpr qsizetype Overlap = 8;
// Hours kept to look for times that do not exist; a file whose clock jumps
// about more often than this is not looked at so.
constexpr size_t MaxHoursKept = 100000;
// How many days earlier a file's lines may be placed when a time does not
// exist on the day guessed.
constexpr int MaxDayShift = 3;
// Days a capture file can date: its seconds are 32 bits, unsigned. A day of
// margin at both ends leaves room for any time zone.
const QDate FirstDay(1970, 1, 2);
const QDate LastDay(2106, 2, 5);

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

// Milliseconds into the day of "HH:MM:SS.mmm" followed by shape's end, or -1.
qint64 clockMsecs(const char *p, const char *shape)
{
    int value[StampLength] = {};
    for (qsizetype i = 0; shape[i]; ++i) {
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

void TranscriptReader::begin(qint64 lastChangeMsecs)
{
    m_lines.clear();
    m_marks.clear();
    m_bytes.clear();
    m_pending.clear();
    m_error.clear();
    m_hours.clear();
    m_current = Line{};
    m_inLine = m_started = false;
    m_encrypted.clear();
    m_lineNumber = m_cutLine = 0;
    m_lineStart = 0;
    m_previousOfDay = m_previousRelative = -1;
    m_day = m_dayShift = 0;
    m_lastChangeMsecs = lastChangeMsecs;
    m_lastDay = std::clamp(QDateTime::fromMSecsSinceEpoch(lastChangeMsecs).date(), FirstDay, LastDay);
    m_cachedKey = -1;
}

void TranscriptReader::reserve(qsizetype textBytes)
{
    // Rows take at most the room of their lines.
    m_bytes.reserve(textBytes);
    m_lines.reserve(static_cast<size_t>(textBytes / 48));
}

bool TranscriptReader::parse(QByteArrayView text, QDate lastDay)
{
    begin(QDateTime(lastDay, QTime(12, 0)).toMSecsSinceEpoch());
    reserve(text.size());
    return feed(text) && finish();
}

bool TranscriptReader::readFile(const QString &path)
{
    RegularFile file;
    file.setSystemWording(&ReasonText::system);
    const bool opened = file.open(path);
    begin(file.lastModifiedMsecs());
    if (!opened) {
        m_error = file.errorString();
        return false;
    }
    reserve(file.size());
    QByteArray piece;
    do {
        if (!file.read(qsizetype{4} << 20, &piece)) {
            fail(QString());
            m_error = file.errorString();
            return false;
        }
        if (!feed(piece))
            return false;
    } while (!piece.isEmpty());
    return finish();
}

bool TranscriptReader::feed(QByteArrayView text)
{
    if (!m_error.isEmpty())
        return false;
    m_pending.append(text);
    return consume(false);
}

bool TranscriptReader::finish()
{
    if (!close())
        return false;
    for (Line &line : m_lines)
        line.msecs = placedMsecs(line.msecs);
    for (SessionMark &mark : m_marks)
        mark.event.time = placedMsecs(mark.event.time);
    return true;
}

bool TranscriptReader::close()
{
    if (!m_error.isEmpty() || !consume(true))
        return false;
    // Times that do not exist on their day mean the day was guessed wrong.
    if (m_hours.size() < MaxHoursKept) {
        for (int shift = 0; shift <= MaxDayShift; ++shift) {
            m_dayShift = shift;
            m_cachedKey = -1;
            if (std::all_of(m_hours.begin(), m_hours.end(), [this](qint64 key) { return hourExists(key); }))
                break;
            m_dayShift = 0;
        }
    }
    m_cachedKey = -1;
    return true;
}

bool TranscriptReader::consume(bool atEnd)
{
    const char *const begin = m_pending.constData();
    const char *const end = begin + m_pending.size();
    const char *p = begin;
    if (!m_started) {
        // A byte order mark, as some editors put before UTF-8, is no part of a line.
        if (m_pending.size() < 3 && !atEnd)
            return true;
        m_started = true;
        if (m_pending.startsWith("\xef\xbb\xbf"))
            p += 3;
    }
    while (p < end) {
        const char *eol = static_cast<const char *>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
        if (!eol && atEnd) {
            dropCutLine();
            p = end;
            break;
        }
        const bool whole = eol != nullptr;
        const char *next = eol ? eol + 1 : end;
        if (!eol)
            eol = end;
        if (!whole && eol - p <= LongLine)
            break; // the rest of the line is yet to come
        // Dravlin writes a CR as \x0d, so a raw one can only be a line end
        // that an editor on another system turned into CR LF.
        if (whole && eol > p && eol[-1] == '\r')
            --eol;
        qsizetype head = 0;
        if (!m_inLine) {
            ++m_lineNumber;
            if (!readHead(QByteArrayView(p, eol), whole, &head))
                return false;
        }
        const qsizetype used = unescape(QByteArrayView(p + head, eol), whole);
        if (used < 0)
            return false;
        if (!whole) {
            p += head + used;
            break;
        }
        endLine();
        p = next;
    }
    // The rest moves to the front; the room stays for the next piece.
    const qsizetype kept = end - p;
    if (p != begin && kept > 0)
        std::memmove(m_pending.data(), p, static_cast<size_t>(kept));
    m_pending.truncate(kept);
    return true;
}

bool TranscriptReader::readHead(QByteArrayView line, bool whole, qsizetype *headLength)
{
    const qint64 ofDay = line.size() >= StampLength ? clockMsecs(line.data(), "99:99:99.999 ") : -1;
    int session = 0;
    qsizetype at = ofDay >= 0 ? StampLength : 0;
    at += Transcript::readSessionPrefix(line.sliced(at), &session);
    const QByteArrayView kind = line.sliced(at).first(std::min<qsizetype>(3, line.size() - at));
    // An editor may strip the space after an empty row's "C:".
    const bool bare = whole && kind.size() == 2;
    const auto is = [&](const char *prefix) {
        return kind == QByteArrayView(prefix, 3) || (bare && kind == QByteArrayView(prefix, 2));
    };
    m_current = Line{Line::Kind::Row, Side::Client, false, LineCapture::RowEnd::CrLf, session, 0, m_bytes.size(), 0};
    m_currentOfDay = ofDay;
    if (is("C: ")) {
        m_current.side = Side::Client;
    } else if (is("S: ")) {
        m_current.side = Side::Server;
    } else if (is(Transcript::MarkerPrefix)) {
        m_current.kind = Line::Kind::Marker;
    } else {
        fail(ofDay >= 0 ? tr("« C: », « S: » ou « -- » attendu après l’heure")
                        : tr("l’heure HH:MM:SS.mmm, « C: », « S: » ou « -- » attendu en tête de ligne"));
        return false;
    }
    m_current.encrypted = m_current.kind == Line::Kind::Row && m_encrypted.contains(session);
    *headLength = at + kind.size();
    if (ofDay >= 0) {
        // A small step back is a clock set back; a large one is midnight.
        if (m_previousOfDay >= 0 && ofDay < m_previousOfDay - DayMsecs / 2)
            ++m_day;
        m_previousOfDay = ofDay;
        m_previousRelative = m_day * DayMsecs + ofDay;
        const qint64 key = m_previousRelative / MsecsPerHour;
        if (m_hours.size() < MaxHoursKept && (m_hours.empty() || m_hours.back() != key))
            m_hours.push_back(key);
    }
    m_current.msecs = m_previousRelative;
    m_inLine = true;
    m_lineStart = m_lines.size();
    return true;
}

qsizetype TranscriptReader::unescape(QByteArrayView text, bool whole)
{
    const auto *u = reinterpret_cast<const unsigned char *>(text.data());
    qsizetype limit = text.size();
    if (!whole) {
        limit = std::max<qsizetype>(0, limit - Overlap);
        // Not inside a character: at most three bytes back, beyond which
        // the text is no UTF-8 and the check below or the next one says so.
        for (int back = 0; back < 3 && limit > 0 && (u[limit] & 0xc0) == 0x80; ++back)
            --limit;
    }
    const QByteArrayView part = text.first(limit);
    if (RowText::isPlainAscii(part)) {
        m_bytes.append(part);
        cutLongRow();
        return limit;
    }
    if (!part.isValidUtf8()) {
        fail(tr("le texte n’est pas de l’UTF-8"));
        return -1;
    }
    const qsizetype n = text.size();
    qsizetype i = 0;
    for (; i < limit; ++i) {
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
                fail(tr("«\u00a0\\\u00a0» doit être suivi de «\u00a0\\\u00a0» ou de «\u00a0xHH\u00a0»"));
                return -1;
            }
            // One byte, whatever it is: how a row that is not UTF-8 keeps its bytes.
            m_bytes.append(static_cast<char>(high << 4 | low));
            i += 3;
        } else if ((c < 0x20 && c != '\t') || c == 0x7f) {
            fail(tr("caractère de contrôle 0x%1 non échappé").arg(c, 2, 16, QLatin1Char('0')));
            return -1;
        } else {
            m_bytes.append(static_cast<char>(c));
        }
    }
    cutLongRow();
    return i;
}

void TranscriptReader::cutLongRow()
{
    // As capture cuts a line that never ends: rows of at most 64 KiB.
    if (m_current.kind != Line::Kind::Row)
        return;
    while (m_bytes.size() - m_current.offset > LineCapture::MaxRowBytes) {
        Line cut = m_current;
        cut.length = LineCapture::MaxRowBytes;
        cut.end = LineCapture::RowEnd::Cut;
        m_lines.push_back(cut);
        m_current.offset += LineCapture::MaxRowBytes;
    }
}

void TranscriptReader::endLine()
{
    m_current.length = m_bytes.size() - m_current.offset;
    m_inLine = false;
    if (m_current.kind == Line::Kind::Row) {
        // Capture cuts a line that goes on at a row's size.
        if (m_current.end == LineCapture::RowEnd::Unended && m_current.length == LineCapture::MaxRowBytes)
            m_current.end = LineCapture::RowEnd::Cut;
        m_lines.push_back(m_current);
        return;
    }
    // A mark keeps its event, not its words (unless they are all it has).
    m_marks.push_back(TranscriptMarks::read(bytes(m_current), m_current.msecs, m_currentOfDay));
    m_marks.back().event.session = m_current.session;
    m_bytes.truncate(m_current.offset);
    m_current.offset = qsizetype(m_marks.size()) - 1;
    m_current.length = 0;
    m_lines.push_back(m_current);
    // What came through TLS: from a handshake's mark to the session's end.
    const RelayEvent::Kind kind = m_marks.back().event.kind;
    if (kind == RelayEvent::Kind::TlsEstablished)
        m_encrypted.insert(m_current.session);
    else if (kind == RelayEvent::Kind::ClientConnected || kind == RelayEvent::Kind::SessionEnded)
        m_encrypted.remove(m_current.session);
}

void TranscriptReader::dropCutLine()
{
    // Every line Dravlin writes ends with a newline: one without it was cut
    // (a process killed, a full disk), and what it holds cannot be trusted.
    if (!m_inLine)
        ++m_lineNumber;
    m_cutLine = m_lineNumber;
    // A long line's first pieces may already be lines: those still held go
    // too; those already taken (takeLines()) stay, as 64 KiB rows cut short.
    while (m_inLine && m_lines.size() > m_lineStart)
        m_lines.pop_back();
    m_bytes.truncate(m_inLine ? m_current.offset : m_bytes.size());
    m_inLine = false;
}

void TranscriptReader::takeLines()
{
    // Emptied, not released: the next piece's lines reuse the room, which
    // spares the system mapping fresh pages for every piece.
    m_lines.clear();
    m_marks.clear();
    // A line still being read keeps its bytes, moved to the front.
    const qsizetype kept = m_inLine ? m_bytes.size() - m_current.offset : 0;
    if (kept > 0)
        std::memmove(m_bytes.data(), m_bytes.constData() + m_current.offset, static_cast<size_t>(kept));
    m_bytes.truncate(kept);
    m_current.offset = 0;
    m_lineStart = 0;
}

QDate TranscriptReader::placedDay(qint64 key) const
{
    return std::clamp(m_lastDay.addDays(key / 24 - m_day - m_dayShift), FirstDay, LastDay);
}

bool TranscriptReader::hourExists(qint64 key) const
{
    const QDate day = placedDay(key);
    const QTime hour(int(key % 24), 0);
    const QDateTime start(day, hour);
    const QDateTime last = QDateTime::fromMSecsSinceEpoch(start.toMSecsSinceEpoch() + MsecsPerHour - 1);
    return QDateTime::fromMSecsSinceEpoch(start.toMSecsSinceEpoch()).time() == hour && last.date() == day
        && last.time() == hour.addMSecs(int(MsecsPerHour - 1));
}

qint64 TranscriptReader::placedMsecs(qint64 relativeMsecs) const
{
    if (relativeMsecs < 0)
        return m_lastChangeMsecs;
    // Local time of each line's day and hour, worked out once per hour
    // rather than once per line: it is the slow part, and offsets from UTC
    // change on the hour.
    const qint64 key = relativeMsecs / MsecsPerHour;
    if (key != m_cachedKey) {
        m_cachedStart = QDateTime(placedDay(key), QTime(int(key % 24), 0)).toMSecsSinceEpoch();
        m_cachedKey = key;
    }
    return m_cachedStart + relativeMsecs % MsecsPerHour;
}

QByteArray TranscriptReader::transcript() const
{
    QByteArray out;
    out.reserve(m_bytes.size() + qsizetype(m_lines.size()) * 20);
    QByteArray head;
    qint64 stampedMsecs = 0;
    int headSession = 0;
    for (const Line &line : m_lines) {
        if (head.isEmpty() || line.msecs != stampedMsecs || line.session != headSession) {
            head = Transcript::stamp(line.msecs) + Transcript::sessionPrefix(line.session);
            stampedMsecs = line.msecs;
            headSession = line.session;
        }
        if (line.kind == Line::Kind::Row)
            Transcript::appendLine(out, head, line.side, bytes(line));
        else
            TranscriptMarks::append(out, head, mark(line));
    }
    return out;
}

void TranscriptReader::fail(const QString &why)
{
    m_lines.clear();
    m_marks.clear();
    m_bytes.clear();
    m_pending.clear();
    m_inLine = false;
    m_error = tr("ligne %1\u00a0: %2").arg(m_lineNumber).arg(why);
}
