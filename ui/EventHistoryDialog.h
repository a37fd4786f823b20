#ifndef DRAVLIN_EVENTHISTORYDIALOG_H
#define DRAVLIN_EVENTHISTORYDIALOG_H

#include <QDialog>

class EventHistory;
class QTreeWidget;

// Lists the kept events with their times, newest last and in view, failures
// in red; events arriving while it is open are added below.
class EventHistoryDialog : public QDialog
{
    Q_OBJECT

public:
    explicit EventHistoryDialog(const EventHistory *history, QWidget *parent = nullptr);

private Q_SLOTS:
    void onHistoryAppended();

private:
    void addItem(int entry);

    const EventHistory *m_history;
    QTreeWidget *lstHistorique = nullptr;
};

#endif
