#ifndef DRAVLIN_CONVERSATIONPCAP_H
#define DRAVLIN_CONVERSATIONPCAP_H

#include "RelayEvent.h"

#include <QHostAddress>
#include <QString>

#include <memory>

class Conversation;
class PcapWriter;
class QIODevice;

// Turns what the window and the console hold (rows, session marks) into a
// capture file. The console writes each chunk's bytes as relayed; the window
// keeps rows, so its export rebuilds a chunk as its rows, each followed by
// CR LF when one followed it in the stream: the same bytes either way.
// Sessions served at once are streams of their own, keyed by their number.
//
// A long conversation is written a slice of rows at a time (writeRows()),
// so that the window can show how far it is and stay responsive; the rows
// written are those the conversation showed when the export began: one
// session's, or every one's.
class ConversationPcap
{
public:
    // The device must be open for writing; the file header goes out at once.
    ConversationPcap(const Conversation &conversation, QIODevice *device);
    ~ConversationPcap();
    ConversationPcap(const ConversationPcap &) = delete;
    ConversationPcap &operator=(const ConversationPcap &) = delete;

    // Writes up to count more rows; false once all are written or a write failed.
    bool writeRows(int count);
    int rowsWritten() const { return m_row; }
    int rowsToWrite() const { return m_rows; }
    // A French reason when a write failed, else empty.
    QString errorString() const;

    // An endpoint's address as a capture shows it: the one used; for a name
    // never dialled (a server unreachable, a conversation read back), the
    // unspecified address, loopback for "localhost".
    static QHostAddress address(const Endpoint &endpoint);
    // Opens or ends stream `session` (RelayEvent::session) as the event says.
    // With serverFollows, a server not dialled yet is written once
    // serverFound() tells where it was reached.
    static void beginSession(PcapWriter &writer, const Endpoint &client, const Endpoint &server, qint64 msecs,
                             int session = 0, bool serverFollows = false);
    static void serverFound(PcapWriter &writer, const Endpoint &server, int session = 0);
    static void endSession(PcapWriter &writer, RelayEvent::End end, Side side, qint64 msecs, int session = 0);
    // A time as a capture can hold it: its seconds are 32 bits, unsigned.
    static qint64 capturable(qint64 msecs);

    // Writes the whole conversation: each session between its marks, rows
    // before any opening mark as a session of their own between
    // 127.0.0.1:49152 and 127.0.0.1:25 (for session K, client port
    // 49152 + K, so that streams stay apart). False with a French reason
    // when the device fails.
    static bool write(const Conversation &conversation, QIODevice *device, QString *error);

private:
    const Conversation &m_conversation;
    std::unique_ptr<PcapWriter> m_writer;
    int m_rows;
    int m_row = 0;
};

#endif
