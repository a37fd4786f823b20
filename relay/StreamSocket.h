#ifndef DRAVLIN_STREAMSOCKET_H
#define DRAVLIN_STREAMSOCKET_H

#include "StreamCalls.h"
#include "TlsLayer.h"

#include <QAbstractSocket>
#include <QByteArray>
#include <QHostAddress>
#include <QHostInfo>
#include <QList>
#include <QObject>
#include <QSocketNotifier>
#include <QString>
#include <QTimer>

#include <deque>
#include <functional>
#include <memory>

// One TCP connection, dialled or handed over by a ClientListener.
//
// A connection lives on the system's own non-blocking descriptor rather than
// on QTcpSocket, because QTcpSocket closes the whole connection as soon as a
// read sees the peer's end of stream: a peer that only ended its sending
// (a half-close, `nc -N`) could then never get its answer. Here the two
// directions end separately: readEnded() when the peer has said all it will,
// shutdownWrite() when we have. Qt still listens, resolves names and turns
// addresses into text.
//
// Bytes cross the descriptor in two places only: readFromPeer() for what
// arrives and writeQueued() for what leaves. After startTls() a TlsLayer sits
// between those and the user: received() then gives plaintext, send() takes
// plaintext, and shutdownWrite() sends close_notify before the end of stream.
// The connection itself only moves bytes; the layer reaches it as its Wire.
class StreamSocket : public QObject, private TlsLayer::Wire
{
    Q_OBJECT

public:
    enum class State { Closed, Connecting, Connected, Failed };
    Q_ENUM(State)

    // The most one read takes.
    static constexpr qsizetype ReadChunkBytes = qsizetype{256} * 1024;
    static constexpr int DefaultStallLimitMs = 30000;

    explicit StreamSocket(QObject *parent = nullptr);
    ~StreamSocket() override;

    void setRemoteHost(const QString &host) { m_remoteHost = host; }
    void setRemotePort(quint16 port) { m_remotePort = port; }
    // How long queued bytes, or a connection being made, may go without
    // progress before stalled() or failed() says so.
    void setStallLimit(int ms) { m_stallTimer.setInterval(ms); }

    State state() const { return m_state; }
    QHostAddress peerAddress() const { return m_peerAddress; }
    quint16 peerPort() const { return m_peerPort; }
    // The last failure: Qt's category for it and the system's own text.
    QAbstractSocket::SocketError error() const { return m_error; }
    QString errorString() const { return m_errorString; }
    // The same as data, for the wording: the errno, or the host not found.
    FailureCause failure() const;

    // From now on carries fd, a connection a listener accepted (and handed
    // over, see ClientListener). False when the system would not let it be
    // driven: it is then closed with a reset, and error() says why.
    bool adoptAccepted(int fd);
    void connectToRemote();

    // Queues bytes for the peer, in order; what is sent before the connection
    // is made waits for it. False once the write side is shut or gone.
    bool send(const QByteArray &bytes);
    // Includes plaintext the TLS engine has yet to make records of.
    qint64 pendingSendBytes() const { return m_pending + (m_tls ? m_tls->unsentBytes() : 0); }
    // Queued here or still unacknowledged in the kernel: what a reset now would lose.
    qint64 undeliveredBytes() const;
    // Of those, the ones the kernel holds: written, not yet acknowledged by the peer.
    qint64 kernelQueued() const;
    // Ends our sending once every queued byte is written; reading goes on.
    // Inside TLS, closeNotify false ends it with no close_notify, as a peer
    // that was cut would (it stays so once asked).
    void shutdownWrite(bool closeNotify = true);
    bool isWriteShut() const { return m_writeShut; }
    bool hasReadEnded() const { return m_readEnded; }

    // From here on the connection is TLS through engine; alreadyRead are
    // bytes of it that arrived with the last plaintext. Plaintext sent before
    // the handshake is over waits, counted as pending. tlsEstablished() or
    // tlsFailed() says how the handshake went; the peer's close_notify is
    // reported as readEnded().
    void startTls(std::unique_ptr<TlsEngine> engine, const QByteArray &alreadyRead = {});
    bool isTls() const { return m_tls != nullptr; }
    const TlsEngine *tls() const { return m_tls ? &m_tls->engine() : nullptr; }
    // Why TLS failed.
    FailureCause tlsFailure() const { return m_tls ? m_tls->failure() : FailureCause{}; }
    // Plaintext that was waiting for a handshake that failed, thrown away.
    qint64 tlsDiscardedBytes() const { return m_tls ? m_tls->discardedBytes() : 0; }
    // Gives up a handshake still going on, as tlsFailed() with reason; nothing
    // when there is none.
    void abandonTlsHandshake(const FailureCause &cause);
    // Acts on the engine (answering a ClientHello it holds, say), then sends
    // and reports what that changed, as when bytes arrive.
    void steerTls(const std::function<void(TlsEngine &)> &step);

