#include "TranscriptWriter.h"

#include "Transcript.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <poll.h>
#include <unistd.h>

namespace {

// Written rows are handed to the system in pieces of about this size, so the
// escaped form of a batch never needs room of its own.
constexpr qsizetype OutBytes = qsizetype{256} * 1024;
constexpr int MaxSpares = 4;

// One chunk in a batch: this header, then per row its length and its bytes.
struct ChunkHeader {
    qint64 arrivedMsecs;
    quint32 rows;
    quint8 side;
};
constexpr qsizetype HeaderBytes = sizeof(qint64) + sizeof(quint32) + sizeof(quint8);

// A write blocked on a reader that never reads is ended by this signal: its
// handler does nothing, but without SA_RESTART the write returns.
int interruptSignal()
{
    return SIGRTMIN;
}

void onInterrupt(int) {}

void installInterruptHandler()
{
    struct sigaction action = {};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    sigaction(interruptSignal(), &action, nullptr);
}

QString reasonFor(int error)
{
    switch (error) {
    case EPIPE:
        return QStringLiteral("le lecteur de la sortie standard est parti");
    case EBADF:
        return QStringLiteral("la sortie standard est fermée");
    case ENOSPC:
        return QStringLiteral("plus de place sur le périphérique");
    case EDQUOT:
        return QStringLiteral("quota de disque dépassé");
    case EFBIG:
        return QStringLiteral("fichier trop gros");
    case EIO:
        return QStringLiteral("erreur d'entrée-sortie");
    case ECONNRESET:
        return QStringLiteral("connexion réinitialisée par le lecteur");
    default:
        return QStringLiteral("erreur système %1 (%2)").arg(error).arg(QString::fromLocal8Bit(std::strerror(error)));
    }
}

} // namespace

TranscriptWriter::TranscriptWriter(int fd, bool closedAtStart, QObject *parent)
    : QObject(parent)
    , m_fd(fd)
    , m_closedAtStart(closedAtStart)
{
    installInterruptHandler();
    m_thread.reset(QThread::create([this] { run(); }));
    m_thread->setObjectName(QStringLiteral("transcript"));
    m_thread->start();
}

TranscriptWriter::~TranscriptWriter()
{
    finish(QDeadlineTimer(2000));
}

qint64 TranscriptWriter::heldBytes() const
{
    const QMutexLocker lock(&m_mutex);
    return m_held;
}

bool TranscriptWriter::isFull() const
{
    const QMutexLocker lock(&m_mutex);
    return m_full;
}

void TranscriptWriter::write(Side side, const LineCapture::Rows &rows, qint64 arrivedMsecs)
{
    if (rows.isEmpty())
        return;
    qsizetype need = HeaderBytes;
    for (qsizetype i = 0; i < rows.count(); ++i)
        need += qsizetype(sizeof(quint32)) + rows.row(i).size();

    QMutexLocker lock(&m_mutex);
    m_rowsHandedOver += rows.count();
    if (m_closing)
        return; // too late: counted as not written
    if (m_queue.isEmpty() || m_queue.constLast().capacity() - m_queue.constLast().size() < need) {
        const auto spare = std::find_if(m_spares.begin(), m_spares.end(),
                                        [need](const QByteArray &b) { return b.capacity() >= need; });
        if (spare != m_spares.end()) {
            m_queue.append(std::move(*spare));
            m_spares.erase(spare);
        } else {
            QByteArray batch;
            batch.reserve(qMax(BatchBytes, need));
            m_held += batch.capacity();
            m_queue.append(std::move(batch));
        }
    }
    // Room was made above: the appends below never reallocate.
    QByteArray &batch = m_queue.last();
    const ChunkHeader header{arrivedMsecs, quint32(rows.count()), quint8(side == Side::Client ? 0 : 1)};
    batch.append(reinterpret_cast<const char *>(&header.arrivedMsecs), sizeof header.arrivedMsecs);
    batch.append(reinterpret_cast<const char *>(&header.rows), sizeof header.rows);
    batch.append(char(header.side));
    for (qsizetype i = 0; i < rows.count(); ++i) {
        const QByteArrayView row = rows.row(i);
        const quint32 length = quint32(row.size());
        batch.append(reinterpret_cast<const char *>(&length), sizeof length);
        batch.append(row);
    }
    m_wake.wakeAll();
    if (!m_full && m_held > BudgetBytes) {
        m_full = true;
        lock.unlock();
        Q_EMIT budgetFull();
    }
}

