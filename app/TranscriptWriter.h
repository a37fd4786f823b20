#ifndef DRAVLIN_TRANSCRIPTWRITER_H
#define DRAVLIN_TRANSCRIPTWRITER_H

#include "LineCapture.h"
#include "RelayEvent.h"
#include "Side.h"

#include <QByteArray>
#include <QDeadlineTimer>
#include <QObject>
#include <QThread>

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
//
// The thread works on state it shares with the object, not on the object: a
// write blocked on a reader that never reads may outlive the object (see
// finish()), and then frees that state itself when it returns.
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

    void setTimestamps(bool on);
    // session: the relay's number for the rows' session, written "#K " at the
    // head of each line (after the stamp); 0 writes the lines as ever.
    void write(Side side, const LineCapture::Rows &rows, qint64 arrivedMsecs, int session = 0);
    // The event's mark line, stamped with its time, numbered with its
    // session, tagged and worded as a saved conversation has it
    // (TranscriptMarks), in order with the rows around it. An event that
    // leaves no mark writes nothing.
    void writeMark(const RelayEvent &event);

    // Takes no more rows and waits until everything handed over is written or
    // the deadline has passed, when a write still blocked is interrupted. A
    // write that cannot be is left to end with the process, and the thread
    // with it, holding nothing of this object. Returns how many rows were not
    // written.
    qint64 finish(QDeadlineTimer deadline);

    // Memory held by waiting rows, and their bytes as read.
    qint64 heldBytes() const;
    qint64 waitingBytes() const;
    // Over the budget and not yet back under ResumeBytes.
    bool isFull() const;

Q_SIGNALS:
    // Emitted by write(), on the caller's thread.
    void budgetFull();
    // Posted by the writer's thread, emitted on this object's: by then the
    // budget may be full again, which isFull() tells.
    void budgetDrained();
    // Once, with the system's reason in French; later rows are not written.
    // Posted as budgetDrained() is.
    void failed(const QString &reason);

private:
    // What the object and its thread share (TranscriptWriter.cpp).
    struct Shared;
    // What waits: either chunks packed into one batch, or one chunk's rows as read.
    struct Entry;
    // The escaped lines not yet handed to the system, and how many they are.
    struct Pending;

    // On the caller's thread, the shared state locked.
    static void pack(Shared &s, const LineCapture::Rows &rows, quint8 kind, qint64 arrivedMsecs, int session,
                     qint64 payload);
    // On the writer's thread.
    static void run(Shared &s);
    static bool writeEntry(Shared &s, const Entry &entry, Pending &out);
    static bool writeChunk(Shared &s, quint8 kind, qint64 arrivedMsecs, int session, const LineCapture::Rows &rows,
                           Pending &out);
    static bool writeOut(Shared &s, Pending &out);
    static void release(Shared &s, Entry &&entry);
    static void tellDrained(Shared &s);
    static void tellFailed(Shared &s, int error);

    std::shared_ptr<Shared> m_shared;
    std::unique_ptr<QThread> m_thread;
};

#endif
