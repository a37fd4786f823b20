#include "Dialect.h"

#include "Words.h"

bool Dialect::accepts(const Command &, const Answer &answer) const
{
    return answer.role == Answer::Role::Final && answer.replyClass == Answer::Class::Positive;
}

qsizetype Dialect::literal(QByteArrayView, bool *sync) const
{
    *sync = false;
    return -1;
}

LoginStart Dialect::login(QByteArrayView) const
{
    return {};
}

bool Dialect::challenge(QByteArrayView, QByteArray *) const
{
    return false;
}

Words::Leading Dialect::commandWords(QByteArrayView text, bool cut, Command *out)
{
    out->kind = Command::Kind::Plain;
    // A line that starts blank holds no verb a server knows.
    if (text.isEmpty() || Words::isBlank(text[0]))
        return {};
    const Words::Leading words = Words::leading(cut ? text.first(64) : text);
    out->verb = words[0].toByteArray().toUpper();
    return words;
}
