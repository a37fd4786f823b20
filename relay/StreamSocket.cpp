#include "StreamSocket.h"

#include "StreamCalls.h"

namespace {

// More reads per wake-up spare event loop passes on a busy link; the bound
// keeps a fast peer from starving the other side and the timers.
constexpr int ReadsPerWake = 4;
// Queued chunks handed to the kernel in one call.
constexpr int WriteVectors = 64;

} // namespace

StreamSocket::StreamSocket(QObject *parent)
    : QObject(parent)
{
    m_readNotifier.setEnabled(false);
    m_writeNotifier.setEnabled(false);
    m_stallTimer.setSingleShot(true);
    m_stallTimer.setInterval(DefaultStallLimitMs);
    connect(&m_readNotifier, &QSocketNotifier::activated, this, &StreamSocket::onReadable);
    connect(&m_writeNotifier, &QSocketNotifier::activated, this, &StreamSocket::onWritable);
    connect(&m_stallTimer, &QTimer::timeout, this, &StreamSocket::onStallTimeout);
}

StreamSocket::~StreamSocket()
{
    const QSignalBlocker quiet(this);
    close();
}

bool StreamSocket::adoptAccepted(int fd)
{
    close();
    StreamCalls::Failure why;
    if (!StreamCalls::prepareAccepted(fd, &m_peerAddress, &m_peerPort, &why)) {
        StreamCalls::close(fd, true, nullptr);
        m_peerAddress.clear();
        m_peerPort = 0;
        m_error = why.category;
        m_errorString = why.text;
        m_systemError = why.systemError;
        return false;
    }
    adopt(fd);
    m_state = State::Connected;
    updateNotifiers();
    return true;
}

void StreamSocket::connectToRemote()
{
    close();
    m_state = State::Connecting;
    m_addresses.clear();
    m_nextAddress = 0;
    m_lastConnectFailure = StreamCalls::unreachable();
    // A server that never answers is given up after the stall limit.
    m_stallTimer.start();
    QHostAddress literal;
    if (literal.setAddress(m_remoteHost)) {
        m_addresses.append(literal);
        tryNextAddress();
        return;
    }
    m_lookupId = QHostInfo::lookupHost(m_remoteHost, this, &StreamSocket::onHostFound);
}

void StreamSocket::onHostFound(const QHostInfo &info)
{
    if (info.lookupId() != m_lookupId || m_state != State::Connecting)
        return;
    m_lookupId = -1;
    if (info.error() != QHostInfo::NoError || info.addresses().isEmpty()) {
        failWith(QAbstractSocket::HostNotFoundError, info.errorString());
        return;
    }
    m_addresses = info.addresses();
    tryNextAddress();
}

void StreamSocket::tryNextAddress()
{
    while (m_nextAddress < m_addresses.size()) {
        const QHostAddress address = m_addresses.at(m_nextAddress++);
        const int fd = StreamCalls::startConnect(address, m_remotePort, &m_lastConnectFailure);
        if (fd < 0)
            continue;
        m_peerAddress = address;
        m_peerPort = m_remotePort;
        adopt(fd);
        // Writable once the connection is made or has failed.
        m_writeNotifier.setEnabled(true);
        return;
    }
    failWith(m_lastConnectFailure.category, m_lastConnectFailure.text, m_lastConnectFailure.systemError);
}

void StreamSocket::finishConnecting()
{
    const StreamCalls::Progress progress = StreamCalls::connectOutcome(m_fd, &m_lastConnectFailure);
    if (progress == StreamCalls::Progress::Pending)
        return;
    if (progress == StreamCalls::Progress::Failed) {
        releaseDescriptor(false);
        tryNextAddress();
        return;
    }
    m_state = State::Connected;
    m_stallTimer.stop();
    if (m_tls)
        sendAtOnce();
    updateNotifiers();
    Q_EMIT connected();
    // What was sent while connecting goes out now, in order.
    if (m_state == State::Connected && !m_queue.empty())
        writeQueued();
    else if (m_state == State::Connected && m_shutdownAsked)
        shutdownWrite();
}

