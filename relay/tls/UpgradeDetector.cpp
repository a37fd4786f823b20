#include "UpgradeDetector.h"

namespace {

// What is known from the first bytes: a TLS record of type handshake (22),
// version 3.0 to 3.4, then, after the 2-byte length, a ClientHello (1).
enum class Hello { No, Maybe, Yes };

Hello helloAt(QByteArrayView bytes)
{
    const auto at = [&bytes](qsizetype i) { return static_cast<unsigned char>(bytes[i]); };
    if ((bytes.size() > 0 && at(0) != 0x16) || (bytes.size() > 1 && at(1) != 0x03)
        || (bytes.size() > 2 && at(2) > 0x04) || (bytes.size() > 5 && at(5) != 0x01))
        return Hello::No;
    return bytes.size() > 5 ? Hello::Yes : Hello::Maybe;
}

// Whose upgrade a command asks: before the greeting the dialect is not known,
// the command's words tell.
UpgradeDetector::Protocol upgradeOf(const Dialect &dialect, const Command &command)
{
    using Protocol = UpgradeDetector::Protocol;
    switch (dialect.id()) {
    case Dialect::Id::Smtp:
        return command.verb == "AUTH" ? Protocol::Ftp : Protocol::Smtp;
    case Dialect::Id::Pop3:
        return Protocol::Pop3;
    case Dialect::Id::Imap:
        return Protocol::Imap;
    case Dialect::Id::Ftp:
        return Protocol::Ftp;
    case Dialect::Id::Unknown:
        break;
    }
    return command.verb == "STLS" ? Protocol::Pop3
        : command.verb == "AUTH"  ? Protocol::Ftp
        : command.tag.isEmpty()   ? Protocol::Smtp
                                  : Protocol::Imap;
}

} // namespace

UpgradeDetector::Parts UpgradeDetector::feed(Side from, const QByteArray &chunk)
{
    Parts out;
    if (from == Side::Client) {
        m_held.append(chunk);
        readClient(out);
    } else {
        readServer(chunk, out);
    }
    return out;
}

UpgradeDetector::Parts UpgradeDetector::giveUp(const FailureCause &why)
{
    Parts out;
    if (m_phase != Phase::Tls && m_phase != Phase::Abandoned)
        abandon(why, out);
    return out;
}

QByteArray UpgradeDetector::takeHeld()
{
    QByteArray held;
    held.swap(m_held);
    return held;
}

void UpgradeDetector::readClient(Parts &out)
{
    if (m_held.isEmpty())
        return;
    if (m_phase == Phase::Abandoned) {
        add(out, Side::Client, Fate::Relay, takeHeld());
        return;
    }
    if (!m_firstBytesKnown) {
        switch (helloAt(m_held)) {
        case Hello::Yes:
            m_phase = Phase::Tls;
            m_protocol = Protocol::Implicit;
            break;
        case Hello::Maybe:
            return;
        case Hello::No:
            break;
        }
        m_firstBytesKnown = true;
    }
    if (m_phase == Phase::Tls) {
        m_clientSpokeTls = true;
        add(out, Side::Client, Fate::Tls, takeHeld());
        return;
    }
    if (!clientWaits()) {
        const QByteArray data = takeHeld();
        const qsizetype read = scanClient(data, out);
        if (m_phase == Phase::Abandoned) {
            add(out, Side::Client, Fate::Relay, data);
            return;
        }
        add(out, Side::Client, Fate::Relay, read == data.size() ? data : data.first(read));
        if (read < data.size())
            m_held = data.sliced(read);
    }
    // Only a positive answer lets a client start TLS: when one does while the
    // answer is still due, the dialogue went otherwise than read here.
    if (m_phase == Phase::Awaiting && helloAt(m_held) == Hello::Yes)
        abandon(FailureCause::of(FailureCause::Kind::TlsWithoutConsent), out);
}

qsizetype UpgradeDetector::scanClient(const QByteArray &data, Parts &out)
{
    qsizetype at = 0;
    while (at < data.size() && !clientWaits() && m_phase != Phase::Abandoned) {
        at = m_clientReader.read(data, at);
        if (!m_clientReader.hasLine())
            continue;
        const Dialogue::Sent sent = m_dialogue.clientLine(m_clientReader.line());
        m_clientReader.next();
        m_clientReader.skip(m_dialogue.takeClientData());
        if (m_dialogue.misfit() != Dialogue::Misfit::None) {
            abandon(m_dialogue.misfit(), out);
        } else if (sent.meaning.kind == Command::Kind::Upgrade) {
            m_protocol = upgradeOf(m_dialogue.dialect(), sent.meaning);
            m_phase = Phase::Awaiting;
        }
    }
    return at;
}

bool UpgradeDetector::clientWaits() const
{
    return m_phase == Phase::Awaiting || m_dialogue.clientWaits();
}

