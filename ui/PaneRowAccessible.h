#ifndef DRAVLIN_PANEROWACCESSIBLE_H
#define DRAVLIN_PANEROWACCESSIBLE_H

#include <QAccessible>
#include <QPointer>

class PaneView;

// One row of a traffic pane for assistive technology: a list item named
// with the row's text as the pane shows it, selected and focused as the pane
// says. It stands for a row number, as the pane's rows do.
class PaneRowAccessible : public QAccessibleInterface, public QAccessibleTableCellInterface
{
public:
    PaneRowAccessible(PaneView *pane, int row);

    // What a reader hears for a row: its text, a mark's words, or which
    // side's line the other pane holds.
    static QString name(const PaneView *pane, int row);

    bool isValid() const override;
    QObject *object() const override { return nullptr; }
    QWindow *window() const override;
    QAccessibleInterface *parent() const override;
    QAccessibleInterface *child(int) const override { return nullptr; }
    int childCount() const override { return 0; }
    int indexOfChild(const QAccessibleInterface *) const override { return -1; }
    QAccessibleInterface *childAt(int, int) const override { return nullptr; }
    QString text(QAccessible::Text t) const override;
    void setText(QAccessible::Text, const QString &) override {}
    QRect rect() const override;
    QAccessible::Role role() const override { return QAccessible::ListItem; }
    QAccessible::State state() const override;
    void *interface_cast(QAccessible::InterfaceType type) override;

    bool isSelected() const override;
    QList<QAccessibleInterface *> columnHeaderCells() const override { return {}; }
    QList<QAccessibleInterface *> rowHeaderCells() const override { return {}; }
    int columnIndex() const override { return 0; }
    int rowIndex() const override { return m_row; }
    int columnExtent() const override { return 1; }
    int rowExtent() const override { return 1; }
    QAccessibleInterface *table() const override { return parent(); }

private:
    QPointer<PaneView> m_pane;
    int m_row;
};

#endif
