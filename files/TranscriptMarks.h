#ifndef DRAVLIN_TRANSCRIPTMARKS_H
#define DRAVLIN_TRANSCRIPTMARKS_H

#include "SessionMark.h"

#include <QByteArray>
#include <QByteArrayView>

// A mark line's text as written and read back: its tag (MarkTag), which
// tells the event, then its words, which people read. The reader rebuilds
// the event from the tag alone, whatever language the words are in; a line
// written before marks had tags is read by its French words, the one place
// where they are read rather than written. Whatever the event does not give
// back exactly (see SessionMark) stays as words beside it.
class TranscriptMarks
{
public:
    // The text after "-- ": the tag, a space and the mark's words; the words
    // alone for a mark whose event leaves none (read from a line that had no
    // tag, and written back as it was).
    static QByteArray text(const SessionMark &mark);
    // Appends the mark's line: the head (stamp and session, or empty), "-- "
    // and text(), escaped as Transcript::appendMarkerLine() does.
    static void append(QByteArray &out, QByteArrayView head, const SessionMark &mark);

    // words: the mark's text, escapes undone; msecs: the line's time, set as
    // the event's; stampOfDay: milliseconds into the day of the line's own
    // stamp, or -1 when it had none. A session's mark opens with its clock
    // time: it is given back by the event only when the stamp says the same.
    // Words that tell no event give one of kind Stopped, which marks nothing.
    static SessionMark read(QByteArrayView words, qint64 msecs, qint64 stampOfDay);
};

#endif
