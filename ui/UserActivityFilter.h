#ifndef DRAVLIN_USERACTIVITYFILTER_H
#define DRAVLIN_USERACTIVITYFILTER_H

#include <QObject>

class QWidget;

// Tells of each key the user presses and each click, anywhere in one window:
// what is shown until the user has had a chance to see it goes on the next.
// It watches the whole application, since a key or a click goes to whichever
// control it lands on, and a control may eat it.
class UserActivityFilter : public QObject
{
    Q_OBJECT

public:
    explicit UserActivityFilter(QWidget *window);
    ~UserActivityFilter() override;

Q_SIGNALS:
    // Before the control itself sees the key or the click.
    void userActed(QObject *target);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QWidget *m_window;
};

#endif
