#include "Dialogue.h"

#include "Dialects.h"

#include <algorithm>
#include <utility>

namespace {

// Before the greeting a command keeps this much of its line, to be read again
// once the protocol is known: enough for any verb that changes how lines read.
constexpr qsizetype KeptBytes = 64;

} // namespace

Dialogue::Dialogue(const Dialect *dialect)
    : m_dialect(dialect ? dialect : &Dialects::unknown())
    , m_known(m_dialect->id() != Dialect::Id::Unknown)
{
}

Dialogue::Sent Dialogue::clientLine(const Line &line)
{
    Sent sent;
    sent.part = Sent::Part::Rest;
    if (m_misfit != Misfit::None)
        return sent;
    if (m_inBody) {
        // The server ends a message at a line of one dot after a CR LF, and only there.
        const bool ends = !line.cut && line.start == ".\r\n" && m_afterCrLf;
        m_afterCrLf = line.endsWithCrLf();
        sent.part = Sent::Part::Body;
        if (ends) {
            m_inBody = false;
            sent.part = Sent::Part::BodyEnd;
            sent.meaning.kind = Command::Kind::Plain;
            sent.meaning.verb = ".";
            sent.command = expect(sent.meaning, line);
        }
        return sent;
    }
    const bool begins = m_lineBegins;
    m_lineBegins = true;
    if (begins) {
        sent.meaning = m_dialect->command(line.text(), line.cut);
        // No command: nothing answers it, and the server reads no literal in it.
        if (sent.meaning.kind == Command::Kind::None) {
            sent.part = Sent::Part::Ignored;
            return sent;
        }
        sent.part = Sent::Part::Command;
        m_over = false;
        m_commandTag = sent.meaning.tag;
        sent.command = expect(sent.meaning, line);
        if (m_misfit != Misfit::None)
            return sent;
        if (sent.meaning.kind == Command::Kind::Data)
            m_dataDue = sent.command;
        if (sent.meaning.chunk > 0)
            m_clientData += sent.meaning.chunk;
    }
    bool sync = false;
    const qsizetype literal = m_dialect->literal(line.last(), &sync);
    if (literal < 0)
        return sent;
    // What follows the literal goes on with the same command.
    m_lineBegins = false;
    if (m_known && !sync) {
        m_clientData += literal;
    } else {
        m_literal = literal;
        m_literalSync = sync;
    }
    return sent;
}

int Dialogue::expect(const Command &command, const Line &line)
{
    if (m_pending.size() >= PendingCommands) {
        fail(Misfit::TooManyPending);
        return -1;
    }
    Pending pending{m_serial++, command, {}, false};
    if (!m_known) {
        const QByteArrayView text = line.text();
        pending.text = text.first(std::min(text.size(), KeptBytes)).toByteArray();
        pending.cut = line.cut || text.size() > KeptBytes;
    }
    if (command.kind == Command::Kind::Upgrade)
        m_upgrade = pending.serial;
    m_pending.append(pending);
    return pending.serial;
}

qsizetype Dialogue::takeClientData()
{
    return std::exchange(m_clientData, 0);
}

qsizetype Dialogue::takeServerData()
{
    return std::exchange(m_serverData, 0);
}

bool Dialogue::clientWaits() const
{
    return m_misfit == Misfit::None && (m_upgrade >= 0 || m_dataDue >= 0 || m_literal >= 0);
}

Dialogue::Heard Dialogue::serverLine(const Line &line)
{
    Heard heard;
    if (m_misfit != Misfit::None)
        return heard;
    const QByteArrayView text = line.text();
    if (m_inListing) {
        // A POP3 listing ends at a line of one dot; its other lines are text.
        heard.answer.role = Answer::Role::Text;
        heard.command = m_listing.serial;
        heard.asked = m_listing.command;
        if (!line.cut && text == ".") {
            m_inListing = false;
            heard.complete = true;
            heard.accepted = true;
        }
        return heard;
    }
    if (!m_known) {
        identify(text);
        if (m_misfit != Misfit::None)
            return heard;
    }
    heard.answer = m_dialect->answer(text);
    switch (m_dialect->id()) {
    case Dialect::Id::Imap:
        imapAnswer(line, heard);
        break;
    case Dialect::Id::Pop3:
        pop3Answer(heard);
        break;
    default:
        codedAnswer(heard);
        break;
    }
    return heard;
}

void Dialogue::identify(QByteArrayView greeting)
{
    const Dialect &dialect = Dialects::greetedBy(greeting);
    if (dialect.id() == Dialect::Id::Unknown) {
        fail(Misfit::NoKnownProtocol);
        return;
    }
    m_dialect = &dialect;
    m_known = true;
    const bool imap = dialect.id() == Dialect::Id::Imap;
    // What was sent before the greeting is read again, as this server reads it.
    m_upgrade = -1;
    bool dataDue = false;
    for (Pending &pending : m_pending) {
        pending.command = dialect.command(pending.text, pending.cut);
        pending.text = QByteArray();
        if (imap && pending.command.kind == Command::Kind::None) {
            // Nothing will answer a line without a tag.
            fail(Misfit::ImapUntaggedCommand);
            return;
        }
        if (pending.command.kind == Command::Kind::Upgrade)
            m_upgrade = pending.serial;
        dataDue = dataDue || (pending.serial == m_dataDue && pending.command.kind == Command::Kind::Data);
    }
    if (!dataDue)
        m_dataDue = -1;
    if (imap && m_literal >= 0 && !m_literalSync) {
        m_clientData += std::exchange(m_literal, -1);
    } else if (!imap && m_literal >= 0) {
        // Only IMAP has literals: the line was a line.
        m_literal = -1;
        m_lineBegins = true;
    }
}

