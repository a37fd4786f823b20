#include "CaptureWriter.h"

#include "InterruptibleWriter.h"
#include "OwnerLink.h"
#include "ReasonText.h"

#include <QList>
#include <QMutex>
#include <QWaitCondition>

#include <cerrno>

struct CaptureWriter::Shared {
    explicit Shared(int fd)
        : out(fd)
    {
    }
    InterruptibleWriter out;
    QMutex mutex;
    QWaitCondition wake;
    QList<QByteArray> queue;
    qint64 held = 0;
    qint64 lost = 0; // handed over and not written
    bool full = false;
    bool closing = false;
    bool failed = false;
    OwnerLink<CaptureWriter> owner;
};

CaptureWriter::CaptureWriter(int fd, QObject *parent)
    : QIODevice(parent)
    , m_shared(std::make_shared<Shared>(fd))
{
    m_shared->owner.set(this);
    QIODevice::open(WriteOnly | Unbuffered);
}

CaptureWriter::~CaptureWriter()
{
    finish(QDeadlineTimer(0));
    m_shared->owner.set(nullptr);
}

QString CaptureWriter::reasonFor(int systemError)
{
    return ReasonText::system(systemError);
}

void CaptureWriter::start()
{
    if (m_thread)
        return;
    m_thread.reset(QThread::create([shared = m_shared] { run(shared); }));
    m_thread->setObjectName(QStringLiteral("capture"));
    m_thread->start();
}

bool CaptureWriter::isFull() const
{
    const QMutexLocker lock(&m_shared->mutex);
    return m_shared->full;
}

qint64 CaptureWriter::writeData(const char *data, qint64 size)
{
    Shared &s = *m_shared;
    QMutexLocker lock(&s.mutex);
    if (s.failed) {
        lock.unlock();
        return -1;
    }
    if (s.closing) {
        s.lost += size;
        return size;
    }
    if (!m_thread) {
        lock.unlock();
        int error = 0;
        const qint64 written = s.out.write(data, size, &error);
        if (written == size)
            return size;
        const QString reason = reasonFor(error != 0 ? error : EIO);
        setErrorString(reason);
        lock.relock();
        s.failed = true;
        return -1;
    }
    s.queue.append(QByteArray(data, size));
    s.held += size;
    s.wake.wakeAll();
    if (!s.full && s.held > BudgetBytes) {
        s.full = true;
        lock.unlock();
        Q_EMIT budgetFull();
    }
    return size;
}

qint64 CaptureWriter::finish(QDeadlineTimer deadline)
{
    Shared &s = *m_shared;
    {
        const QMutexLocker lock(&s.mutex);
        s.closing = true;
        s.wake.wakeAll();
    }
    if (m_thread && !m_thread->isFinished() && !m_thread->wait(deadline)) {
        // As the transcript's writer does: repeated, as the interruption may
        // land just before a write starts.
        s.out.interrupt();
        for (int attempt = 0; attempt < 200 && !m_thread->wait(10); ++attempt)
            s.out.interrupt();
        // Still blocked: left to end on its own, on the state it shares.
        if (!m_thread->isFinished())
            (void)m_thread.release();
    }
    const QMutexLocker lock(&s.mutex);
    qint64 lost = s.lost;
    for (const QByteArray &bytes : std::as_const(s.queue))
        lost += bytes.size();
    return lost;
}

void CaptureWriter::run(const std::shared_ptr<Shared> &shared)
{
    Shared &s = *shared;
    s.out.bindToCurrentThread();
    QMutexLocker lock(&s.mutex);
    for (;;) {
        while (s.queue.isEmpty() && !s.closing)
            s.wake.wait(&s.mutex);
        if (s.queue.isEmpty() || s.out.isInterrupted())
            return;
        const QByteArray bytes = s.queue.takeFirst();
        lock.unlock();
        int error = 0;
        const qint64 written = s.failed ? 0 : s.out.write(bytes.constData(), bytes.size(), &error);
        lock.relock();
        s.held -= bytes.size();
        s.lost += bytes.size() - written;
        if (error != 0 && !s.failed) {
            s.failed = true;
            const QString reason = reasonFor(error);
            s.owner.post([reason](CaptureWriter *owner) { Q_EMIT owner->failed(reason); });
        }
        if (s.full && s.held <= ResumeBytes) {
            s.full = false;
            s.owner.post([](CaptureWriter *owner) { Q_EMIT owner->budgetDrained(); });
        }
    }
}
