#include "Transcript.h"

#include "FigureText.h"
#include "RowText.h"


QByteArray Transcript::stamp(qint64 msecsSinceEpoch)
{
    return FigureText::clockTime(msecsSinceEpoch).toLatin1() + ' ';
}

QByteArray Transcript::sessionPrefix(int session)
{
    if (session <= 0)
        return QByteArray();
    return '#' + QByteArray::number(session) + ' ';
}

qsizetype Transcript::readSessionPrefix(QByteArrayView line, int *session)
{
    *session = 0;
    // Nine digits at most: any such number fits an int.
    constexpr qsizetype MaxDigits = 9;
    if (line.size() < 3 || line[0] != '#' || line[1] < '1' || line[1] > '9')
        return 0;
    int number = 0;
    qsizetype at = 1;
    for (; at < line.size() && at <= MaxDigits && line[at] >= '0' && line[at] <= '9'; ++at)
        number = number * 10 + (line[at] - '0');
    if (at >= line.size() || line[at] != ' ')
        return 0;
    *session = number;
    return at + 1;
}

void Transcript::appendLine(QByteArray &out, QByteArrayView stamp, Side side, QByteArrayView bytes)
{
    out.append(stamp);
    RowText::appendTranscript(out, side, bytes);
    out.append('\n');
}

void Transcript::appendMarkerLine(QByteArray &out, QByteArrayView stamp, const QString &text)
{
    appendMarkerLine(out, stamp, QByteArrayView(text.toUtf8()));
}

void Transcript::appendMarkerLine(QByteArray &out, QByteArrayView stamp, QByteArrayView text)
{
    out.append(stamp);
    out.append(MarkerPrefix);
    // The row escaping keeps the mark on one line and safe on a terminal;
    // only its "C: " prefix is not wanted here.
    const qsizetype at = out.size();
    RowText::appendTranscript(out, Side::Client, text);
    out.remove(at, 3);
    out.append('\n');
}

