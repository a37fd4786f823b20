#ifndef DRAVLIN_EVENTHISTORYDIALOG_H
#define DRAVLIN_EVENTHISTORYDIALOG_H

#include <QDialog>

class EventHistory;
class QCheckBox;
class QPlainTextEdit;
class QTreeWidget;
class QTreeWidgetItem;

// Lists the kept events with their times, newest last and in view, failures
// in red; events arriving while it is open are added below. The list cuts
// long events short: the pane under it shows the current one whole, with the
// technical name of its cause. Rows selected are copied one event a line with
// its time (Ctrl+C); "Seulement les échecs" leaves only the failures listed.
// A double-click or Enter on an event of the relay asks for the rows of its
// moment.
class EventHistoryDialog : public QDialog
{
    Q_OBJECT

public:
    explicit EventHistoryDialog(const EventHistory *history, QWidget *parent = nullptr);

    // The selected events, visible ones only, oldest first, as copied.
    QString selectedText() const;

public Q_SLOTS:
    void copySelection() const;

Q_SIGNALS:
    // An event of the relay chosen: its session (0 when unnumbered) and time.
    void eventChosen(int session, qint64 msecs);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private Q_SLOTS:
    void onHistoryAppended();
    void onFailuresOnlyToggled(bool failuresOnly);
    void showDetails();
    void onItemActivated();

private:
    void addItem(int entry);

    const EventHistory *m_history;
    QCheckBox *chkEchecs = nullptr;
    QTreeWidget *lstHistorique = nullptr;
    QPlainTextEdit *txtDetails = nullptr;
};

#endif
