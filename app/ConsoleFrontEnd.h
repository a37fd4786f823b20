#ifndef DRAVLIN_CONSOLEFRONTEND_H
#define DRAVLIN_CONSOLEFRONTEND_H

#include "CaptureWriter.h"
#include "EventLog.h"
#include "Monitor.h"
#include "SystemFile.h"
#include "TerminationSignals.h"
#include "TranscriptWriter.h"

#include <QDeadlineTimer>
#include <QObject>
#include <QTimer>

#include <memory>

class PcapWriter;
class CommandLine;

// Runs the relay without a window: rows to stdout ("C: " / "S: "), events to
// stderr. SIGINT, SIGTERM or a failing stdout end it: bytes already read are
// delivered, the connections closed, and what was lost is counted.
//
// With several clients served at once, every line about a session (rows and
// marks on stdout, events on stderr) carries its number, "#3 ", and the pcap
// capture holds one TCP stream per session. The relay is held as a whole
// while stdout is full: the sessions share one budget.
class ConsoleFrontEnd : public QObject
{
    Q_OBJECT

public:
    // At most this long from the request to end until the process ends.
    static constexpr int EndingMs = 2000;
    // A hold on reading is reported once it has lasted this long.
    static constexpr int HoldNoticeMs = 1000;
    // Past EndingMs, how long a relay that never says it finished is waited for.
    static constexpr int FinishedLateMs = 500;
    // The writers' least time to write what the connections' last bytes became.
    static constexpr int LastWritesMs = 250;
    // How long the final lines on stderr may take.
    static constexpr int LastLogMs = 250;

    // stdoutClosedAtStart: fd 1 was closed when the program began (it now
    // holds /dev/null so that nothing else lands there); rows count as lost.
    explicit ConsoleFrontEnd(bool stdoutClosedAtStart = false, QObject *parent = nullptr);
    ~ConsoleFrontEnd() override;

    // Returns the exit status when the relay cannot start, -1 when it runs.
    int start(const CommandLine &options);

private Q_SLOTS:
    void onRowsCaptured(const Chunk &chunk);
    void onChunkRelayed(const Chunk &chunk);
    void onRelayEvent(const RelayEvent &event);
    void onTerminationSignal();
    void onOutputFailed(const QString &reason);
    void onOutputFull();
    void onOutputDrained();
    void onReadingHeldLong();
    void onRelayFinished(qint64 undeliveredToClient, qint64 undeliveredToServer);

private:
    void holdReadingWhileFull();
    void checkCapture();
    void onCaptureFailed(const QString &reason);
    bool captureFull() const;
    void end(int status);

    EventLog m_log;
    // With --pcap: each chunk goes to the file as it is captured.
    SystemFile m_pcapFile;
    std::unique_ptr<CaptureWriter> m_captureOut;
    std::unique_ptr<PcapWriter> m_pcap;
    // Declared before the pipeline, so it is destroyed after it: the relay's final rows reach it.
    TranscriptWriter m_writer;
    // On this thread: it has nothing else to do than write what comes.
    Monitor m_monitor{Monitor::Placement::CallerThread};
    TerminationSignals m_signals;
    QTimer m_holdNotice;
    bool m_readingHeld = false;
    // The hold told was the capture's, not stdout's.
    bool m_heldByCapture = false;
    // Clients waiting for a place were told of, and not yet that none is left.
    bool m_toldWaiting = false;
    bool m_ending = false;
    bool m_ended = false;
    int m_status = 0;
    QDeadlineTimer m_endBy;
};

#endif
