#ifndef DRAVLIN_REPLAYFRONTEND_H
#define DRAVLIN_REPLAYFRONTEND_H

#include "EventLog.h"
#include "ReplayScript.h"
#include "TerminationSignals.h"
#include "TranscriptWriter.h"

#include <QObject>

#include <memory>

class CommandLine;
class ReplaySession;
struct ReplayNotice;
struct RelayEvent;

// Replays a transcript's session from the console: the new conversation on
// stdout as --console writes one, what differs and a summary on stderr.
// Exit status: 0 when every answer matched, 1 when one differed or the
// replay could not finish, 2 when the file cannot be replayed.
class ReplayFrontEnd : public QObject
{
    Q_OBJECT

public:
    explicit ReplayFrontEnd(bool stdoutClosedAtStart = false, QObject *parent = nullptr);
    ~ReplayFrontEnd() override;

    // The exit status when the replay cannot start, -1 when it runs (the
    // application's loop then ends with the status).
    int start(const CommandLine &options);

private:
    void onMark(const RelayEvent &event);
    void onNotice(const ReplayNotice &notice);
    void onFinished();

    EventLog m_log;
    TranscriptWriter m_writer;
    TerminationSignals m_signals;
    ReplayScript m_script;
    std::unique_ptr<ReplaySession> m_session;
    QString m_server;
    bool m_ended = false;
};

#endif
