#ifndef DRAVLIN_SESSIONTABLE_H
#define DRAVLIN_SESSIONTABLE_H

#include "RelayEvent.h"
#include "Side.h"

#include <QAbstractTableModel>
#include <QHash>
#include <QTimer>

#include <vector>

class Conversation;

// The numbered sessions of a run, one row each in the order their clients
// were taken: number, client, start, state, bytes each way. Fed by the
// relay's events and relayed bytes, or rebuilt from a conversation's marks
// when a saved one is shown. Sessions numbered 0 (one client at a time) are
// not listed, so the table stays empty then.
//
// Byte counts are summed as bytes pass and told to the views a few times a
// second at most: a busy session costs one update per tick, not one per chunk.
class SessionTable : public QAbstractTableModel
{
    Q_OBJECT

public:
    enum Column { NumberColumn, ClientColumn, StartColumn, StateColumn, ClientBytesColumn, ServerBytesColumn, ColumnCount };
    enum Role {
        // The session's number, on every column.
        SessionRole = Qt::UserRole + 1,
        // True once something went wrong in the session (EventText::isFailure).
        FailedRole,
    };
    static constexpr int CountIntervalMs = 250;

    explicit SessionTable(QObject *parent = nullptr);

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

    // Takes the events and byte counts of a source (the pipeline) without
    // this library knowing it.
    template <typename Source>
    void follow(const Source *source)
    {
        connect(source, &Source::eventOccurred, this, &SessionTable::onEvent);
        connect(source, &Source::bytesCounted, this, &SessionTable::countBytes);
    }
    // The row of a session, -1 when not listed.
    int rowOf(int session) const { return m_rows.value(session, -1); }

    // A replay's answers that differ from the recorded ones, shown in its
    // state and marked as a failure once there is one.
    void setDifferences(int session, int count);


public Q_SLOTS:
    void onEvent(const RelayEvent &event);
    void countBytes(int session, qint64 fromClient, qint64 fromServer);
    void clear();
    // The sessions the marks of every row tell (the conversation must show
    // all its rows); sessions still running are kept, after those.
    void rebuild(const Conversation &conversation);

private:
    struct Session {
        int number = 0;
        QString client;
        QString server;
        qint64 startMsecs = 0;
        qint64 bytes[2] = {0, 0}; // from the client, from the server
        QString state;
        QString lastFailure;
        bool failed = false;
        bool ended = false;
        int differences = -1; // a replay's; -1 for a session relayed
    };

    Session *find(int session);
    // Applies an event to its session, adding it when the event opens one.
    void apply(const RelayEvent &event);
    void onCountTick();
    static QString tooltip(const Session &session);

    std::vector<Session> m_sessions;
    QHash<int, int> m_rows; // session number -> row
    // Rows whose counts changed since the views were last told.
    int m_firstCounted = -1;
    int m_lastCounted = -1;
    QTimer m_countTimer;
    bool m_rebuilding = false;
};

#endif
