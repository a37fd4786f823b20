#ifndef DRAVLIN_STARTTLSCLIENT_H
#define DRAVLIN_STARTTLSCLIENT_H

#include <QByteArray>
#include <QString>

// A mail client as a front end's tests need one: through the relay on port,
// it reads FakeServer's greeting, asks for STARTTLS, switches trusting only
// the CA in caFile, then says "EHLO client" and "QUIT" inside TLS and reads
// the answers. Returns "" when all of that happened, else what went wrong.
class StartTlsClient
{
public:
    static QString converse(quint16 port, const QString &caFile, QByteArray *heard);
};

#endif
