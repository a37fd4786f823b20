#include "TcpListener.h"

#include <QTimer>

#include <algorithm>

namespace {
// How long taking connections rests after the system refused to hand one over.
constexpr int AcceptRetryMs = 200;
} // namespace

TcpListener::~TcpListener() = default;

bool TcpListener::listenOn(quint16 port)
{
    stopListening();
    if (!listen(QHostAddress::Any, port))
        return false;
    // Qt's own watch would take every queued connection at once.
    pauseAccepting();
    m_waiting = std::make_unique<QSocketNotifier>(socketDescriptor(), QSocketNotifier::Read);
    connect(m_waiting.get(), &QSocketNotifier::activated, this, &TcpListener::takeNext);
    m_waiting->setEnabled(m_accepting);
    return true;
}

void TcpListener::stopListening()
{
    m_waiting.reset();
    close();
}

void TcpListener::setAccepting(bool accepting)
{
    m_accepting = accepting;
    if (m_waiting)
        m_waiting->setEnabled(accepting);
}

int TcpListener::waitingCount() const
{
    return isListening() ? std::max(0, StreamCalls::waitingConnections(int(socketDescriptor()))) : 0;
}

void TcpListener::takeNext()
{
    if (!m_waiting || !m_accepting)
        return;
    int fd = -1;
    StreamCalls::Failure why;
    switch (StreamCalls::acceptNext(int(socketDescriptor()), &fd, &why)) {
    case StreamCalls::Acceptance::Taken:
        // One per wake-up: the watch fires again while more wait, and the
        // receiver may have stopped accepting meanwhile.
        Q_EMIT descriptorAccepted(fd);
        return;
    case StreamCalls::Acceptance::NoneWaiting:
        return;
    case StreamCalls::Acceptance::Failed:
        break;
    }
    // The connection stays queued; watching it now would spin.
    m_waiting->setEnabled(false);
    QTimer::singleShot(AcceptRetryMs, this, [this] {
        if (m_waiting)
            m_waiting->setEnabled(m_accepting);
    });
    Q_EMIT acceptFailed(why);
}
