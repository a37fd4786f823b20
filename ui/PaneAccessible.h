#ifndef DRAVLIN_PANEACCESSIBLE_H
#define DRAVLIN_PANEACCESSIBLE_H

#include <QAccessibleWidget>
#include <QHash>

class PaneView;

// A traffic pane as assistive technology sees it: a list, one item a row,
// each named with what the pane shows of it (a mark with its words, a row
// of the other side as such), with the pane's selection and current row.
// Rows are made on demand and kept by number, so a pane of millions of rows
// costs only the rows a reader has asked about.
class PaneAccessible : public QAccessibleWidget, public QAccessibleTableInterface
{
public:
    explicit PaneAccessible(PaneView *pane);
    ~PaneAccessible() override;

    // For QAccessible::installFactory(): a PaneView gets a PaneAccessible.
    static QAccessibleInterface *create(const QString &className, QObject *object);

    void *interface_cast(QAccessible::InterfaceType type) override;
    int childCount() const override;
    QAccessibleInterface *child(int index) const override;
    int indexOfChild(const QAccessibleInterface *child) const override;
    QAccessibleInterface *childAt(int x, int y) const override;
    QAccessibleInterface *focusChild() const override;

    QAccessibleInterface *caption() const override { return nullptr; }
    QAccessibleInterface *summary() const override { return nullptr; }
    QAccessibleInterface *cellAt(int row, int column) const override;
    int selectedCellCount() const override;
    QList<QAccessibleInterface *> selectedCells() const override;
    QString columnDescription(int column) const override;
    QString rowDescription(int) const override { return QString(); }
    int selectedColumnCount() const override { return 0; }
    int selectedRowCount() const override;
    int columnCount() const override { return 1; }
    int rowCount() const override;
    QList<int> selectedColumns() const override { return {}; }
    QList<int> selectedRows() const override;
    bool isColumnSelected(int) const override { return false; }
    bool isRowSelected(int row) const override;
    bool selectRow(int row) override;
    bool selectColumn(int) override { return false; }
    bool unselectRow(int row) override;
    bool unselectColumn(int) override { return false; }
    void modelChange(QAccessibleTableModelChangeEvent *event) override;

    PaneView *pane() const;

private:
    void forgetRows();
    // Row number to the id QAccessible gave its interface.
    mutable QHash<int, QAccessible::Id> m_rows;
};

#endif