void UpgradeDetector::readServer(const QByteArray &chunk, Parts &out)
{
    if (chunk.isEmpty())
        return;
    if (m_phase == Phase::Tls && !m_clientSpokeTls) {
        m_dropped[sideIndex(Side::Server)] += chunk.size();
        add(out, Side::Server, Fate::Drop, chunk);
        return;
    }
    if (m_phase == Phase::Tls || m_phase == Phase::Abandoned) {
        add(out, Side::Server, m_phase == Phase::Tls ? Fate::Tls : Fate::Relay, chunk);
        return;
    }
    qsizetype at = 0;
    while (at < chunk.size() && m_phase != Phase::Abandoned) {
        at = m_serverReader.read(chunk, at);
        if (!m_serverReader.hasLine())
            continue;
        serverLine(out);
        m_serverReader.next();
        if (m_phase == Phase::Tls) {
            // The answer reaches the client; what the server sends after it would be read as sent inside TLS.
            add(out, Side::Server, Fate::Relay, chunk.first(at));
            m_dropped[sideIndex(Side::Server)] += chunk.size() - at;
            add(out, Side::Server, Fate::Drop, chunk.sliced(at));
            return;
        }
        if (m_phase != Phase::Abandoned && !m_held.isEmpty() && !clientWaits())
            readClient(out);
    }
    add(out, Side::Server, Fate::Relay, chunk);
}

void UpgradeDetector::serverLine(Parts &out)
{
    const Dialogue::Heard heard = m_dialogue.serverLine(m_serverReader.line());
    m_serverReader.skip(m_dialogue.takeServerData());
    m_clientReader.skip(m_dialogue.takeClientData());
    if (m_dialogue.misfit() != Dialogue::Misfit::None) {
        abandon(m_dialogue.misfit(), out);
        return;
    }
    // The server could not read some command and will not say which: what
    // waits for an answer may wait for ever.
    if (heard.rejectsUnread && (clientWaits() || !m_held.isEmpty())) {
        abandon(FailureCause::of(FailureCause::Kind::ImapUntargetedBad), out);
        return;
    }
    if (heard.complete && heard.asked.kind == Command::Kind::Compress && heard.accepted) {
        abandon(FailureCause::of(FailureCause::Kind::Compressed), out);
        return;
    }
    if (heard.complete && heard.asked.kind == Command::Kind::Upgrade && heard.accepted) {
        m_phase = Phase::Tls;
        m_dropped[sideIndex(Side::Client)] += m_held.size();
        add(out, Side::Client, Fate::Drop, takeHeld());
        return;
    }
    // Refused, or read again as no upgrade once the greeting told the protocol.
    if (m_phase == Phase::Awaiting && m_dialogue.pendingUpgrade() < 0)
        m_phase = Phase::Watching;
}

void UpgradeDetector::abandon(Dialogue::Misfit misfit, Parts &out)
{
    using Misfit = Dialogue::Misfit;
    using Kind = FailureCause::Kind;
    const auto kind = [misfit] {
        switch (misfit) {
        case Misfit::TooManyPending:
            return Kind::TooManyPending;
        case Misfit::NoKnownProtocol:
            return Kind::NoKnownProtocol;
        case Misfit::ImapUntaggedCommand:
            return Kind::ImapUntaggedCommand;
        case Misfit::MultilineInterrupted:
            return Kind::MultilineInterrupted;
        case Misfit::ReplyWithoutCode:
            return Kind::ReplyWithoutCode;
        case Misfit::Pop3ReplyWithoutStatus:
            return Kind::Pop3ReplyWithoutStatus;
        case Misfit::ReplyUnasked:
        case Misfit::None:
            break;
        }
        return Kind::ReplyUnasked;
    };
    abandon(FailureCause::of(kind(), misfit == Misfit::TooManyPending ? int(Dialogue::PendingCommands) : 0), out);
}

void UpgradeDetector::abandon(const FailureCause &why, Parts &out)
{
    m_phase = Phase::Abandoned;
    m_abandonCause = why;
    add(out, Side::Client, Fate::Relay, takeHeld());
}

void UpgradeDetector::add(Parts &out, Side side, Fate fate, const QByteArray &bytes)
{
    if (bytes.isEmpty())
        return;
    if (!out.isEmpty() && out.last().side == side && out.last().fate == fate)
        out.last().bytes += bytes;
    else
        out.append({side, fate, bytes});
}

RelayEvent::Upgrade UpgradeDetector::upgrade() const
{
    using Upgrade = RelayEvent::Upgrade;
    switch (m_protocol) {
    case Protocol::Smtp:
        return Upgrade::Smtp;
    case Protocol::Pop3:
        return Upgrade::Pop3;
    case Protocol::Imap:
        return Upgrade::Imap;
    case Protocol::Ftp:
        return Upgrade::Ftp;
    case Protocol::Implicit:
        return Upgrade::Implicit;
    case Protocol::None:
        break;
    }
    return Upgrade::None;
}

QByteArray UpgradeDetector::takeNewlyHeld()
{
    if (!m_firstBytesKnown || m_held.size() <= m_shown)
        return {};
    const QByteArray fresh = m_held.sliced(m_shown);
    m_shown = m_held.size();
    return fresh;
}

qsizetype UpgradeDetector::takeShown(qsizetype leaving)
{
    const qsizetype shown = qMin(m_shown, leaving);
    m_shown -= shown;
    return shown;
}
