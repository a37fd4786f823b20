#include "LagProbe.h"

#include <algorithm>

LagProbe::LagProbe(QObject *parent)
    : QObject(parent)
{
    m_timer.setSingleShot(true);
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this, &LagProbe::onTick);
}

void LagProbe::start()
{
    m_lateNs.clear();
    m_clock.start();
    arm();
}

void LagProbe::stop()
{
    m_timer.stop();
}

void LagProbe::arm()
{
    // Re-armed from each tick rather than repeating, so one long stall shows
    // as one late tick instead of being spread over a burst of catch-ups.
    m_dueNs = m_clock.nsecsElapsed() + qint64(IntervalMs) * 1000000;
    m_timer.start(IntervalMs);
}

void LagProbe::onTick()
{
    m_lateNs.push_back(std::max<qint64>(0, m_clock.nsecsElapsed() - m_dueNs));
    arm();
}

qint64 LagProbe::quantileUs(double q) const
{
    if (m_lateNs.empty())
        return 0;
    std::vector<qint64> sorted = m_lateNs;
    std::sort(sorted.begin(), sorted.end());
    return sorted[static_cast<size_t>(q * double(sorted.size() - 1))] / 1000;
}
