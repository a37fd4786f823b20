#include "ConsoleFrontEnd.h"

#include "CaptureWriter.h"
#include "CommandLine.h"
#include "ConversationPcap.h"
#include "EndpointText.h"
#include "EventText.h"
#include "PcapWriter.h"
#include "ReasonText.h"
#include "RowText.h"
#include "OwnerOnlyFiles.h"
#include "SessionMarks.h"
#include "StandardStreams.h"
#include "Transcript.h"

#include <QCoreApplication>
#include <QTimer>

#include <cerrno>

ConsoleFrontEnd::ConsoleFrontEnd(bool stdoutClosedAtStart, QObject *parent)
    : QObject(parent)
    , m_log(StandardStreams::Error)
    , m_writer(StandardStreams::Output, stdoutClosedAtStart)
{
    connect(&m_monitor, &Monitor::rowsCaptured, this, &ConsoleFrontEnd::onRowsCaptured);
    connect(&m_monitor, &Monitor::chunkRelayed, this, &ConsoleFrontEnd::onChunkRelayed);
    connect(&m_monitor, &Monitor::eventOccurred, this, &ConsoleFrontEnd::onRelayEvent);
    connect(&m_monitor, &Monitor::finished, this, &ConsoleFrontEnd::onRelayFinished);
    connect(&m_writer, &TranscriptWriter::failed, this, &ConsoleFrontEnd::onOutputFailed);
    connect(&m_writer, &TranscriptWriter::budgetFull, this, &ConsoleFrontEnd::onOutputFull);
    connect(&m_writer, &TranscriptWriter::budgetDrained, this, &ConsoleFrontEnd::onOutputDrained);

    m_holdNotice.setSingleShot(true);
    m_holdNotice.setInterval(HoldNoticeMs);
    connect(&m_holdNotice, &QTimer::timeout, this, &ConsoleFrontEnd::onReadingHeldLong);

    connect(&m_signals, &TerminationSignals::requested, this, &ConsoleFrontEnd::onTerminationSignal);
    if (m_signals.failure() != 0)
        m_log.print(tr("SIGINT et SIGTERM non surveillés (%1) : ils arrêteront le relais sur-le-champ, "
                       "sans livrer ni compter ce qui reste")
                        .arg(ReasonText::system(m_signals.failure())));
}

ConsoleFrontEnd::~ConsoleFrontEnd()
{
    // Kept tails become rows here, while the writer can still take them.
    m_monitor.shutdown();
    m_writer.finish(QDeadlineTimer(EndingMs));
    m_log.flush(QDeadlineTimer(EndingMs));
}

int ConsoleFrontEnd::start(const CommandLine &options)
{
    m_writer.setTimestamps(options.timestamps);
    RelaySettings settings;
    QString error;
    if (!options.consoleSettings(&settings, &error)) {
        m_log.print(error);
        return 2;
    }
    if (!options.pcapPath.isEmpty()) {
        // A decrypted session holds passwords: the capture is for its owner only,
        // from its creation, and an older file of that name is narrowed too. A
        // link there is refused: it could lead to any file of the user's.
        int error = 0;
        if (!OwnerOnlyFiles::openForWriting(&m_pcapFile, options.pcapPath, &error)) {
            const QString why = error == ELOOP ? tr("c'est un lien symbolique, qui n'est jamais suivi")
                                               : ReasonText::system(error);
            m_log.print(tr("--pcap : impossible d'écrire « %1 » : %2").arg(RowText::escaped(options.pcapPath), why));
            return 1;
        }
        // Written off the event loop: a capture's reader that stops holds the
        // peers (as an unread stdout does), never the relay nor its end.
        m_captureOut = std::make_unique<CaptureWriter>(int(m_pcapFile.handle()));
        connect(m_captureOut.get(), &CaptureWriter::budgetFull, this, &ConsoleFrontEnd::holdReadingWhileFull);
        connect(m_captureOut.get(), &CaptureWriter::budgetDrained, this, &ConsoleFrontEnd::holdReadingWhileFull);
        connect(m_captureOut.get(), &CaptureWriter::failed, this, &ConsoleFrontEnd::onCaptureFailed);
        m_pcap = std::make_unique<PcapWriter>(m_captureOut.get());
        checkCapture();
        if (!m_pcap)
            return 1;
        m_captureOut->start();
    }
    m_monitor.start(settings);
    // The CA or the trusted certificates could not be had: the event said why.
    if (!m_monitor.isArmed())
        return 1;
    const QString starting = tr("relais vers %1 depuis %2, écoute dans %3 ms")
                                 .arg(EndpointText::hostPort(settings.serverHost, settings.serverPort),
                                      settings.listenPort == 0 ? tr("un port choisi par le système")
                                                               : tr("le port %1").arg(settings.listenPort))
                                 .arg(Monitor::RearmIntervalMs);
    m_log.print(settings.maxClients == 1 ? starting
                                         : tr("%1, jusqu'à %2 clients à la fois").arg(starting).arg(settings.maxClients));
    return -1;
}

