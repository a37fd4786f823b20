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
    // control character but TAB written \xHH and a backslash written \\,
    // encoded as UTF-8, without a line end. Safe to print on a terminal.
    static QByteArray transcript(Side side, QByteArrayView bytes);
    static void appendTranscript(QByteArray &out, Side side, QByteArrayView bytes);
};

#endif
