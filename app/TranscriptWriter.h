#ifndef DRAVLIN_TRANSCRIPTWRITER_H
#define DRAVLIN_TRANSCRIPTWRITER_H

#include "LineCapture.h"
#include "Side.h"

#include <QByteArray>
#include <QFile>
#include <QSemaphore>
#include <QThread>

// Writes the console's transcript on a thread of its own, so that escaping
// rows and writing them out run beside the relay instead of between two of
// its reads. What waits to be written is bounded: past the budget, the
// relay's thread waits for the writer, as it would for a plain write.
class TranscriptWriter
{
public:
    static constexpr int BudgetBytes = 16 * 1024 * 1024;

    TranscriptWriter();
    ~TranscriptWriter();

    void setTimestamps(bool on) { m_timestamps = on; }
    void write(Side side, const LineCapture::Rows &rows, qint64 arrivedMsecs);
    // Returns once everything handed over so far has been written.
    void finish();

private:
    void writeNow(Side side, const LineCapture::Rows &rows, qint64 arrivedMsecs, int cost);

    QThread m_thread;
    QObject m_context;
    QSemaphore m_budget{BudgetBytes};
    QFile m_out;
    QByteArray m_line;
    bool m_timestamps = false;
};

#endif
