#include "ConsoleFrontEnd.h"

#include "EventText.h"

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
    // Kept tails become rows here, while the writer can still take them.
    m_relay.shutdown();
    m_writer.finish();
    delete m_signalNotifier;
    if (m_signalFd >= 0)
        ::close(m_signalFd);
}

int ConsoleFrontEnd::start(const QString &listenPortText, const QString &serverPortText,
                           const QString &serverHostText)
{
    if (const auto error = m_relay.start(listenPortText, serverPortText, serverHostText)) {
        printEvent(EventText::settingsError(*error, EventText::Naming::ConsoleOptions));
        return 2;
    }
    printEvent(QStringLiteral("relais vers %1, écoute sur le port %2 dans %3 ms")
                   .arg(RelayEvent::hostPort(m_relay.settings().serverHost, m_relay.settings().serverPort))
                   .arg(m_relay.settings().listenPort)
                   .arg(Relay::RearmIntervalMs));
    return -1;
}

void ConsoleFrontEnd::onRowsCaptured(Side side, const LineCapture::Rows &rows, qint64 arrivedMsecs)
{
    m_writer.write(side, rows, arrivedMsecs);
}

void ConsoleFrontEnd::onRelayEvent(const RelayEvent &event)
{
    printEvent(EventText::describe(event));
    if (event.kind == RelayEvent::Kind::ListenFailed)
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
