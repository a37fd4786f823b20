#include "TranscriptWriter.h"

#include "Transcript.h"

#include <unistd.h>

TranscriptWriter::TranscriptWriter()
{
    m_thread.setObjectName(QStringLiteral("transcript"));
    m_out.open(STDOUT_FILENO, QIODevice::WriteOnly | QIODevice::Unbuffered);
    m_context.moveToThread(&m_thread);
    m_thread.start();
}

TranscriptWriter::~TranscriptWriter()
{
    finish();
}

void TranscriptWriter::write(Side side, const LineCapture::Rows &rows, qint64 arrivedMsecs)
{
    if (rows.isEmpty())
        return;
    const int cost = static_cast<int>(qMin<qint64>(rows.buffer.size() + rows.count(), BudgetBytes));
    m_budget.acquire(cost);
    // The rows share their bytes with the relay's chunk; neither side changes
    // them, so handing them over copies nothing.
    QMetaObject::invokeMethod(
        &m_context, [this, side, rows, arrivedMsecs, cost] { writeNow(side, rows, arrivedMsecs, cost); },
        Qt::QueuedConnection);
}

void TranscriptWriter::finish()
{
    if (!m_thread.isRunning())
        return;
    // Queued behind every chunk already handed over, so they are all written first.
    QMetaObject::invokeMethod(&m_context, [this] { m_thread.quit(); }, Qt::QueuedConnection);
    m_thread.wait();
}

void TranscriptWriter::writeNow(Side side, const LineCapture::Rows &rows, qint64 arrivedMsecs, int cost)
{
    // Emptied, not released: the next chunk's rows are written into the room
    // this one left, instead of the buffer regrowing (and copying) each time.
    m_line.truncate(0);
    m_line.reserve(rows.buffer.size() + rows.count() * 4);
    // All rows of one chunk arrived together, so they share one time.
    const QByteArray stamp = m_timestamps ? Transcript::stamp(arrivedMsecs) : QByteArray();
    for (qsizetype i = 0; i < rows.count(); ++i)
        Transcript::appendLine(m_line, stamp, side, rows.row(i));
    // Unbuffered: each chunk's rows reach the reader as soon as they are captured.
    m_out.write(m_line);
    m_budget.release(cost);
}
