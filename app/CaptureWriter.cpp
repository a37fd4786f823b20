#include "CaptureWriter.h"

#include "ReasonText.h"

#include <cerrno>

CaptureWriter::CaptureWriter(int fd, QObject *parent)
    : QIODevice(parent)
    , m_out(fd)
{
    QIODevice::open(WriteOnly | Unbuffered);
}

CaptureWriter::~CaptureWriter()
{
    finish(QDeadlineTimer(0));
}

QString CaptureWriter::reasonFor(int systemError) const
{
    return ReasonText::system(systemError);
}

void CaptureWriter::start()
{
    if (m_thread)
        return;
    m_thread.reset(QThread::create([this] { run(); }));
    m_thread->setObjectName(QStringLiteral("capture"));
    m_thread->start();
}

bool CaptureWriter::isFull() const
{
    const QMutexLocker lock(&m_mutex);
    return m_full;
}

qint64 CaptureWriter::writeData(const char *data, qint64 size)
{
    QMutexLocker lock(&m_mutex);
    if (m_failed) {
        lock.unlock();
        return -1;
    }
    if (m_closing) {
        m_lost += size;
        return size;
    }
    if (!m_thread) {
        lock.unlock();
        int error = 0;
        const qint64 written = m_out.write(data, size, &error);
        if (written == size)
            return size;
        const QString reason = reasonFor(error != 0 ? error : EIO);
        setErrorString(reason);
        lock.relock();
        m_failed = true;
        return -1;
    }
    m_queue.append(QByteArray(data, size));
    m_held += size;
    m_wake.wakeAll();
    if (!m_full && m_held > BudgetBytes) {
        m_full = true;
        lock.unlock();
        Q_EMIT budgetFull();
    }
    return size;
}

qint64 CaptureWriter::finish(QDeadlineTimer deadline)
{
    {
        const QMutexLocker lock(&m_mutex);
        m_closing = true;
        m_wake.wakeAll();
    }
    if (m_thread && !m_thread->isFinished() && !m_thread->wait(deadline)) {
        // As the transcript's writer does: repeated, as the interruption may
        // land just before a write starts.
        m_out.interrupt();
        for (int attempt = 0; attempt < 200 && !m_thread->wait(10); ++attempt)
            m_out.interrupt();
        if (!m_thread->isFinished())
            (void)m_thread.release();
    }
    const QMutexLocker lock(&m_mutex);
    qint64 lost = m_lost;
    for (const QByteArray &bytes : std::as_const(m_queue))
        lost += bytes.size();
    return lost;
}

void CaptureWriter::run()
{
    m_out.bindToCurrentThread();
    QMutexLocker lock(&m_mutex);
    for (;;) {
        while (m_queue.isEmpty() && !m_closing)
            m_wake.wait(&m_mutex);
        if (m_queue.isEmpty() || m_out.isInterrupted())
            return;
        const QByteArray bytes = m_queue.takeFirst();
        lock.unlock();
        int error = 0;
        const qint64 written = m_failed ? 0 : m_out.write(bytes.constData(), bytes.size(), &error);
        lock.relock();
        m_held -= bytes.size();
        m_lost += bytes.size() - written;
        if (error != 0 && !m_failed) {
            m_failed = true;
            const QString reason = reasonFor(error);
            lock.unlock();
            Q_EMIT failed(reason);
            lock.relock();
        }
        if (m_full && m_held <= ResumeBytes) {
            m_full = false;
            lock.unlock();
            Q_EMIT budgetDrained();
            lock.relock();
        }
    }
}
