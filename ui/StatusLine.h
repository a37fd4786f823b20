#ifndef DRAVLIN_STATUSLINE_H
#define DRAVLIN_STATUSLINE_H

#include "EventHistory.h"
#include "RelayEvent.h"

#include <QHash>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QTimer>

#include <array>

class EventHistoryDialog;
class QLabel;
class QStatusBar;
class WordElidedLabel;

// The line under the panes: the last event, the last failure highlighted
// until the user's next key or click, the running sessions' byte counts,
// and how many rows the last clear took while they can be brought back.
// Each part short of room ends at a word, whole in its tooltip; with too
// little room for a word of each, the parts of least rank give way (the
// counts, then the cleared rows, then the last event; never a failure). Behind it,
// the history of the last events; a click on the line opens it, a click on
// the cleared rows asks for them back.
class StatusLine : public QObject
{
    Q_OBJECT

public:
    explicit StatusLine(QStatusBar *bar);

    // Kept in the history, and shown stamped with the time of day.
    void record(qint64 msecs, const QString &text, bool failure);
    // A relay event, worded, with its cause's technical name for the history;
    // returns the words kept.
    QString record(const RelayEvent &event);
    const EventHistory &history() const { return m_history; }
    void showHistory();
    void showOpened(const QString &fileName, int rows);
    void showCleared(int rows);
    void showRestored(int rows);

public Q_SLOTS:
    // Failures shown so far are seen; a click on the line asks for what it offers.
    void onUserActed(QObject *target);
    // Bytes a running session read from each side since the last count.
    void countBytes(int session, qint64 fromClient, qint64 fromServer);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

Q_SIGNALS:
    void undoRequested();
    // An event of the history chosen, to be shown among the rows.
    void eventChosen(int session, qint64 msecs);

private:
    void show(const QString &text);
    void showFailure(const QString &text, int session = -1);
    void followSession(const RelayEvent &event);
    void showCounts();
    // Whether the part has something to say, and then whether it is shown.
    void want(QWidget *part, bool wanted);
    bool wants(QWidget *part) const { return m_wanted.contains(part); }
    void fitParts();
    QStatusBar *m_bar;
    WordElidedLabel *lblEvenement;
    WordElidedLabel *lblEchec;
    QLabel *lblDebit;
    QLabel *lblEffacement;
    EventHistory m_history;
    QPointer<EventHistoryDialog> m_historyDialog;
    // The running sessions' counts (by number, 0 when unnumbered), from the
    // client and from the server, summed as bytes pass and shown a few times a
    // second at most, so a busy session costs one label update per tick.
    QHash<int, std::array<qint64, 2>> m_running;
    // The session of the failure in view; -1 when none or about none.
    int m_failureSession = -1;
    bool m_countsChanged = false;
    QTimer m_countTimer;
    QSet<QWidget *> m_wanted;
};

#endif
