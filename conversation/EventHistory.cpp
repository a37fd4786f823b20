#include "EventHistory.h"

EventHistory::EventHistory(QObject *parent)
    : QObject(parent)
{
    m_entries.reserve(Capacity);
}

void EventHistory::append(qint64 msecs, const QString &text, bool failure)
{
    if (count() < Capacity) {
        m_entries.push_back({msecs, text, failure});
    } else {
        m_entries[static_cast<size_t>(m_oldest)] = {msecs, text, failure};
        m_oldest = (m_oldest + 1) % Capacity;
    }
    Q_EMIT appended();
}

const EventHistory::Entry &EventHistory::at(int i) const
{
    return m_entries[static_cast<size_t>((m_oldest + i) % Capacity)];
}
