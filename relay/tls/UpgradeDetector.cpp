#include "UpgradeDetector.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace {

// Past the start of a long line only this much of its end is kept, enough for an IMAP literal's "{n}".
constexpr qsizetype LineEndBytes = 32;

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

bool sameText(QByteArrayView a, QByteArrayView b)
{
    return a.size() == b.size() && qstrnicmp(a.data(), a.size(), b.data(), b.size()) == 0;
}

bool startsWithText(QByteArrayView line, QByteArrayView start)
{
    return line.size() >= start.size() && sameText(line.first(start.size()), start);
}

bool allDigits(QByteArrayView text)
{
    return !text.isEmpty()
        && std::all_of(text.begin(), text.end(), [](char c) { return std::isdigit(static_cast<unsigned char>(c)); });
}

// The line without its LF and the CR before it.
QByteArrayView content(QByteArrayView line)
{
    if (line.endsWith('\n'))
        line.chop(1);
    if (line.endsWith('\r'))
        line.chop(1);
    return line;
}

// The n of a line ending in an IMAP literal "{n}", "{n+}" or "~{n}", else -1;
// sync when the sender must wait for the server's "+" before sending it.
qsizetype literalLength(QByteArrayView line, bool *sync)
{
    if (!line.endsWith('}'))
        return -1;
    line.chop(1);
    *sync = !line.endsWith('+');
    if (!*sync)
        line.chop(1);
    const qsizetype open = line.lastIndexOf('{');
    const QByteArrayView digits = open < 0 ? QByteArrayView() : line.sliced(open + 1);
    // An IMAP number is 32 bits: a larger one is refused, never counted.
    const qlonglong n = allDigits(digits) && digits.size() <= 10 ? digits.toLongLong() : -1;
    return n <= 0xffffffffLL ? qsizetype(n) : -1;
}

// An IMAP tag: printable, none of the characters that end or open something else.
bool isTag(QByteArrayView tag)
{
    return !tag.isEmpty() && std::all_of(tag.begin(), tag.end(), [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return u > ' ' && u != 0x7f && !std::strchr("(){%*\"\\+", c);
    });
}

// The size of a well-formed "BDAT <size> [LAST]", else -1: the server reads a
// malformed one as a command alone, its chunk as further commands.
qsizetype bdatSize(QByteArrayView text)
{
    if (!startsWithText(text, "BDAT "))
        return -1;
    QByteArrayView digits = text.sliced(5);
    const qsizetype space = digits.indexOf(' ');
    if (space >= 0 && !sameText(digits.sliced(space), " LAST"))
        return -1;
    if (space >= 0)
        digits.truncate(space);
    return allDigits(digits) && digits.size() <= 15 ? qsizetype(digits.toLongLong()) : -1;
}

bool isReplyCode(QByteArrayView text)
{
    return text.size() >= 3 && allDigits(text.first(3));
}

QString noCommand()
{
    return QCoreApplication::translate("UpgradeDetector", "le serveur a répondu sans commande en attente");
}

} // namespace

void UpgradeDetector::Line::append(QByteArrayView segment)
{
    if (!cut) {
        if (start.size() + segment.size() <= LineBytes) {
            start.append(segment);
            return;
        }
        cut = true;
        end = start.right(LineEndBytes);
        start.append(segment.first(LineBytes - start.size()));
    }
    end.append(segment.last(std::min(segment.size(), LineEndBytes)));
    end.remove(0, std::max<qsizetype>(0, end.size() - LineEndBytes));
}

void UpgradeDetector::Line::clear()
{
    start.truncate(0);
    end.truncate(0);
    cut = false;
}

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
        abandon(tr("le client a commencé TLS sans réponse positive reconnue"), out);
}

qsizetype UpgradeDetector::scanClient(const QByteArray &data, Parts &out)
{
    const char *bytes = data.constData();
    const qsizetype size = data.size();
    qsizetype at = 0;
    while (at < size && !clientWaits() && m_phase != Phase::Abandoned) {
        if (m_clientSkip > 0) {
            const qsizetype n = std::min(m_clientSkip, size - at);
            m_clientSkip -= n;
            at += n;
            continue;
        }
        const void *hit = std::memchr(bytes + at, '\n', static_cast<size_t>(size - at));
        const qsizetype end = hit ? static_cast<const char *>(hit) - bytes + 1 : size;
        m_clientLine.append(QByteArrayView(bytes + at, end - at));
        at = end;
        if (!hit)
            break;
        clientLine(out);
        m_clientLine.clear();
    }
    return at;
}

