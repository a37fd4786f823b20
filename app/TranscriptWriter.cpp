#include "TranscriptWriter.h"

#include "ReasonText.h"
#include "Transcript.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

// Written rows are handed to the system in pieces of about this size, so the
// escaped form of a batch never needs room of its own.
constexpr qsizetype OutBytes = qsizetype{256} * 1024;
constexpr int MaxSpares = 4;
// A chunk of at least this much payload, a quarter of its memory or more (the
// network layer may double its buffer), is kept as read.
constexpr qsizetype KeepBytes = qsizetype{16} * 1024;

// One chunk in a batch: when it arrived (qint64), how many rows (quint32),
// its session (qint32), its kind (one byte), then per row its length
// (quint32, how the row ended in its top two bits: a row is far shorter) and
// its bytes.
constexpr qsizetype CountAt = sizeof(qint64);
constexpr qsizetype SessionAt = CountAt + sizeof(quint32);
constexpr qsizetype HeaderBytes = SessionAt + sizeof(qint32) + sizeof(quint8);
// The kinds: a side's rows, or one mark's text in UTF-8.
constexpr quint8 ClientRows = 0;
constexpr quint8 ServerRows = 1;
constexpr quint8 Marker = 2;
constexpr int EndShift = 30;
constexpr quint32 LengthBits = (1U << EndShift) - 1;

// Two ends only stdout has, said as such; the others as anywhere else.
QString reasonFor(int error)
{
    if (error == EPIPE)
        return TranscriptWriter::tr("le lecteur de la sortie standard est parti (EPIPE)");
    if (error == EBADF)
        return TranscriptWriter::tr("la sortie standard est fermée (EBADF)");
    return ReasonText::system(error);
}

} // namespace

