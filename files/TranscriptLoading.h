#ifndef DRAVLIN_TRANSCRIPTLOADING_H
#define DRAVLIN_TRANSCRIPTLOADING_H

class Conversation;
class TranscriptReader;

// A transcript read back, put into the conversation's model: what a reader
// has read so far staged (lines of one side and session stamped alike as one
// chunk), then shown once the reader has finished, at the times it placed.
class TranscriptLoading
{
public:
    static void stage(Conversation &conversation, const TranscriptReader &reader);
    static void commit(Conversation &conversation, const TranscriptReader &reader);
    // Both at once, for a reader that has read the whole file.
    static void load(Conversation &conversation, const TranscriptReader &reader);
};

#endif
