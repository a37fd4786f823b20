#include "ConversationCapture.h"

ConversationCapture::ConversationCapture(QObject *parent)
    : QObject(parent)
{
}

void ConversationCapture::capture(Side side, const QByteArray &bytes, qint64 arrivedMsecs, bool encrypted)
{
    const LineCapture::Rows rows = m_capture[sideIndex(side)].feed(bytes);
    if (!rows.isEmpty())
        Q_EMIT rowsCaptured(side, rows, arrivedMsecs, encrypted);
}

void ConversationCapture::breakRow(Side side, qint64 atMsecs, bool encrypted)
{
    const LineCapture::Rows rows = m_capture[sideIndex(side)].flush();
    if (!rows.isEmpty())
        Q_EMIT rowsCaptured(side, rows, atMsecs, encrypted);
}
