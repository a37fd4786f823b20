#ifndef DRAVLIN_LAGPROBE_H
#define DRAVLIN_LAGPROBE_H

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <vector>

// Measures how late the event loop it lives in serves a 10 ms timer: each
// tick records how long after its due time it ran, then arms the next one.
class LagProbe : public QObject
{
    Q_OBJECT

public:
    static constexpr int IntervalMs = 10;

    explicit LagProbe(QObject *parent = nullptr);

    void start();
    void stop();

    // Lateness in microseconds at quantile q (0..1); 0 when nothing was recorded.
    qint64 quantileUs(double q) const;
    size_t samples() const { return m_lateNs.size(); }

private Q_SLOTS:
    void onTick();

private:
    void arm();

    QTimer m_timer;
    QElapsedTimer m_clock;
    qint64 m_dueNs = 0;
    std::vector<qint64> m_lateNs;
};

#endif
