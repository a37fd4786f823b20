#ifndef DRAVLIN_FIGURETEXT_H
#define DRAVLIN_FIGURETEXT_H

#include <QCoreApplication>
#include <QString>

// Times, counts and durations as every text of Dravlin writes them.
class FigureText
{
    Q_DECLARE_TR_FUNCTIONS(FigureText)

public:
    // The local wall-clock time, HH:MM:SS.mmm.
    static QString clockTime(qint64 msecsSinceEpoch);
    // A count with French grouping, narrow no-break spaces: "750 000". Byte
    // counts and durations all go through it.
    static QString count(qint64 count);
    // "12 ms", "2,584 s", "3 min 05 s", "2 h 03 min 05 s".
    static QString duration(qint64 msecs);
};

#endif
