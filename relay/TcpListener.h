#ifndef DRAVLIN_TCPLISTENER_H
#define DRAVLIN_TCPLISTENER_H

#include "StreamCalls.h"

#include <QSocketNotifier>
#include <QTcpServer>

#include <memory>

// Qt binds and listens (and words what goes wrong there); the connections
// themselves are taken here, one at a time and only while wanted, and handed
// over as the system's descriptor to be driven without QTcpSocket.
//
// QTcpServer takes every connection the system has queued in one go, and
// only then lets its owner decline them. While setAccepting(false) holds,
// nothing is taken at all: clients wait in the system's queue, connected but
// unread, and are served in the order they came once accepting resumes.
class TcpListener : public QTcpServer
{
    Q_OBJECT

public:
    using QTcpServer::QTcpServer;
    ~TcpListener() override;

    bool listenOn(quint16 port);
    void stopListening();
    void setAccepting(bool accepting);
    // Clients connected and waiting in the system's queue to be taken.
    int waitingCount() const;

Q_SIGNALS:
    // The receiver owns the descriptor and must close it.
    void descriptorAccepted(qintptr descriptor);
    // The system would not hand a waiting connection over; taking resumes
    // after a pause, the cause (too many open files…) being likely to pass.
    void acceptFailed(const StreamCalls::Failure &why);

private:
    void takeNext();

    std::unique_ptr<QSocketNotifier> m_waiting;
    bool m_accepting = true;
};

#endif
