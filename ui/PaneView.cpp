#include "PaneView.h"

#include "PacedRows.h"
#include "PaneAccessible.h"
#include "RowDelegate.h"

#include <QAccessible>
#include <QAction>
#include <QEvent>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QScrollBar>

#include <algorithm>

PaneView::PaneView(QWidget *parent)
    : QAbstractItemView(parent)
{
    // Qt knows its own views; a reader knows this one through its factory.
    QAccessible::installFactory(&PaneAccessible::create);
    setItemDelegate(new RowDelegate(this));
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    // Per item, the vertical scroll bar's value is the first visible row.
    setVerticalScrollMode(QAbstractItemView::ScrollPerItem);
    // A horizontal bar in one pane only would shorten its viewport and let the
    // panes' scroll ranges differ; long rows are elided instead.
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setTextElideMode(Qt::ElideRight);
    applyRowHeight();
    connect(verticalScrollBar(), &QScrollBar::valueChanged, this,
            &PaneView::onScrollBarValueChanged);

    // First in the pane's context menu; Enter is its key while the pane has the focus.
    auto *details = new QAction(tr("&Détails…"), this);
    details->setObjectName(QStringLiteral("actDetails"));
    // Enter first: the menu names the first key, and French keyboards call it "Entrée".
    details->setShortcuts({QKeySequence(Qt::Key_Enter), QKeySequence(Qt::Key_Return)});
    details->setShortcutContext(Qt::WidgetShortcut);
    details->setShortcutVisibleInContextMenu(true);
    connect(details, &QAction::triggered, this, &PaneView::onDetailsTriggered);
    addAction(details);
}

void PaneView::onDetailsTriggered()
{
    // The row under the cursor when it is one of several selected.
    const QList<int> rows = selectedRows();
    if (rows.isEmpty())
        return;
    const int current = currentIndex().row();
    Q_EMIT detailsRequested(std::binary_search(rows.begin(), rows.end(), current) ? current : rows.first());
}

void PaneView::setModelColumn(int column)
{
    m_column = column;
    viewport()->update();
}

int PaneView::rowCount() const
{
    return model() ? model()->rowCount(rootIndex()) : 0;
}

int PaneView::rowsInView() const
{
    return std::max(1, viewport()->height() / m_rowHeight);
}

int PaneView::rowAtY(int y) const
{
    // Rounded down, above the viewport too.
    const int offset = y >= 0 ? y / m_rowHeight : -((-y + m_rowHeight - 1) / m_rowHeight);
    return verticalScrollBar()->value() + offset;
}

int PaneView::verticalOffset() const
{
    return verticalScrollBar()->value() * m_rowHeight;
}

int PaneView::firstVisibleRow() const
{
    return rowCount() == 0 ? -1 : verticalScrollBar()->value();
}

int PaneView::lastVisibleRow() const
{
    const int first = firstVisibleRow();
    if (first < 0)
        return -1;
    return std::min(rowCount() - 1, first + rowsInView() - 1);
}

void PaneView::setFirstVisibleRow(int row)
{
    // Rows may have been appended since the scroll range was last set.
    updateGeometries();
    verticalScrollBar()->setValue(row);
}

QList<int> PaneView::selectedRows() const
{
    QList<int> rows;
    if (!selectionModel())
        return rows;
    for (const QItemSelectionRange &range : selectionModel()->selection()) {
        if (range.parent() != rootIndex())
            continue;
        for (int row = range.top(); row <= range.bottom(); ++row)
            rows.append(row);
    }
    // Ranges may overlap once rows are added to a selection more than once.
    std::sort(rows.begin(), rows.end());
    rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
    return rows;
}

QRect PaneView::visualRect(const QModelIndex &index) const
{
    // Any column: the row is the same line of the conversation in every pane.
    if (!index.isValid() || index.parent() != rootIndex())
        return QRect();
    return QRect(0, (index.row() - verticalScrollBar()->value()) * m_rowHeight, viewport()->width(), m_rowHeight);
}

QModelIndex PaneView::indexAt(const QPoint &point) const
{
    const int row = rowAtY(point.y());
    if (!model() || row < 0 || row >= rowCount() || point.x() < 0 || point.x() >= viewport()->width())
        return QModelIndex();
    return model()->index(row, m_column, rootIndex());
}

