#ifndef DRAVLIN_CHUNK_H
#define DRAVLIN_CHUNK_H

#include "LineCapture.h"
#include "Side.h"

#include <QByteArray>
#include <QMetaType>

// One step of the conversation as the pipeline hands it on: what one side
// sent in one read (bytes, as relayed), or the rows the capture cut from it.
struct Chunk
{
    Side side = Side::Client;
    // As RelayEvent::session: 0 when one client is served at a time.
    int session = 0;
    // When it was read, milliseconds since the epoch.
    qint64 arrivedMsecs = 0;
    // It crossed the wire inside TLS and was decrypted here.
    bool encrypted = false;
    QByteArray bytes;
    LineCapture::Rows rows;
};

Q_DECLARE_METATYPE(Chunk)

#endif
