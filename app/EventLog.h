#ifndef DRAVLIN_EVENTLOG_H
#define DRAVLIN_EVENTLOG_H

#include <QByteArray>
#include <QDeadlineTimer>
#include <QObject>
#include <QString>

class QSocketNotifier;

// The console's stderr: one "dravlin: " line per event, written without ever
// blocking the relay's thread. A paused terminal stops stderr as well as
// stdout; lines then wait here (a bounded amount) until it takes them again.
class EventLog : public QObject
{
    Q_OBJECT

public:
    static constexpr qsizetype BacklogBytes = qsizetype{64} * 1024;

    explicit EventLog(int fd, QObject *parent = nullptr);

    void print(const QString &message);
    // Writes what waits, giving up at the deadline.
    void flush(QDeadlineTimer deadline);

private Q_SLOTS:
    void onWritable();

private:
    // Writes as much of the backlog as the descriptor takes without waiting.
    void writeReady(int waitMs);

    const int m_fd;
    QByteArray m_backlog;
    qint64 m_dropped = 0;
    QSocketNotifier *m_notifier = nullptr;
};

#endif
