#include "Dialect.h"

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
