#include "PaneView.h"

#include "RowDelegate.h"

#include <QMouseEvent>
#include <QScrollBar>

PaneView::PaneView(QWidget *parent)
    : QListView(parent)
{
    setItemDelegate(new RowDelegate(this));
    setSelectionMode(QAbstractItemView::SingleSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    // A conversation can hold millions of rows: lay them out from one size.
    setUniformItemSizes(true);
    // Per item, the vertical scroll bar's value is the first visible row.
    setVerticalScrollMode(QAbstractItemView::ScrollPerItem);
    // A horizontal bar in one pane only would shorten its viewport and let the
    // panes' scroll ranges differ; long rows are elided instead.
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setTextElideMode(Qt::ElideRight);
    connect(verticalScrollBar(), &QScrollBar::valueChanged, this,
            &PaneView::onScrollBarValueChanged);
}

int PaneView::firstVisibleRow() const
{
    if (!model() || model()->rowCount(rootIndex()) == 0)
        return -1;
    return verticalScrollBar()->value();
}

void PaneView::setFirstVisibleRow(int row)
{
    // Rows may have been appended since the last layout; without it the
    // scroll range would be stale and the row clamped.
    executeDelayedItemsLayout();
    verticalScrollBar()->setValue(row);
}

void PaneView::mouseDoubleClickEvent(QMouseEvent *event)
{
    // Not passed on: the base class would act on an index of a model that the
    // double-click may have just cleared.
    event->accept();
    Q_EMIT paneDoubleClicked();
}

void PaneView::onScrollBarValueChanged(int value)
{
    Q_EMIT firstVisibleRowChanged(value);
}
