#ifndef DRAVLIN_CAPTUREWRITER_H
#define DRAVLIN_CAPTUREWRITER_H

#include <QByteArray>
#include <QDeadlineTimer>
#include <QIODevice>
#include <QThread>

#include <memory>

// Writes the --pcap capture on a thread of its own, as the transcript is
// written: a capture whose reader stops (a FIFO nobody reads) must hold
// neither the relay nor its end. PcapWriter writes here as to any device.
// What waits has a budget; past it budgetFull() asks the owner to stop
// reading the peers, and budgetDrained() says when half of it is free again.
class CaptureWriter : public QIODevice
{
    Q_OBJECT

public:
    static constexpr qint64 BudgetBytes = qint64{16} * 1024 * 1024;
    static constexpr qint64 ResumeBytes = BudgetBytes / 2;

    // fd stays the caller's: it is neither closed nor owned here.
    explicit CaptureWriter(int fd, QObject *parent = nullptr);
    ~CaptureWriter() override;

    bool isSequential() const override { return true; }
    // Until start(), writes go out at once on the caller's thread, so that a
    // file that cannot take the capture's header is known before the relay
    // starts; from then on, from the writer's thread.
    void start();
    // Takes nothing more and waits until everything handed over is written
    // or the deadline has passed, when a write still blocked is interrupted.
    // Returns how many bytes were not written.
    qint64 finish(QDeadlineTimer deadline);
    // Over the budget and not yet back under ResumeBytes.
    bool isFull() const;

Q_SIGNALS:
    // Emitted by a write, on the caller's thread.
    void budgetFull();
    // From the writer's thread: arrives queued, when the budget may be full again.
    void budgetDrained();
    // Once, with the system's reason in French; nothing more is written.
    void failed(const QString &reason);

protected:
    qint64 readData(char *, qint64) override { return -1; }
    qint64 writeData(const char *data, qint64 size) override;

private:
    // What the writer's thread uses, held by that thread too: a write blocked
    // for good may return after this object is gone, and then touches only this.
    struct Shared;
    static void run(const std::shared_ptr<Shared> &shared);
    static QString reasonFor(int systemError);

    std::shared_ptr<Shared> m_shared;
    std::unique_ptr<QThread> m_thread;
};

#endif
