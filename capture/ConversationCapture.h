#ifndef DRAVLIN_CONVERSATIONCAPTURE_H
#define DRAVLIN_CONVERSATIONCAPTURE_H

#include "LineCapture.h"
#include "Side.h"

#include <QObject>

#include <array>
#include <unordered_map>

// Turns what the relay forwards into rows, one line capture a side: the first
// step of socket → capture → model → views. Connect the relay's bytesRelayed
// to capture() and its rowBreak to breakRow(); rowsCaptured follows, in order.
// Sessions served at once are cut apart, each with its own pair of captures.
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
    void capture(Side side, const QByteArray &bytes, qint64 arrivedMsecs, bool encrypted, int session = 0);
    // What side sent since its last line end becomes a row of its own.
    void breakRow(Side side, qint64 atMsecs, bool encrypted, int session = 0);

Q_SIGNALS:
    // Rows of one chunk, in order; arrivedMsecs is when the chunk was read
    // (milliseconds since the epoch); encrypted when they crossed the wire
    // inside TLS and were decrypted by the relay; session as the relay numbered it.
    void rowsCaptured(Side side, const LineCapture::Rows &rows, qint64 arrivedMsecs, bool encrypted, int session);

private:
    using Pair = std::array<LineCapture, 2>;
    Pair &captures(int session);

    // Session 0 (one client at a time) has its pair here; numbered sessions
    // have theirs while a line of theirs is unfinished.
    Pair m_capture;
    std::unordered_map<int, Pair> m_numbered;
};

#endif
