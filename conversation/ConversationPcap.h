#ifndef DRAVLIN_CONVERSATIONPCAP_H
#define DRAVLIN_CONVERSATIONPCAP_H

#include "RelayEvent.h"

#include <QHostAddress>
#include <QString>

class Conversation;
class PcapWriter;
class QIODevice;

// Turns what the window and the console hold (rows, session marks) into a
// capture file. The console writes each chunk's bytes as relayed; the window
// keeps only rows, so its export rebuilds a chunk as its rows each followed
// by CR LF: exact for line traffic, while a row cut at 64 KiB or a last line
// without CR LF gains a CR LF it never had.
class ConversationPcap
{
public:
    // An endpoint as a session mark or an event writes it; a name that is
    // no address (the server given by host name) becomes the unspecified
    // address, loopback for "localhost".
    static void endpoint(const QString &text, QHostAddress *address, quint16 *port);
    static void beginSession(PcapWriter &writer, const QString &client, const QString &server, qint64 msecs);
    static void endSession(PcapWriter &writer, RelayEvent::End end, Side side, qint64 msecs);

    // Writes the whole conversation: each session between its marks, rows
    // before any opening mark as a session of their own between
    // 127.0.0.1:49152 and 127.0.0.1:25. False with a French reason when
    // the device fails.
    static bool write(const Conversation &conversation, QIODevice *device, QString *error);
};

#endif
