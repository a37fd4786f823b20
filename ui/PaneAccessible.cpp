#include "PaneAccessible.h"

#include "PaneRowAccessible.h"
#include "PaneView.h"

#include <QItemSelectionModel>

PaneAccessible::PaneAccessible(PaneView *pane)
    : QAccessibleWidget(pane, QAccessible::List)
{
}

PaneAccessible::~PaneAccessible()
{
    forgetRows();
}

QAccessibleInterface *PaneAccessible::create(const QString &className, QObject *object)
{
    Q_UNUSED(className)
    if (auto *pane = qobject_cast<PaneView *>(object))
        return new PaneAccessible(pane);
    return nullptr;
}

PaneView *PaneAccessible::pane() const
{
    return static_cast<PaneView *>(widget());
}

void *PaneAccessible::interface_cast(QAccessible::InterfaceType type)
{
    if (type == QAccessible::TableInterface)
        return static_cast<QAccessibleTableInterface *>(this);
    return QAccessibleWidget::interface_cast(type);
}

int PaneAccessible::rowCount() const
{
    return pane()->model() ? pane()->model()->rowCount() : 0;
}

int PaneAccessible::childCount() const
{
    return rowCount();
}

QAccessibleInterface *PaneAccessible::cellAt(int row, int column) const
{
    if (column != 0 || row < 0 || row >= rowCount())
        return nullptr;
    if (const QAccessible::Id id = m_rows.value(row))
        return QAccessible::accessibleInterface(id);
    auto *cell = new PaneRowAccessible(pane(), row);
    m_rows.insert(row, QAccessible::registerAccessibleInterface(cell));
    return cell;
}

QAccessibleInterface *PaneAccessible::child(int index) const
{
    return cellAt(index, 0);
}

int PaneAccessible::indexOfChild(const QAccessibleInterface *child) const
{
    const auto *cell = child ? const_cast<QAccessibleInterface *>(child)->tableCellInterface() : nullptr;
    return cell && child->parent() == this ? cell->rowIndex() : -1;
}

QAccessibleInterface *PaneAccessible::childAt(int x, int y) const
{
    const QPoint local = pane()->viewport()->mapFromGlobal(QPoint(x, y));
    const QModelIndex index = pane()->indexAt(local);
    return index.isValid() ? cellAt(index.row(), 0) : nullptr;
}

QAccessibleInterface *PaneAccessible::focusChild() const
{
    const QModelIndex current = pane()->currentIndex();
    return pane()->hasFocus() && current.isValid() ? cellAt(current.row(), 0) : nullptr;
}

QList<int> PaneAccessible::selectedRows() const
{
    return pane()->selectedRows();
}

int PaneAccessible::selectedRowCount() const
{
    return int(selectedRows().size());
}

int PaneAccessible::selectedCellCount() const
{
    return selectedRowCount();
}

QList<QAccessibleInterface *> PaneAccessible::selectedCells() const
{
    QList<QAccessibleInterface *> cells;
    for (const int row : selectedRows())
        cells.append(cellAt(row, 0));
    return cells;
}

QString PaneAccessible::columnDescription(int column) const
{
    return column == 0 ? text(QAccessible::Name) : QString();
}

bool PaneAccessible::isRowSelected(int row) const
{
    const QItemSelectionModel *selection = pane()->selectionModel();
    return selection && selection->isRowSelected(row);
}

bool PaneAccessible::selectRow(int row)
{
    QItemSelectionModel *selection = pane()->selectionModel();
    if (!selection || row < 0 || row >= rowCount())
        return false;
    selection->select(pane()->model()->index(row, 0),
                      QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    return true;
}

bool PaneAccessible::unselectRow(int row)
{
    QItemSelectionModel *selection = pane()->selectionModel();
    if (!selection || row < 0 || row >= rowCount())
        return false;
    selection->select(pane()->model()->index(row, 0), QItemSelectionModel::Deselect | QItemSelectionModel::Rows);
    return true;
}

void PaneAccessible::modelChange(QAccessibleTableModelChangeEvent *event)
{
    // Rows stand for numbers: only those past the end need going, and after
    // a reset or a removal that is simplest done by forgetting them all.
    if (event->modelChangeType() != QAccessibleTableModelChangeEvent::RowsInserted)
        forgetRows();
}

void PaneAccessible::forgetRows()
{
    for (const QAccessible::Id id : std::as_const(m_rows))
        QAccessible::deleteAccessibleInterface(id);
    m_rows.clear();
}
