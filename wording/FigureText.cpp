#include "FigureText.h"

#include <QDateTime>
#include <QLocale>

QString FigureText::clockTime(qint64 msecsSinceEpoch)
{
    return QDateTime::fromMSecsSinceEpoch(msecsSinceEpoch).toString(QStringLiteral("HH:mm:ss.zzz"));
}

QString FigureText::count(qint64 count)
{
    return QLocale(QLocale::French, QLocale::France).toString(count);
}

QString FigureText::duration(qint64 msecs)
{
    if (msecs < 0)
        msecs = 0;
    if (msecs < 1000)
        return tr("%1 ms").arg(msecs);
    if (msecs < 60000)
        return tr("%1,%2 s").arg(msecs / 1000).arg(msecs % 1000, 3, 10, QLatin1Char('0'));
    const qint64 seconds = msecs / 1000;
    const QString minutesAndSeconds =
        tr("%1 min %2 s").arg(seconds / 60 % 60, 2, 10, QLatin1Char('0')).arg(seconds % 60, 2, 10, QLatin1Char('0'));
    if (seconds < 3600)
        return tr("%1 min %2 s").arg(seconds / 60).arg(seconds % 60, 2, 10, QLatin1Char('0'));
    return tr("%1 h %2").arg(seconds / 3600).arg(minutesAndSeconds);
}