void UpgradeDetector::clientLine(Parts &out)
{
    const Line &line = m_clientLine;
    const QByteArrayView last = line.cut ? line.end : line.start; // the line's end, with its CR LF
    if (m_inBody) {
        // The server ends a message at a line of one dot after a CR LF, and only there.
        const bool ends = !line.cut && line.start == ".\r\n" && m_afterCrLf;
        m_afterCrLf = last.endsWith("\r\n");
        if (ends) {
            m_inBody = false;
            pending(Expect::Reply, {}, out);
        }
        return;
    }
    const bool begins = m_clientLineNew;
    m_clientLineNew = true;
    bool sync = false;
    const qsizetype literal = m_family == Family::Imap || m_family == Family::Unknown
        ? literalLength(content(last), &sync)
        : -1;
    if (begins)
        clientCommand(line.cut ? QByteArrayView(line.start) : content(line.start), line.cut, out);
    if (literal < 0 || m_phase == Phase::Abandoned)
        return;
    // What follows the literal goes on with the same command.
    m_clientLineNew = false;
    if (m_family == Family::Imap && !sync) {
        m_clientSkip = literal;
    } else {
        m_literal = literal;
        m_literalSync = sync;
    }
}

void UpgradeDetector::clientCommand(QByteArrayView text, bool cut, Parts &out)
{
    // Servers read past trailing blanks; what their answer makes of the
    // command (354 or not, 220 or not) is what counts.
    while (text.endsWith(' ') || text.endsWith('\t'))
        text.chop(1);
    const bool coded = m_family == Family::Unknown || m_family == Family::Coded;
    const bool pop3 = m_family == Family::Unknown || m_family == Family::Pop3;
    const bool imap = m_family == Family::Unknown || m_family == Family::Imap;
    QByteArray tag;
    QByteArrayView verb = text; // IMAP: what follows the tag
    if (imap) {
        const qsizetype space = text.indexOf(' ');
        if (space > 0 && isTag(text.first(space))) {
            tag = text.first(space).toByteArray();
            verb = text.sliced(space + 1);
            m_commandTag = tag;
        } else if (m_family == Family::Imap) {
            return; // no tag: a line answering "+", or IDLE's "DONE"
        }
    }
    if (cut) {
        pending(Expect::Reply, tag, out);
        return;
    }
    Protocol upgrade = Protocol::None;
    if (coded && sameText(text, "STARTTLS"))
        upgrade = Protocol::Smtp;
    else if (pop3 && sameText(text, "STLS"))
        upgrade = Protocol::Pop3;
    else if (coded && (sameText(text, "AUTH TLS") || sameText(text, "AUTH SSL") || sameText(text, "AUTH TLS-C")
                       || sameText(text, "AUTH TLS-P")))
        upgrade = Protocol::Ftp;
    else if (!tag.isEmpty() && sameText(verb, "STARTTLS"))
        upgrade = Protocol::Imap;

    Expect expect = Expect::Reply;
    if (upgrade != Protocol::None) {
        m_protocol = upgrade;
        m_phase = Phase::Awaiting;
        expect = Expect::Upgrade;
    } else if (coded && sameText(text, "DATA")) {
        m_dataDue = true;
        expect = Expect::Data;
    } else if (const qsizetype chunk = coded ? bdatSize(text) : -1; chunk >= 0) {
        m_clientSkip = chunk;
    } else if (!tag.isEmpty() && (sameText(verb, "COMPRESS") || startsWithText(verb, "COMPRESS "))) {
        expect = Expect::Compress;
    } else if (pop3
               && (startsWithText(text, "RETR ") || startsWithText(text, "TOP ") || sameText(text, "LIST")
                   || sameText(text, "UIDL") || sameText(text, "CAPA"))) {
        expect = Expect::MultiLine;
    }
    pending(expect, tag, out);
}

