#ifndef DRAVLIN_CONSOLEFRONTEND_H
#define DRAVLIN_CONSOLEFRONTEND_H

#include "LineCapture.h"
#include "Relay.h"
#include "TranscriptWriter.h"

#include <QObject>

class QSocketNotifier;

// Runs the relay without a window: rows to stdout ("C: " / "S: "), events to
// stderr, SIGINT and SIGTERM end it cleanly.
class ConsoleFrontEnd : public QObject
{
    Q_OBJECT

public:
    explicit ConsoleFrontEnd(QObject *parent = nullptr);
    ~ConsoleFrontEnd() override;

    // Blocks SIGINT and SIGTERM so they can be read as events; call before
    // any thread is started.
    static void blockTerminationSignals();
    static void unblockTerminationSignals();

    // Returns the exit status when the relay cannot start, -1 when it runs.
    int start(const QString &listenPortText, const QString &serverPortText,
              const QString &serverHostText);

    // Prefixes every stdout line with the local time its chunk arrived,
    // HH:MM:SS.mmm, so a transcript shows where the conversation stalled.
    void setTimestamps(bool on) { m_writer.setTimestamps(on); }

private Q_SLOTS:
    void onRowsCaptured(Side side, const LineCapture::Rows &rows, qint64 arrivedMsecs);
    void onRelayEvent(const RelayEvent &event);
    void onTerminationSignal();

private:
    void printEvent(const QString &message);

    // Declared first, so it is destroyed last: the relay's final rows reach it.
    TranscriptWriter m_writer;
    Relay m_relay;
    int m_signalFd = -1;
    QSocketNotifier *m_signalNotifier = nullptr;
};

#endif