void ConsoleFrontEnd::onRowsCaptured(const Chunk &chunk)
{
    m_writer.write(chunk.side, chunk.rows, chunk.arrivedMsecs, chunk.session);
}

void ConsoleFrontEnd::onChunkRelayed(const Chunk &chunk)
{
    if (m_pcap) {
        m_pcap->data(chunk.side, chunk.bytes, chunk.arrivedMsecs, chunk.session);
        checkCapture();
    }
}

void ConsoleFrontEnd::checkCapture()
{
    // The relay goes on: the transcript on stdout is still whole.
    if (m_pcap->isOk())
        return;
    m_log.print(tr("%1 ; la capture s'arrête là").arg(m_pcap->errorString()));
    m_pcap.reset();
    m_status = 1;
}

void ConsoleFrontEnd::onCaptureFailed(const QString &reason)
{
    if (!m_pcap)
        return;
    m_log.print(tr("Impossible d’écrire la capture\u00a0: %1 ; la capture s'arrête là").arg(reason));
    m_pcap.reset();
    m_status = 1;
    // Whatever the capture held back is no reason to hold the peers any more.
    holdReadingWhileFull();
}

bool ConsoleFrontEnd::captureFull() const
{
    return m_pcap && m_captureOut && m_captureOut->isFull();
}

void ConsoleFrontEnd::onRelayEvent(const RelayEvent &event)
{
    if (event.kind == RelayEvent::Kind::Listening) {
        // A fixed form: scripts (and tests) read the port from it, which
        // --listen 0 leaves to the system.
        //: Scripts read the port from this line: keep it word for word.
        m_log.print(tr("écoute sur le port %1").arg(event.listenPort));
        return;
    }
    // Bytes read and never delivered make the run a failure, whatever ends it.
    if (event.kind == RelayEvent::Kind::Undelivered)
        m_status = qMax(m_status, 1);
    if (event.kind == RelayEvent::Kind::ClientsWaiting) {
        // Told when clients start to wait and when none is left, not at every change.
        const bool waiting = event.count > 0;
        if (waiting == m_toldWaiting)
            return;
        m_toldWaiting = waiting;
    }
    m_writer.writeMark(event);
    // Each session its own stream, between its own client and the server.
    if (m_pcap && event.kind == RelayEvent::Kind::ClientConnected)
        ConversationPcap::beginSession(*m_pcap, event.client, event.server, event.time, event.session, true);
    else if (m_pcap && event.kind == RelayEvent::Kind::ServerConnected)
        ConversationPcap::serverFound(*m_pcap, event.server, event.session);
    else if (m_pcap && event.kind == RelayEvent::Kind::SessionEnded)
        ConversationPcap::endSession(*m_pcap, event.end, event.side, event.time, event.session);
    if (m_pcap)
        checkCapture();
    // An event of a numbered session reads "dravlin: #3 …", as its lines on stdout.
    m_log.print(QString::fromLatin1(Transcript::sessionPrefix(event.session)) + EventText::describe(event));
    if (event.kind == RelayEvent::Kind::ListenFailed)
        end(1);
}

