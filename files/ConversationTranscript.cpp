#include "ConversationTranscript.h"

#include "Conversation.h"
#include "Transcript.h"
#include "TranscriptMarks.h"

QByteArray ConversationTranscript::lines(const Conversation &conversation, int first, int count)
{
    QByteArray out;
    QByteArray head;
    qint64 stampedMsecs = 0;
    int headSession = 0;
    for (int row = first; row < first + count; ++row) {
        // Rows of one chunk share a time and a session: their line's head
        // is formatted once for them.
        const qint64 arrived = conversation.arrivedMsecs(row);
        const int session = conversation.session(row);
        if (head.isEmpty() || arrived != stampedMsecs || session != headSession) {
            head = Transcript::stamp(arrived) + Transcript::sessionPrefix(session);
            stampedMsecs = arrived;
            headSession = session;
        }
        if (conversation.isMarker(row))
            TranscriptMarks::append(out, head, conversation.mark(row));
        else
            Transcript::appendLine(out, head, conversation.side(row), conversation.bytes(row));
    }
    return out;
}
