#include "SessionMarks.h"

#include "EventText.h"
#include "ReasonText.h"
#include "RowText.h"
#include "Transcript.h"

#include <QRegularExpression>

namespace {

// "HH:MM:SS.mmm · " opens every session mark.
QString markClock() { return QStringLiteral("^\\d\\d:\\d\\d:\\d\\d\\.\\d\\d\\d \u00b7 "); }
QString separator() { return QStringLiteral(" \u00b7 "); }
QString tlsPrefix() { return QStringLiteral("TLS "); }

QString tlsText(const RelayEvent &event)
{
    const TlsSummary &tls = event.tls;
    QStringList parts{tlsPrefix() + (event.side == Side::Client ? QStringLiteral("client") : QStringLiteral("serveur")),
                      tls.protocol, tls.cipher, EventText::upgradeName(event.upgrade)};
    if (event.side == Side::Client) {
        if (!tls.serverName.isEmpty())
            parts.append(QStringLiteral("nom demandé %1").arg(tls.serverName));
        parts.append(QStringLiteral("certificat de l'autorité de Dravlin"));
        return parts.join(separator());
    }
    parts.append(QStringLiteral("sujet %1").arg(tls.peerSubject));
    parts.append(tls.peerVerified ? QStringLiteral("certificat vérifié")
                                  : QStringLiteral("certificat NON vérifié (%1)")
                                        .arg(ReasonText::certificate(tls.verifyResult, tls.verifyError)));
    parts.append(QStringLiteral("SHA-256 %1").arg(tls.peerFingerprint));
    parts.append(QStringLiteral("émetteur %1").arg(tls.peerIssuer));
    if (!tls.serverName.isEmpty())
        parts.append(QStringLiteral("nom demandé %1").arg(tls.serverName));
    return parts.join(separator());
}

} // namespace

QString SessionMarks::text(const RelayEvent &event)
{
    switch (event.kind) {
    case RelayEvent::Kind::ClientConnected:
        return Transcript::sessionBeginText(event.time, event.client, event.server);
    case RelayEvent::Kind::SessionEnded:
        return Transcript::sessionEndText(event.time, EventText::sessionEnd(event.end, event.side), event.bytesClientToServer,
                                          event.bytesServerToClient, event.durationMs);
    case RelayEvent::Kind::TlsEstablished:
        return tlsText(event);
    case RelayEvent::Kind::PlaintextDropped:
        return QStringLiteral("en clair ignoré · %1 · %2 o après %3, jamais transmis")
            .arg(event.side == Side::Client ? QStringLiteral("client") : QStringLiteral("serveur"),
                 Transcript::countText(event.dropped), EventText::upgradeName(event.upgrade));
    default:
        return QString();
    }
}

QString SessionMarks::shown(const QString &text)
{
    return RowText::escaped(text);
}

QString SessionMarks::tooltip(const QString &text)
{
    QString lines = shown(text);
    if (!text.startsWith(tlsPrefix()))
        return lines;
    return lines.replace(separator(), QStringLiteral("\n"));
}

bool SessionMarks::readBegin(const QString &text, QString *client, QString *server)
{
    static const QRegularExpression begin(markClock() + QStringLiteral("client (\\S+) \u2192 (\\S+)$"));
    const QRegularExpressionMatch match = begin.match(text);
    if (!match.hasMatch())
        return false;
    *client = match.captured(1);
    *server = match.captured(2);
    return true;
}

bool SessionMarks::readEnd(const QString &text, RelayEvent::End *end)
{
    static const QRegularExpression ending(markClock() + QStringLiteral("(.+) \u00b7 client \u2192 serveur "));
    const QRegularExpressionMatch match = ending.match(text);
    if (!match.hasMatch())
        return false;
    const QString how = match.captured(1);
    using End = RelayEvent::End;
    for (End candidate : {End::ClosedByClient, End::ClosedByServer, End::ResetByClient, End::ResetByServer,
                          End::ServerUnreachable, End::SilenceAfterHalfClose, End::DeliveryStalled, End::TlsFailed,
                          End::Stopped, End::ClosedByClientAfterDialogue}) {
        for (Side side : {Side::Client, Side::Server}) {
            if (how == EventText::sessionEnd(candidate, side)) {
                *end = candidate;
                return true;
            }
        }
    }
    *end = End::Stopped;
    return true;
}

bool SessionMarks::splitEndpoint(const QString &text, QString *host, quint16 *port)
{
    const qsizetype colon = text.lastIndexOf(QLatin1Char(':'));
    if (colon <= 0)
        return false;
    bool ok = false;
    const uint number = QStringView(text).mid(colon + 1).toUInt(&ok);
    if (!ok || number > 65535)
        return false;
    *host = text.left(colon);
    if (host->startsWith(QLatin1Char('[')) && host->endsWith(QLatin1Char(']')))
        *host = host->mid(1, host->size() - 2);
    *port = static_cast<quint16>(number);
    return true;
}
