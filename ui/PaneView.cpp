#include "PaneView.h"

#include "PacedRows.h"
#include "RowDelegate.h"

#include <QAction>
#include <QEvent>
#include <QHeaderView>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollBar>

#include <algorithm>

PaneView::PaneView(QWidget *parent)
    : QTableView(parent)
{
    setItemDelegate(new RowDelegate(this));
    setSelectionMode(QAbstractItemView::SingleSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setShowGrid(false);
    setWordWrap(false);
    setCornerButtonEnabled(false);
    horizontalHeader()->hide();
    horizontalHeader()->setStretchLastSection(true);
    verticalHeader()->hide();
    // One height for every row: the header then needs no per-row sizes.
    verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    applyRowHeight();
    // Per item, the vertical scroll bar's value is the first visible row.
    setVerticalScrollMode(QAbstractItemView::ScrollPerItem);
    // A horizontal bar in one pane only would shorten its viewport and let the
    // panes' scroll ranges differ; long rows are elided instead.
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setTextElideMode(Qt::ElideRight);
    connect(verticalScrollBar(), &QScrollBar::valueChanged, this,
            &PaneView::onScrollBarValueChanged);

    // First in the pane's context menu; Enter is its key while the pane has the focus.
    auto *details = new QAction(QStringLiteral("Détails…"), this);
    details->setObjectName(QStringLiteral("actDetails"));
    details->setShortcuts({QKeySequence(Qt::Key_Return), QKeySequence(Qt::Key_Enter)});
    details->setShortcutContext(Qt::WidgetShortcut);
    details->setShortcutVisibleInContextMenu(true);
    connect(details, &QAction::triggered, this, &PaneView::onDetailsTriggered);
    addAction(details);
}

void PaneView::onDetailsTriggered()
{
    const QModelIndexList selected = selectionModel() ? selectionModel()->selectedIndexes() : QModelIndexList();
    if (!selected.isEmpty())
        Q_EMIT detailsRequested(selected.first().row());
}

void PaneView::setModel(QAbstractItemModel *model)
{
    m_laidOutRows = -1;
    if (QAbstractItemModel *old = this->model())
        old->disconnect(this, SLOT(onColumnsChanged()));
    QTableView::setModel(model);
    if (model) {
        connect(model, &QAbstractItemModel::modelReset, this, &PaneView::onColumnsChanged);
        connect(model, &QAbstractItemModel::columnsInserted, this, &PaneView::onColumnsChanged);
    }
    onColumnsChanged();
}

void PaneView::doItemsLayout()
{
    // Rows appended below a full pane change nothing it shows but the scroll
    // bar; during a flood that is nearly every layout, and repainting both
    // panes each time would take the time the relay needs.
    const int rows = model() ? model()->rowCount(rootIndex()) : 0;
    const int first = verticalScrollBar()->value();
    const int height = viewport()->height();
    const bool grewOutOfView = m_laidOutRows > 0 && rows > m_laidOutRows && first == m_laidOutFirst
        && height == m_laidOutHeight && (m_laidOutRows - first) * verticalHeader()->defaultSectionSize() >= height;
    m_laidOutRows = rows;
    m_laidOutFirst = first;
    m_laidOutHeight = height;
    if (grewOutOfView)
        updateGeometries();
    else
        QTableView::doItemsLayout();
}

void PaneView::reset()
{
    m_laidOutRows = -1;
    QTableView::reset();
}

void PaneView::rowsAboutToBeRemoved(const QModelIndex &parent, int start, int end)
{
    m_laidOutRows = -1;
    QTableView::rowsAboutToBeRemoved(parent, start, end);
}

void PaneView::setModelColumn(int column)
{
    m_laidOutRows = -1;
    m_column = column;
    onColumnsChanged();
}

void PaneView::onColumnsChanged()
{
    if (!model())
        return;
    for (int c = 0; c < model()->columnCount(rootIndex()); ++c)
        setColumnHidden(c, c != m_column);
}

int PaneView::firstVisibleRow() const
{
    if (!model() || model()->rowCount(rootIndex()) == 0)
        return -1;
    return verticalScrollBar()->value();
}

int PaneView::lastVisibleRow() const
{
    const int first = firstVisibleRow();
    if (first < 0)
        return -1;
    const int inView = viewport()->height() / std::max(1, verticalHeader()->defaultSectionSize());
    return std::min(model()->rowCount(rootIndex()) - 1, first + inView - 1);
}

void PaneView::setFirstVisibleRow(int row)
{
    // Rows may have been appended since the last layout; without it the
    // scroll range would be stale and the row clamped.
    executeDelayedItemsLayout();
    updateGeometries();
    verticalScrollBar()->setValue(row);
}

QModelIndex PaneView::moveCursor(CursorAction cursorAction, Qt::KeyboardModifiers modifiers)
{
    // A pane reads as a list: Home and End go to the first and last row, not
    // to the ends of a table row.
    if (model() && (cursorAction == MoveHome || cursorAction == MoveEnd)) {
        // The end is the last row captured, not the last one handed over yet.
        if (auto *paced = qobject_cast<PacedRows *>(model()); paced && cursorAction == MoveEnd)
            paced->publish();
        const int rows = model()->rowCount(rootIndex());
        if (rows == 0)
            return QModelIndex();
        return model()->index(cursorAction == MoveHome ? 0 : rows - 1, m_column, rootIndex());
    }
    return QTableView::moveCursor(cursorAction, modifiers);
}

void PaneView::mouseDoubleClickEvent(QMouseEvent *event)
{
    // Not passed on: the base class would act on an index of a model that the
    // double-click may have just cleared.
    event->accept();
    Q_EMIT paneDoubleClicked();
}

void PaneView::changeEvent(QEvent *event)
{
    QTableView::changeEvent(event);
    if (event->type() == QEvent::FontChange || event->type() == QEvent::StyleChange)
        applyRowHeight();
}

void PaneView::applyRowHeight()
{
    // Measured as the delegate measures a row, on a one-character line.
    QStyleOptionViewItem option;
    initViewItemOption(&option);
    const int height = itemDelegate()->sizeHint(option, QModelIndex()).height();
    verticalHeader()->setMinimumSectionSize(1);
    verticalHeader()->setDefaultSectionSize(height);
}

void PaneView::onScrollBarValueChanged(int value)
{
    Q_EMIT firstVisibleRowChanged(value);
}

void PaneView::paintEvent(QPaintEvent *event)
{
    QTableView::paintEvent(event);
    // The pane that has the keys says so with a frame in the selection colour.
    if (hasFocus()) {
        QPainter painter(viewport());
        painter.setPen(QPen(palette().color(QPalette::Highlight), 2));
        painter.setBrush(Qt::NoBrush);
        painter.drawRect(viewport()->rect().adjusted(1, 1, -1, -1));
    }
}

void PaneView::focusInEvent(QFocusEvent *event)
{
    QTableView::focusInEvent(event);
    viewport()->update();
}

void PaneView::focusOutEvent(QFocusEvent *event)
{
    QTableView::focusOutEvent(event);
    viewport()->update();
}
