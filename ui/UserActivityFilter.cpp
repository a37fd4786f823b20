#include "UserActivityFilter.h"

#include <QCoreApplication>
#include <QEvent>
#include <QWidget>

UserActivityFilter::UserActivityFilter(QWidget *window)
    : QObject(window)
    , m_window(window)
{
    QCoreApplication::instance()->installEventFilter(this);
}

UserActivityFilter::~UserActivityFilter()
{
    QCoreApplication::instance()->removeEventFilter(this);
}

bool UserActivityFilter::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::MouseButtonPress || event->type() == QEvent::KeyPress) {
        const auto *widget = qobject_cast<const QWidget *>(watched);
        if (widget && widget->window() == m_window)
            Q_EMIT userActed(watched);
    }
    return QObject::eventFilter(watched, event);
}
