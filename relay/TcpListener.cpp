#include "TcpListener.h"

void TcpListener::incomingConnection(qintptr descriptor)
{
    Q_EMIT descriptorAccepted(descriptor);
}
