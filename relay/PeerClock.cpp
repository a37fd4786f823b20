#include "PeerClock.h"

PeerClock::PeerClock(QObject *parent)
    : QObject(parent)
{
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, [this] {
        m_armed = false;
        Q_EMIT expired();
    });
}

void PeerClock::start()
{
    m_armed = true;
    m_timer.stop();
    follow();
}

void PeerClock::stop()
{
    m_armed = false;
    m_timer.stop();
}

void PeerClock::touch()
{
    if (m_timer.isActive())
        m_timer.start();
}

void PeerClock::setPaused(bool paused)
{
    if (paused == m_paused)
        return;
    m_paused = paused;
    m_timer.stop();
    follow();
}

void PeerClock::follow()
{
    if (m_armed && !m_paused)
        m_timer.start();
}
