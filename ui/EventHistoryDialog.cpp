#include "EventHistoryDialog.h"

#include "EventHistory.h"
#include "Transcript.h"

#include <QDialogButtonBox>
#include <QHeaderView>
#include <QScrollBar>
#include <QTreeWidget>
#include <QVBoxLayout>

EventHistoryDialog::EventHistoryDialog(const EventHistory *history, QWidget *parent)
    : QDialog(parent)
    , m_history(history)
{
    setObjectName(QStringLiteral("dlgHistorique"));
    setWindowTitle(QStringLiteral("Historique des \u00e9v\u00e9nements"));
    lstHistorique = new QTreeWidget(this);
    lstHistorique->setObjectName(QStringLiteral("lstHistorique"));
    lstHistorique->setHeaderLabels({QStringLiteral("Heure"), QStringLiteral("\u00c9v\u00e9nement")});
    lstHistorique->setRootIsDecorated(false);
    lstHistorique->setUniformRowHeights(true);
    lstHistorique->setSelectionMode(QAbstractItemView::ExtendedSelection);
    lstHistorique->header()->setSectionResizeMode(0, QHeaderView::ResizeToContents);
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto *layout = new QVBoxLayout(this);
    layout->addWidget(lstHistorique);
    layout->addWidget(buttons);
    resize(640, 420);

    for (int i = 0; i < m_history->count(); ++i)
        addItem(i);
    lstHistorique->scrollToBottom();
    connect(m_history, &EventHistory::appended, this, &EventHistoryDialog::onHistoryAppended);
}

void EventHistoryDialog::onHistoryAppended()
{
    QScrollBar *bar = lstHistorique->verticalScrollBar();
    const bool atBottom = bar->value() == bar->maximum();
    // The history made room by dropping its oldest entry; so does the list.
    if (lstHistorique->topLevelItemCount() >= EventHistory::Capacity)
        delete lstHistorique->takeTopLevelItem(0);
    addItem(m_history->count() - 1);
    // Someone reading older events is not pulled away from them.
    if (atBottom)
        lstHistorique->scrollToBottom();
}

void EventHistoryDialog::addItem(int entry)
{
    const EventHistory::Entry &e = m_history->at(entry);
    auto *item = new QTreeWidgetItem({Transcript::clockTime(e.msecs), e.text});
    if (e.failure) {
        for (int column = 0; column < 2; ++column)
            item->setForeground(column, QColor(0xb0, 0x00, 0x20));
    }
    lstHistorique->addTopLevelItem(item);
}
