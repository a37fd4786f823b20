#include "Transcript.h"

#include "RowText.h"

#include <QDateTime>
#include <QLocale>

QString Transcript::clockTime(qint64 msecsSinceEpoch)
{
    return QDateTime::fromMSecsSinceEpoch(msecsSinceEpoch).toString(QStringLiteral("HH:mm:ss.zzz"));
}

QByteArray Transcript::stamp(qint64 msecsSinceEpoch)
{
    return clockTime(msecsSinceEpoch).toLatin1() + ' ';
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

QString Transcript::sessionBeginText(qint64 msecs, const QString &client, const QString &server)
{
    //: Files keep what a mark tells in a tag before these words: any wording reads back.
    return tr("%1 · client %2 → %3").arg(clockTime(msecs), client, server);
}

QString Transcript::sessionEndText(qint64 msecs, const QString &how, qint64 clientBytes,
                                   qint64 serverBytes, qint64 durationMsecs)
{
    //: Files keep what a mark tells in a tag before these words: any wording reads back.
    return tr("%1 · %2 · client → serveur %3 o · serveur → client %4 o"
              " · durée %5")
        .arg(clockTime(msecs), how, countText(clientBytes), countText(serverBytes),
             durationText(durationMsecs));
}

QString Transcript::countText(qint64 count)
{
    return QLocale(QLocale::French, QLocale::France).toString(count);
}

QString Transcript::durationText(qint64 msecs)
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
