#ifndef DRAVLIN_PANEVIEW_H
#define DRAVLIN_PANEVIEW_H

#include <QTableView>

// One traffic pane: a read-only, one-line-per-row view of one column of the
// conversation, single selection. Its first visible row is the position
// another pane can follow; a double-click anywhere in it, on a row or on the
// empty space below, is reported as such, and so is a request for the
// selected row's details.
//
// A table view rather than a list view: with fixed row heights it keeps no
// per-row layout, so appending to a conversation of millions of rows costs
// the same as appending to an empty one.
class PaneView : public QTableView
{
    Q_OBJECT

public:
    explicit PaneView(QWidget *parent = nullptr);

    void setModel(QAbstractItemModel *model) override;
    void doItemsLayout() override;
    void reset() override;
    // The model column this pane shows; the others are hidden.
    void setModelColumn(int column);
    int modelColumn() const { return m_column; }

    // -1 when the pane is empty.
    int firstVisibleRow() const;
    void setFirstVisibleRow(int row);
    // The last row wholly in view, -1 when the pane is empty.
    int lastVisibleRow() const;

Q_SIGNALS:
    // Whatever scrolled the pane: scroll bar, wheel, keys or a call.
    void firstVisibleRowChanged(int row);
    void paneDoubleClicked();
    // Enter, or "Détails…" in the context menu, on the selected row.
    void detailsRequested(int row);

protected:
    void rowsAboutToBeRemoved(const QModelIndex &parent, int start, int end) override;
    QModelIndex moveCursor(CursorAction cursorAction, Qt::KeyboardModifiers modifiers) override;
    void mouseDoubleClickEvent(QMouseEvent *event) override;
    void changeEvent(QEvent *event) override;
    void paintEvent(QPaintEvent *event) override;
    void focusInEvent(QFocusEvent *event) override;
    void focusOutEvent(QFocusEvent *event) override;

private Q_SLOTS:
    void onScrollBarValueChanged(int value);
    void onColumnsChanged();
    void onDetailsTriggered();

private:
    void applyRowHeight();

    int m_column = 0;
    // What the last layout showed: rows, first row, viewport height; -1 when
    // the next layout must repaint whatever happens.
    int m_laidOutRows = -1;
    int m_laidOutFirst = -1;
    int m_laidOutHeight = -1;
};

#endif
