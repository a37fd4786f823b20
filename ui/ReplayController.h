#ifndef DRAVLIN_REPLAYCONTROLLER_H
#define DRAVLIN_REPLAYCONTROLLER_H

#include "LineCapture.h"
#include "Side.h"

#include <QList>
#include <QObject>

#include <functional>
#include <vector>

class Conversation;
class QAbstractItemView;
class QAction;
class QWidget;
class ReplayScript;
class ReplaySession;
class SessionTable;
struct RelayEvent;
struct ReplayNotice;

// Replays a finished session of the conversation, live or read from a file,
// against a server the user names: the replay is a new numbered session
// beside the others, its rows and marks in the panes and the session list,
// each answer that is not the recorded one marked on the row that ended it.
// The replay runs on the event loop: the window never waits for it.
//
// One replay at a time; "Arrêter le rejeu" ends it at once.
class ReplayController : public QObject
{
    Q_OBJECT

public:
    // Gives a session number no relayed client will take, at least the one asked.
    using Numbers = std::function<int(int atLeast)>;
    // The shown row the actions act on, -1 for none.
    using CurrentRow = std::function<int()>;

    ReplayController(Conversation *conversation, SessionTable *sessions, Numbers numbers, QWidget *window);
    ~ReplayController() override;

    QAction *replayAction() const { return m_replayAction; }
    QAction *stopAction() const { return m_stopAction; }
    void setCurrentRow(CurrentRow row) { m_currentRow = std::move(row); }
    // Puts the actions in the context menus of the panes and of the session
    // list: they act on the panes' current row, or on the session shown alone.
    void attach(const QList<QAbstractItemView *> &panes, QWidget *sessionList);

    // Asks for the server, then replays the session of shown row row.
    void chooseAndReplay(int row);
    // Replays the session of shown row row at once (port 0: the recorded
    // one, else 25). The new session's number, or 0 with a French message
    // in *error when the session cannot be replayed.
    int replay(int row, const QString &host, quint16 port, bool insecure, QString *error);
    void stop();
    bool isRunning() const { return m_session != nullptr; }

Q_SIGNALS:
    // The replay could not start, or stopped before reaching the server.
    void failed(const QString &message);
    // Why a replay stopped early, a certificate taken unchecked, ...
    void noticed(const QString &text, int session);
    void finished(int session);

private:
    // The session's own rows as a script; false with a French message.
    // began: when its opening mark says it began, 0 when it has none.
    bool loadScript(int row, ReplayScript *script, QString *error, qint64 *began = nullptr) const;
    void onRows(Side side, const LineCapture::Rows &rows, qint64 msecs);
    void onMark(const RelayEvent &event);
    void onNotice(const ReplayNotice &notice);
    void onFinished();
    void updateActions();

    Conversation *m_conversation;
    SessionTable *m_sessions;
    Numbers m_numbers;
    QWidget *m_window;
    CurrentRow m_currentRow;
    QAction *m_replayAction;
    QAction *m_stopAction;
    ReplaySession *m_session = nullptr;
    int m_number = 0;     // the replay's session
    int m_original = 0;   // the session it replays
    qint64 m_originalBegan = 0;
    QString m_server;     // host:port it speaks to
    bool m_encrypted = false;
    bool m_began = false;
    bool m_rowsKept = true; // no clear since the replay began: held rows still stand
    // The held row of each server row of the replay, in order.
    std::vector<int> m_serverRows;
};

#endif
