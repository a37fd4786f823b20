#include "SessionMarks.h"

#include "Transcript.h"

QString SessionMarks::text(const RelayEvent &event)
{
    switch (event.kind) {
    case RelayEvent::Kind::ClientConnected:
        return Transcript::sessionBeginText(event.time, event.client, event.server);
    case RelayEvent::Kind::SessionEnded:
        return Transcript::sessionEndText(event.time, endText(event.end, event.side), event.bytesClientToServer,
                                          event.bytesServerToClient, event.durationMs);
    default:
        return QString();
    }
}

QString SessionMarks::endText(RelayEvent::End end, Side side)
{
    const QString who = side == Side::Client ? QStringLiteral("client") : QStringLiteral("serveur");
    switch (end) {
    case RelayEvent::End::ClosedByClient:
        return QStringLiteral("ferm\u00e9e par le client");
    case RelayEvent::End::ClosedByServer:
        return QStringLiteral("ferm\u00e9e par le serveur");
    case RelayEvent::End::ResetByClient:
        return QStringLiteral("r\u00e9initialis\u00e9e par le client");
    case RelayEvent::End::ResetByServer:
        return QStringLiteral("r\u00e9initialis\u00e9e par le serveur");
    case RelayEvent::End::ServerUnreachable:
        return QStringLiteral("serveur injoignable");
    case RelayEvent::End::SilenceAfterHalfClose:
        return QStringLiteral("%1 muet apr\u00e8s la fermeture de l\u2019autre c\u00f4t\u00e9").arg(who);
    case RelayEvent::End::DeliveryStalled:
        return QStringLiteral("le %1 ne lisait plus").arg(who);
    case RelayEvent::End::Stopped:
    case RelayEvent::End::None:
        break;
    }
    return QStringLiteral("relais arr\u00eat\u00e9");
}
