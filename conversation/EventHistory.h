#ifndef DRAVLIN_EVENTHISTORY_H
#define DRAVLIN_EVENTHISTORY_H

#include <QObject>
#include <QString>

#include <vector>

// The relay's last events as the status line worded them, oldest first; past
// Capacity the oldest one makes room for the newest.
class EventHistory : public QObject
{
    Q_OBJECT

public:
    static constexpr int Capacity = 500;

    struct Entry {
        qint64 msecs; // since the epoch
        QString text;
        bool failure;
    };

    explicit EventHistory(QObject *parent = nullptr);

    void append(qint64 msecs, const QString &text, bool failure);
    int count() const { return static_cast<int>(m_entries.size()); }
    // 0 is the oldest kept.
    const Entry &at(int i) const;

Q_SIGNALS:
    // One entry was added, at(count() - 1); when full, the oldest went first.
    void appended();

private:
    std::vector<Entry> m_entries;
    int m_oldest = 0; // where the ring starts once full
};

#endif