void StreamSocket::failWith(QAbstractSocket::SocketError error, const QString &reason, int systemError)
{
    releaseDescriptor(false);
    m_stallTimer.stop();
    m_error = error;
    m_errorString = reason;
    m_systemError = systemError;
    m_state = State::Failed;
    Q_EMIT failed();
}

void StreamSocket::adopt(int fd)
{
    m_fd = fd;
    m_readNotifier.setSocket(fd);
    m_writeNotifier.setSocket(fd);
}

bool StreamSocket::send(const QByteArray &bytes)
{
    if (m_shutdownAsked || m_broken || (m_state != State::Connected && m_state != State::Connecting))
        return false;
    if (bytes.isEmpty())
        return true;
    if (m_tls) {
        const std::shared_ptr<TlsLayer> layer = m_tls;
        return layer->send(bytes);
    }
    // Shared, not copied: the chunk stays as it was read until written.
    enqueue(bytes);
    return true;
}

void StreamSocket::enqueue(const QByteArray &bytes)
{
    if (bytes.isEmpty())
        return;
    m_queue.push_back(bytes);
    m_pending += bytes.size();
    if (m_state == State::Connected && m_queue.size() == 1)
        writeQueued();
}

void StreamSocket::startTls(std::unique_ptr<TlsEngine> engine, const QByteArray &alreadyRead)
{
    if (m_tls)
        m_tls->detach();
    TlsLayer::Wire &wire = *this;
    m_tls = std::make_shared<TlsLayer>(wire, std::move(engine));
    if (m_state == State::Connected)
        sendAtOnce();
    const std::shared_ptr<TlsLayer> layer = m_tls;
    layer->start(alreadyRead);
}

void StreamSocket::sendAtOnce()
{
    // A handshake is a dialogue of small flights, and each forwarded chunk
    // leaves as one write of whole records: waiting to coalesce them (Nagle)
    // only adds a delayed acknowledgement's wait to every exchange.
    // Should the system refuse, exchanges only wait a little longer: nothing
    // is lost or changed, so the connection goes on as it is.
    StreamCalls::sendAtOnce(m_fd, nullptr);
}

FailureCause StreamSocket::failure() const
{
    if (m_error == QAbstractSocket::HostNotFoundError)
        return FailureCause::about(FailureCause::Kind::HostNotFound, m_remoteHost);
    if (m_systemError != 0)
        return {FailureCause::Kind::System, m_systemError, m_errorString, {}, {}, {}, {}, {}};
    return {};
}

void StreamSocket::abandonTlsHandshake(const FailureCause &cause)
{
    if (!m_tls)
        return;
    const std::shared_ptr<TlsLayer> layer = m_tls;
    layer->abandonHandshake(cause);
}

void StreamSocket::steerTls(const std::function<void(TlsEngine &)> &step)
{
    if (!m_tls)
        return;
    const std::shared_ptr<TlsLayer> layer = m_tls;
    layer->steer(step);
}

void StreamSocket::onWritable()
{
    if (m_state == State::Connecting)
        finishConnecting();
    else
        writeQueued();
}

void StreamSocket::writeQueued()
{
    qint64 written = 0;
    while (!m_queue.empty()) {
        StreamCalls::Slice slices[WriteVectors];
        int count = 0;
        qint64 asked = 0;
        for (auto it = m_queue.begin(); it != m_queue.end() && count < WriteVectors; ++it, ++count) {
            const qsizetype skip = count == 0 ? m_headOffset : 0;
            slices[count] = {it->constData() + skip, it->size() - skip};
            asked += slices[count].size;
        }
        // A peer gone is reported as such, never a signal that kills the program.
        StreamCalls::Failure why;
        const qint64 n = StreamCalls::send(m_fd, slices, count, &why);
        if (n < 0) {
            brokenBy(why);
            return;
        }
        if (n == 0)
            break;
        written += n;
        m_pending -= n;
        m_written += n;
        qsizetype left = n;
        while (left > 0) {
            const qsizetype inHead = m_queue.front().size() - m_headOffset;
            if (left < inHead) {
                m_headOffset += left;
                break;
            }
            left -= inHead;
            m_queue.pop_front();
            m_headOffset = 0;
        }
        if (n < asked)
            break; // the kernel's buffer is full
    }
    // The stall limit counts from the last byte the peer took; it keeps
    // watching while the kernel still holds bytes for the peer.
    if (written > 0 || !m_stallTimer.isActive())
        watchStall();
    if (m_queue.empty() && m_shutdownAsked && !m_writeShut && (!m_tls || m_tls->mayEndStream())
        && !endSending())
        return;
    updateNotifiers();
    if (written > 0)
        Q_EMIT sent(written);
}

