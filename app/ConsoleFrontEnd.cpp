#include "ConsoleFrontEnd.h"

#include "Transcript.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <sys/signalfd.h>
#include <unistd.h>

namespace {

sigset_t terminationSignals()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

} // namespace

void ConsoleFrontEnd::blockTerminationSignals()
{
    const sigset_t set = terminationSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void ConsoleFrontEnd::unblockTerminationSignals()
{
    const sigset_t set = terminationSignals();
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

ConsoleFrontEnd::ConsoleFrontEnd(QObject *parent)
    : QObject(parent)
{
    m_out.open(STDOUT_FILENO, QIODevice::WriteOnly | QIODevice::Unbuffered);
    connect(&m_relay, &Relay::rowsCaptured, this, &ConsoleFrontEnd::onRowsCaptured);
    connect(&m_relay, &Relay::eventOccurred, this, &ConsoleFrontEnd::onRelayEvent);

    const sigset_t set = terminationSignals();
    m_signalFd = signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
    if (m_signalFd >= 0) {
        m_signalNotifier = new QSocketNotifier(m_signalFd, QSocketNotifier::Read, this);
        connect(m_signalNotifier, &QSocketNotifier::activated, this,
                &ConsoleFrontEnd::onTerminationSignal);
    }
}

ConsoleFrontEnd::~ConsoleFrontEnd()
{
    delete m_signalNotifier;
    if (m_signalFd >= 0)
        ::close(m_signalFd);
}

int ConsoleFrontEnd::start(const QString &listenPortText, const QString &serverPortText,
                           const QString &serverHostText)
{
    const QString error = m_relay.start(listenPortText, serverPortText, serverHostText);
    if (!error.isEmpty()) {
        printEvent(error);
        return 2;
    }
    printEvent(QStringLiteral("relais vers %1:%2, écoute sur le port %3 dans %4 ms")
                   .arg(m_relay.settings().serverHost)
                   .arg(m_relay.settings().serverPort)
                   .arg(m_relay.settings().listenPort)
                   .arg(Relay::RearmIntervalMs));
    return -1;
}

void ConsoleFrontEnd::onRowsCaptured(Side side, const LineCapture::Rows &rows, qint64 arrivedMsecs)
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
}

void ConsoleFrontEnd::onRelayEvent(Relay::Event event, const QString &message)
{
    printEvent(message);
    if (event == Relay::Event::ListenFailed)
        QCoreApplication::exit(1);
}

void ConsoleFrontEnd::onTerminationSignal()
{
    signalfd_siginfo info;
    while (::read(m_signalFd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
    }
    m_relay.shutdown();
    printEvent(QStringLiteral("arrêt demandé, connexions fermées"));
    QCoreApplication::exit(0);
}

void ConsoleFrontEnd::printEvent(const QString &message)
{
    const QByteArray line = QStringLiteral("dravlin: %1\n").arg(message).toUtf8();
    std::fwrite(line.constData(), 1, static_cast<size_t>(line.size()), stderr);
    std::fflush(stderr);
}
