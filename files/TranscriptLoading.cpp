#include "TranscriptLoading.h"

#include "Conversation.h"
#include "TranscriptReader.h"

void TranscriptLoading::stage(Conversation &conversation, const TranscriptReader &reader)
{
    conversation.stage([&reader](RowPages &staged, BlockReserve &reserve) {
        for (const TranscriptReader::Line &line : reader.lines()) {
            const bool marker = line.kind == TranscriptReader::Line::Kind::Marker;
            const quint32 flags = marker ? RowPages::MarkerBit
                                         : (line.side == Side::Server ? RowPages::ServerBit : 0U)
                                               | (line.encrypted ? RowPages::EncryptedBit : 0U);
            // Lines of one side and session stamped alike came in one chunk, as
            // far as anyone can tell.
            const bool sameChunk = !marker && staged.rows() > 0 && staged.chunks().back().arrivedMsecs == line.msecs
                                && staged.chunks().back().session == line.session
                                && (staged.at(staged.rows() - 1).flagsAndBlock & RowPages::KindBits) == flags;
            if (!sameChunk)
                staged.openChunk(line.msecs, line.session);
            if (marker)
                staged.pushMark(reader.mark(line));
            else
                staged.pushRow(flags | quint32(line.end) << RowPages::EndShift, reader.bytes(line), reserve);
        }
    });
}

void TranscriptLoading::commit(Conversation &conversation, const TranscriptReader &reader)
{
    conversation.commitStaged([&reader](qint64 msecs) { return reader.placedMsecs(msecs); });
}

void TranscriptLoading::load(Conversation &conversation, const TranscriptReader &reader)
{
    stage(conversation, reader);
    conversation.commitStaged();
}
