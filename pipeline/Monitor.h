#ifndef DRAVLIN_MONITOR_H
#define DRAVLIN_MONITOR_H

#include "Chunk.h"
#include "RelayEvent.h"
#include "RelaySettings.h"

#include <QObject>
#include <QThread>

#include <memory>

class MonitorCore;
class RowStore;

// The one pipeline both front ends consume: it owns the relay and the
// capture, stores rows and marks where the window reads them, and hands on
// one ordered stream of values (chunks as relayed, rows as captured, events,
// byte counts). Front ends give it commands and consume what it emits; none
// of them reaches the relay itself.
//
// With its own thread (the window's case) the relay, the capture and the
// storing of rows run there, so that nothing the window does (painting, a
// save, a search, a dialog) delays a relayed byte; what it emits reaches the
// front end queued, in order. On the caller's thread (the console's case,
// whose thread has nothing else to do) every call and signal is direct.
class Monitor : public QObject
{
    Q_OBJECT

public:
    enum class Placement { OwnThread, CallerThread };
    // How long a stop or a finish lets the sessions deliver what was read.
    static constexpr int GraceMs = 2000;
    // From start() to listening, and from a session's end to listening again.
    static constexpr int RearmIntervalMs = 200;

    // rows: where captured rows and marks are stored (the window's model);
    // none when the front end stores nothing.
    explicit Monitor(Placement placement, std::shared_ptr<RowStore> rows = {}, QObject *parent = nullptr);
    ~Monitor() override;

    // Arms the relay with settings already checked, and returns once it has
    // taken them. With markRunStart, runStarts() comes before the Listening
    // event, so that rows of an earlier run can be told from this one's.
    void start(const RelaySettings &settings, bool markRunStart = false);
    // As the relay's: graceful stop, immediate shutdown, finish then finished().
    void stop();
    void shutdown();
    void finish(int graceMs);
    void holdReading(bool held);

    // Asked of the relay where it runs, and answered before returning.
    bool isArmed() const;
    quint16 listeningPort() const;
    // The newest session's client is connected.
    bool clientConnected() const;
    // A session number no client of this run will be given, at least atLeast.
    int reserveSessionNumber(int atLeast);
    // As given to the last start().
    const RelaySettings &settings() const { return m_settings; }

Q_SIGNALS:
    // What one side sent in one read, as relayed, in order.
    void chunkRelayed(const Chunk &chunk);
    // The rows the capture cut, in order (already stored when a store was given).
    void rowsCaptured(const Chunk &chunk);
    void eventOccurred(const RelayEvent &event);
    // Bytes read in session since the last count; at most every few tens of
    // milliseconds, and before any event.
    void bytesCounted(int session, qint64 fromClient, qint64 fromServer);
    // The run started with markRunStart listens: rows held from firstHeldRow
    // on are its own.
    void runStarts(int firstHeldRow);
    // After finish(): bytes read from one side that the other never got.
    void finished(qint64 undeliveredToClient, qint64 undeliveredToServer);

protected:
    // The pipeline's chunks and rows are passed on only once someone takes them.
    void connectNotify(const QMetaMethod &signal) override;

private:
    // Runs f where the relay runs, waiting for it when that is another thread.
    template <typename F>
    void await(F f) const;
    // Runs f where the relay runs, without waiting.
    template <typename F>
    void post(F f) const;

    std::unique_ptr<QThread> m_thread;
    // Lives on m_thread, so that calls reach it there.
    std::unique_ptr<QObject> m_anchor;
    MonitorCore *m_core = nullptr;
    bool m_forwardingChunks = false;
    bool m_forwardingRows = false;
    RelaySettings m_settings;
};

#endif
