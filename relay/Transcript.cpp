#include "Transcript.h"

#include "RowText.h"

#include <QDateTime>

QString Transcript::clockTime(qint64 msecsSinceEpoch)
{
    return QDateTime::fromMSecsSinceEpoch(msecsSinceEpoch).toString(QStringLiteral("HH:mm:ss.zzz"));
}

QByteArray Transcript::stamp(qint64 msecsSinceEpoch)
{
    return clockTime(msecsSinceEpoch).toLatin1() + ' ';
}

void Transcript::appendLine(QByteArray &out, QByteArrayView stamp, Side side, QByteArrayView bytes)
{
    out.append(stamp);
    RowText::appendTranscript(out, side, bytes);
    out.append('\n');
}
