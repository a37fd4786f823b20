#ifndef DRAVLIN_CONVERSATIONTRANSCRIPT_H
#define DRAVLIN_CONVERSATIONTRANSCRIPT_H

#include <QByteArray>

class Conversation;

// Rows of a conversation as transcript lines, the form the console writes
// and a saved file holds: what save, copy and replay hand on.
class ConversationTranscript
{
public:
    static QByteArray lines(const Conversation &conversation, int first, int count);
};

#endif
