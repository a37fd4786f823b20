#include "MarkTag.h"

#include "EndpointText.h"

#include <QHash>

#include <algorithm>
#include <cstring>

namespace {

using Kind = RelayEvent::Kind;
using End = RelayEvent::End;
using Upgrade = RelayEvent::Upgrade;

// Where the tag takes an event's endpoints from and puts them back: the one
// place to change should the event hold them otherwise than as text.
QString clientOf(const RelayEvent &event) { return EndpointText::text(event.client); }
QString serverOf(const RelayEvent &event) { return EndpointText::text(event.server); }
void setEndpoints(RelayEvent *event, const QString &client, const QString &server)
{
    event->client = EndpointText::read(client);
    event->server = EndpointText::read(server);
}

template <typename T>
struct Name {
    T value;
    const char *name;
};

// The names are the file's: once written they never change meaning.
constexpr Name<Kind> Kinds[] = {{Kind::ClientConnected, "open"}, {Kind::SessionEnded, "end"},
                                {Kind::TlsEstablished, "tls"}, {Kind::PlaintextDropped, "dropped"}};
constexpr Name<End> Ends[] = {{End::None, "none"},
                              {End::ClosedByClient, "closed-by-client"},
                              {End::ClosedByServer, "closed-by-server"},
                              {End::ClosedByClientAfterDialogue, "closed-by-client-after-dialogue"},
                              {End::ResetByClient, "reset-by-client"},
                              {End::ResetByServer, "reset-by-server"},
                              {End::ServerUnreachable, "server-unreachable"},
                              {End::SilenceAfterHalfClose, "silent-after-half-close"},
                              {End::DeliveryStalled, "delivery-stalled"},
                              {End::Stopped, "stopped"},
                              {End::TlsFailed, "tls-failed"}};
constexpr Name<Upgrade> Upgrades[] = {{Upgrade::None, "none"},         {Upgrade::Smtp, "smtp"}, {Upgrade::Pop3, "pop3"},
                                      {Upgrade::Imap, "imap"},         {Upgrade::Ftp, "ftp"},   {Upgrade::Implicit, "implicit"},
                                      {Upgrade::Bridge, "bridge"}};
constexpr Name<Side> Sides[] = {{Side::Client, "client"}, {Side::Server, "server"}};

template <typename T, size_t N>
const char *nameOf(const Name<T> (&names)[N], T value)
{
    for (const Name<T> &n : names) {
        if (n.value == value)
            return n.name;
    }
    return nullptr;
}

template <typename T, size_t N>
bool valueNamed(const Name<T> (&names)[N], QByteArrayView name, T *value)
{
    for (const Name<T> &n : names) {
        if (name == n.name) {
            *value = n.value;
            return true;
        }
    }
    return false;
}

// Besides letters, digits and "-._~", what a value keeps as it is: enough
// for endpoints, fingerprints and protocol names to read plainly.
constexpr char KeptAsIs[] = ":/,@+";

bool isKept(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.'
        || c == '_' || c == '~' || (c != '\0' && std::strchr(KeptAsIs, c));
}

bool isHex(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// A value as written: kept characters and whole %HH escapes, nothing else.
bool isWrittenValue(QByteArrayView value)
{
    for (qsizetype i = 0; i < value.size(); ++i) {
        if (value[i] == '%') {
            if (i + 2 >= value.size() || !isHex(value[i + 1]) || !isHex(value[i + 2]))
                return false;
            i += 2;
        } else if (!isKept(value[i])) {
            return false;
        }
    }
    return true;
}

// A decimal number as written: an optional "-", then at most 18 digits.
bool readNumber(QByteArrayView text, qint64 *number)
{
    const bool negative = text.startsWith('-');
    const QByteArrayView digits = text.sliced(negative ? 1 : 0);
    if (digits.isEmpty() || digits.size() > 18)
        return false;
    qint64 n = 0;
    for (const char c : digits) {
        if (c < '0' || c > '9')
            return false;
        n = n * 10 + (c - '0');
    }
    *number = negative ? -n : n;
    return true;
}

// The tag's fields as read, values decoded; what each kind needs is taken
// out of them by name, a field missing or malformed making the tag void.
struct Fields {
    QHash<QByteArray, QByteArray> values;
    bool ok = true;

    QByteArray raw(const char *key, bool required)
    {
        const auto it = values.constFind(QByteArray(key));
        if (it == values.constEnd()) {
            ok = ok && !required;
            return QByteArray();
        }
        return *it;
    }
    QString text(const char *key, bool required = false)
    {
        const QByteArray value = raw(key, required);
        ok = ok && value.isValidUtf8();
        return QString::fromUtf8(value);
    }
    qint64 number(const char *key)
    {
        qint64 n = 0;
        ok = ok && readNumber(raw(key, true), &n);
        return n;
    }
    template <typename T, size_t N>
    T named(const Name<T> (&names)[N], const char *key)
    {
        T value = names[0].value;
        ok = ok && valueNamed(names, raw(key, true), &value);
        return value;
    }
};

void addNumber(QByteArray &tag, const char *key, qint64 value)
{
    tag.append(' ').append(key).append('=').append(QByteArray::number(value));
}

void addName(QByteArray &tag, const char *key, const char *name)
{
    tag.append(' ').append(key).append('=').append(name);
}

void addText(QByteArray &tag, const char *key, const QString &value)
{
    tag.append(' ').append(key).append('=').append(value.toUtf8().toPercentEncoding(KeptAsIs));
}

void writeTls(QByteArray &tag, const RelayEvent &event)
{
    const TlsSummary &tls = event.tls;
    addName(tag, "side", nameOf(Sides, event.side));
    addName(tag, "upgrade", nameOf(Upgrades, event.upgrade));
    addText(tag, "protocol", tls.protocol);
    addText(tag, "cipher", tls.cipher);
    if (!tls.serverName.isEmpty())
        addText(tag, "sni", tls.serverName);
    if (event.side == Side::Client)
        return;
    addText(tag, "subject", tls.peerSubject);
    addText(tag, "issuer", tls.peerIssuer);
    addText(tag, "sha256", tls.peerFingerprint);
    addNumber(tag, "verified", tls.peerVerified ? 1 : 0);
    if (!tls.peerVerified) {
        addNumber(tag, "verify", tls.verifyResult);
        if (!tls.verifyError.isEmpty())
            addText(tag, "why", tls.verifyError);
    }
}

void readTls(Fields &f, RelayEvent &event)
{
    TlsSummary &tls = event.tls;
    event.side = f.named(Sides, "side");
    event.upgrade = f.named(Upgrades, "upgrade");
    tls.protocol = f.text("protocol", true);
    tls.cipher = f.text("cipher", true);
    tls.serverName = f.text("sni");
    if (event.side == Side::Client)
        return;
    tls.peerSubject = f.text("subject");
    tls.peerIssuer = f.text("issuer");
    tls.peerFingerprint = f.text("sha256");
    const qint64 verified = f.number("verified");
    tls.peerVerified = verified == 1;
    f.ok = f.ok && (verified == 0 || verified == 1);
    if (!tls.peerVerified) {
        tls.verifyResult = int(f.number("verify"));
        tls.verifyError = f.text("why");
    }
}

} // namespace

QByteArray MarkTag::write(const RelayEvent &event)
{
    const char *kind = nameOf(Kinds, event.kind);
    if (!kind)
        return QByteArray();
    QByteArray tag = QByteArray("[") + kind;
    switch (event.kind) {
    case Kind::ClientConnected:
        addText(tag, "client", clientOf(event));
        addText(tag, "server", serverOf(event));
        break;
    case Kind::SessionEnded:
        addName(tag, "how", nameOf(Ends, event.end));
        addName(tag, "side", nameOf(Sides, event.side));
        addNumber(tag, "c2s", event.bytesClientToServer);
        addNumber(tag, "s2c", event.bytesServerToClient);
        addNumber(tag, "ms", event.durationMs);
        break;
    case Kind::TlsEstablished:
        writeTls(tag, event);
        break;
    default: // PlaintextDropped
        addName(tag, "side", nameOf(Sides, event.side));
        addNumber(tag, "bytes", event.dropped);
        addName(tag, "upgrade", nameOf(Upgrades, event.upgrade));
        break;
    }
    return tag + ']';
}

qsizetype MarkTag::read(QByteArrayView text, RelayEvent *event)
{
    const qsizetype close = text.indexOf(']');
    if (!text.startsWith('[') || close < 0 || (close + 1 < text.size() && text[close + 1] != ' '))
        return 0;
    const QList<QByteArray> tokens = text.sliced(1, close - 1).toByteArray().split(' ');
    Kind kind = Kind::Stopped;
    if (!valueNamed(Kinds, tokens.constFirst(), &kind))
        return 0;
    Fields f;
    for (qsizetype i = 1; i < tokens.size(); ++i) {
        // key=value, the key in small letters and digits; a key said twice voids the tag.
        const QByteArray &token = tokens[i];
        const qsizetype equals = token.indexOf('=');
        const QByteArrayView key = QByteArrayView(token).first(qMax<qsizetype>(equals, 0));
        const bool keyWritten = !key.isEmpty() && std::all_of(key.begin(), key.end(), [](char c) {
            return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
        });
        if (!keyWritten || !isWrittenValue(QByteArrayView(token).sliced(equals + 1)) || f.values.contains(key.toByteArray()))
            return 0;
        f.values.insert(key.toByteArray(), QByteArray::fromPercentEncoding(token.sliced(equals + 1)));
    }
    RelayEvent e = *event;
    e.kind = kind;
    switch (kind) {
    case Kind::ClientConnected: {
        const QString client = f.text("client", true);
        setEndpoints(&e, client, f.text("server", true));
        break;
    }
    case Kind::SessionEnded:
        e.end = f.named(Ends, "how");
        e.side = f.named(Sides, "side");
        e.bytesClientToServer = f.number("c2s");
        e.bytesServerToClient = f.number("s2c");
        e.durationMs = f.number("ms");
        break;
    case Kind::TlsEstablished:
        readTls(f, e);
        break;
    default: // PlaintextDropped
        e.side = f.named(Sides, "side");
        e.dropped = f.number("bytes");
        e.upgrade = f.named(Upgrades, "upgrade");
        break;
    }
    if (!f.ok)
        return 0;
    *event = e;
    return close + 1 < text.size() ? close + 2 : close + 1;
}