void PaneView::scrollTo(const QModelIndex &index, ScrollHint hint)
{
    if (!index.isValid() || index.parent() != rootIndex())
        return;
    const int row = index.row();
    const int first = verticalScrollBar()->value();
    const int inView = rowsInView();
    int target = first;
    switch (hint) {
    case EnsureVisible:
        if (row < first)
            target = row;
        else if (row > first + inView - 1)
            target = row - inView + 1;
        break;
    case PositionAtTop:
        target = row;
        break;
    case PositionAtBottom:
        target = row - inView + 1;
        break;
    case PositionAtCenter:
        target = row - inView / 2;
        break;
    }
    setFirstVisibleRow(std::max(0, target));
}

bool PaneView::isIndexHidden(const QModelIndex &index) const
{
    return index.column() != m_column;
}

void PaneView::setSelection(const QRect &rect, QItemSelectionModel::SelectionFlags command)
{
    const int rows = rowCount();
    if (!selectionModel() || rows == 0)
        return;
    const int top = std::clamp(rowAtY(rect.top()), 0, rows - 1);
    const int bottom = std::clamp(rowAtY(rect.bottom()), 0, rows - 1);
    const int lastColumn = std::max(0, model()->columnCount(rootIndex()) - 1);
    selectionModel()->select(QItemSelection(model()->index(top, 0, rootIndex()),
                                            model()->index(bottom, lastColumn, rootIndex())),
                             command | QItemSelectionModel::Rows);
}

QRegion PaneView::visualRegionForSelection(const QItemSelection &selection) const
{
    const int first = verticalScrollBar()->value();
    const int last = first + rowsInView(); // the row cut by the bottom edge too
    QRegion region;
    for (const QItemSelectionRange &range : selection) {
        if (range.parent() != rootIndex())
            continue;
        const int top = std::max(range.top(), first);
        const int bottom = std::min(range.bottom(), last);
        if (top <= bottom)
            region += QRect(0, (top - first) * m_rowHeight, viewport()->width(), (bottom - top + 1) * m_rowHeight);
    }
    return region;
}

void PaneView::updateGeometries()
{
    const int inView = rowsInView();
    QScrollBar *bar = verticalScrollBar();
    bar->setSingleStep(1);
    bar->setPageStep(inView);
    bar->setRange(0, std::max(0, rowCount() - inView));
    QAbstractItemView::updateGeometries();
}

void PaneView::rowsInserted(const QModelIndex &parent, int start, int end)
{
    QAbstractItemView::rowsInserted(parent, start, end);
    if (parent != rootIndex())
        return;
    updateGeometries();
    // Rows appended below a full pane change nothing it shows but the scroll
    // bar; during a flood that is nearly every insertion, and repainting both
    // panes each time would take the time the relay needs.
    if (start <= verticalScrollBar()->value() + rowsInView())
        viewport()->update();
}

void PaneView::rowsAboutToBeRemoved(const QModelIndex &parent, int start, int end)
{
    QAbstractItemView::rowsAboutToBeRemoved(parent, start, end);
    tellReaders(QAccessibleTableModelChangeEvent::RowsRemoved, start, end);
    // Laid out again once they are gone.
    scheduleDelayedItemsLayout();
}

void PaneView::reset()
{
    QAbstractItemView::reset();
    tellReaders(QAccessibleTableModelChangeEvent::ModelReset, -1, -1);
}

void PaneView::tellReaders(int change, int first, int last)
{
    if (!QAccessible::isActive())
        return;
    QAccessibleTableModelChangeEvent event(this, QAccessibleTableModelChangeEvent::ModelChangeType(change));
    event.setFirstRow(first);
    event.setLastRow(last);
    QAccessible::updateAccessibility(&event);
}

void PaneView::currentChanged(const QModelIndex &current, const QModelIndex &previous)
{
    QAbstractItemView::currentChanged(current, previous);
    if (QAccessible::isActive() && current.isValid() && hasFocus()) {
        QAccessibleEvent event(this, QAccessible::Focus);
        event.setChild(current.row());
        QAccessible::updateAccessibility(&event);
    }
}

