#ifndef DRAVLIN_SOCKETERRORTEXT_H
#define DRAVLIN_SOCKETERRORTEXT_H

#include <QAbstractSocket>
#include <QString>

// French wording of socket failures, as shown to the user.
class SocketErrorText
{
public:
    static QString forListen(QAbstractSocket::SocketError error, quint16 port);
    static QString forConnect(QAbstractSocket::SocketError error, const QString &qtText);
};

#endif