    // While paused, arriving data waits in the kernel, and the peer feels
    // TCP flow control. The stall limit does not count meanwhile: a peer we
    // do not read may well be blocked writing to us, and not reading.
    void setReadPaused(bool paused);
    bool isReadPaused() const { return m_readPaused; }
    // Reads at once whatever the kernel holds from the peer, paused or not,
    // through received() as usual, so that closing leaves nothing unread (a
    // close with unread data is a reset, which throws away what the kernel
    // still had for the peer). At most a few buffers; the bytes read.
    qint64 drainReadable();
    bool isOpen() const { return m_fd >= 0 && !m_broken && (m_state == State::Connected || m_state == State::Connecting); }

    // Stops listening or ends the connection at once. An orderly close when
    // nothing is left queued; otherwise a reset, so that the peer cannot take
    // a cut stream for a complete one.
    void close();
    // Ends the connection with a reset, whatever is queued. "" when the reset
    // was sent; else the system's reason it could not be, the peer then
    // having seen an orderly end.
    QString abort();

Q_SIGNALS:
    void connected();
    // Connecting failed: error() and errorString() say why.
    void failed();
    void received(const QByteArray &bytes);
    // Bytes left the queue for the kernel.
    void sent(qint64 bytes);
    // The peer ended its sending; we may still write to it.
    void readEnded();
    // The connection was reset or broke: error() and errorString() say why.
    void peerReset();
    // Bytes are waiting for the peer (queued, or in the kernel) and it has
    // taken none for the stall limit.
    void stalled();
    void tlsEstablished();
    // The engine holds the client's ClientHello (TlsEngine::holdAfterHello()).
    void tlsHelloRead();
    // Reading has stopped; the alert, if any, is on its way.
    void tlsFailed();

private Q_SLOTS:
    void onHostFound(const QHostInfo &info);
    void onReadable();
    void onWritable();
    void onStallTimeout();

private:
    void adopt(int fd);
    void tryNextAddress();
    void finishConnecting();
    bool readFromPeer();
    void enqueue(const QByteArray &bytes);
    void sendAtOnce();
    void writeQueued();
    void brokenBy(const StreamCalls::Failure &why);
    bool endSending();
    void failWith(QAbstractSocket::SocketError error, const QString &reason, int systemError = 0);
    void updateNotifiers();
    QString releaseDescriptor(bool reset);
    void watchStall();

    // TlsLayer::Wire: what the TLS layer asks of the connection.
    void putRecords(const QByteArray &bytes) override { enqueue(bytes); }
    bool isWireUsable() const override { return !m_broken; }
    bool isSendingEnded() const override { return m_shutdownAsked; }
    bool isReadingOver() const override { return m_readEnded; }
    void stopReading() override;
    void endSendingWhenIdle() override;
    void deliverPlaintext(const QByteArray &plain) override { Q_EMIT received(plain); }
    void reportHelloRead() override { Q_EMIT tlsHelloRead(); }
    void reportEstablished() override { Q_EMIT tlsEstablished(); }
    void reportFailed() override { Q_EMIT tlsFailed(); }
    void reportPeerEnded() override { Q_EMIT readEnded(); }

    QSocketNotifier m_readNotifier{QSocketNotifier::Read};
    QSocketNotifier m_writeNotifier{QSocketNotifier::Write};
    QTimer m_stallTimer;
    int m_fd = -1;
    State m_state = State::Closed;

    QString m_remoteHost;
    quint16 m_remotePort = 0;
    int m_lookupId = -1;
    QList<QHostAddress> m_addresses;
    qsizetype m_nextAddress = 0;
    StreamCalls::Failure m_lastConnectFailure;

    QHostAddress m_peerAddress;
    quint16 m_peerPort = 0;
    QAbstractSocket::SocketError m_error = QAbstractSocket::UnknownSocketError;
    QString m_errorString;
    int m_systemError = 0; // errno behind m_errorString, when the system gave one

    QByteArray m_readBuffer; // the last chunk read, reused once nobody else holds it
    std::deque<QByteArray> m_queue;
    qsizetype m_headOffset = 0; // bytes of m_queue.front() already written
    qint64 m_pending = 0;
    qint64 m_written = 0;   // handed to the kernel on this connection
    qint64 m_takenMark = 0; // of those, acknowledged by the peer at the last stall check
    qint64 m_readBytes = 0; // read from the descriptor on this connection
    bool m_readPaused = false;
    bool m_readEnded = false;
    bool m_shutdownAsked = false;
    bool m_writeShut = false;
    bool m_broken = false;

    // Shared with whatever runs in it: a report it makes may close this
    // connection, which lets it go, while it is still running.
    std::shared_ptr<TlsLayer> m_tls;
};

#endif