void ConsoleFrontEnd::onTerminationSignal()
{
    if (m_ending)
        return;
    m_log.print(tr("arrêt demandé"));
    end(0);
}

void ConsoleFrontEnd::onOutputFailed(const QString &reason)
{
    m_log.print(tr("écriture impossible sur la sortie standard : %1 ; arrêt").arg(reason));
    end(1);
}

void ConsoleFrontEnd::onOutputFull()
{
    holdReadingWhileFull();
}

void ConsoleFrontEnd::onOutputDrained()
{
    holdReadingWhileFull();
}

void ConsoleFrontEnd::holdReadingWhileFull()
{
    // Both notices are read against the writer's state now: a drained notice
    // may arrive after the budget has filled up again.
    const bool full = m_writer.isFull() || captureFull();
    if (full == m_readingHeld || m_ending)
        return;
    m_readingHeld = full;
    m_monitor.holdReading(full);
    // A file written a little slower than the network fills the budget now and
    // then; only a hold that lasts (a paused terminal, a reader gone idle) is told.
    if (full) {
        m_holdNotice.start();
    } else if (m_holdNotice.isActive()) {
        m_holdNotice.stop();
    } else if (m_heldByCapture) {
        m_log.print(tr("capture de nouveau écrite : lecture des connexions reprise"));
    } else {
        m_log.print(tr("sortie standard de nouveau lue : lecture des connexions reprise"));
    }
}

void ConsoleFrontEnd::onReadingHeldLong()
{
    constexpr qint64 MiB = qint64{1} << 20;
    m_heldByCapture = !m_writer.isFull();
    if (m_heldByCapture)
        m_log.print(tr("capture (--pcap) saturée, son lecteur ne lit plus (%1 Mio en attente) : lecture des "
                       "connexions suspendue")
                        .arg(CaptureWriter::BudgetBytes / MiB));
    else
        m_log.print(tr("sortie standard saturée (%1 Mio en attente) : lecture des connexions suspendue")
                        .arg(TranscriptWriter::BudgetBytes / MiB));
}

void ConsoleFrontEnd::end(int status)
{
    m_status = qMax(m_status, status);
    if (m_ending)
        return;
    m_ending = true;
    m_holdNotice.stop();
    m_endBy = QDeadlineTimer(EndingMs);
    // Should the relay never answer, the process still ends, a little late.
    QTimer::singleShot(EndingMs + FinishedLateMs, this, [this] { onRelayFinished(0, 0); });
    m_monitor.finish(EndingMs);
}

void ConsoleFrontEnd::onRelayFinished(qint64 undeliveredToClient, qint64 undeliveredToServer)
{
    if (m_ended)
        return;
    m_ended = true;
    // The relay has already told what it could not deliver, as events.
    Q_UNUSED(undeliveredToClient)
    Q_UNUSED(undeliveredToServer)
    // The writer gets what is left of the time, and a moment at least to write what
    // the connections' last bytes became.
    const qint64 lost = m_writer.finish(QDeadlineTimer(qMax<qint64>(m_endBy.remainingTime(), LastWritesMs)));
    // A write that failed just now has queued its reason: told before the count.
    QCoreApplication::sendPostedEvents(this, QEvent::MetaCall);
    if (lost > 0) {
        m_log.print(lost == 1 ? tr("1 ligne non écrite sur la sortie standard")
                              : tr("%1 lignes non écrites sur la sortie standard").arg(lost));
        m_status = 1;
    }
    // The capture gets the same time, the relay's last chunks included.
    const qint64 captureLost = m_captureOut ? m_captureOut->finish(QDeadlineTimer(qMax<qint64>(m_endBy.remainingTime(), LastWritesMs))) : 0;
    QCoreApplication::sendPostedEvents(this, QEvent::MetaCall);
    if (captureLost > 0 && m_pcap) {
        m_log.print(tr("%1 de la capture non écrits : elle s'arrête avant la fin").arg(EventText::bytes(captureLost)));
        m_status = 1;
    }
    m_log.print(tr("connexions fermées"));
    m_log.flush(QDeadlineTimer(LastLogMs));
    QCoreApplication::exit(m_status);
}
