#ifndef DRAVLIN_SESSIONMARK_H
#define DRAVLIN_SESSIONMARK_H

#include "RelayEvent.h"

#include <QByteArray>

// A mark in the conversation, kept as the relay's event it stands for and
// worded by SessionMarks whenever it is shown, searched or written.
//
// A mark read back from a file keeps the event its tag tells (or, on a line
// written before tags, its words: TranscriptMarks). When that event would not
// give the same words again (words in another language or written by hand, a
// detail a file does not keep), the words read are kept too, escapes undone,
// and are its text from then on: a reopened file is written back as it was.
struct SessionMark
{
    RelayEvent event;
    QByteArray wordsRead;
};

#endif
