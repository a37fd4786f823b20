#include "PaneRowAccessible.h"

#include "Conversation.h"
#include "PaneView.h"

#include <QCoreApplication>
#include <QItemSelectionModel>
#include <QWidget>

PaneRowAccessible::PaneRowAccessible(PaneView *pane, int row)
    : m_pane(pane)
    , m_row(row)
{
}

QString PaneRowAccessible::name(const PaneView *pane, int row)
{
    const QModelIndex index = pane->model()->index(row, pane->modelColumn());
    if (index.data(Conversation::AlignmentRole).toBool()) {
        return pane->modelColumn() == 0 ? QCoreApplication::translate("PaneRowAccessible", "(ligne du serveur)")
                                        : QCoreApplication::translate("PaneRowAccessible", "(ligne du client)");
    }
    return index.data(Conversation::ShownTextRole).toString();
}

bool PaneRowAccessible::isValid() const
{
    return m_pane && m_pane->model() && m_row < m_pane->model()->rowCount();
}

QWindow *PaneRowAccessible::window() const
{
    return m_pane ? m_pane->window()->windowHandle() : nullptr;
}

QAccessibleInterface *PaneRowAccessible::parent() const
{
    return m_pane ? QAccessible::queryAccessibleInterface(m_pane.data()) : nullptr;
}

QString PaneRowAccessible::text(QAccessible::Text t) const
{
    if (!isValid())
        return QString();
    if (t == QAccessible::Name)
        return name(m_pane, m_row);
    if (t == QAccessible::Description)
        return m_pane->model()->index(m_row, m_pane->modelColumn()).data(Qt::ToolTipRole).toString();
    return QString();
}

QRect PaneRowAccessible::rect() const
{
    if (!isValid())
        return QRect();
    const QRect local = m_pane->visualRect(m_pane->model()->index(m_row, m_pane->modelColumn()));
    return QRect(m_pane->viewport()->mapToGlobal(local.topLeft()), local.size());
}

QAccessible::State PaneRowAccessible::state() const
{
    QAccessible::State s;
    if (!isValid()) {
        s.invalid = true;
        return s;
    }
    s.selectable = true;
    s.multiSelectable = true;
    s.focusable = true;
    s.readOnly = true;
    s.selected = isSelected();
    s.focused = m_pane->hasFocus() && m_pane->currentIndex().row() == m_row;
    const int first = m_pane->firstVisibleRow();
    s.offscreen = m_row < first || m_row > m_pane->lastVisibleRow();
    s.invisible = s.offscreen;
    return s;
}

void *PaneRowAccessible::interface_cast(QAccessible::InterfaceType type)
{
    return type == QAccessible::TableCellInterface ? static_cast<QAccessibleTableCellInterface *>(this) : nullptr;
}

bool PaneRowAccessible::isSelected() const
{
    const QItemSelectionModel *selection = m_pane ? m_pane->selectionModel() : nullptr;
    return selection && isValid() && selection->isRowSelected(m_row);
}
