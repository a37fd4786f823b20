#ifndef DRAVLIN_TRANSCRIPT_H
#define DRAVLIN_TRANSCRIPT_H

#include "LineCapture.h"
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
    // The prefix of a stamped line: the clock time and a space.
    static QByteArray stamp(qint64 msecsSinceEpoch);

    // A numbered session's lines carry its number after the stamp, before
    // "C: ", "S: " or "-- ": "#3 " for session 3, nothing for 0 (one client
    // at a time, whose lines read as they always have). Callers give stamp +
    // sessionPrefix() as the stamp of the functions below.
    static QByteArray sessionPrefix(int session);
    // The length of the "#K " a line opens with, its number in *session; 0
    // (and *session 0) when it opens with none. K is a decimal number from 1,
    // without leading zeros: "#x " or "#0 " is no prefix.
    static qsizetype readSessionPrefix(QByteArrayView line, int *session);

    // Appends one line: the stamp (empty for none), the row's transcript
    // form ("C: " / "S: ", control characters escaped), then "\n". The stamp
    // is made by the caller, once for all the rows of a chunk. How the row
    // ended is not written: the transcript's form stays what scripts and
    // older files know, and the exact bytes are the pcap capture's to keep.
    static void appendLine(QByteArray &out, QByteArrayView stamp, Side side, QByteArrayView bytes);

    // Lines that are not rows (session marks, TLS marks) start with this,
    // after the stamp when stamped. No row line can: rows start "C: " or "S: ".
    static constexpr char MarkerPrefix[] = "-- ";

    // Appends one marker line: the stamp (empty for none), "-- ", the text
    // with control characters and backslashes escaped as in rows, then "\n".
    // The text is made by the caller: a mark's is its tag and its words
    // (TranscriptMarks), the words being SessionMarks'.
    static void appendMarkerLine(QByteArray &out, QByteArrayView stamp, const QString &text);
    // The same from the mark's bytes as read back: bytes that are not UTF-8
    // stay the bytes they were.
    static void appendMarkerLine(QByteArray &out, QByteArrayView stamp, QByteArrayView text);

};

#endif
