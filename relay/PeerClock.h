#ifndef DRAVLIN_PEERCLOCK_H
#define DRAVLIN_PEERCLOCK_H

#include <QObject>
#include <QTimer>

// A limit on what a peer does (stay silent, finish a handshake, answer): once
// armed it expires after its interval, but it counts only while Dravlin reads
// that peer. A pause of Dravlin's own (a front end holding reading, flow
// control) must never be blamed on the peer, so while paused it stands still,
// and it counts from zero again when reading resumes.
class PeerClock : public QObject
{
    Q_OBJECT

public:
    explicit PeerClock(QObject *parent = nullptr);

    void setInterval(int ms) { m_timer.setInterval(ms); }
    int interval() const { return m_timer.interval(); }
    // Arms the clock, counting from zero (once reading is not paused).
    void start();
    void stop();
    bool isArmed() const { return m_armed; }
    // The peer did something: an armed clock counts from zero again.
    void touch();
    void setPaused(bool paused);

Q_SIGNALS:
    void expired();

private:
    void follow();

    QTimer m_timer;
    bool m_armed = false;
    bool m_paused = false;
};

#endif
