#ifndef DRAVLIN_SESSIONGUTTER_H
#define DRAVLIN_SESSIONGUTTER_H

#include <QWidget>

class PaneView;

// A narrow column left of a pane's rows telling each row's session, for a
// pane showing the rows of several sessions interleaved: a strip in the
// session's hue by each row, and its number, "#3", where a run of its rows
// starts. Its rows are the pane's: it reads the numbers from the pane's model
// (SessionRole) for the rows in view whenever the pane draws, and keeps
// nothing per row. Hues follow the palette, readable on a light or dark one.
class SessionGutter : public QWidget
{
    Q_OBJECT

public:
    explicit SessionGutter(PaneView *pane);

    // Shown, the pane's rows move right to make room; hidden, they take it back.
    void setShown(bool shown);
    // The ink of a session's number on the gutter's background.
    static QColor numberInk(const QPalette &palette, int session);
    static QColor background(const QPalette &palette);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void paintEvent(QPaintEvent *event) override;

private:
    void place();

    PaneView *m_pane;
    // Of the largest session number shown.
    int m_digits = 2;
};

#endif
