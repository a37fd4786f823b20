#include "ReplayFrontEnd.h"

#include "CommandLine.h"
#include "EndpointText.h"
#include "RelayEvent.h"
#include "ReplaySession.h"
#include "ReplayText.h"
#include "StandardStreams.h"
#include "TranscriptReader.h"

#include <QCoreApplication>

ReplayFrontEnd::ReplayFrontEnd(bool stdoutClosedAtStart, QObject *parent)
    : QObject(parent)
    , m_log(StandardStreams::Error)
    , m_writer(StandardStreams::Output, stdoutClosedAtStart)
{
    connect(&m_writer, &TranscriptWriter::failed, this, [this](const QString &reason) {
        m_log.print(tr("écriture impossible sur la sortie standard : %1 ; arrêt").arg(reason));
        if (m_session)
            m_session->stop();
    });
    connect(&m_signals, &TerminationSignals::requested, this, [this] {
        m_log.print(tr("arrêt demandé"));
        if (m_session)
            m_session->stop();
    });
}

ReplayFrontEnd::~ReplayFrontEnd()
{
    m_session.reset();
    m_writer.finish(QDeadlineTimer(2000));
    m_log.flush(QDeadlineTimer(2000));
}

int ReplayFrontEnd::start(const CommandLine &options)
{
    m_writer.setTimestamps(options.timestamps);
    TranscriptReader reader;
    if (!reader.readFile(options.replayPath)) {
        m_log.print(ReplayText::unreadable(options.replayPath, reader.errorString()));
        return 2;
    }
    if (!m_script.load(reader, options.replaySession)) {
        m_log.print(ReplayText::problem(m_script.problem(), options.replayPath));
        return 2;
    }
    ReplaySession::Target target;
    QString error;
    if (!options.replayServer(&target.host, &target.port, &error)) {
        m_log.print(error);
        return 2;
    }
    // Without a port, the one the session was recorded against, else SMTP's.
    if (target.port == 0)
        target.port = m_script.recordedPort() != 0 ? m_script.recordedPort() : 25;
    target.insecure = options.tls.tlsInsecure;
    target.timeoutMs = options.replayTimeoutSeconds * 1000;
    m_server = EndpointText::hostPort(target.host, target.port);
    m_session = std::make_unique<ReplaySession>(m_script, target);
    connect(m_session.get(), &ReplaySession::rows, this,
            [this](Side side, const LineCapture::Rows &rows, qint64 msecs) { m_writer.write(side, rows, msecs); });
    connect(m_session.get(), &ReplaySession::markOccurred, this, &ReplayFrontEnd::onMark);
    connect(m_session.get(), &ReplaySession::notice, this, &ReplayFrontEnd::onNotice);
    // Queued: the session may end before the application's loop runs.
    connect(m_session.get(), &ReplaySession::finished, this, &ReplayFrontEnd::onFinished, Qt::QueuedConnection);
    m_session->start();
    return -1;
}

void ReplayFrontEnd::onMark(const RelayEvent &event)
{
    RelayEvent named = event;
    named.client = Endpoint{{}, 0, ReplayText::clientName()};
    m_writer.writeMark(named);
}

void ReplayFrontEnd::onNotice(const ReplayNotice &notice)
{
    m_log.print(ReplayText::notice(notice, m_server));
}

void ReplayFrontEnd::onFinished()
{
    if (m_ended)
        return;
    m_ended = true;
    const qint64 lost = m_writer.finish(QDeadlineTimer(2000));
    if (lost > 0)
        m_log.print(lost == 1 ? tr("1 ligne non écrite sur la sortie standard")
                              : tr("%1 lignes non écrites sur la sortie standard").arg(lost));
    m_log.print(ReplayText::summary(m_session->answers(), m_session->differences()));
    const bool clean = m_session->isComplete() && m_session->differences() == 0 && lost == 0;
    m_log.flush(QDeadlineTimer(1000));
    QCoreApplication::exit(clean ? 0 : 1);
}
