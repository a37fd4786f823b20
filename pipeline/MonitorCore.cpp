#include "MonitorCore.h"

#include "RowStore.h"
#include "SessionMarks.h"

#include <QMetaMethod>
#include <QMutexLocker>

MonitorCore::MonitorCore(std::shared_ptr<RowStore> rows, QObject *parent)
    : QObject(parent)
    , m_rows(std::move(rows))
{
    connect(&m_relay, &Relay::bytesRelayed, this, &MonitorCore::onBytesRelayed);
    connect(&m_relay, &Relay::rowBreak, &m_capture, &ConversationCapture::breakRow);
    connect(&m_capture, &ConversationCapture::rowsCaptured, this, &MonitorCore::onRowsCaptured);
    connect(&m_relay, &Relay::eventOccurred, this, &MonitorCore::onEvent);
    connect(&m_relay, &Relay::finished, this, [this](qint64 toClient, qint64 toServer) {
        sendTally();
        Q_EMIT finished(toClient, toServer);
    });
    m_tallyTimer.setSingleShot(true);
    m_tallyTimer.setInterval(TallyIntervalMs);
    connect(&m_tallyTimer, &QTimer::timeout, this, &MonitorCore::sendTally);
}

void MonitorCore::start(const RelaySettings &settings, bool markRunStart)
{
    m_markRunStart = markRunStart && m_rows;
    m_relay.start(settings);
}

void MonitorCore::onBytesRelayed(Side side, const QByteArray &bytes, qint64 arrivedMsecs, bool encrypted, int session)
{
    // Chunks cost a queued call each across threads: made only for a front end that takes them.
    if (isSignalConnected(QMetaMethod::fromSignal(&MonitorCore::chunkRelayed)))
        Q_EMIT chunkRelayed(Chunk{side, session, arrivedMsecs, encrypted, bytes, {}});
    m_tally[session][sideIndex(side)] += bytes.size();
    if (!m_tallyTimer.isActive())
        m_tallyTimer.start();
    m_capture.capture(side, bytes, arrivedMsecs, encrypted, session);
}

void MonitorCore::onRowsCaptured(Side side, const LineCapture::Rows &rows, qint64 arrivedMsecs, bool encrypted,
                                 int session)
{
    if (m_rows)
        m_rows->appendRows(side, rows, arrivedMsecs, encrypted, session);
    if (isSignalConnected(QMetaMethod::fromSignal(&MonitorCore::rowsCaptured)))
        Q_EMIT rowsCaptured(Chunk{side, session, arrivedMsecs, encrypted, {}, rows});
}

void MonitorCore::onEvent(const RelayEvent &event)
{
    // What was counted before the event is told before it.
    sendTally();
    if (event.kind == RelayEvent::Kind::Listening && m_markRunStart) {
        m_markRunStart = false;
        int held = 0;
        {
            const QMutexLocker lock(&m_rows->mutex());
            held = m_rows->pages().rows();
        }
        Q_EMIT runStarts(held);
    }
    if (m_rows && event.kind == RelayEvent::Kind::ServerConnected)
        m_rows->serverFound(event);
    else if (m_rows && SessionMarks::leavesMark(event))
        m_rows->appendMark(SessionMark{event, {}});
    Q_EMIT eventOccurred(event);
}

void MonitorCore::sendTally()
{
    m_tallyTimer.stop();
    for (auto it = m_tally.cbegin(); it != m_tally.cend(); ++it)
        Q_EMIT bytesCounted(it.key(), it.value()[0], it.value()[1]);
    m_tally.clear();
}
