#ifndef DRAVLIN_TCPLISTENER_H
#define DRAVLIN_TCPLISTENER_H

#include <QTcpServer>

// A QTcpServer that hands over each accepted connection as the system's
// descriptor, so that the connection can be driven without QTcpSocket.
class TcpListener : public QTcpServer
{
    Q_OBJECT

public:
    using QTcpServer::QTcpServer;

Q_SIGNALS:
    // The receiver owns the descriptor and must close it.
    void descriptorAccepted(qintptr descriptor);

protected:
    void incomingConnection(qintptr descriptor) override;
};

#endif
