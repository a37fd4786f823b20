#include "TranscriptWriter.h"

#include "OwnerLink.h"

#include "InterruptibleWriter.h"
#include "ReasonText.h"
#include "Transcript.h"
#include "TranscriptMarks.h"

#include <QList>
#include <QMetaObject>
#include <QMutex>
#include <QWaitCondition>

#include <algorithm>
#include <atomic>
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
// The kinds: a side's rows, or one mark's text (tag and words) in UTF-8.
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

struct TranscriptWriter::Entry {
    QByteArray packed;
    LineCapture::Rows rows;
    qint64 arrivedMsecs = 0;
    qint64 heldBytes = 0;
    qint64 payloadBytes = 0; // the rows as read
    Side side = Side::Client;
    int session = 0;
};

struct TranscriptWriter::Pending {
    QByteArray bytes;
    qint64 rows = 0;
};

struct TranscriptWriter::Shared {
    Shared(int fd, bool closedAtStart)
        : out(fd, closedAtStart)
    {
    }
    bool overBudget() const { return waiting > BudgetBytes || held > MemoryCapBytes; }
    bool underResume() const { return waiting <= ResumeBytes && held <= MemoryCapBytes / 2; }

    InterruptibleWriter out;
    std::atomic<bool> timestamps{false};

    mutable QMutex mutex;
    QWaitCondition wake;
    // Oldest first; only the last one, when packed, still takes rows.
    QList<Entry> queue;
    QList<QByteArray> spares;
    qint64 held = 0;
    qint64 waiting = 0; // rows as read, not yet written
    bool full = false;
    bool closing = false;
    bool failed = false;
    bool writerIdle = false;

    qint64 rowsHandedOver = 0;
    std::atomic<qint64> rowsWritten{0};

    // Who hears of a drained budget or a failure, cleared under its own lock
    // as the object goes: the thread posts to it only while it is there.
    OwnerLink<TranscriptWriter> owner;
};

TranscriptWriter::TranscriptWriter(int fd, bool closedAtStart, QObject *parent)
    : QObject(parent)
    , m_shared(std::make_shared<Shared>(fd, closedAtStart))
{
    m_shared->owner.set(this);
    // The thread holds the state, never the object.
    m_thread.reset(QThread::create([shared = m_shared] { run(*shared); }));
    m_thread->setObjectName(QStringLiteral("transcript"));
    m_thread->start();
}

TranscriptWriter::~TranscriptWriter()
{
    finish(QDeadlineTimer(2000));
    // From here the thread tells no one; what it posted before goes with the object.
    m_shared->owner.set(nullptr);
}

void TranscriptWriter::setTimestamps(bool on)
{
    m_shared->timestamps = on;
}

qint64 TranscriptWriter::heldBytes() const
{
    const QMutexLocker lock(&m_shared->mutex);
    return m_shared->held;
}

qint64 TranscriptWriter::waitingBytes() const
{
    const QMutexLocker lock(&m_shared->mutex);
    return m_shared->waiting;
}

bool TranscriptWriter::isFull() const
{
    const QMutexLocker lock(&m_shared->mutex);
    return m_shared->full;
}

void TranscriptWriter::write(Side side, const LineCapture::Rows &rows, qint64 arrivedMsecs, int session)
{
    if (rows.isEmpty())
        return;
    const qsizetype payload = rows.buffer.size() + rows.head.size();
    const qint64 held = rows.buffer.capacity() + rows.head.capacity()
        + rows.spans.capacity() * qint64(sizeof(LineCapture::Span));

    Shared &s = *m_shared;
    QMutexLocker lock(&s.mutex);
    s.rowsHandedOver += rows.count();
    if (s.closing)
        return; // too late: counted as not written
    if (payload >= KeepBytes && held <= 4 * payload) {
        // Shared with the relay's chunk, which neither side changes: no copy.
        s.queue.append(Entry{QByteArray(), rows, arrivedMsecs, held, payload, side, session});
        s.held += held;
    } else {
        pack(s, rows, side == Side::Client ? ClientRows : ServerRows, arrivedMsecs, session, payload);
    }
    s.waiting += payload;
    if (s.writerIdle)
        s.wake.wakeAll();
    if (!s.full && s.overBudget()) {
        s.full = true;
        lock.unlock();
        Q_EMIT budgetFull();
    }
}

void TranscriptWriter::writeMark(const RelayEvent &event)
{
    LineCapture::Rows mark;
    mark.buffer = TranscriptMarks::text(SessionMark{event, QByteArray()});
    if (mark.buffer.isEmpty())
        return;
    mark.spans.append({0, mark.buffer.size(), LineCapture::RowEnd::CrLf});
    Shared &s = *m_shared;
    const QMutexLocker lock(&s.mutex);
    // Counted with the rows: a write cut short is counted in lines.
    ++s.rowsHandedOver;
    if (s.closing)
        return;
    // Packed like a chunk, so it leaves between the rows it came between.
    pack(s, mark, Marker, event.time, event.session, 0);
    if (s.writerIdle)
        s.wake.wakeAll();
}