void PaneView::selectionChanged(const QItemSelection &selected, const QItemSelection &deselected)
{
    QAbstractItemView::selectionChanged(selected, deselected);
    if (!QAccessible::isActive())
        return;
    // A range may be millions of rows: its first row says it, and a reader asks the rest.
    for (const QItemSelectionRange &range : selected) {
        QAccessibleEvent event(this, QAccessible::SelectionAdd);
        event.setChild(range.top());
        QAccessible::updateAccessibility(&event);
    }
    for (const QItemSelectionRange &range : deselected) {
        QAccessibleEvent event(this, QAccessible::SelectionRemove);
        event.setChild(range.top());
        QAccessible::updateAccessibility(&event);
    }
}

void PaneView::scrollContentsBy(int dx, int dy)
{
    // The scroll bar counts rows; the viewport moves by pixels.
    QAbstractItemView::scrollContentsBy(dx, dy * m_rowHeight);
}

QModelIndex PaneView::moveCursor(CursorAction cursorAction, Qt::KeyboardModifiers modifiers)
{
    Q_UNUSED(modifiers);
    if (!model())
        return QModelIndex();
    // The end is the last row captured, not the last one handed over yet.
    if (auto *paced = qobject_cast<PacedRows *>(model()); paced && cursorAction == MoveEnd)
        paced->publish();
    const int rows = rowCount();
    if (rows == 0)
        return QModelIndex();
    // A pane reads as a list: Home and End go to the first and last row.
    const QModelIndex current = currentIndex();
    const int row = current.isValid() ? current.row() : verticalScrollBar()->value();
    int target = row;
    switch (cursorAction) {
    case MoveHome:
        target = 0;
        break;
    case MoveEnd:
        target = rows - 1;
        break;
    case MoveUp:
    case MovePrevious:
        target = current.isValid() ? row - 1 : row;
        break;
    case MoveDown:
    case MoveNext:
        target = current.isValid() ? row + 1 : row;
        break;
    case MovePageUp:
        target = row - rowsInView();
        break;
    case MovePageDown:
        target = row + rowsInView();
        break;
    case MoveLeft:
    case MoveRight:
        break;
    }
    return model()->index(std::clamp(target, 0, rows - 1), m_column, rootIndex());
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
    QAbstractItemView::changeEvent(event);
    if (event->type() == QEvent::FontChange || event->type() == QEvent::StyleChange)
        applyRowHeight();
}

void PaneView::applyRowHeight()
{
    // Measured as the delegate measures a row, on a one-character line.
    QStyleOptionViewItem option;
    initViewItemOption(&option);
    m_rowHeight = std::max(1, itemDelegate()->sizeHint(option, QModelIndex()).height());
    updateGeometries();
    viewport()->update();
}

void PaneView::onScrollBarValueChanged(int value)
{
    Q_EMIT firstVisibleRowChanged(value);
}

void PaneView::paintEvent(QPaintEvent *event)
{
    QPainter painter(viewport());
    const int rows = rowCount();
    if (rows > 0) {
        QStyleOptionViewItem base;
        initViewItemOption(&base);
        const int first = verticalScrollBar()->value();
        const int from = std::max(first, rowAtY(event->rect().top()));
        const int to = std::min(rows - 1, rowAtY(event->rect().bottom()));
        const int current = currentIndex().row();
        const QItemSelectionModel *selection = selectionModel();
        QAbstractItemDelegate *delegate = itemDelegate();
        for (int row = from; row <= to; ++row) {
            const QModelIndex index = model()->index(row, m_column, rootIndex());
            QStyleOptionViewItem option = base;
            option.rect = QRect(0, (row - first) * m_rowHeight, viewport()->width(), m_rowHeight);
            if (selection && selection->isSelected(index))
                option.state |= QStyle::State_Selected;
            if (row == current && hasFocus())
                option.state |= QStyle::State_HasFocus;
            delegate->paint(&painter, option, index);
        }
    }
    // The pane that has the keys says so with a frame in the selection colour.
    if (hasFocus()) {
        painter.setPen(QPen(palette().color(QPalette::Highlight), 2));
        painter.setBrush(Qt::NoBrush);
        painter.drawRect(viewport()->rect().adjusted(1, 1, -1, -1));
    }
}

void PaneView::focusInEvent(QFocusEvent *event)
{
    QAbstractItemView::focusInEvent(event);
    viewport()->update();
}

void PaneView::focusOutEvent(QFocusEvent *event)
{
    QAbstractItemView::focusOutEvent(event);
    viewport()->update();
}
