#ifndef DRAVLIN_TLSLAYER_H
#define DRAVLIN_TLSLAYER_H

#include "FailureCause.h"
#include "TlsEngine.h"

#include <QByteArray>
#include <QString>

#include <functional>
#include <memory>

// TLS over one connection: plaintext the user sends is made records for the
// wire, what the wire brings is decrypted, close_notify goes before our end
// of stream and the peer's counts as its end. The connection under it only
// moves bytes; it reaches the layer through the calls below and is reached
// through Wire. Every report to the Wire may close the connection, which
// detaches the layer: nothing more is done then.
class TlsLayer
{
public:
    // What the layer needs of the connection it frames.
    class Wire
    {
    public:
        // Queues records for the peer, after those queued before.
        virtual void putRecords(const QByteArray &bytes) = 0;
        // False once the connection broke: nothing more may be queued.
        virtual bool isWireUsable() const = 0;
        virtual bool isSendingEnded() const = 0; // our end was asked for
        virtual bool isReadingOver() const = 0;
        // Reading stops: the peer said all it will, or TLS failed.
        virtual void stopReading() = 0;
        // Ends our sending now, when nothing is queued and the connection is up.
        virtual void endSendingWhenIdle() = 0;
        virtual void deliverPlaintext(const QByteArray &plain) = 0;
        virtual void reportHelloRead() = 0;
        virtual void reportEstablished() = 0;
        virtual void reportFailed() = 0;
        virtual void reportPeerEnded() = 0; // close_notify, after stopReading()

    protected:
        ~Wire() = default;
    };

    TlsLayer(Wire &wire, std::unique_ptr<TlsEngine> engine);
    ~TlsLayer();
    TlsLayer(const TlsLayer &) = delete;
    TlsLayer &operator=(const TlsLayer &) = delete;

    // The connection closed: the wire is gone, whatever runs now stops.
    void detach() { m_wire = nullptr; }

    // Feeds bytes that came with the last plaintext, then sends the first
    // flight (client mode) and reports what changed.
    void start(const QByteArray &alreadyRead);
    // Bytes read from the wire.
    void fromWire(const QByteArray &bytes);
    // The peer's end of stream; true when it fails the handshake.
    bool wireEnded();
    // Plaintext for the peer, held while a handshake goes on; false once
    // TLS failed.
    bool send(const QByteArray &plain);
    qint64 unsentBytes() const { return m_engine->unsentBytes(); }
    // Our end: close_notify (unless closeNotify is false, which stays so),
    // once the handshake is over, then the end of stream.
    void endSending(bool closeNotify);
    // Whether our end of stream may follow what is queued now.
    bool mayEndStream() const { return m_closeNotifyQueued && !m_engine->isClosePending(); }

    const TlsEngine &engine() const { return *m_engine; }
    const FailureCause &failure() const { return m_failure; }
    qint64 discardedBytes() const { return m_discarded; }
    void abandonHandshake(const FailureCause &cause);
    void steer(const std::function<void(TlsEngine &)> &step);

private:
    bool attached() const { return m_wire && m_wire->isWireUsable(); }
    bool afterStep(TlsEngine::State before);
    void fail(const FailureCause &cause);
    void sendCloseNotify();

    Wire *m_wire;
    std::unique_ptr<TlsEngine> m_engine;
    qint64 m_discarded = 0;
    FailureCause m_failure;
    bool m_closeNotifyQueued = false;
    bool m_withoutCloseNotify = false;
};

#endif
