#include "EndpointText.h"

QString EndpointText::text(const Endpoint &endpoint)
{
    if (endpoint.port == 0 && endpoint.address.isNull())
        return endpoint.name;
    return hostPort(endpoint.name.isEmpty() ? plain(endpoint.address).toString() : endpoint.name, endpoint.port);
}

QString EndpointText::hostPort(const QString &host, quint16 port)
{
    // A colon in a host can only be an IPv6 literal; the brackets keep its
    // last group apart from the port.
    if (host.contains(QLatin1Char(':')))
        return QStringLiteral("[%1]:%2").arg(host).arg(port);
    return QStringLiteral("%1:%2").arg(host).arg(port);
}

QHostAddress EndpointText::plain(const QHostAddress &address)
{
    bool isV4 = false;
    const quint32 v4 = address.toIPv4Address(&isV4);
    return isV4 ? QHostAddress(v4) : address;
}

Endpoint EndpointText::read(const QString &text)
{
    const qsizetype colon = text.lastIndexOf(QLatin1Char(':'));
    bool ok = false;
    const uint number = colon > 0 ? QStringView(text).mid(colon + 1).toUInt(&ok) : 0;
    if (!ok || number > 65535)
        return {QHostAddress(), 0, text};
    QString host = text.left(colon);
    if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']')))
        host = host.mid(1, host.size() - 2);
    const QHostAddress address(host);
    return {address, static_cast<quint16>(number), address.isNull() ? host : QString()};
}
