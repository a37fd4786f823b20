#include "ConversationCapture.h"

ConversationCapture::ConversationCapture(QObject *parent)
    : QObject(parent)
{
}

ConversationCapture::Pair &ConversationCapture::captures(int session)
{
    return session == 0 ? m_capture : m_numbered[session];
}

void ConversationCapture::capture(Side side, const QByteArray &bytes, qint64 arrivedMsecs, bool encrypted, int session)
{
    const LineCapture::Rows rows = captures(session)[sideIndex(side)].feed(bytes);
    if (!rows.isEmpty())
        Q_EMIT rowsCaptured(side, rows, arrivedMsecs, encrypted, session);
}

void ConversationCapture::breakRow(Side side, qint64 atMsecs, bool encrypted, int session)
{
    Pair &pair = captures(session);
    const LineCapture::Rows rows = pair[sideIndex(side)].flush();
    // A numbered session whose lines are all finished holds nothing worth
    // keeping: a long run of short sessions must not grow this map.
    if (session != 0 && pair[0].tail().isEmpty() && pair[1].tail().isEmpty())
        m_numbered.erase(session);
    if (!rows.isEmpty())
        Q_EMIT rowsCaptured(side, rows, atMsecs, encrypted, session);
}
