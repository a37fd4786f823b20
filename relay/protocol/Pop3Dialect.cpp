#include "Pop3Dialect.h"

#include "Words.h"

bool Pop3Dialect::greets(QByteArrayView text) const
{
    return answer(text).role == Answer::Role::Final;
}

Command Pop3Dialect::command(QByteArrayView text, bool cut) const
{
    Command out;
    const Words::Leading words = commandWords(text, cut, &out);
    if (words.isEmpty() || cut)
        return out;
    const QByteArray &verb = out.verb;
    if (words.size() == 1 && verb == "STLS")
        out.kind = Command::Kind::Upgrade;
    else if (words.size() == 1 && verb == "QUIT")
        out.kind = Command::Kind::Close;
    else if ((words.size() == 1 && (verb == "CAPA" || verb == "LIST" || verb == "UIDL"))
             || (words.size() > 1 && (verb == "RETR" || verb == "TOP")))
        out.kind = Command::Kind::Listing;
    return out;
}

Answer Pop3Dialect::answer(QByteArrayView text) const
{
    Answer out;
    if (Words::leads(text, "+OK")) {
        out.role = Answer::Role::Final;
        out.replyClass = Answer::Class::Positive;
        out.status = "+OK";
    } else if (Words::leads(text, "-ERR")) {
        out.role = Answer::Role::Final;
        out.replyClass = Answer::Class::PermanentNegative;
        out.status = "-ERR";
    } else if (Words::leads(text, "+")) {
        out.role = Answer::Role::Continuation;
        out.replyClass = Answer::Class::Intermediate;
        out.status = "+";
    }
    return out;
}

LoginStart Pop3Dialect::login(QByteArrayView text) const
{
    const QList<QByteArrayView> words = Words::afterVerb(text, "AUTH");
    if (words.isEmpty())
        return {};
    return {words[0].toByteArray().toUpper(), words.value(1).toByteArray()};
}

bool Pop3Dialect::challenge(QByteArrayView text, QByteArray *base64) const
{
    if (!Words::leads(text, "+"))
        return false;
    *base64 = text.sliced(1).trimmed().toByteArray();
    return true;
}
