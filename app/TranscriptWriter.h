#ifndef DRAVLIN_TRANSCRIPTWRITER_H
#define DRAVLIN_TRANSCRIPTWRITER_H

#include "InterruptibleWriter.h"
#include "LineCapture.h"
#include "Side.h"

#include <QByteArray>
#include <QDeadlineTimer>
#include <QList>
#include <QMutex>
#include <QObject>
#include <QThread>
#include <QWaitCondition>

#include <atomic>
#include <memory>

// Writes the console's transcript on a thread of its own, so that escaping
// rows and writing them out run beside the relay instead of between two of
// its reads.
//
// A chunk that is mostly payload is kept as it was read, without a copy;
// smaller ones are copied, packed, into large batches, so a chunk of a few
// bytes costs those bytes, not the buffer the network layer read it into.
// The rows waiting, counted as read (the peers' bytes, before escaping), have
// a budget; past it budgetFull() asks the owner to stop reading, and
// budgetDrained() says when half of it is free again. The memory they hold
// has a cap of its own, which only rows of a few bytes each reach first. A
// reader that never reads therefore bounds memory, not the relay's progress
// towards it.
class TranscriptWriter : public QObject
{
    Q_OBJECT

public:
    // Rows as read: what the hold message and the README state.
    static constexpr qint64 BudgetBytes = qint64{16} * 1024 * 1024;
    static constexpr qint64 ResumeBytes = BudgetBytes / 2;
    // What the waiting rows may hold in memory: a chunk kept as read holds at
    // most four times its bytes.
    static constexpr qint64 MemoryCapBytes = 4 * BudgetBytes;
    static constexpr qsizetype BatchBytes = qsizetype{256} * 1024;

    // closedAtStart: the descriptor was closed when the program began (and has
    // been occupied since, so that nothing reuses it); rows written to it fail
    // as they would on a closed descriptor.
    explicit TranscriptWriter(int fd, bool closedAtStart = false, QObject *parent = nullptr);
    ~TranscriptWriter() override;

    void setTimestamps(bool on) { m_timestamps = on; }
    // session: the relay's number for the rows' session, written "#K " at the
    // head of each line (after the stamp); 0 writes the lines as ever.
    void write(Side side, const LineCapture::Rows &rows, qint64 arrivedMsecs, int session = 0);
    // A mark line ("-- " and the text), in order with the rows around it.
    void writeMarker(qint64 msecs, const QString &text, int session = 0);

    // Takes no more rows and waits until everything handed over is written or
    // the deadline has passed, when a write still blocked is interrupted.
    // Returns how many rows were not written.
    qint64 finish(QDeadlineTimer deadline);

    // Memory held by waiting rows, and their bytes as read.
    qint64 heldBytes() const;
    qint64 waitingBytes() const;
    // Over the budget and not yet back under ResumeBytes.
    bool isFull() const;

Q_SIGNALS:
    // Emitted by write(), on the caller's thread.
    void budgetFull();
    // Emitted from the writer's thread, so it arrives queued: by then the
    // budget may be full again, which isFull() tells.
    void budgetDrained();
    // Once, with the system's reason in French; later rows are not written.
    void failed(const QString &reason);

private:
    // What waits: either chunks packed into one batch, or one chunk's rows as read.
    struct Entry {
        QByteArray packed;
        LineCapture::Rows rows;
        qint64 arrivedMsecs = 0;
        qint64 heldBytes = 0;
        qint64 payloadBytes = 0; // the rows as read
        Side side = Side::Client;
        int session = 0;
    };
    // The escaped lines not yet handed to the system, and how many they are.
    struct Pending {
        QByteArray bytes;
        qint64 rows = 0;
    };

    void pack(const LineCapture::Rows &rows, quint8 kind, qint64 arrivedMsecs, int session, qint64 payload);
    bool overBudget() const { return m_waiting > BudgetBytes || m_held > MemoryCapBytes; }
    bool underResume() const { return m_waiting <= ResumeBytes && m_held <= MemoryCapBytes / 2; }
    void run();
    bool writeEntry(const Entry &entry, Pending &out);
    bool writeChunk(quint8 kind, qint64 arrivedMsecs, int session, const LineCapture::Rows &rows, Pending &out);
    bool writeOut(Pending &out);
    void release(Entry &&entry);

    InterruptibleWriter m_out;
    std::atomic<bool> m_timestamps{false};
    std::unique_ptr<QThread> m_thread;

    mutable QMutex m_mutex;
    QWaitCondition m_wake;
    // Oldest first; only the last one, when packed, still takes rows.
    QList<Entry> m_queue;
    QList<QByteArray> m_spares;
    qint64 m_held = 0;
    qint64 m_waiting = 0; // rows as read, not yet written
    bool m_full = false;
    bool m_closing = false;
    bool m_failed = false;
    bool m_writerIdle = false;

    qint64 m_rowsHandedOver = 0;
    std::atomic<qint64> m_rowsWritten{0};
};

#endif
