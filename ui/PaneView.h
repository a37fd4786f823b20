#ifndef DRAVLIN_PANEVIEW_H
#define DRAVLIN_PANEVIEW_H

#include <QAbstractItemView>
#include <QList>

// One traffic pane: a read-only, one-line-per-row view of one column of the
// conversation. Its first visible row is the position another pane can
// follow; a double-click anywhere in it, on a row or on the empty space
// below, is reported as such, and so is a request for the selected row's
// details. Rows are selected whole (Shift and Ctrl extend the selection), so
// panes sharing one selection model select the same rows.
//
// Every row has the same height, so where a row is follows from its number
// alone: the view keeps nothing per row, and appending to a conversation of
// millions of rows costs the same as appending to an empty one.
class PaneView : public QAbstractItemView
{
    Q_OBJECT

public:
    explicit PaneView(QWidget *parent = nullptr);

    // The model column this pane shows.
    void setModelColumn(int column);
    int modelColumn() const { return m_column; }
    int rowHeight() const { return m_rowHeight; }

    // -1 when the pane is empty.
    int firstVisibleRow() const;
    void setFirstVisibleRow(int row);
    // The last row wholly in view, -1 when the pane is empty.
    int lastVisibleRow() const;
    // The selected rows, top to bottom.
    QList<int> selectedRows() const;
    // Room left of the rows for a column of the pane's own (see SessionGutter).
    void setLeftMargin(int width) { setViewportMargins(width, 0, 0, 0); }

    QRect visualRect(const QModelIndex &index) const override;
    void scrollTo(const QModelIndex &index, ScrollHint hint = EnsureVisible) override;
    QModelIndex indexAt(const QPoint &point) const override;
    void reset() override;

Q_SIGNALS:
    // Whatever scrolled the pane: scroll bar, wheel, keys or a call.
    void firstVisibleRowChanged(int row);
    void paneDoubleClicked();
    // Enter, or "Détails…" in the context menu, on the selected row.
    void detailsRequested(int row);

protected:
    QModelIndex moveCursor(CursorAction cursorAction, Qt::KeyboardModifiers modifiers) override;
    int horizontalOffset() const override { return 0; }
    int verticalOffset() const override;
    bool isIndexHidden(const QModelIndex &index) const override;
    void setSelection(const QRect &rect, QItemSelectionModel::SelectionFlags command) override;
    QRegion visualRegionForSelection(const QItemSelection &selection) const override;
    void updateGeometries() override;
    void rowsInserted(const QModelIndex &parent, int start, int end) override;
    void rowsAboutToBeRemoved(const QModelIndex &parent, int start, int end) override;
    void currentChanged(const QModelIndex &current, const QModelIndex &previous) override;
    void selectionChanged(const QItemSelection &selected, const QItemSelection &deselected) override;
    void scrollContentsBy(int dx, int dy) override;
    void mouseDoubleClickEvent(QMouseEvent *event) override;
    void changeEvent(QEvent *event) override;
    void paintEvent(QPaintEvent *event) override;
    void focusInEvent(QFocusEvent *event) override;
    void focusOutEvent(QFocusEvent *event) override;

private Q_SLOTS:
    void onScrollBarValueChanged(int value);
    void onDetailsTriggered();

private:
    void applyRowHeight();
    // A QAccessibleTableModelChangeEvent::ModelChangeType for readers, when any listens.
    void tellReaders(int change, int first, int last);
    int rowCount() const;
    // Rows wholly in view, at least one.
    int rowsInView() const;
    int rowAtY(int y) const;

    int m_column = 0;
    int m_rowHeight = 1;
};

#endif
