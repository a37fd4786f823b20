#include "TrafficPanes.h"
#include "ConversationTranscript.h"

#include "Conversation.h"
#include "PacedRows.h"
#include "PaneView.h"
#include "ReplyClass.h"
#include "RowDelegate.h"
#include "RowDetailsDialog.h"
#include "SessionMarks.h"

#include <QAction>
#include <QClipboard>
#include <QEvent>
#include <QGuiApplication>
#include <QItemSelectionModel>
#include <QLocale>
#include <QToolButton>

#include <algorithm>

TrafficPanes::TrafficPanes(Conversation *conversation, PaneView *clientPane,
                           PaneView *serverPane, QObject *parent)
    : QObject(parent)
    , m_conversation(conversation)
    , m_shown(new PacedRows(conversation, this))
    , m_clientPane(clientPane)
    , m_serverPane(serverPane)
    , m_notice(new QToolButton(clientPane->parentWidget()))
{
    m_clientPane->setModel(m_shown);
    m_clientPane->setModelColumn(0);
    m_serverPane->setModel(m_shown);
    m_serverPane->setModelColumn(1);
    // One selection for both: a row is the same line of the conversation in
    // either pane, so both show it selected.
    QItemSelectionModel *own = m_serverPane->selectionModel();
    m_serverPane->setSelectionModel(m_clientPane->selectionModel());
    delete own;

    m_notice->setObjectName(QStringLiteral("btnNouvellesLignes"));
    m_notice->setCursor(Qt::PointingHandCursor);
    m_notice->setFocusPolicy(Qt::NoFocus);
    // A pill in the selection colour, to be seen over the rows it floats on.
    m_notice->setStyleSheet(QStringLiteral(
        "QToolButton { background: palette(highlight); color: palette(highlighted-text);"
        " border: none; border-radius: 9px; padding: 2px 10px; }"));
    m_notice->hide();

    // Each pane scrolls the other, bound once per side.
    connect(m_clientPane, &PaneView::firstVisibleRowChanged, this,
            [this](int row) { onPaneScrolled(m_serverPane, row); });
    connect(m_serverPane, &PaneView::firstVisibleRowChanged, this,
            [this](int row) { onPaneScrolled(m_clientPane, row); });
    for (PaneView *pane : {m_clientPane, m_serverPane}) {
        connect(pane, &PaneView::paneDoubleClicked, this, &TrafficPanes::onPaneDoubleClicked);
        connect(pane, &PaneView::detailsRequested, this, &TrafficPanes::onDetailsRequested);
        pane->installEventFilter(this);
    }
    m_clientPane->viewport()->installEventFilter(this);
    spanMarks();
    connect(m_shown, &PacedRows::rowsInserted, this, &TrafficPanes::onRowsShown);
    connect(m_shown, &PacedRows::modelReset, this, &TrafficPanes::onRowsReset);
    connect(m_notice, &QToolButton::clicked, this, &TrafficPanes::onNoticeClicked);

    // No key clears: a gesture does, and the menu names it where a key would
    // stand (the text after the tab).
    m_clearAction = new QAction(tr("E&ffacer") + QLatin1Char('\t') + tr("double-clic"), this);
    m_clearAction->setObjectName(QStringLiteral("actEffacer"));
    connect(m_clearAction, &QAction::triggered, this, &TrafficPanes::onPaneDoubleClicked);
}

void TrafficPanes::setReadOnly(bool readOnly)
{
    m_readOnly = readOnly;
    m_clearAction->setEnabled(!readOnly);
}

void TrafficPanes::clear()
{
    m_conversation->clear();
}

QList<int> TrafficPanes::selectedRows() const
{
    return m_clientPane->selectedRows();
}

QByteArray TrafficPanes::selectedTranscript() const
{
    // Each run of adjacent rows in one piece.
    const QList<int> rows = selectedRows();
    QByteArray text;
    for (qsizetype i = 0; i < rows.size();) {
        qsizetype end = i + 1;
        while (end < rows.size() && rows[end] == rows[end - 1] + 1)
            ++end;
        text += ConversationTranscript::lines(*m_conversation, rows[i], int(end - i));
        i = end;
    }
    return text;
}

void TrafficPanes::goToEnd()
{
    m_shown->publish();
    m_clientPane->setFirstVisibleRow(m_shown->rowCount());
    forgetSeenRows();
}

void TrafficPanes::showRow(int row)
{
    m_shown->publish();
    if (row < 0 || row >= m_shown->rowCount())
        return;
    const int first = m_clientPane->firstVisibleRow();
    const int last = m_clientPane->lastVisibleRow();
    if (first >= 0 && row >= first && row <= last)
        return;
    // A third of the way down, so the rows just before it are seen too.
    const int inView = std::max(1, last - first + 1);
    m_clientPane->setFirstVisibleRow(std::max(0, row - inView / 3));
    forgetSeenRows();
}