void UpgradeDetector::pending(Expect expect, const QByteArray &tag, Parts &out)
{
    if (m_requests.size() >= PendingCommands) {
        abandon(tr("plus de %1 commandes sans réponse").arg(PendingCommands), out);
        return;
    }
    m_requests.append({expect, tag});
}

bool UpgradeDetector::clientWaits() const
{
    return m_phase == Phase::Awaiting || m_dataDue || m_literal >= 0;
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
    const char *bytes = chunk.constData();
    const qsizetype size = chunk.size();
    qsizetype at = 0;
    while (at < size && m_phase != Phase::Abandoned) {
        if (m_serverSkip > 0) {
            const qsizetype n = std::min(m_serverSkip, size - at);
            m_serverSkip -= n;
            at += n;
            continue;
        }
        const void *hit = std::memchr(bytes + at, '\n', static_cast<size_t>(size - at));
        const qsizetype end = hit ? static_cast<const char *>(hit) - bytes + 1 : size;
        m_serverLine.append(QByteArrayView(bytes + at, end - at));
        at = end;
        if (!hit)
            break;
        serverLine(out);
        m_serverLine.clear();
        if (m_phase == Phase::Tls) {
            // The answer reaches the client; what the server sends after it would be read as sent inside TLS.
            add(out, Side::Server, Fate::Relay, chunk.first(at));
            m_dropped[sideIndex(Side::Server)] += size - at;
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
    const Line &line = m_serverLine;
    const QByteArrayView text = line.cut ? QByteArrayView(line.start) : content(line.start);
    if (m_inListing) {
        // A POP3 listing ends at a line of one dot; its other lines are text.
        m_inListing = line.cut || text != ".";
        return;
    }
    if (m_family == Family::Unknown && !identify(text, out))
        return;
    switch (m_family) {
    case Family::Coded:
        codedReply(text, out);
        break;
    case Family::Pop3:
        pop3Reply(text, out);
        break;
    case Family::Imap: {
        const bool begins = m_serverLineNew;
        bool sync = false;
        const qsizetype literal = literalLength(content(line.cut ? line.end : line.start), &sync);
        m_serverSkip = std::max<qsizetype>(literal, 0);
        m_serverLineNew = literal < 0;
        if (begins)
            imapResponse(text, out);
        break;
    }
    case Family::Unknown:
        break;
    }
}

bool UpgradeDetector::identify(QByteArrayView greeting, Parts &out)
{
    if (isReplyCode(greeting))
        m_family = Family::Coded;
    else if (startsWithText(greeting, "+OK") || startsWithText(greeting, "-ERR"))
        m_family = Family::Pop3;
    else if (greeting.startsWith("* "))
        m_family = Family::Imap;
    if (m_family == Family::Unknown) {
        abandon(tr("le serveur ne parle ni SMTP, ni POP3, ni IMAP, ni FTP"), out);
        return false;
    }
    if (m_family == Family::Imap) {
        // Lines sent before the greeting without a tag are no IMAP commands: nothing will answer them.
        if (std::any_of(m_requests.cbegin(), m_requests.cend(), [](const Request &r) { return r.tag.isEmpty(); })) {
            abandon(tr("commande sans étiquette avant l'accueil IMAP"), out);
            return false;
        }
        if (m_literal >= 0 && !m_literalSync) {
            m_clientSkip = m_literal;
            m_literal = -1;
        }
    } else if (m_literal >= 0) {
        // Only IMAP has literals: the line was a line.
        m_literal = -1;
        m_clientLineNew = true;
    }
    return true;
}

void UpgradeDetector::codedReply(QByteArrayView text, Parts &out)
{
    // A reply is one line "250 text", or lines "250-text" ending at one
    // "250 text"; within those (FTP) other lines may be any text.
    const bool coded = isReplyCode(text);
    const char mark = text.size() > 3 ? text[3] : ' ';
    const bool last = coded && mark == ' ';
    if (!m_replyCode.isEmpty()) {
        if (!last)
            return;
        if (!text.startsWith(m_replyCode)) {
            abandon(tr("réponse multiligne du serveur interrompue par une autre"), out);
            return;
        }
        m_replyCode.clear();
    } else if (coded && mark == '-') {
        m_replyCode = text.first(3).toByteArray();
        return;
    } else if (!last) {
        abandon(tr("réponse du serveur sans code"), out);
        return;
    }
    // 1xx is preliminary: the final reply to the same command follows.
    const bool preliminary = text[0] == '1';
    if (!m_greeted) {
        m_greeted = !preliminary;
        return;
    }
    if (m_requests.isEmpty()) {
        abandon(noCommand(), out);
        return;
    }
    if (preliminary)
        return;
    const Request request = m_requests.takeFirst();
    const char *positive = request.expect == Expect::Data ? "354" : m_protocol == Protocol::Ftp ? "234" : "220";
    answered(request, text.startsWith(positive), out);
}

void UpgradeDetector::pop3Reply(QByteArrayView text, Parts &out)
{
    const bool ok = startsWithText(text, "+OK");
    // "+ text" is a SASL challenge: the answer to the line before, the client's next line answers it.
    const bool challenge = text == "+" || text.startsWith("+ ");
    if (!ok && !challenge && !startsWithText(text, "-ERR")) {
        abandon(tr("réponse POP3 sans +OK ni -ERR"), out);
        return;
    }
    if (!m_greeted) {
        m_greeted = true;
        return;
    }
    if (m_requests.isEmpty()) {
        abandon(noCommand(), out);
        return;
    }
    answered(m_requests.takeFirst(), ok, out);
}

void UpgradeDetector::imapResponse(QByteArrayView text, Parts &out)
{
    if (text.startsWith("* ") || text == "*") {
        m_greeted = true; // untagged: data, answering no command in particular
        return;
    }
    if (text.startsWith('+')) {
        // A continuation: the client may send what it held back.
        if (m_literal >= 0) {
            m_clientSkip = m_literal;
            m_literal = -1;
        } else if (m_requests.isEmpty()) {
            abandon(noCommand(), out);
        }
        return;
    }
    const qsizetype space = text.indexOf(' ');
    const QByteArrayView tag = text.first(std::max<qsizetype>(space, 0));
    const auto request = std::find_if(m_requests.cbegin(), m_requests.cend(),
                                      [&tag](const Request &r) { return r.tag == tag; });
    if (space <= 0 || request == m_requests.cend()) {
        abandon(noCommand(), out);
        return;
    }
    const Request answeredRequest = *request;
    m_requests.erase(request);
    if (m_literal >= 0 && tag == m_commandTag) {
        // Refused before its literal was sent: the command is over.
        m_literal = -1;
        m_clientLineNew = true;
    }
    const QByteArrayView status = text.sliced(space + 1);
    answered(answeredRequest, startsWithText(status, "OK") && (status.size() == 2 || status[2] == ' '), out);
}

void UpgradeDetector::answered(const Request &request, bool positive, Parts &out)
{
    switch (request.expect) {
    case Expect::Reply:
        break;
    case Expect::Data:
        m_dataDue = false;
        m_inBody = positive && m_family == Family::Coded;
        m_afterCrLf = true;
        break;
    case Expect::MultiLine:
        m_inListing = positive && m_family == Family::Pop3;
        break;
    case Expect::Compress:
        if (positive && m_family == Family::Imap)
            abandon(tr("la suite est compressée (COMPRESS)"), out);
        break;
    case Expect::Upgrade: {
        const Family family = m_protocol == Protocol::Pop3 ? Family::Pop3
            : m_protocol == Protocol::Imap                 ? Family::Imap
                                                           : Family::Coded;
        if (!positive || family != m_family) {
            m_phase = Phase::Watching;
            break;
        }
        m_phase = Phase::Tls;
        m_dropped[sideIndex(Side::Client)] += m_held.size();
        add(out, Side::Client, Fate::Drop, takeHeld());
        break;
    }
    }
}

void UpgradeDetector::abandon(const QString &reason, Parts &out)
{
    m_phase = Phase::Abandoned;
    m_abandonReason = reason;
    m_requests.clear();
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
