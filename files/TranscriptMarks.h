#ifndef DRAVLIN_TRANSCRIPTMARKS_H
#define DRAVLIN_TRANSCRIPTMARKS_H

#include "SessionMark.h"

#include <QByteArrayView>

// Reads a mark line of a saved conversation back into the event it stands
// for: the one place where the marks' French words are read rather than
// written, for the transcript reader alone. Whatever the words do not give
// back exactly (see SessionMark) stays as words beside what they told.
class TranscriptMarks
{
public:
    // words: the mark's text, escapes undone; msecs: the line's time, set as
    // the event's; stampOfDay: milliseconds into the day of the line's own
    // stamp, or -1 when it had none. A session's mark opens with its clock
    // time: it is given back by the event only when the stamp says the same.
    // Words that tell no event give one of kind Stopped, which marks nothing.
    static SessionMark read(QByteArrayView words, qint64 msecs, qint64 stampOfDay);
};

#endif
