#ifndef DRAVLIN_LINE_H
#define DRAVLIN_LINE_H

#include <QByteArray>
#include <QByteArrayView>

// One line of a dialogue as the dialects read it: its first bytes and, when
// longer than those, its last ones (where an IMAP literal's "{n}" lies).
struct Line {
    // A command or an answer worth reading fits in this.
    static constexpr qsizetype StartBytes = 1024;
    // Past the start of a long line only this much of its end is kept.
    static constexpr qsizetype EndBytes = 32;

    QByteArray start;
    QByteArray end; // only when cut
    bool cut = false;

    // A whole line, with or without its line end (a transcript row has none).
    static Line of(QByteArrayView bytes);
    void append(QByteArrayView segment);
    void clear();
    // The line without its LF and the CR before it; only its start when cut.
    QByteArrayView text() const;
    // The line's last bytes as sent, line end included.
    QByteArrayView last() const { return cut ? QByteArrayView(end) : QByteArrayView(start); }
    bool endsWithCrLf() const { return last().endsWith("\r\n"); }
};

#endif