void TranscriptWriter::pack(Shared &s, const LineCapture::Rows &rows, quint8 kind, qint64 arrivedMsecs, int session,
                            qint64 payload)
{
    qsizetype need = HeaderBytes;
    for (qsizetype i = 0; i < rows.count(); ++i)
        need += qsizetype(sizeof(quint32)) + rows.row(i).size();
    const auto hasRoom = [need](const QByteArray &b) { return b.capacity() - b.size() >= need; };
    if (s.queue.isEmpty() || s.queue.constLast().heldBytes > 0 || !hasRoom(s.queue.constLast().packed)) {
        Entry entry;
        const auto spare = std::find_if(s.spares.begin(), s.spares.end(), hasRoom);
        if (spare != s.spares.end()) {
            entry.packed = std::move(*spare);
            s.spares.removeAt(std::distance(s.spares.begin(), spare));
        } else {
            entry.packed.reserve(qMax(BatchBytes, need));
            s.held += entry.packed.capacity();
        }
        s.queue.append(std::move(entry));
    }
    // Room was made above: filled through a pointer, as this runs for every
    // row of a small chunk on the relay's thread.
    s.queue.last().payloadBytes += payload;
    QByteArray &batch = s.queue.last().packed;
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
    Shared &s = *m_shared;
    {
        const QMutexLocker lock(&s.mutex);
        s.closing = true;
        s.wake.wakeAll();
    }
    if (m_thread && !m_thread->isFinished() && !m_thread->wait(deadline)) {
        s.out.interrupt();
        {
            const QMutexLocker lock(&s.mutex);
            s.wake.wakeAll();
        }
        // The interruption may land just before the write starts, so it is
        // repeated until the thread has left; a write that cannot be ended is
        // left to the end of the process, with the state it shares.
        for (int attempt = 0; attempt < 200 && !m_thread->wait(10); ++attempt)
            s.out.interrupt();
        if (!m_thread->isFinished())
            (void)m_thread.release();
    }
    const QMutexLocker lock(&s.mutex);
    return s.rowsHandedOver - s.rowsWritten;
}

void TranscriptWriter::run(Shared &s)
{
    Pending out;
    out.bytes.reserve(OutBytes + 4 * LineCapture::MaxRowBytes + 64);
    s.out.bindToCurrentThread();
    QMutexLocker lock(&s.mutex);
    for (;;) {
        while (s.queue.isEmpty() && !s.closing) {
            s.writerIdle = true;
            s.wake.wait(&s.mutex);
            s.writerIdle = false;
        }
        if (s.queue.isEmpty() || s.out.isInterrupted())
            return;
        Entry entry = s.queue.takeFirst();
        const bool skip = s.failed;
        // Lines go out in large writes, but never wait for rows to come: the
        // reader sees each one as soon as nothing else is queued behind it.
        const bool more = !s.queue.isEmpty();
        lock.unlock();
        if (!skip && !(writeEntry(s, entry, out) && (more || writeOut(s, out)))) {
            out.bytes.truncate(0);
            out.rows = 0;
        }
        lock.relock();
        release(s, std::move(entry));
        if (s.full && s.underResume()) {
            s.full = false;
            tellDrained(s);
        }
    }
}

void TranscriptWriter::tellDrained(Shared &s)
{
    s.owner.post([](TranscriptWriter *owner) { Q_EMIT owner->budgetDrained(); });
}

void TranscriptWriter::tellFailed(Shared &s, int error)
{
    s.owner.post([reason = reasonFor(error)](TranscriptWriter *owner) { Q_EMIT owner->failed(reason); });
}

void TranscriptWriter::release(Shared &s, Entry &&entry)
{
    s.waiting -= entry.payloadBytes;
    if (entry.heldBytes > 0) {
        s.held -= entry.heldBytes;
        return;
    }
    // A batch is kept for the next rows rather than freed and allocated
    // again; the budget goes on counting it.
    QByteArray &batch = entry.packed;
    if (s.spares.size() < MaxSpares && batch.capacity() <= 2 * BatchBytes) {
        batch.truncate(0);
        s.spares.append(std::move(batch));
        return;
    }
    s.held -= batch.capacity();
}

bool TranscriptWriter::writeEntry(Shared &s, const Entry &entry, Pending &out)
{
    if (entry.heldBytes > 0)
        return writeChunk(s, entry.side == Side::Client ? ClientRows : ServerRows, entry.arrivedMsecs, entry.session,
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
        if (!writeChunk(s, kind, arrivedMsecs, session, rows, out))
            return false;
    }
    return true;
}

bool TranscriptWriter::writeChunk(Shared &s, quint8 kind, qint64 arrivedMsecs, int session,
                                  const LineCapture::Rows &rows, Pending &out)
{
    // All rows of one chunk arrived together, so they share one time, and
    // belong to one session, told after the time as a saved transcript tells it.
    const QByteArray head = (s.timestamps ? Transcript::stamp(arrivedMsecs) : QByteArray())
        + Transcript::sessionPrefix(session);
    if (kind == Marker) {
        Transcript::appendMarkerLine(out.bytes, head, rows.row(0));
        ++out.rows;
        return true;
    }
    const Side side = kind == ClientRows ? Side::Client : Side::Server;
    for (qsizetype i = 0; i < rows.count(); ++i) {
        Transcript::appendLine(out.bytes, head, side, rows.row(i));
        ++out.rows;
        if (out.bytes.size() >= OutBytes && (!writeOut(s, out) || s.out.isInterrupted()))
            return false;
    }
    return true;
}

bool TranscriptWriter::writeOut(Shared &s, Pending &pending)
{
    const QByteArray &out = pending.bytes;
    int error = 0;
    const qint64 written = s.out.write(out.constData(), out.size(), &error);
    if (written == out.size()) {
        s.rowsWritten += pending.rows;
        pending.bytes.truncate(0);
        pending.rows = 0;
        return true;
    }
    // Each line ends with the only newline it holds: whole lines are counted by them.
    s.rowsWritten += std::count(out.constData(), out.constData() + written, '\n');
    if (error != 0) {
        {
            const QMutexLocker lock(&s.mutex);
            s.failed = true;
        }
        tellFailed(s, error);
    }
    return false;
}
