#ifndef DRAVLIN_TERMINATIONSIGNALS_H
#define DRAVLIN_TERMINATIONSIGNALS_H

#include <QObject>
#include <QString>

class QSocketNotifier;

// SIGINT and SIGTERM as events of the event loop rather than handlers that
// interrupt whatever runs: the console can then end in order, deliver what it
// has read and count what it lost.
//
// block() must run before any thread is started, so that every thread leaves
// the signals to this notifier; unblock() gives them back their default effect.
class TerminationSignals : public QObject
{
    Q_OBJECT

public:
    static void block();
    static void unblock();

    explicit TerminationSignals(QObject *parent = nullptr);
    ~TerminationSignals() override;

    // 0 while the signals are watched; else the errno why they cannot be, and
    // they have been given back their default effect (they end the program
    // at once) rather than being held for nobody.
    int failure() const { return m_failure; }

Q_SIGNALS:
    // One or more termination signals arrived.
    void requested();

private Q_SLOTS:
    void onReadable();

private:
    int m_fd = -1;
    QSocketNotifier *m_notifier = nullptr;
    int m_failure = 0;
};

#endif
