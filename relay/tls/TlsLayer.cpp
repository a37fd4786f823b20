#include "TlsLayer.h"

TlsLayer::TlsLayer(Wire &wire, std::unique_ptr<TlsEngine> engine)
    : m_wire(&wire)
    , m_engine(std::move(engine))
{
}

TlsLayer::~TlsLayer() = default;

void TlsLayer::start(const QByteArray &alreadyRead)
{
    const TlsEngine::State before = m_engine->state();
    if (!alreadyRead.isEmpty())
        m_engine->feedIncoming(alreadyRead);
    afterStep(before);
}

void TlsLayer::fromWire(const QByteArray &bytes)
{
    // A session that failed reads no more records.
    if (m_failure.kind != FailureCause::Kind::None)
        return;
    const TlsEngine::State before = m_engine->state();
    m_engine->feedIncoming(bytes);
    afterStep(before);
}

bool TlsLayer::wireEnded()
{
    if (m_engine->state() != TlsEngine::State::Handshaking)
        return false;
    // Only an alert says why; a peer that just hangs up may have any reason.
    fail(FailureCause::of(FailureCause::Kind::ClosedInHandshake));
    return true;
}

bool TlsLayer::send(const QByteArray &plain)
{
    // A handshake given up leaves the engine mid-way: nothing more is taken.
    if (m_failure.kind != FailureCause::Kind::None || m_engine->state() == TlsEngine::State::Failed)
        return false;
    // Held in the engine while a handshake goes on, counted as unsent.
    m_engine->writePlaintext(plain);
    m_wire->putRecords(m_engine->takeOutgoing());
    return true;
}

void TlsLayer::endSending(bool closeNotify)
{
    m_withoutCloseNotify = m_withoutCloseNotify || !closeNotify;
    sendCloseNotify();
}

void TlsLayer::abandonHandshake(const FailureCause &cause)
{
    if (m_engine->state() == TlsEngine::State::Handshaking && !m_wire->isReadingOver())
        fail(cause);
}

void TlsLayer::steer(const std::function<void(TlsEngine &)> &step)
{
    if (m_failure.kind != FailureCause::Kind::None)
        return;
    const TlsEngine::State before = m_engine->state();
    step(*m_engine);
    afterStep(before);
}

// Sends what the engine has for the wire, then reports what changed. Every
// report may close the connection, which detaches this layer: false once it
// is detached or no more reading makes sense.
bool TlsLayer::afterStep(TlsEngine::State before)
{
    const bool settled = before == TlsEngine::State::Handshaking && m_engine->state() != TlsEngine::State::Handshaking
        && m_engine->state() != TlsEngine::State::Failed;
    // What waited for the handshake goes out with its last flight, in one write.
    m_wire->putRecords(m_engine->takeOutgoing());
    if (!attached())
        return false;
    if (m_engine->state() == TlsEngine::State::Failed) {
        fail(m_engine->failure());
        return false;
    }
    if (m_engine->takeHelloNews()) {
        m_wire->reportHelloRead();
        if (!attached())
            return false;
    }
    if (settled) {
        sendCloseNotify();
        // A connection that broke meanwhile has said so; the handshake is
        // still told, as it did succeed.
        if (!m_wire)
            return false;
        m_wire->reportEstablished();
        if (!attached())
            return false;
    }
    const QByteArray plain = m_engine->takePlaintext();
    if (!plain.isEmpty()) {
        m_wire->deliverPlaintext(plain);
        if (!attached())
            return false;
    }
    if (m_engine->state() == TlsEngine::State::PeerClosed && !m_wire->isReadingOver()) {
        // close_notify: the peer has said all it will, as an end of stream would.
        m_wire->stopReading();
        m_wire->reportPeerEnded();
        return false;
    }
    return true;
}

void TlsLayer::fail(const FailureCause &cause)
{
    m_failure = cause;
    // What waited for the handshake (or a renegotiation) can never be delivered.
    m_discarded += m_engine->dropUnsent();
    m_wire->stopReading();
    m_wire->reportFailed();
}

void TlsLayer::sendCloseNotify()
{
    if (!m_wire->isSendingEnded() || m_closeNotifyQueued || m_engine->state() == TlsEngine::State::Handshaking)
        return;
    // After what waited for the handshake, before the end of stream.
    m_closeNotifyQueued = true;
    if (m_engine->state() != TlsEngine::State::Failed && !m_withoutCloseNotify) {
        m_engine->closeWrite();
        m_wire->putRecords(m_engine->takeOutgoing());
    }
    if (m_wire && !m_engine->isClosePending())
        m_wire->endSendingWhenIdle();
}
