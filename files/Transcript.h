#ifndef DRAVLIN_TRANSCRIPT_H
#define DRAVLIN_TRANSCRIPT_H

#include "LineCapture.h"
#include "Side.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QCoreApplication>
#include <QString>

// The written form of a conversation, one line per row, shared by the
// console's output, a saved conversation and a copied one, so that a
// transcript reads the same wherever it was taken from.
class Transcript
{
    Q_DECLARE_TR_FUNCTIONS(Transcript)

public:
    // The local wall-clock time, HH:MM:SS.mmm.
    static QString clockTime(qint64 msecsSinceEpoch);
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
    // (TranscriptMarks), the words being the session texts below or SessionMarks'.
    static void appendMarkerLine(QByteArray &out, QByteArrayView stamp, const QString &text);
    // The same from the mark's bytes as read back: bytes that are not UTF-8
    // stay the bytes they were.
    static void appendMarkerLine(QByteArray &out, QByteArrayView stamp, QByteArrayView text);

    // A session's opening mark:
    // "14:03:22.418 · client 127.0.0.1:40112 → 127.0.0.1:2525".
    static QString sessionBeginText(qint64 msecs, const QString &client, const QString &server);
    // A session's closing mark, how being the French wording of its end:
    // "14:03:25.002 · fermée par le client · client → serveur 1 204 o ·
    // serveur → client 342 o · durée 2,584 s".
    static QString sessionEndText(qint64 msecs, const QString &how, qint64 clientBytes,
                                  qint64 serverBytes, qint64 durationMsecs);
    // A count as every text here writes it, French grouping with narrow
    // no-break spaces: "750 000". Byte counts and durations all go through it.
    static QString countText(qint64 count);
    // "12 ms", "2,584 s", "3 min 05 s", "2 h 03 min 05 s".
    static QString durationText(qint64 msecs);
};

#endif
