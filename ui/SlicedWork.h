#ifndef DRAVLIN_SLICEDWORK_H
#define DRAVLIN_SLICEDWORK_H

#include <QCoreApplication>
#include <QString>

#include <functional>

class QWidget;

// Long work done on the window's thread a slice at a time, between which the
// event loop runs: the window repaints, the relay goes on, and a progress
// dialog over the window (shown once the work has lasted a moment) offers
// "Annuler". The dialog keeps the window's own controls from being used
// meanwhile, so nothing the work reads is cleared under it.
class SlicedWork
{
    Q_DECLARE_TR_FUNCTIONS(SlicedWork)

public:
    // What the dialog says, e.g. "Ouverture de « a.txt »…".
    SlicedWork(QWidget *window, const QString &label);

    // Calls slice until it returns false (all done, or failed: the caller
    // knows which), showing progress() (0 to 1000) in between. False when
    // the user cancelled, or the application is closing, first.
    bool run(const std::function<bool()> &slice, const std::function<int()> &progress);

private:
    QWidget *m_window;
    QString m_label;
};

#endif