void StreamSocket::shutdownWrite(bool closeNotify)
{
    m_shutdownAsked = true;
    if (m_tls) {
        // Inside TLS the end is close_notify first, once the handshake is over.
        const std::shared_ptr<TlsLayer> layer = m_tls;
        layer->endSending(closeNotify);
        return;
    }
    endSendingWhenIdle();
}

void StreamSocket::endSendingWhenIdle()
{
    if (m_state == State::Connected && !m_broken && m_queue.empty() && !m_writeShut)
        endSending();
}

void StreamSocket::stopReading()
{
    m_readEnded = true;
    updateNotifiers();
}

bool StreamSocket::endSending()
{
    m_writeShut = true;
    StreamCalls::Failure why;
    if (StreamCalls::shutdownSending(m_fd, &why))
        return true;
    // Without its end of stream the peer would wait for more for ever: the
    // connection is then as good as broken, and said to be.
    brokenBy(why);
    return false;
}

void StreamSocket::onReadable()
{
    for (int i = 0; i < ReadsPerWake; ++i) {
        if (m_fd < 0 || m_readPaused || m_readEnded || m_broken || !readFromPeer())
            return;
    }
}

bool StreamSocket::readFromPeer()
{
    // The last chunk's buffer is read into again once nobody holds it any
    // more (it was written out and its rows were copied): a busy link then
    // reads and writes without allocating.
    QByteArray chunk;
    if (m_readBuffer.isDetached() && m_readBuffer.capacity() >= ReadChunkBytes)
        chunk.swap(m_readBuffer);
    else
        m_readBuffer.clear();
    chunk.resize(ReadChunkBytes);
    StreamCalls::Failure why;
    const qint64 n = StreamCalls::receive(m_fd, chunk.data(), ReadChunkBytes, &why);
    if (n > 0)
        m_readBytes += n;
    if (n > 0 && m_tls) {
        // The engine copies what it is fed, so the buffer is kept for the next read.
        chunk.resize(qsizetype(n));
        m_readBuffer.swap(chunk);
        const std::shared_ptr<TlsLayer> layer = m_tls;
        layer->fromWire(m_readBuffer);
        return n == ReadChunkBytes;
    }
    if (n > 0) {
        if (n < ReadChunkBytes / 4) {
            // A short read is copied out at its size, so that a few bytes
            // never hold a whole buffer, which is kept for the next read.
            const QByteArray exact(chunk.constData(), qsizetype(n));
            m_readBuffer.swap(chunk);
            Q_EMIT received(exact);
        } else {
            chunk.resize(qsizetype(n));
            m_readBuffer = chunk;
            Q_EMIT received(chunk);
        }
        return n == ReadChunkBytes; // a shorter read took all there was
    }
    m_readBuffer.swap(chunk);
    if (n == 0 && m_tls) {
        const std::shared_ptr<TlsLayer> layer = m_tls;
        if (layer->wireEnded())
            return false;
    }
    if (n == 0) {
        stopReading();
        Q_EMIT readEnded();
        return false;
    }
    if (n == StreamCalls::Broken)
        brokenBy(why);
    return false;
}

void StreamSocket::brokenBy(const StreamCalls::Failure &why)
{
    m_broken = true;
    m_stallTimer.stop();
    m_error = why.category;
    m_errorString = why.text;
    m_systemError = why.systemError;
    updateNotifiers();
    Q_EMIT peerReset();
}

