#ifndef DRAVLIN_ROWTEXT_H
#define DRAVLIN_ROWTEXT_H

#include "Side.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

// How a captured row's bytes read as text. Rows keep their raw bytes; these
// only decide how they are shown.
class RowText
{
public:
    // UTF-8 when the bytes are valid UTF-8, otherwise Latin-1 (one character
    // per byte), so every row is readable and no byte is hidden.
    static QString display(QByteArrayView bytes);

    // The transcript form of a row: "C: " or "S: ", then the row with every
    // control character but TAB written \xHH (HH being a byte: a C1 control
    // or a direction mark is its UTF-8 bytes, see ControlBytes) and a backslash written \\, without a line end.
    // A valid UTF-8 row is written as UTF-8; in any other row every byte past
    // ASCII is written \xHH, so the line gives back the exact bytes. Safe to
    // print on a terminal.
    static QByteArray transcript(Side side, QByteArrayView bytes);
    // Whether the bytes read the same in transcript form: printable ASCII and
    // TAB only, no backslash.
    static bool isPlainAscii(QByteArrayView bytes);
    static void appendTranscript(QByteArray &out, Side side, QByteArrayView bytes);
    // Text shown outside the rows, a name or words a peer chose, written as a
    // row is in a transcript, without the prefix: on one line and safe on a
    // terminal, and telling an escape the peer wrote from one made here.
    static QString escaped(const QString &text);
};

#endif