void TrafficPanes::selectRow(int row)
{
    m_shown->publish();
    if (row < 0 || row >= m_shown->rowCount())
        return;
    const QModelIndex index = m_shown->index(row, 0);
    m_clientPane->selectionModel()->setCurrentIndex(
        index, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    showRow(row);
}

bool TrafficPanes::isFailure(const Conversation &conversation, int row)
{
    if (conversation.isMarker(row))
        return SessionMarks::isFailure(conversation.mark(row));
    if (conversation.side(row) != Side::Server)
        return false;
    const ReplyClass::Kind kind = ReplyClass::classify(conversation.bytes(row));
    return kind == ReplyClass::TransientNegative || kind == ReplyClass::PermanentNegative;
}

bool TrafficPanes::selectFailure(bool backwards)
{
    m_shown->publish();
    const int rows = m_shown->rowCount();
    if (rows == 0)
        return false;
    const QModelIndex current = m_clientPane->currentIndex();
    // From the current row, or from the top (the bottom, backwards) when none.
    const int from = current.isValid() ? current.row() : (backwards ? rows : -1);
    const int step = backwards ? -1 : 1;
    for (int i = 1; i <= rows; ++i) {
        const int row = ((from + step * i) % rows + rows) % rows;
        if (isFailure(*m_conversation, row)) {
            selectRow(row);
            return true;
        }
    }
    return false;
}

void TrafficPanes::copyRows()
{
    // The panes' selection decides, while one of them has the window's focus
    // (not the application's: the window may be inactive); a row is the same
    // line of the conversation in either pane, alignment row or not.
    const QWidget *focused = m_clientPane->window()->focusWidget();
    const QByteArray selected =
        focused == m_clientPane || focused == m_serverPane ? selectedTranscript() : QByteArray();
    QGuiApplication::clipboard()->setText(QString::fromUtf8(
        selected.isEmpty() ? ConversationTranscript::lines(*m_conversation, 0, m_conversation->rowCount()) : selected));
}

void TrafficPanes::onPaneScrolled(PaneView *other, int row)
{
    follow(other, row);
    forgetSeenRows();
}

void TrafficPanes::onPaneDoubleClicked()
{
    if (!m_readOnly)
        clear();
}

void TrafficPanes::onRowsShown(const QModelIndex &parent, int first, int last)
{
    if (parent.isValid())
        return;
    // Both panes show the same rows at the same place; the client's stands for both.
    const int below = last - std::max(first, m_clientPane->lastVisibleRow() + 1) + 1;
    if (below <= 0)
        return;
    m_unseen += below;
    showNotice();
}

void TrafficPanes::onRowsReset()
{
    m_unseen = 0;
    m_notice->hide();
}

void TrafficPanes::onNoticeClicked()
{
    goToEnd();
}

void TrafficPanes::onDetailsRequested(int row)
{
    auto *dialog = new RowDetailsDialog(*m_conversation, row, m_clientPane->window());
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->show();
}

void TrafficPanes::forgetSeenRows()
{
    // What scrolled into view has been seen; what is still below has not.
    const int below = m_shown->rowCount() - 1 - m_clientPane->lastVisibleRow();
    m_unseen = std::max(0, std::min(m_unseen, below));
    showNotice();
}

void TrafficPanes::showNotice()
{
    if (m_unseen == 0) {
        m_notice->hide();
        return;
    }
    m_notice->setText(m_unseen == 1 ? tr("\u2193 1 nouvelle ligne")
                                     : tr("\u2193 %1 nouvelles lignes").arg(QLocale(QLocale::French).toString(m_unseen)));
    m_notice->adjustSize();
    placeNotice();
    m_notice->show();
    m_notice->raise();
}

void TrafficPanes::placeNotice()
{
    // Centred over both panes, just above their bottom edge.
    const QRect panes = m_clientPane->geometry().united(m_serverPane->geometry());
    const QSize size = m_notice->sizeHint();
    m_notice->setGeometry(panes.center().x() - size.width() / 2, panes.bottom() - size.height() - 8,
                          size.width(), size.height());
}

bool TrafficPanes::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::Resize || event->type() == QEvent::Move) {
        if (watched == m_clientPane->viewport())
            spanMarks(); // the session column beside it, or the pane, changed its width
        else if (watched == m_clientPane && event->type() == QEvent::Resize)
            forgetSeenRows();
        else if (m_notice->isVisible())
            placeNotice();
    }
    return QObject::eventFilter(watched, event);
}

void TrafficPanes::spanMarks()
{
    // The panes stand side by side: a mark reads on from the left one into the right.
    auto *lead = qobject_cast<RowDelegate *>(m_clientPane->itemDelegate());
    auto *rest = qobject_cast<RowDelegate *>(m_serverPane->itemDelegate());
    if (!lead || !rest)
        return;
    lead->setMarkSpan(true, 0);
    rest->setMarkSpan(false, m_clientPane->viewport()->width());
    m_serverPane->viewport()->update();
}

void TrafficPanes::follow(PaneView *follower, int row)
{
    // The follower's own scroll comes back here; it must not be echoed.
    if (m_following)
        return;
    m_following = true;
    follower->setFirstVisibleRow(row);
    m_following = false;
}
