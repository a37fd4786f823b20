#include "AnswerReading.h"

namespace {

QByteArray textOf(const Line &line)
{
    return line.text().toByteArray();
}

} // namespace

bool AnswerReading::byRows() const
{
    return !m_dialogue.greeted() || m_dialogue.dialect().id() == Dialect::Id::Unknown || m_dialogue.misfit() != Dialogue::Misfit::None;
}

void AnswerReading::client(QByteArrayView bytes)
{
    // A literal the server has just asked for with its "+" is data, not a line.
    m_clientLines.skip(m_dialogue.takeClientData());
    for (qsizetype at = 0; at < bytes.size();) {
        at = m_clientLines.read(bytes, at);
        if (!m_clientLines.hasLine())
            continue;
        const Line &line = m_clientLines.line();
        const Dialogue::Sent sent = m_dialogue.clientLine(line);
        if (sent.command >= 0 && (sent.part == Dialogue::Sent::Part::Command || sent.part == Dialogue::Sent::Part::BodyEnd)) {
            m_commands.insert(sent.command, textOf(line));
            m_messageEnds.insert(sent.command, sent.part == Dialogue::Sent::Part::BodyEnd);
        }
        m_clientLines.next();
        m_clientLines.skip(m_dialogue.takeClientData());
    }
}

QList<AnswerReading::Answer> AnswerReading::server(QByteArrayView bytes)
{
    QList<Answer> answers;
    m_serverLines.skip(m_dialogue.takeServerData());
    for (qsizetype at = 0; at < bytes.size();) {
        at = m_serverLines.read(bytes, at);
        if (!m_serverLines.hasLine())
            continue;
        const Line &line = m_serverLines.line();
        const bool rows = byRows();
        const Dialogue::Heard heard = m_dialogue.serverLine(line);
        using Role = ::Answer::Role;
        const Role role = heard.answer.role;
        const bool greetingDone = heard.greeting && role != Role::Partial && role != Role::Text && role != Role::Preliminary;
        if (rows && !heard.greeting) {
            // Read as rows from the first: each one an answer, compared whole.
            Answer row;
            row.to = Answer::To::Unpaired;
            row.key = textOf(line);
            answers.append(row);
        } else if (greetingDone || heard.complete || role == Role::Continuation) {
            answers.append(answerOf(heard, line));
        } else if (heard.command >= 0 && !heard.answer.status.isEmpty() && !m_opened.contains(heard.command)) {
            m_opened.insert(heard.command, heard.answer.status);
        }
        m_serverLines.next();
        m_serverLines.skip(m_dialogue.takeServerData());
    }
    return answers;
}

AnswerReading::Answer AnswerReading::answerOf(const Dialogue::Heard &heard, const Line &line)
{
    Answer answer;
    const ::Answer &said = heard.answer;
    if (heard.greeting) {
        answer.to = Answer::To::Greeting;
    } else if (heard.command >= 0) {
        answer.command = heard.complete ? m_commands.take(heard.command) : m_commands.value(heard.command);
        answer.to = (heard.complete ? m_messageEnds.take(heard.command) : m_messageEnds.value(heard.command))
            ? Answer::To::MessageEnd
            : Answer::To::Command;
    } else {
        answer.to = Answer::To::Unpaired;
    }
    const QByteArray opened = heard.complete ? m_opened.take(heard.command) : QByteArray();
    answer.key = said.role == ::Answer::Role::Continuation ? QByteArray("+") : opened.isEmpty() ? said.status : opened;
    if (answer.key.isEmpty())
        answer.key = textOf(line);
    answer.asksMore = said.role == ::Answer::Role::Continuation || said.replyClass == ::Answer::Class::Intermediate;
    answer.upgrade = heard.asked.kind == Command::Kind::Upgrade;
    answer.accepted = heard.accepted;
    return answer;
}