void Dialogue::codedAnswer(Heard &heard)
{
    const Answer &answer = heard.answer;
    const bool last = answer.role == Answer::Role::Final || answer.role == Answer::Role::Preliminary;
    heard.greeting = !m_greeted;
    if (m_greeted && !m_pending.isEmpty()) {
        heard.command = m_pending.first().serial;
        heard.asked = m_pending.first().command;
    }
    if (!m_replyCode.isEmpty()) {
        // Within "250-" lines any other line is text, up to one "250 ".
        if (!last)
            return;
        if (answer.status != m_replyCode) {
            fail(Misfit::MultilineInterrupted);
            return;
        }
        m_replyCode.clear();
    } else if (answer.role == Answer::Role::Partial) {
        m_replyCode = answer.status;
        return;
    } else if (!last) {
        fail(Misfit::ReplyWithoutCode);
        return;
    }
    const bool preliminary = answer.role == Answer::Role::Preliminary;
    if (!m_greeted) {
        m_greeted = !preliminary;
        return;
    }
    if (m_pending.isEmpty()) {
        fail(Misfit::ReplyUnasked);
        return;
    }
    if (!preliminary)
        settle(m_pending.takeFirst(), heard);
}

void Dialogue::pop3Answer(Heard &heard)
{
    if (heard.answer.role == Answer::Role::Foreign) {
        fail(Misfit::Pop3ReplyWithoutStatus);
        return;
    }
    if (!m_greeted) {
        m_greeted = true;
        heard.greeting = true;
        return;
    }
    if (m_pending.isEmpty()) {
        fail(Misfit::ReplyUnasked);
        return;
    }
    // "+ text" is a SASL challenge: it answers the line before, and the
    // client's next line answers it.
    settle(m_pending.takeFirst(), heard);
}

void Dialogue::imapAnswer(const Line &line, Heard &heard)
{
    const bool begins = m_serverLineBegins;
    bool sync = false;
    const qsizetype literal = m_dialect->literal(line.last(), &sync);
    m_serverData += std::max<qsizetype>(literal, 0);
    m_serverLineBegins = literal < 0;
    if (!begins) {
        // The rest of a response after a literal.
        heard.answer = Answer{Answer::Role::Text, Answer::Class::None, {}, {}};
        return;
    }
    const Answer &answer = heard.answer;
    switch (answer.role) {
    case Answer::Role::Untagged:
        heard.greeting = !m_greeted;
        m_greeted = true;
        heard.rejectsUnread = answer.status == "BAD" && !heard.greeting;
        if (heard.rejectsUnread && m_literal >= 0 && m_literalSync) {
            // The command stopped before its literal: the server threw it away.
            m_literal = -1;
            m_lineBegins = true;
            m_pending.removeIf([this](const Pending &p) { return p.command.tag == m_commandTag; });
        }
        if (answer.status == "BYE")
            m_over = m_over || std::any_of(m_pending.cbegin(), m_pending.cend(), [](const Pending &p) {
                return p.command.kind == Command::Kind::Close;
            });
        return;
    case Answer::Role::Continuation:
        // The client may go on with its literal, or with the exchange the
        // latest command began (AUTHENTICATE, IDLE).
        if (m_pending.isEmpty()) {
            fail(Misfit::ReplyUnasked);
            return;
        }
        heard.command = m_pending.last().serial;
        heard.asked = m_pending.last().command;
        heard.proceeds = true;
        if (m_literal >= 0)
            m_clientData += std::exchange(m_literal, -1);
        return;
    case Answer::Role::Final: {
        const auto found = std::find_if(m_pending.cbegin(), m_pending.cend(),
                                        [&answer](const Pending &p) { return p.command.tag == answer.tag; });
        if (found == m_pending.cend())
            break;
        const Pending pending = *found;
        m_pending.erase(found);
        if (m_literal >= 0 && answer.tag == m_commandTag) {
            // Refused before its literal was sent: the command is over.
            m_literal = -1;
            m_lineBegins = true;
        }
        settle(pending, heard);
        return;
    }
    default:
        break;
    }
    fail(Misfit::ReplyUnasked);
}

void Dialogue::settle(const Pending &pending, Heard &heard)
{
    heard.command = pending.serial;
    heard.asked = pending.command;
    heard.complete = true;
    heard.accepted = m_dialect->accepts(pending.command, heard.answer);
    if (pending.serial == m_upgrade)
        m_upgrade = -1;
    switch (pending.command.kind) {
    case Command::Kind::Data:
        if (pending.serial == m_dataDue)
            m_dataDue = -1;
        m_inBody = heard.accepted;
        m_afterCrLf = true;
        break;
    case Command::Kind::Listing:
        if (heard.accepted) {
            m_inListing = true;
            m_listing = pending;
            heard.complete = false;
        }
        break;
    case Command::Kind::Close:
        m_over = m_over || heard.accepted;
        break;
    default:
        break;
    }
}

void Dialogue::fail(Misfit why)
{
    m_misfit = why;
    m_pending.clear();
    m_upgrade = -1;
    m_dataDue = -1;
    m_literal = -1;
    m_inBody = false;
}
