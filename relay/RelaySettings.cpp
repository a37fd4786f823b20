#include "RelaySettings.h"

#include <algorithm>

#include <QHostAddress>
#include <QHostInfo>
#include <QNetworkInterface>
#include <QUrl>

namespace {

bool isIPv6(const QString &text)
{
    QHostAddress address;
    return address.setAddress(text) && address.protocol() == QAbstractSocket::IPv6Protocol;
}

bool isLocalAddress(QHostAddress address)
{
    bool mapped = false;
    const quint32 v4 = address.toIPv4Address(&mapped);
    if (mapped)
        address = QHostAddress(v4); // ::ffff:127.0.0.1 is 127.0.0.1
    address.setScopeId(QString());
    if (address.isLoopback() || address == QHostAddress(QHostAddress::AnyIPv4)
        || address == QHostAddress(QHostAddress::AnyIPv6))
        return true;
    const QList<QHostAddress> own = QNetworkInterface::allAddresses();
    return std::any_of(own.begin(), own.end(), [&](QHostAddress mine) {
        mine.setScopeId(QString());
        return mine == address;
    });
}

} // namespace

bool RelaySettings::isThisMachine(const QString &host)
{
    QHostAddress address;
    if (address.setAddress(host))
        return isLocalAddress(address);
    // Every name under "localhost" is the loopback (RFC 6761); the machine's
    // own name is known without asking a resolver.
    const QString name = host.toLower().chopped(host.endsWith(QLatin1Char('.')) ? 1 : 0);
    return name == QLatin1String("localhost") || name.endsWith(QLatin1String(".localhost"))
        || name.compare(QHostInfo::localHostName(), Qt::CaseInsensitive) == 0;
}

bool RelaySettings::isHostSyntax(const QString &host)
{
    QHostAddress address;
    if (address.setAddress(host))
        return true;
    const QString name = host.endsWith(QLatin1Char('.')) ? host.chopped(1) : host;
    if (name.size() > 253)
        return false;
    for (const QString &label : name.split(QLatin1Char('.'))) {
        if (label.isEmpty())
            continue;
        const QByteArray ascii = QUrl::toAce(label);
        if (ascii.isEmpty() || ascii.size() > 63)
            return false;
        for (const char c : ascii) {
            const bool fits = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-'
                || c == '_';
            if (!fits)
                return false;
        }
    }
    return true;
}

bool RelaySettings::parsePort(const QString &text, quint16 *port)
{
    const QString digits = text.trimmed();
    if (digits.isEmpty())
        return false;
    for (const QChar c : digits) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
    }
    bool ok = false;
    const uint value = digits.toUInt(&ok);
    if (!ok || value < 1 || value > 65535)
        return false;
    *port = static_cast<quint16>(value);
    return true;
}

bool RelaySettings::parseClients(const QString &text, int *clients)
{
    const QString digits = text.trimmed();
    if (digits.isEmpty() || digits.size() > 2)
        return false;
    for (const QChar c : digits) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
    }
    const int value = digits.toInt();
    if (value < 1 || value > MaxClients)
        return false;
    *clients = value;
    return true;
}

std::optional<RelaySettings::Error> RelaySettings::parse(const QString &listenPortText,
                                                         const QString &serverPortText,
                                                         const QString &serverHostText,
                                                         RelaySettings *settings, PortZero portZero)
{
    using Field = Error::Field;
    using Problem = Error::Problem;
    RelaySettings parsed;
    const QString listenDigits = listenPortText.trimmed();
    const bool systemPicks = portZero == PortZero::SystemPicks && !listenDigits.isEmpty()
        && listenDigits.count(QLatin1Char('0')) == listenDigits.size();
    if (!systemPicks && !parsePort(listenPortText, &parsed.listenPort))
        return Error{Field::ListenPort, Problem::NotAPort, listenPortText};
    if (!parsePort(serverPortText, &parsed.serverPort))
        return Error{Field::ServerPort, Problem::NotAPort, serverPortText};
    QString host = serverHostText.trimmed();
    if (host.isEmpty())
        return Error{Field::ServerHost, Problem::EmptyHost, serverHostText};
    if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']')) && isIPv6(host.mid(1, host.size() - 2)))
        host = host.mid(1, host.size() - 2);
    // "host:25:26" or "[::1]:25" typed as a host: the port would silently be
    // taken for part of a name and the lookup would fail later, far from the cause.
    if (host.contains(QLatin1Char(':')) && !isIPv6(host))
        return Error{Field::ServerHost, Problem::HostWithColon, serverHostText};
    if (!isHostSyntax(host))
        return Error{Field::ServerHost, Problem::NotAHost, serverHostText};
    // The relay listens on every address: forwarding to one of them on the
    // port listened on would hand each client back to the relay, session
    // after session, until Stop.
    if (parsed.listenPort != 0 && parsed.serverPort == parsed.listenPort && isThisMachine(host))
        return Error{Field::ServerHost, Problem::SelfRelay, serverHostText, parsed.listenPort};
    parsed.serverHost = host;
    *settings = parsed;
    return std::nullopt;
}
