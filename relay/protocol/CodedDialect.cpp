#include "CodedDialect.h"

#include "Words.h"

bool CodedDialect::greets(QByteArrayView text) const
{
    const Answer::Role role = answer(text).role;
    return role == Answer::Role::Final || role == Answer::Role::Partial || role == Answer::Role::Preliminary;
}

Answer CodedDialect::answer(QByteArrayView text) const
{
    Answer out;
    out.role = Answer::Role::Text;
    if (text.size() < 3 || !Words::allDigits(text.first(3)))
        return out;
    const char mark = text.size() > 3 ? text[3] : ' ';
    if (mark != ' ' && mark != '-')
        return out;
    out.status = text.first(3).toByteArray();
    out.role = mark == '-' ? Answer::Role::Partial : text[0] == '1' ? Answer::Role::Preliminary : Answer::Role::Final;
    switch (text[0]) {
    case '1':
    case '3':
        out.replyClass = Answer::Class::Intermediate;
        break;
    case '2':
        out.replyClass = Answer::Class::Positive;
        break;
    case '4':
        out.replyClass = Answer::Class::TransientNegative;
        break;
    case '5':
        out.replyClass = Answer::Class::PermanentNegative;
        break;
    default:
        break;
    }
    return out;
}

bool CodedDialect::answersWith(const Answer &answer, QByteArrayView code)
{
    return answer.role == Answer::Role::Final && answer.status == code;
}
