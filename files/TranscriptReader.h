#ifndef DRAVLIN_TRANSCRIPTREADER_H
#define DRAVLIN_TRANSCRIPTREADER_H

#include "LineCapture.h"
#include "SessionMark.h"
#include "Side.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QCoreApplication>
#include <QDate>
#include <QSet>
#include <QString>

#include <vector>

// Reads back a stamped transcript, as saved or copied from the window or
// written by the console: "HH:MM:SS.mmm C: row", "HH:MM:SS.mmm S: row" and
// "HH:MM:SS.mmm -- mark" lines, the time being optional. A line of a
// numbered session has "#K " before its "C: ", "S: " or "-- "
// (Transcript::sessionPrefix()): its row or mark comes back as session K's.
//
// A row comes back as the bytes whose transcript is that line: the UTF-8 of
// its text, "\xHH" being the byte HH. Rows are written so that these are
// their exact bytes, UTF-8 or not. A row longer than the capture's rows
// (64 KiB) comes back as rows of that size, as capture would have cut it.
// A row line ending in a lone backslash had no CR LF after it (see
// Transcript::appendLine). A mark comes back as the event its tag tells, or
// for a line written before tags, its French words (TranscriptMarks). Rows after a session's TLS mark, up to its end, are
// flagged as having come through TLS, as they were when captured: each
// session's own, sessions served at once being interleaved.
//
// The file only knows times of day. The last line is taken to fall on the
// day the file last changed, and each time the clock goes back by more than
// twelve hours midnight is taken to have passed. Should a time not exist on
// its day (the hour skipped when clocks go forward), the file was changed a
// day after: its lines are placed a day earlier. A line without its time
// takes that of the line before, or the file's last change. Days stay within
// what a capture file can date (1970 to 2106).
//
// A last line without its newline was cut short (a process killed, a full
// disk): it is left out, the lines before it kept, and cutLine() tells.
//
// The text may come in pieces of any size: feed() them in order, then
// finish(), or close(). Lines read so far can be taken away meanwhile (takeLines()),
// so that a whole file is never held twice; their times are then relative,
// and placedMsecs() turns them into real ones once the text is closed.
class TranscriptReader
{
    Q_DECLARE_TR_FUNCTIONS(TranscriptReader)

public:
    struct Line {
        enum class Kind : quint8 { Row, Marker };
        Kind kind;
        Side side; // rows only
        bool encrypted; // rows only
        LineCapture::RowEnd end; // rows only
        int session; // 0 when unnumbered
        qint64 msecs; // since the epoch once placed
        qsizetype offset; // of the row's bytes, or the mark's index
        qsizetype length;
    };

    // Starts a new text, last changed at the time given.
    void begin(qint64 lastChangeMsecs);
    // Room for the lines of this many bytes of text, before reading them.
    void reserve(qsizetype textBytes);
    // Reads a piece. On a malformed line returns false, keeps nothing and
    // errorString() says which line and why, in French.
    bool feed(QByteArrayView text);
    // The text has ended: reads its last line and works out where lines
    // fall in time, leaving the times of the lines held relative.
    bool close();
    // As close(), then places the lines held in time.
    bool finish();
    // Forgets the lines read so far (and their bytes), once the caller has them.
    void takeLines();
    // The real time of a line taken away before finish(), once finished.
    qint64 placedMsecs(qint64 relativeMsecs) const;

    // Reads a whole text in one go, as begin(), feed() and finish() do.
    bool parse(QByteArrayView text, QDate lastDay);
    // Reads a file, its modification time being the last line's day.
    bool readFile(const QString &path);

    QString errorString() const { return m_error; }
    // Once closed: the number of a last line that had no newline, which was
    // cut short and has been left out; 0 when every line was whole.
    qsizetype cutLine() const { return m_cutLine; }
    const std::vector<Line> &lines() const { return m_lines; }
    QByteArrayView bytes(const Line &line) const
    {
        return QByteArrayView(m_bytes).sliced(line.offset, line.length);
    }
    const SessionMark &mark(const Line &line) const { return m_marks[static_cast<size_t>(line.offset)]; }

    // Writes the lines back as the window saves a conversation.
    QByteArray transcript() const;

private:
    void fail(const QString &why);
    // The line's start: time and kind. Sets m_current; false when malformed.
    bool readHead(QByteArrayView line, bool whole, qsizetype *headLength);
    // Unescapes the line's text given; all of it when whole, else what can
    // be without cutting an escape or a character. How much, or -1.
    qsizetype unescape(QByteArrayView text, bool whole);
    void cutLongRow();
    void endLine();
    void dropCutLine();
    bool consume(bool atEnd);
    QDate placedDay(qint64 key) const;
    bool hourExists(qint64 key) const;

    std::vector<Line> m_lines;
    std::vector<SessionMark> m_marks;
    QByteArray m_bytes;
    QByteArray m_pending; // text of lines not yet read whole
    QString m_error;
    Line m_current{};
    bool m_inLine = false;
    bool m_started = false;
    // The sessions whose rows come through TLS, from a handshake's mark to
    // the session's end.
    QSet<int> m_encrypted;
    qsizetype m_lineNumber = 0;
    qsizetype m_cutLine = 0;
    // Where the line being read starts in m_lines (a long one is read in pieces).
    size_t m_lineStart = 0;
    qint64 m_previousOfDay = -1;
    qint64 m_currentOfDay = -1; // the line's own stamp, -1 for none
    qint64 m_previousRelative = -1;
    int m_day = 0;
    // Hours of day the lines fall in, a key per change, while few.
    std::vector<qint64> m_hours;
    QDate m_lastDay;
    qint64 m_lastChangeMsecs = 0;
    int m_dayShift = 0;
    mutable qint64 m_cachedKey = -1;
    mutable qint64 m_cachedStart = 0;
};

#endif
