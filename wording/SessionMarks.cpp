#include "SessionMarks.h"
#include "FigureText.h"

#include "EndpointText.h"
#include "EventText.h"
#include "ReasonText.h"
#include "RowText.h"


namespace {

QString separator() { return QStringLiteral(" \u00b7 "); }
QString tlsPrefix() { return QStringLiteral("TLS "); }

QString tlsText(const RelayEvent &event)
{
    const TlsSummary &tls = event.tls;
    QStringList parts{tlsPrefix() + (event.side == Side::Client ? QCoreApplication::translate("SessionMarks", "client") : QCoreApplication::translate("SessionMarks", "serveur")),
                      tls.protocol, tls.cipher, EventText::upgradeName(event.upgrade)};
    if (event.side == Side::Client) {
        if (!tls.serverName.isEmpty())
            parts.append(QCoreApplication::translate("SessionMarks", "nom demandé %1").arg(tls.serverName));
        parts.append(QCoreApplication::translate("SessionMarks", "certificat de l'autorité de Dravlin"));
        return parts.join(separator());
    }
    parts.append(QCoreApplication::translate("SessionMarks", "sujet %1").arg(tls.peerSubject));
    parts.append(tls.peerVerified ? QCoreApplication::translate("SessionMarks", "certificat vérifié")
                                  : QCoreApplication::translate("SessionMarks", "certificat NON vérifié (%1)")
                                        .arg(ReasonText::certificate(tls.verifyName, tls.verifyResult, tls.verifyError)));
    parts.append(QStringLiteral("SHA-256 %1").arg(tls.peerFingerprint));
    parts.append(QCoreApplication::translate("SessionMarks", "émetteur %1").arg(tls.peerIssuer));
    if (!tls.serverName.isEmpty())
        parts.append(QCoreApplication::translate("SessionMarks", "nom demandé %1").arg(tls.serverName));
    return parts.join(separator());
}

} // namespace

QString SessionMarks::text(const RelayEvent &event)
{
    switch (event.kind) {
    case RelayEvent::Kind::ClientConnected:
        return SessionMarks::beginText(event.time, EndpointText::text(event.client),
                                            EndpointText::text(event.server));
    case RelayEvent::Kind::SessionEnded:
        return SessionMarks::endText(event.time, EventText::sessionEnd(event.end, event.side), event.bytesClientToServer,
                                          event.bytesServerToClient, event.durationMs);
    case RelayEvent::Kind::TlsEstablished:
        return tlsText(event);
    case RelayEvent::Kind::PlaintextDropped:
        return tr("en clair ignoré · %1 · %2 o après %3, jamais transmis")
            .arg(event.side == Side::Client ? QStringLiteral("client") : QStringLiteral("serveur"),
                 FigureText::count(event.dropped), EventText::upgradeName(event.upgrade));
    default:
        return QString();
    }
}

bool SessionMarks::isFailure(const SessionMark &mark)
{
    return mark.event.kind == RelayEvent::Kind::SessionEnded && endsInFailure(mark.event.end);
}

QString SessionMarks::shown(const QString &text)
{
    return RowText::escaped(text);
}

QString SessionMarks::text(const SessionMark &mark)
{
    return mark.wordsRead.isEmpty() ? text(mark.event) : QString::fromUtf8(mark.wordsRead);
}

QByteArray SessionMarks::utf8(const SessionMark &mark)
{
    return mark.wordsRead.isEmpty() ? text(mark.event).toUtf8() : mark.wordsRead;
}

QString SessionMarks::tooltip(const SessionMark &mark, const QString &text)
{
    QString lines = shown(text);
    if (mark.event.kind == RelayEvent::Kind::TlsEstablished)
        lines.replace(separator(), QStringLiteral("\n"));
    // A tooltip is one line as wide as its text: a long mark's would run off
    // the screen. Lines are broken at a space near TooltipColumns, and after
    // TooltipLines the rest is left to "Détails…".
    QStringList wrapped;
    for (QString line : lines.split(QLatin1Char('\n'))) {
        while (line.size() > TooltipColumns && wrapped.size() < TooltipLines) {
            qsizetype cut = line.lastIndexOf(QLatin1Char(' '), TooltipColumns);
            if (cut < TooltipColumns / 2)
                cut = TooltipColumns;
            wrapped.append(line.left(cut));
            line = line.mid(cut).trimmed();
        }
        if (wrapped.size() >= TooltipLines) {
            wrapped.last().append(QChar(0x2026));
            break;
        }
        wrapped.append(line);
    }
    return wrapped.join(QLatin1Char('\n'));
}

bool SessionMarks::endsInFailure(RelayEvent::End end)
{
    using End = RelayEvent::End;
    switch (end) {
    case End::ResetByClient:
    case End::ResetByServer:
    case End::ServerUnreachable:
    case End::SilenceAfterHalfClose: // a side that never answered: the dialogue did not end
    case End::DeliveryStalled:
    case End::TlsFailed:
        return true;
    default:
        return false;
    }
}

QString SessionMarks::beginText(qint64 msecs, const QString &client, const QString &server)
{
    //: Files keep what a mark tells in a tag before these words: any wording reads back.
    return tr("%1 · client %2 → %3").arg(FigureText::clockTime(msecs), client, server);
}

QString SessionMarks::endText(qint64 msecs, const QString &how, qint64 clientBytes,
                                   qint64 serverBytes, qint64 durationMsecs)
{
    //: Files keep what a mark tells in a tag before these words: any wording reads back.
    return tr("%1 · %2 · client → serveur %3 o · serveur → client %4 o"
              " · durée %5")
        .arg(FigureText::clockTime(msecs), how, FigureText::count(clientBytes), FigureText::count(serverBytes),
             FigureText::duration(durationMsecs));
}
