#ifndef DRAVLIN_CONVERSATIONCAPTURE_H
#define DRAVLIN_CONVERSATIONCAPTURE_H

#include "LineCapture.h"
#include "Side.h"

#include <QObject>

// Turns what the relay forwards into rows, one line capture a side: the first
// step of socket → capture → model → views. Connect the relay's bytesRelayed
// to capture() and its rowBreak to breakRow(); rowsCaptured follows, in order.
class ConversationCapture : public QObject
{
    Q_OBJECT

public:
    explicit ConversationCapture(QObject *parent = nullptr);

    // Follows a source of chunks (the relay) without this library knowing it.
    template <typename Source>
    void follow(const Source *source)
    {
        connect(source, &Source::bytesRelayed, this, &ConversationCapture::capture);
        connect(source, &Source::rowBreak, this, &ConversationCapture::breakRow);
    }

public Q_SLOTS:
    void capture(Side side, const QByteArray &bytes, qint64 arrivedMsecs, bool encrypted);
    // What side sent since its last line end becomes a row of its own.
    void breakRow(Side side, qint64 atMsecs, bool encrypted);

Q_SIGNALS:
    // Rows of one chunk, in order; arrivedMsecs is when the chunk was read
    // (milliseconds since the epoch); encrypted when they crossed the wire
    // inside TLS and were decrypted by the relay.
    void rowsCaptured(Side side, const LineCapture::Rows &rows, qint64 arrivedMsecs, bool encrypted);

private:
    LineCapture m_capture[2];
};

#endif