qint64 TranscriptWriter::finish(QDeadlineTimer deadline)
{
    {
        const QMutexLocker lock(&m_mutex);
        m_closing = true;
        m_wake.wakeAll();
    }
    if (m_thread && !m_thread->isFinished() && !m_thread->wait(deadline)) {
        m_abandon = true;
        bool started = false;
        pthread_t writer{};
        {
            const QMutexLocker lock(&m_mutex);
            m_wake.wakeAll();
            started = m_writerStarted;
            writer = m_writer;
        }
        // The signal may land just before the write starts, so it is repeated
        // until the thread has left; a write that signals cannot end is left
        // to the end of the process.
        for (int attempt = 0; attempt < 200 && !m_thread->wait(10); ++attempt) {
            if (started)
                pthread_kill(writer, interruptSignal());
        }
        if (!m_thread->isFinished())
            (void)m_thread.release();
    }
    const QMutexLocker lock(&m_mutex);
    return m_rowsHandedOver - m_rowsWritten;
}

void TranscriptWriter::run()
{
    QByteArray out;
    out.reserve(OutBytes + 4 * LineCapture::MaxRowBytes + 64);
    QMutexLocker lock(&m_mutex);
    m_writer = pthread_self();
    m_writerStarted = true;
    for (;;) {
        while (m_queue.isEmpty() && !m_closing)
            m_wake.wait(&m_mutex);
        if (m_queue.isEmpty() || m_abandon)
            return;
        QByteArray batch = m_queue.takeFirst();
        const bool skip = m_failed;
        lock.unlock();
        if (!skip)
            writeBatch(batch, out);
        lock.relock();
        recycle(std::move(batch));
        if (m_full && m_held <= ResumeBytes) {
            m_full = false;
            Q_EMIT budgetDrained();
        }
    }
}

void TranscriptWriter::recycle(QByteArray &&batch)
{
    // Kept for the next rows rather than freed and allocated again; the
    // budget goes on counting it.
    if (m_spares.size() < MaxSpares && batch.capacity() <= 2 * BatchBytes) {
        batch.truncate(0);
        m_spares.append(std::move(batch));
        return;
    }
    m_held -= batch.capacity();
}

void TranscriptWriter::writeBatch(const QByteArray &batch, QByteArray &out)
{
    const char *p = batch.constData();
    const char *const end = p + batch.size();
    out.truncate(0);
    qint64 rowsInOut = 0;
    const bool stamped = m_timestamps;
    while (p < end) {
        ChunkHeader header{};
        std::memcpy(&header.arrivedMsecs, p, sizeof header.arrivedMsecs);
        std::memcpy(&header.rows, p + sizeof header.arrivedMsecs, sizeof header.rows);
        header.side = quint8(p[HeaderBytes - 1]);
        p += HeaderBytes;
        const Side side = header.side == 0 ? Side::Client : Side::Server;
        // All rows of one chunk arrived together, so they share one time.
        const QByteArray stamp = stamped ? Transcript::stamp(header.arrivedMsecs) : QByteArray();
        for (quint32 i = 0; i < header.rows; ++i) {
            quint32 length = 0;
            std::memcpy(&length, p, sizeof length);
            p += sizeof length;
            Transcript::appendLine(out, stamp, side, QByteArrayView(p, length));
            p += length;
            ++rowsInOut;
            if (out.size() >= OutBytes) {
                if (!writeOut(out, rowsInOut) || m_abandon)
                    return;
                out.truncate(0);
                rowsInOut = 0;
            }
        }
    }
    if (rowsInOut > 0)
        writeOut(out, rowsInOut);
}

bool TranscriptWriter::writeOut(const QByteArray &out, qint64 rows)
{
    // Qt's file classes do not tell which system error ended a write, and the
    // reason is what the user needs; nor can they be interrupted.
    const char *p = out.constData();
    qsizetype left = out.size();
    int error = m_closedAtStart ? EBADF : 0;
    while (left > 0 && error == 0) {
        const ssize_t n = ::write(m_fd, p, size_t(left));
        if (n > 0) {
            p += n;
            left -= n;
        } else if (n < 0 && errno == EINTR) {
            if (m_abandon)
                break;
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            // Someone left the descriptor non-blocking: wait for room as a blocking write would.
            pollfd room{m_fd, POLLOUT, 0};
            ::poll(&room, 1, 100);
            if (m_abandon)
                break;
        } else {
            error = n < 0 ? errno : EIO;
        }
    }
    if (left == 0) {
        m_rowsWritten += rows;
        return true;
    }
    // Each line ends with the only newline it holds: whole lines are counted by them.
    m_rowsWritten += std::count(out.constData(), p, '\n');
    if (error != 0) {
        {
            const QMutexLocker lock(&m_mutex);
            m_failed = true;
        }
        Q_EMIT failed(reasonFor(error));
    }
    return false;
}
