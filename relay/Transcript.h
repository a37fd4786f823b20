#ifndef DRAVLIN_TRANSCRIPT_H
#define DRAVLIN_TRANSCRIPT_H

#include "Side.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

// The written form of a conversation, one line per row, shared by the
// console's output, a saved conversation and a copied one, so that a
// transcript reads the same wherever it was taken from.
class Transcript
{
public:
    // The local wall-clock time, HH:MM:SS.mmm.
    static QString clockTime(qint64 msecsSinceEpoch);
    // The prefix of a stamped line: the clock time and a space.
    static QByteArray stamp(qint64 msecsSinceEpoch);

    // Appends one line: the stamp (empty for none), the row's transcript
    // form ("C: " / "S: ", control characters escaped), then "\n". The stamp
    // is made by the caller, once for all the rows of a chunk.
    static void appendLine(QByteArray &out, QByteArrayView stamp, Side side, QByteArrayView bytes);
};

#endif