TranscriptWriter::TranscriptWriter(int fd, bool closedAtStart, QObject *parent)
    : QObject(parent)
    , m_out(fd, closedAtStart)
{
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

qint64 TranscriptWriter::waitingBytes() const
{
    const QMutexLocker lock(&m_mutex);
    return m_waiting;
}

bool TranscriptWriter::isFull() const
{
    const QMutexLocker lock(&m_mutex);
    return m_full;
}

void TranscriptWriter::write(Side side, const LineCapture::Rows &rows, qint64 arrivedMsecs, int session)
{
    if (rows.isEmpty())
        return;
    const qsizetype payload = rows.buffer.size() + rows.head.size();
    const qint64 held = rows.buffer.capacity() + rows.head.capacity()
        + rows.spans.capacity() * qint64(sizeof(LineCapture::Span));

    QMutexLocker lock(&m_mutex);
    m_rowsHandedOver += rows.count();
    if (m_closing)
        return; // too late: counted as not written
    if (payload >= KeepBytes && held <= 4 * payload) {
        // Shared with the relay's chunk, which neither side changes: no copy.
        m_queue.append(Entry{QByteArray(), rows, arrivedMsecs, held, payload, side, session});
        m_held += held;
    } else {
        pack(rows, side == Side::Client ? ClientRows : ServerRows, arrivedMsecs, session, payload);
    }
    m_waiting += payload;
    if (m_writerIdle)
        m_wake.wakeAll();
    if (!m_full && overBudget()) {
        m_full = true;
        lock.unlock();
        Q_EMIT budgetFull();
    }
}

void TranscriptWriter::writeMarker(qint64 msecs, const QString &text, int session)
{
    LineCapture::Rows mark;
    mark.buffer = text.toUtf8();
    mark.spans.append({0, mark.buffer.size(), LineCapture::RowEnd::CrLf});
    QMutexLocker lock(&m_mutex);
    // Counted with the rows: a write cut short is counted in lines.
    ++m_rowsHandedOver;
    if (m_closing)
        return;
    // Packed like a chunk, so it leaves between the rows it came between.
    pack(mark, Marker, msecs, session, 0);
    if (m_writerIdle)
        m_wake.wakeAll();
}

void TranscriptWriter::pack(const LineCapture::Rows &rows, quint8 kind, qint64 arrivedMsecs, int session, qint64 payload)
{
    qsizetype need = HeaderBytes;
    for (qsizetype i = 0; i < rows.count(); ++i)
        need += qsizetype(sizeof(quint32)) + rows.row(i).size();
    const auto hasRoom = [need](const QByteArray &b) { return b.capacity() - b.size() >= need; };
    if (m_queue.isEmpty() || m_queue.constLast().heldBytes > 0 || !hasRoom(m_queue.constLast().packed)) {
        Entry entry;
        const auto spare = std::find_if(m_spares.begin(), m_spares.end(), hasRoom);
        if (spare != m_spares.end()) {
            entry.packed = std::move(*spare);
            m_spares.removeAt(std::distance(m_spares.begin(), spare));
        } else {
            entry.packed.reserve(qMax(BatchBytes, need));
            m_held += entry.packed.capacity();
        }
        m_queue.append(std::move(entry));
    }
    // Room was made above: filled through a pointer, as this runs for every
    // row of a small chunk on the relay's thread.
    m_queue.last().payloadBytes += payload;
    QByteArray &batch = m_queue.last().packed;
    const qsizetype at = batch.size();
    batch.resize(at + need);
    char *p = batch.data() + at;
    const quint32 count = quint32(rows.count());
    const qint32 number = session;
    std::memcpy(p, &arrivedMsecs, sizeof arrivedMsecs);
    std::memcpy(p + CountAt, &count, sizeof count);
    std::memcpy(p + SessionAt, &number, sizeof number);
    p[HeaderBytes - 1] = char(kind);
    p += HeaderBytes;
    for (qsizetype i = 0; i < rows.count(); ++i) {
        const QByteArrayView row = rows.row(i);
        const quint32 length = quint32(row.size());
        const quint32 lengthAndEnd = length | quint32(rows.end(i)) << EndShift;
        std::memcpy(p, &lengthAndEnd, sizeof lengthAndEnd);
        if (length > 0)
            std::memcpy(p + sizeof length, row.data(), length);
        p += sizeof length + length;
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
        m_out.interrupt();
        {
            const QMutexLocker lock(&m_mutex);
            m_wake.wakeAll();
        }
        // The interruption may land just before the write starts, so it is
        // repeated until the thread has left; a write that cannot be ended is
        // left to the end of the process.
        for (int attempt = 0; attempt < 200 && !m_thread->wait(10); ++attempt)
            m_out.interrupt();
        if (!m_thread->isFinished())
            (void)m_thread.release();
    }
    const QMutexLocker lock(&m_mutex);
    return m_rowsHandedOver - m_rowsWritten;
}

void TranscriptWriter::run()
{
    Pending out;
    out.bytes.reserve(OutBytes + 4 * LineCapture::MaxRowBytes + 64);
    m_out.bindToCurrentThread();
    QMutexLocker lock(&m_mutex);
    for (;;) {
        while (m_queue.isEmpty() && !m_closing) {
            m_writerIdle = true;
            m_wake.wait(&m_mutex);
            m_writerIdle = false;
        }
        if (m_queue.isEmpty() || m_out.isInterrupted())
            return;
        Entry entry = m_queue.takeFirst();
        const bool skip = m_failed;
        // Lines go out in large writes, but never wait for rows to come: the
        // reader sees each one as soon as nothing else is queued behind it.
        const bool more = !m_queue.isEmpty();
        lock.unlock();
        if (!skip && !(writeEntry(entry, out) && (more || writeOut(out)))) {
            out.bytes.truncate(0);
            out.rows = 0;
        }
        lock.relock();
        release(std::move(entry));
        if (m_full && underResume()) {
            m_full = false;
            lock.unlock(); // a directly connected slot may ask isFull()
            Q_EMIT budgetDrained();
            lock.relock();
        }
    }
}

void TranscriptWriter::release(Entry &&entry)
{
    m_waiting -= entry.payloadBytes;
    if (entry.heldBytes > 0) {
        m_held -= entry.heldBytes;
        return;
    }
    // A batch is kept for the next rows rather than freed and allocated
    // again; the budget goes on counting it.
    QByteArray &batch = entry.packed;
    if (m_spares.size() < MaxSpares && batch.capacity() <= 2 * BatchBytes) {
        batch.truncate(0);
        m_spares.append(std::move(batch));
        return;
    }
    m_held -= batch.capacity();
}

bool TranscriptWriter::writeEntry(const Entry &entry, Pending &out)
{
    if (entry.heldBytes > 0)
        return writeChunk(entry.side == Side::Client ? ClientRows : ServerRows, entry.arrivedMsecs, entry.session,
                          entry.rows, out);
    LineCapture::Rows rows;
    const char *p = entry.packed.constData();
    const char *const end = p + entry.packed.size();
    while (p < end) {
        qint64 arrivedMsecs = 0;
        quint32 count = 0;
        qint32 session = 0;
        std::memcpy(&arrivedMsecs, p, sizeof arrivedMsecs);
        std::memcpy(&count, p + CountAt, sizeof count);
        std::memcpy(&session, p + SessionAt, sizeof session);
        const auto kind = static_cast<quint8>(p[HeaderBytes - 1]);
        p += HeaderBytes;
        // The chunk's rows are read in place, as spans of the batch.
        rows.buffer = QByteArray::fromRawData(entry.packed.constData(), entry.packed.size());
        rows.spans.clear();
        for (quint32 i = 0; i < count; ++i) {
            quint32 lengthAndEnd = 0;
            std::memcpy(&lengthAndEnd, p, sizeof lengthAndEnd);
            p += sizeof lengthAndEnd;
            const quint32 length = lengthAndEnd & LengthBits;
            rows.spans.append({p - entry.packed.constData(), qsizetype(length),
                               static_cast<LineCapture::RowEnd>(lengthAndEnd >> EndShift)});
            p += length;
        }
        if (!writeChunk(kind, arrivedMsecs, session, rows, out))
            return false;
    }
    return true;
}

bool TranscriptWriter::writeChunk(quint8 kind, qint64 arrivedMsecs, int session, const LineCapture::Rows &rows,
                                  Pending &out)
{
    // All rows of one chunk arrived together, so they share one time, and
    // belong to one session, told after the time as a saved transcript tells it.
    const QByteArray head = (m_timestamps ? Transcript::stamp(arrivedMsecs) : QByteArray())
        + Transcript::sessionPrefix(session);
    if (kind == Marker) {
        Transcript::appendMarkerLine(out.bytes, head, QString::fromUtf8(rows.row(0)));
        ++out.rows;
        return true;
    }
    const Side side = kind == ClientRows ? Side::Client : Side::Server;
    for (qsizetype i = 0; i < rows.count(); ++i) {
        Transcript::appendLine(out.bytes, head, side, rows.row(i));
        ++out.rows;
        if (out.bytes.size() >= OutBytes && (!writeOut(out) || m_out.isInterrupted()))
            return false;
    }
    return true;
}

bool TranscriptWriter::writeOut(Pending &pending)
{
    const QByteArray &out = pending.bytes;
    int error = 0;
    const qint64 written = m_out.write(out.constData(), out.size(), &error);
    if (written == out.size()) {
        m_rowsWritten += pending.rows;
        pending.bytes.truncate(0);
        pending.rows = 0;
        return true;
    }
    // Each line ends with the only newline it holds: whole lines are counted by them.
    m_rowsWritten += std::count(out.constData(), out.constData() + written, '\n');
    if (error != 0) {
        {
            const QMutexLocker lock(&m_mutex);
            m_failed = true;
        }
        Q_EMIT failed(reasonFor(error));
    }
    return false;
}
