#ifndef DRAVLIN_PANEVIEW_H
#define DRAVLIN_PANEVIEW_H

#include <QListView>

// One traffic pane: a read-only list over one column of the conversation,
// one line per row, single selection. Its first visible row is the position
// another pane can follow; a double-click anywhere in it, on a row or on the
// empty space below, is reported as such.
class PaneView : public QListView
{
    Q_OBJECT

public:
    explicit PaneView(QWidget *parent = nullptr);

    // -1 when the pane is empty.
    int firstVisibleRow() const;
    void setFirstVisibleRow(int row);

Q_SIGNALS:
    // Whatever scrolled the pane: scroll bar, wheel, keys or a call.
    void firstVisibleRowChanged(int row);
    void paneDoubleClicked();

protected:
    void mouseDoubleClickEvent(QMouseEvent *event) override;

private Q_SLOTS:
    void onScrollBarValueChanged(int value);
};

#endif
