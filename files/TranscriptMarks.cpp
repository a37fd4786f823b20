#include "TranscriptMarks.h"

#include "EndpointText.h"
#include "EventText.h"
#include "MarkTag.h"
#include "SessionMarks.h"
#include "Transcript.h"

#include <QLocale>
#include <QRegularExpression>
#include <QTime>

namespace {

using Kind = RelayEvent::Kind;
using Upgrade = RelayEvent::Upgrade;
using End = RelayEvent::End;

constexpr qsizetype ClockLength = 12; // "HH:MM:SS.mmm"
QString separator() { return QStringLiteral(" \u00b7 "); }

Side sideNamed(const QString &name)
{
    return name == QLatin1String("serveur") ? Side::Server : Side::Client;
}

qint64 count(const QString &text)
{
    return QLocale(QLocale::French, QLocale::France).toLongLong(text);
}

// "12 ms", "2,584 s", "3 min 05 s", "2 h 03 min 05 s".
qint64 duration(const QString &text)
{
    static const QRegularExpression shape(QStringLiteral("^(?:(\\d+) h )?(?:(\\d+) min )?(\\d+)(?:,(\\d{3}))? (ms|s)$"));
    const QRegularExpressionMatch m = shape.match(text);
    if (!m.hasMatch())
        return 0;
    const qint64 whole = m.captured(3).toLongLong();
    const qint64 seconds = m.captured(1).toLongLong() * 3600 + m.captured(2).toLongLong() * 60;
    return seconds * 1000 + (m.captured(5) == QLatin1String("ms") ? whole : whole * 1000 + m.captured(4).toLongLong());
}

Upgrade upgradeNamed(const QString &name)
{
    for (Upgrade u : {Upgrade::Smtp, Upgrade::Pop3, Upgrade::Imap, Upgrade::Ftp, Upgrade::Implicit, Upgrade::Bridge}) {
        if (EventText::upgradeName(u) == name)
            return u;
    }
    return Upgrade::None;
}

// A session's end, from the words after its clock: how (the wording of an
// end and the side it names), the bytes each way and how long it lasted.
void readEnd(const QString &words, RelayEvent *event)
{
    static const QRegularExpression counts(QStringLiteral("^.+? \u00b7 client \u2192 serveur (.+) o"
                                                          " \u00b7 serveur \u2192 client (.+) o \u00b7 dur\u00e9e (.+)$"));
    event->kind = Kind::SessionEnded;
    event->end = End::Stopped;
    const QString how = words.section(separator(), 0, 0);
    const auto named = [&] {
        for (End end : {End::ClosedByClient, End::ClosedByServer, End::ResetByClient, End::ResetByServer,
                        End::ServerUnreachable, End::SilenceAfterHalfClose, End::DeliveryStalled, End::TlsFailed,
                        End::ClosedByClientAfterDialogue}) {
            for (Side side : {Side::Client, Side::Server}) {
                if (how == EventText::sessionEnd(end, side)) {
                    event->end = end;
                    event->side = side;
                    return;
                }
            }
        }
    };
    named();
    const QRegularExpressionMatch m = counts.match(words);
    if (m.hasMatch()) {
        event->bytesClientToServer = count(m.captured(1));
        event->bytesServerToClient = count(m.captured(2));
        event->durationMs = duration(m.captured(3));
    }
}

// "TLS client · protocol · cipher · upgrade [· nom demandé N] · certificat de
// l'autorité de Dravlin", or "TLS serveur · protocol · cipher · upgrade ·
// sujet S · certificat vérifié · SHA-256 F · émetteur I [· nom demandé N]".
// Fields are read by place: one that holds the separator itself, or a
// verification failure (whose reason a file does not keep as data), does
// not come back the same, and the words stay.
void readTls(const QString &text, RelayEvent *event)
{
    event->kind = Kind::TlsEstablished;
    const QStringList parts = text.split(separator());
    event->side = parts.constFirst() == QLatin1String("TLS serveur") ? Side::Server : Side::Client;
    const auto part = [&parts](qsizetype i, const QString &prefix = QString()) {
        return i < parts.size() && parts[i].startsWith(prefix) ? parts[i].mid(prefix.size()) : QString();
    };
    TlsSummary &tls = event->tls;
    tls.protocol = part(1);
    tls.cipher = part(2);
    event->upgrade = upgradeNamed(part(3));
    const QString asked = QStringLiteral("nom demandé ");
    if (event->side == Side::Client) {
        tls.serverName = part(4, asked);
        return;
    }
    tls.peerSubject = part(4, QStringLiteral("sujet "));
    tls.peerVerified = part(5) == QStringLiteral("certificat vérifié");
    tls.peerFingerprint = part(6, QStringLiteral("SHA-256 "));
    tls.peerIssuer = part(7, QStringLiteral("émetteur "));
    tls.serverName = part(8, asked);
}

// Whether the event, worded again, gives the very words read. A session's
// mark opens with its clock: the event's time, which is the line's.
bool givesWords(const RelayEvent &event, QByteArrayView words, qint64 stampOfDay)
{
    const QString text = QString::fromUtf8(words);
    const QString again = SessionMarks::text(event);
    if (event.kind != Kind::ClientConnected && event.kind != Kind::SessionEnded)
        return again == text;
    if (text.size() < ClockLength || again.size() < ClockLength)
        return false;
    const QTime said = QTime::fromString(text.first(ClockLength), QStringLiteral("HH:mm:ss.zzz"));
    return stampOfDay >= 0 && said.isValid() && said.msecsSinceStartOfDay() == stampOfDay
        && QStringView(again).sliced(ClockLength) == QStringView(text).sliced(ClockLength);
}

// A line written before marks had tags: the event is read from its French words.
void readWords(QByteArrayView words, RelayEvent &event)
{
    // Every mark of a session opens with its clock: the opening one names
    // the client and the server, any other is taken for its end.
    static const QRegularExpression clock(QStringLiteral("^\\d\\d:\\d\\d:\\d\\d\\.\\d{3} \u00b7 "));
    static const QRegularExpression begin(QStringLiteral("^client (\\S+) \u2192 (\\S+)$"));
    static const QRegularExpression dropped(
        QStringLiteral("^en clair ignor\u00e9 \u00b7 (client|serveur) \u00b7 (.+) o apr\u00e8s (.+), jamais transmis$"));

    const QString text = QString::fromUtf8(words);
    QRegularExpressionMatch m;
    if (clock.match(text).hasMatch()) {
        const QString rest = text.sliced(ClockLength + 3);
        if ((m = begin.match(rest)).hasMatch()) {
            event.kind = Kind::ClientConnected;
            event.client = EndpointText::read(m.captured(1));
            event.server = EndpointText::read(m.captured(2));
        } else {
            readEnd(rest, &event);
        }
    } else if (text.startsWith(QLatin1String("TLS "))) {
        readTls(text, &event);
    } else if ((m = dropped.match(text)).hasMatch()) {
        event.kind = Kind::PlaintextDropped;
        event.side = sideNamed(m.captured(1));
        event.dropped = count(m.captured(2));
        event.upgrade = upgradeNamed(m.captured(3));
    }
}

} // namespace

QByteArray TranscriptMarks::text(const SessionMark &mark)
{
    const QByteArray tag = MarkTag::write(mark.event);
    const QByteArray words = SessionMarks::utf8(mark);
    return tag.isEmpty() ? words : tag + ' ' + words;
}

void TranscriptMarks::append(QByteArray &out, QByteArrayView head, const SessionMark &mark)
{
    Transcript::appendMarkerLine(out, head, QByteArrayView(text(mark)));
}

SessionMark TranscriptMarks::read(QByteArrayView words, qint64 msecs, qint64 stampOfDay)
{
    SessionMark mark;
    RelayEvent &event = mark.event;
    event.time = msecs;
    // The tag alone tells the event; the words after it are only kept.
    const qsizetype tagged = MarkTag::read(words, &event);
    if (tagged > 0)
        words = words.sliced(tagged);
    else
        readWords(words, event);
    if (!words.isValidUtf8() || !givesWords(event, words, stampOfDay))
        mark.wordsRead = words.toByteArray();
    return mark;
}
