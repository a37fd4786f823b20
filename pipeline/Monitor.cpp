#include "Monitor.h"

#include "MonitorCore.h"
#include "RowStore.h"

#include <QCoreApplication>
#include <QMetaMethod>

#include <utility>

static_assert(Monitor::GraceMs == Relay::StopGraceMs && Monitor::RearmIntervalMs == Relay::RearmIntervalMs,
              "the front ends are told the relay's own times");

template <typename F>
void Monitor::await(F f) const
{
    if (m_thread)
        QMetaObject::invokeMethod(m_anchor.get(), f, Qt::BlockingQueuedConnection);
    else
        f();
}

template <typename F>
void Monitor::post(F f) const
{
    if (m_thread)
        QMetaObject::invokeMethod(m_anchor.get(), f, Qt::QueuedConnection);
    else
        f();
}

Monitor::Monitor(Placement placement, std::shared_ptr<RowStore> rows, QObject *parent)
    : QObject(parent)
{
    qRegisterMetaType<Chunk>();
    qRegisterMetaType<RelayEvent>();
    if (placement == Placement::OwnThread) {
        m_thread = std::make_unique<QThread>();
        m_thread->setObjectName(QStringLiteral("relay"));
        m_anchor = std::make_unique<QObject>();
        m_anchor->moveToThread(m_thread.get());
        m_thread->start();
    }
    // Made where it runs, so that its sockets and timers belong to that thread.
    await([this, rows] { m_core = new MonitorCore(rows); });
    connect(m_core, &MonitorCore::eventOccurred, this, &Monitor::eventOccurred);
    connect(m_core, &MonitorCore::bytesCounted, this, &Monitor::bytesCounted);
    connect(m_core, &MonitorCore::runStarts, this, &Monitor::runStarts);
    connect(m_core, &MonitorCore::finished, this, &Monitor::finished);
}

void Monitor::connectNotify(const QMetaMethod &signal)
{
    // Made on the thread that connects, the front end's: no lock needed.
    if (signal == QMetaMethod::fromSignal(&Monitor::chunkRelayed) && !std::exchange(m_forwardingChunks, true))
        connect(m_core, &MonitorCore::chunkRelayed, this, &Monitor::chunkRelayed);
    else if (signal == QMetaMethod::fromSignal(&Monitor::rowsCaptured) && !std::exchange(m_forwardingRows, true))
        connect(m_core, &MonitorCore::rowsCaptured, this, &Monitor::rowsCaptured);
}

Monitor::~Monitor()
{
    disconnect(m_core, nullptr, this, nullptr);
    // Kept tails become rows and reach the store while it is still there.
    await([this] {
        m_core->relay().shutdown();
        delete m_core;
        if (m_anchor)
            m_anchor->moveToThread(QCoreApplication::instance() ? QCoreApplication::instance()->thread() : nullptr);
    });
    if (m_thread) {
        m_thread->quit();
        m_thread->wait();
    }
}

void Monitor::start(const RelaySettings &settings, bool markRunStart)
{
    m_settings = settings;
    await([this, settings, markRunStart] { m_core->start(settings, markRunStart); });
}

void Monitor::stop()
{
    post([this] { m_core->relay().stop(); });
}

void Monitor::shutdown()
{
    post([this] { m_core->relay().shutdown(); });
}

void Monitor::finish(int graceMs)
{
    post([this, graceMs] { m_core->relay().finish(graceMs); });
}

void Monitor::holdReading(bool held)
{
    post([this, held] { m_core->relay().holdReading(held); });
}

bool Monitor::isArmed() const
{
    bool armed = false;
    await([this, &armed] { armed = m_core->relay().isArmed(); });
    return armed;
}

quint16 Monitor::listeningPort() const
{
    quint16 port = 0;
    await([this, &port] { port = m_core->relay().listeningPort(); });
    return port;
}

bool Monitor::clientConnected() const
{
    bool connected = false;
    await([this, &connected] { connected = m_core->relay().clientState() == StreamSocket::State::Connected; });
    return connected;
}

int Monitor::reserveSessionNumber(int atLeast)
{
    int number = 0;
    await([this, atLeast, &number] { number = m_core->relay().reserveSessionNumber(atLeast); });
    return number;
}
