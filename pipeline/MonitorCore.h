#ifndef DRAVLIN_MONITORCORE_H
#define DRAVLIN_MONITORCORE_H

#include "Chunk.h"
#include "ConversationCapture.h"
#include "Relay.h"

#include <QHash>
#include <QObject>
#include <QTimer>

#include <array>
#include <memory>

class RowStore;

// The pipeline's working half, on the thread that relays: the relay, the
// capture that cuts what it forwards into rows, and the appending of those
// rows and of the marks events leave to the store the window reads. What it
// emits goes out in the order it happened.
class MonitorCore : public QObject
{
    Q_OBJECT

public:
    // Byte counts go out at most this often: a status line's pace, not a chunk's.
    static constexpr int TallyIntervalMs = 50;

    // rows: where rows and marks are stored; none for a front end that stores nothing.
    explicit MonitorCore(std::shared_ptr<RowStore> rows, QObject *parent = nullptr);

    Relay &relay() { return m_relay; }
    // The next Listening tells where the run's rows start: those held before
    // are an earlier run's, for the window to clear.
    void start(const RelaySettings &settings, bool markRunStart);

Q_SIGNALS:
    void chunkRelayed(const Chunk &chunk);
    void rowsCaptured(const Chunk &chunk);
    void eventOccurred(const RelayEvent &event);
    // Bytes read in session since the last count.
    void bytesCounted(int session, qint64 fromClient, qint64 fromServer);
    // Comes just before the Listening event of a start() that asked for it.
    void runStarts(int firstHeldRow);
    void finished(qint64 undeliveredToClient, qint64 undeliveredToServer);

private:
    void onBytesRelayed(Side side, const QByteArray &bytes, qint64 arrivedMsecs, bool encrypted, int session);
    void onRowsCaptured(Side side, const LineCapture::Rows &rows, qint64 arrivedMsecs, bool encrypted, int session);
    void onEvent(const RelayEvent &event);
    void sendTally();

    std::shared_ptr<RowStore> m_rows;
    ConversationCapture m_capture;
    Relay m_relay;
    bool m_markRunStart = false;
    QHash<int, std::array<qint64, 2>> m_tally;
    QTimer m_tallyTimer;
};

#endif
