#include "RelaySettings.h"

#include <QHostAddress>

namespace {

bool isIPv6(const QString &text)
{
    QHostAddress address;
    return address.setAddress(text) && address.protocol() == QAbstractSocket::IPv6Protocol;
}

} // namespace

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
    parsed.serverHost = host;
    *settings = parsed;
    return std::nullopt;
}
