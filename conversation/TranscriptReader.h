#ifndef DRAVLIN_TRANSCRIPTREADER_H
#define DRAVLIN_TRANSCRIPTREADER_H

#include "Side.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QDate>
#include <QString>

#include <vector>

// Reads back a stamped transcript, as saved or copied from the window or
// written by the console with --timestamps: "HH:MM:SS.mmm C: row",
// "HH:MM:SS.mmm S: row" and "HH:MM:SS.mmm -- mark" lines.
//
// A row comes back as the bytes whose transcript is that line: the UTF-8 of
// its text, "\xHH" being the byte HH. Rows are written so that these are
// their exact bytes, UTF-8 or not.
//
// The file only knows times of day. The last line is taken to fall on the
// given day (a file's modification date), and each time the clock goes back
// by more than twelve hours midnight is taken to have passed.
class TranscriptReader
{
public:
    struct Line {
        enum class Kind : quint8 { Row, Marker };
        Kind kind;
        Side side; // rows only
        qint64 msecs; // since the epoch
        qsizetype offset; // of the row's bytes or the mark's UTF-8 text
        qsizetype length;
    };

    // Reads the whole text. On a malformed line returns false, keeps nothing
    // and errorString() says which line and why, in French.
    bool parse(QByteArrayView text, QDate lastDay);
    // Reads a file, its modification date being the last line's day.
    bool readFile(const QString &path);

    QString errorString() const { return m_error; }
    QDate lastDay() const { return m_lastDay; }
    const std::vector<Line> &lines() const { return m_lines; }
    QByteArrayView bytes(const Line &line) const
    {
        return QByteArrayView(m_bytes).sliced(line.offset, line.length);
    }
    QString markerText(const Line &line) const { return QString::fromUtf8(bytes(line)); }

    // Writes the lines back as the window saves a conversation.
    QByteArray transcript() const;

private:
    void fail(qsizetype lineNumber, const QString &why);
    bool unescape(QByteArrayView text, qsizetype lineNumber);
    void placeOnDays(int lastDayIndex);

    std::vector<Line> m_lines;
    QByteArray m_bytes;
    QString m_error;
    QDate m_lastDay;
};

#endif