void StreamSocket::onStallTimeout()
{
    if (m_state == State::Connecting) {
        const StreamCalls::Failure why = StreamCalls::timedOut();
        failWith(why.category, why.text, why.systemError);
        return;
    }
    if (m_broken || m_fd < 0)
        return;
    // Our writes come in bursts when the kernel's send buffer is large, so
    // the peer's progress is read from the kernel: bytes it acknowledged.
    const qint64 unacknowledged = kernelQueued();
    if (pendingSendBytes() == 0 && unacknowledged == 0)
        return;
    const qint64 taken = m_written - unacknowledged;
    if (taken > m_takenMark) {
        m_takenMark = taken;
        m_stallTimer.start();
        return;
    }
    Q_EMIT stalled();
}

qint64 StreamSocket::kernelQueued() const
{
    // Where the system cannot tell, only what is queued here counts.
    return m_fd >= 0 && m_state == State::Connected ? qMax<qint64>(StreamCalls::unacknowledged(m_fd), 0) : 0;
}

qint64 StreamSocket::undeliveredBytes() const
{
    return pendingSendBytes() + kernelQueued();
}

void StreamSocket::setReadPaused(bool paused)
{
    if (paused == m_readPaused)
        return;
    m_readPaused = paused;
    updateNotifiers();
    if (m_state != State::Connected)
        return; // a dial's own limit runs whatever reading does
    if (paused)
        m_stallTimer.stop();
    else if (const qint64 unacknowledged = kernelQueued(); m_pending > 0 || unacknowledged > 0) {
        // Counted again from what the peer has taken by now.
        m_takenMark = m_written - unacknowledged;
        watchStall();
    }
}

void StreamSocket::watchStall()
{
    if (m_readPaused && m_state == State::Connected)
        return;
    m_stallTimer.start();
}

qint64 StreamSocket::drainReadable()
{
    qint64 total = 0;
    // Bounded, so that a peer sending as fast as loopback goes cannot keep us here.
    for (int i = 0; i < 4 * ReadsPerWake; ++i) {
        if (m_fd < 0 || m_readEnded || m_broken || m_state != State::Connected)
            break;
        const qint64 before = m_readBytes;
        const bool more = readFromPeer();
        total += m_readBytes - before;
        if (!more)
            break;
    }
    return total;
}

void StreamSocket::updateNotifiers()
{
    const bool live = m_fd >= 0 && m_state == State::Connected && !m_broken;
    m_readNotifier.setEnabled(live && !m_readPaused && !m_readEnded);
    m_writeNotifier.setEnabled((live && !m_queue.empty()) || (m_fd >= 0 && m_state == State::Connecting));
}

QString StreamSocket::abort()
{
    // Whatever is queued goes with it: a reset, never an orderly end.
    const QString failure = releaseDescriptor(true);
    close();
    return failure;
}

void StreamSocket::close()
{
    if (m_lookupId >= 0) {
        QHostInfo::abortHostLookup(m_lookupId);
        m_lookupId = -1;
    }
    m_stallTimer.stop();
    releaseDescriptor(pendingSendBytes() > 0);
    m_queue.clear();
    m_headOffset = 0;
    m_pending = 0;
    m_written = 0;
    m_readBytes = 0;
    m_takenMark = 0;
    m_readPaused = false;
    m_readEnded = false;
    m_shutdownAsked = false;
    m_writeShut = false;
    m_broken = false;
    if (m_tls)
        m_tls->detach();
    m_tls.reset();
    m_peerAddress.clear();
    m_peerPort = 0;
    m_error = QAbstractSocket::UnknownSocketError;
    m_errorString.clear();
    m_systemError = 0;
    m_state = State::Closed;
}

QString StreamSocket::releaseDescriptor(bool reset)
{
    m_readNotifier.setEnabled(false);
    m_writeNotifier.setEnabled(false);
    m_readNotifier.setSocket(-1);
    m_writeNotifier.setSocket(-1);
    if (m_fd < 0)
        return {};
    StreamCalls::Failure why;
    const bool closedAsAsked = StreamCalls::close(m_fd, reset, &why);
    m_fd = -1;
    return closedAsAsked ? QString() : why.text;
}
