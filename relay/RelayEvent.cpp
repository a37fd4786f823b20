#include "RelayEvent.h"

QString RelayEvent::hostPort(const QString &host, quint16 port)
{
    // A colon in a host can only be an IPv6 literal; the brackets keep its
    // last group apart from the port.
    if (host.contains(QLatin1Char(':')))
        return QStringLiteral("[%1]:%2").arg(host).arg(port);
    return QStringLiteral("%1:%2").arg(host).arg(port);
}

QString RelayEvent::endpoint(const QHostAddress &address, quint16 port)
{
    bool isV4 = false;
    const quint32 v4 = address.toIPv4Address(&isV4);
    return hostPort(isV4 ? QHostAddress(v4).toString() : address.toString(), port);
}
