#include "EventHistory.h"

#include "EventText.h"
#include "ReasonText.h"
#include "RelayEvent.h"

#include <QMetaEnum>

EventHistory::EventHistory(QObject *parent)
    : QObject(parent)
{
    m_entries.reserve(Capacity);
}

const EventHistory::Entry &EventHistory::append(const RelayEvent &event)
{
    QString cause = ReasonText::technicalName(event.cause);
    // Without a cause of its own, the socket's error still names what
    // happened where the French wording only paraphrases it.
    if (cause.isEmpty() && event.error != QAbstractSocket::UnknownSocketError)
        cause = QString::fromLatin1(QMetaEnum::fromType<QAbstractSocket::SocketError>().valueToKey(event.error));
    return keep({event.time, numbered(event.session, EventText::describe(event)), EventText::isFailure(event), cause, event.session});
}

QString EventHistory::numbered(int session, const QString &text)
{
    return session > 0 ? QLatin1Char('#') + QString::number(session) + QLatin1Char(' ') + text : text;
}

void EventHistory::append(qint64 msecs, const QString &text, bool failure)
{
    keep({msecs, text, failure, QString(), -1});
}

const EventHistory::Entry &EventHistory::keep(Entry entry)
{
    int slot = count();
    if (slot < Capacity) {
        m_entries.push_back(std::move(entry));
    } else {
        slot = m_oldest;
        m_entries[static_cast<size_t>(slot)] = std::move(entry);
        m_oldest = (m_oldest + 1) % Capacity;
    }
    Q_EMIT appended();
    return m_entries[static_cast<size_t>(slot)];
}

const EventHistory::Entry &EventHistory::at(int i) const
{
    return m_entries[static_cast<size_t>((m_oldest + i) % Capacity)];
}
