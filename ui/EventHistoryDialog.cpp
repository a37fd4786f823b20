#include "EventHistoryDialog.h"
#include "FigureText.h"

#include "EventHistory.h"
#include "Transcript.h"

#include <QAction>
#include <QCheckBox>
#include <QClipboard>
#include <QDialogButtonBox>
#include <QGuiApplication>
#include <QHeaderView>
#include <QKeyEvent>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QSplitter>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace {

// Kept on the time column's item: what the list cannot show whole.
constexpr int FailureRole = Qt::UserRole;
constexpr int CauseRole = Qt::UserRole + 1;
constexpr int SessionRole = Qt::UserRole + 2;
constexpr int TimeRole = Qt::UserRole + 3;

} // namespace

EventHistoryDialog::EventHistoryDialog(const EventHistory *history, QWidget *parent)
    : QDialog(parent)
    , m_history(history)
{
    setObjectName(QStringLiteral("dlgHistorique"));
    setWindowTitle(tr("Historique des événements"));
    chkEchecs = new QCheckBox(tr("Seulement les échecs"), this);
    chkEchecs->setObjectName(QStringLiteral("chkEchecs"));

    lstHistorique = new QTreeWidget(this);
    lstHistorique->setObjectName(QStringLiteral("lstHistorique"));
    lstHistorique->setHeaderLabels({tr("Heure"), tr("Événement")});
    lstHistorique->setRootIsDecorated(false);
    lstHistorique->setUniformRowHeights(true);
    lstHistorique->setSelectionMode(QAbstractItemView::ExtendedSelection);
    lstHistorique->header()->setSectionResizeMode(0, QHeaderView::ResizeToContents);
    lstHistorique->setContextMenuPolicy(Qt::ActionsContextMenu);
    auto *copy = new QAction(tr("Copier"), lstHistorique);
    copy->setObjectName(QStringLiteral("actCopierHistorique"));
    copy->setShortcut(QKeySequence::Copy);
    copy->setShortcutContext(Qt::WidgetWithChildrenShortcut);
    lstHistorique->addAction(copy);
    lstHistorique->installEventFilter(this);

    // Read-only but selectable, so a part of a long event can be copied too.
    txtDetails = new QPlainTextEdit(this);
    txtDetails->setObjectName(QStringLiteral("txtDetails"));
    txtDetails->setReadOnly(true);
    txtDetails->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    auto *split = new QSplitter(Qt::Vertical, this);
    split->addWidget(lstHistorique);
    split->addWidget(txtDetails);
    split->setStretchFactor(0, 3);
    split->setStretchFactor(1, 1);
    split->setChildrenCollapsible(false);

    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto *layout = new QVBoxLayout(this);
    layout->addWidget(chkEchecs);
    layout->addWidget(split, 1);
    layout->addWidget(buttons);
    resize(640, 480);

    for (int i = 0; i < m_history->count(); ++i)
        addItem(i);
    lstHistorique->scrollToBottom();
    connect(m_history, &EventHistory::appended, this, &EventHistoryDialog::onHistoryAppended);
    connect(chkEchecs, &QCheckBox::toggled, this, &EventHistoryDialog::onFailuresOnlyToggled);
    connect(copy, &QAction::triggered, this, &EventHistoryDialog::copySelection);
    connect(lstHistorique, &QTreeWidget::currentItemChanged, this, &EventHistoryDialog::showDetails);
    connect(lstHistorique, &QTreeWidget::itemActivated, this, &EventHistoryDialog::onItemActivated);
}

QString EventHistoryDialog::selectedText() const
{
    QString text;
    for (int i = 0; i < lstHistorique->topLevelItemCount(); ++i) {
        const QTreeWidgetItem *item = lstHistorique->topLevelItem(i);
        if (item->isSelected() && !item->isHidden())
            text += item->text(0) % QLatin1Char(' ') % item->text(1) % QLatin1Char('\n');
    }
    return text;
}

void EventHistoryDialog::copySelection() const
{
    const QString text = selectedText();
    if (!text.isEmpty())
        QGuiApplication::clipboard()->setText(text);
}

bool EventHistoryDialog::eventFilter(QObject *watched, QEvent *event)
{
    // The list takes Ctrl+C for itself, ahead of any shortcut, and would copy
    // only the current event's text, without its time.
    if (watched == lstHistorique && event->type() == QEvent::KeyPress
        && static_cast<QKeyEvent *>(event)->matches(QKeySequence::Copy)) {
        copySelection();
        return true;
    }
    return QDialog::eventFilter(watched, event);
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

void EventHistoryDialog::onFailuresOnlyToggled(bool failuresOnly)
{
    for (int i = 0; i < lstHistorique->topLevelItemCount(); ++i) {
        QTreeWidgetItem *item = lstHistorique->topLevelItem(i);
        const bool hide = failuresOnly && !item->data(0, FailureRole).toBool();
        item->setHidden(hide);
        // What is out of sight is neither copied nor described.
        if (hide)
            item->setSelected(false);
    }
    QTreeWidgetItem *current = lstHistorique->currentItem();
    if (current && current->isHidden())
        lstHistorique->setCurrentItem(nullptr);
    lstHistorique->scrollToBottom();
}

void EventHistoryDialog::showDetails()
{
    const QTreeWidgetItem *item = lstHistorique->currentItem();
    if (!item) {
        txtDetails->clear();
        return;
    }
    QString details = item->text(0) % QLatin1Char(' ') % item->text(1);
    const QString cause = item->data(0, CauseRole).toString();
    if (!cause.isEmpty())
        details += QLatin1Char('\n') % tr("Cause technique : %1").arg(cause);
    txtDetails->setPlainText(details);
}

void EventHistoryDialog::onItemActivated()
{
    const QTreeWidgetItem *item = lstHistorique->currentItem();
    if (item && item->data(0, SessionRole).toInt() >= 0)
        Q_EMIT eventChosen(item->data(0, SessionRole).toInt(), item->data(0, TimeRole).toLongLong());
}

void EventHistoryDialog::addItem(int entry)
{
    const EventHistory::Entry &e = m_history->at(entry);
    auto *item = new QTreeWidgetItem({FigureText::clockTime(e.msecs), e.text});
    item->setData(0, FailureRole, e.failure);
    item->setData(0, CauseRole, e.cause);
    item->setData(0, SessionRole, e.session);
    item->setData(0, TimeRole, e.msecs);
    if (e.failure) {
        for (int column = 0; column < 2; ++column)
            item->setForeground(column, QColor(0xb0, 0x00, 0x20));
    }
    lstHistorique->addTopLevelItem(item);
    item->setHidden(chkEchecs->isChecked() && !e.failure);
}
