#include "SlicedWork.h"

#include <QEventLoop>
#include <QLabel>
#include <QProgressDialog>
#include <QTimer>

#include <algorithm>

SlicedWork::SlicedWork(QWidget *window, const QString &label)
    : m_window(window)
    , m_label(label)
{
}

bool SlicedWork::run(const std::function<bool()> &slice, const std::function<int()> &progress)
{
    QProgressDialog dialog(QString(), tr("Annuler"), 0, 1000, m_window);
    dialog.setObjectName(QStringLiteral("dlgProgression"));
    // Titled in French, not by the program's file name.
    dialog.setWindowTitle(tr("Dravlin — travail en cours"));
    // The label names a file, whose name is shown as it is, never as markup.
    auto *label = new QLabel(m_label, &dialog);
    label->setTextFormat(Qt::PlainText);
    dialog.setLabel(label);
    dialog.setWindowModality(Qt::WindowModal);
    // Short work shows no dialog at all.
    dialog.setMinimumDuration(300);
    dialog.setAutoReset(false);
    dialog.setAutoClose(false);
    dialog.setValue(0);

    QEventLoop loop;
    bool done = false;
    QTimer next;
    next.setSingleShot(true);
    QObject::connect(&dialog, &QProgressDialog::canceled, &loop, &QEventLoop::quit);
    QObject::connect(&next, &QTimer::timeout, &loop, [&] {
        if (dialog.wasCanceled()) {
            loop.quit();
            return;
        }
        if (!slice()) {
            done = true;
            loop.quit();
            return;
        }
        // Events are seen here too, a click on "Annuler" among them.
        dialog.setValue(std::clamp(progress(), 1, 999));
        if (dialog.wasCanceled())
            loop.quit();
        else
            next.start(0);
    });
    next.start(0);
    // Ends early when the application quits: every event loop is then told to.
    loop.exec();
    return done;
}
