#ifndef DRAVLIN_EVENTHISTORY_H
#define DRAVLIN_EVENTHISTORY_H

#include <QObject>
#include <QString>

#include <vector>

struct RelayEvent;

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
        // The technical name of what caused it, "ECONNREFUSED",
        // "AddressInUseError"; empty when it says nothing more than the text.
        QString cause;
        // The session it is about; 0 when unnumbered, -1 for news not from the relay.
        int session = -1;
    };

    explicit EventHistory(QObject *parent = nullptr);

    // Keeps the relay's event worded as EventText words it, after its
    // session's number when numbered ("#3 Connexion fermée par le serveur"),
    // and returns what was kept, for the status line to show the same.
    const Entry &append(const RelayEvent &event);
    // Words about a session, after its number when numbered: "#3 …".
    static QString numbered(int session, const QString &text);
    // Keeps news of the window's own.
    void append(qint64 msecs, const QString &text, bool failure);
    int count() const { return static_cast<int>(m_entries.size()); }
    // 0 is the oldest kept.
    const Entry &at(int i) const;

Q_SIGNALS:
    // One entry was added, at(count() - 1); when full, the oldest went first.
    void appended();

private:
    const Entry &keep(Entry entry);

    std::vector<Entry> m_entries;
    int m_oldest = 0; // where the ring starts once full
};

#endif
