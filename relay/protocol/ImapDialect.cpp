#include "ImapDialect.h"

#include "Words.h"

#include <algorithm>

namespace {

// Keywords past this length are no status or verb worth keeping.
constexpr qsizetype WordBytes = 32;

QByteArray firstWord(QByteArrayView text)
{
    const qsizetype space = text.indexOf(' ');
    return text.first(std::min(space < 0 ? text.size() : space, WordBytes)).toByteArray().toUpper();
}

} // namespace

bool ImapDialect::isTag(QByteArrayView tag)
{
    return !tag.isEmpty() && std::all_of(tag.begin(), tag.end(), [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return u > ' ' && u < 0x7f && QByteArrayView("(){%*\"\\+").indexOf(c) < 0;
    });
}

bool ImapDialect::splitTag(QByteArrayView text, QByteArrayView *tag, QByteArrayView *rest)
{
    const qsizetype space = text.indexOf(' ');
    if (space <= 0 || !isTag(text.first(space)))
        return false;
    *tag = text.first(space);
    *rest = text.sliced(space + 1);
    return true;
}

bool ImapDialect::greets(QByteArrayView text) const
{
    return text.startsWith("* ");
}

Command ImapDialect::command(QByteArrayView text, bool cut) const
{
    Command out;
    QByteArrayView tag;
    QByteArrayView rest;
    // Without a tag it is no command: a line answering "+", IDLE's DONE, or
    // one a server rejects with an untagged BAD, reading no literal in it.
    if (!splitTag(text, &tag, &rest))
        return out;
    out.kind = Command::Kind::Plain;
    out.tag = tag.toByteArray();
    out.verb = firstWord(rest);
    if (cut)
        return out;
    rest = Words::trimmed(rest);
    if (Words::same(rest, "STARTTLS"))
        out.kind = Command::Kind::Upgrade;
    else if (Words::same(rest, "LOGOUT"))
        out.kind = Command::Kind::Close;
    else if (Words::leads(rest, "COMPRESS"))
        out.kind = Command::Kind::Compress;
    return out;
}

Answer ImapDialect::answer(QByteArrayView text) const
{
    Answer out;
    if (Words::leads(text, "*")) {
        out.role = Answer::Role::Untagged;
        out.status = firstWord(text.sliced(std::min<qsizetype>(2, text.size())));
        return out;
    }
    if (Words::leads(text, "+")) {
        out.role = Answer::Role::Continuation;
        out.replyClass = Answer::Class::Intermediate;
        out.status = "+";
        return out;
    }
    QByteArrayView tag;
    QByteArrayView rest;
    if (!splitTag(text, &tag, &rest))
        return out;
    out.role = Answer::Role::Final;
    out.tag = tag.toByteArray();
    out.status = firstWord(rest);
    if (Words::leads(rest, "OK"))
        out.replyClass = Answer::Class::Positive;
    else if (Words::leads(rest, "NO"))
        out.replyClass = Answer::Class::TransientNegative;
    else if (Words::leads(rest, "BAD"))
        out.replyClass = Answer::Class::PermanentNegative;
    return out;
}

qsizetype ImapDialect::literal(QByteArrayView last, bool *sync) const
{
    *sync = false;
    if (last.endsWith('\n'))
        last.chop(1);
    if (last.endsWith('\r'))
        last.chop(1);
    if (!last.endsWith('}'))
        return -1;
    last.chop(1);
    const bool plus = last.endsWith('+');
    if (plus)
        last.chop(1);
    const qsizetype open = last.lastIndexOf('{');
    const QByteArrayView digits = open < 0 ? QByteArrayView() : last.sliced(open + 1);
    // An IMAP number is 32 bits: a larger one is refused, never counted.
    if (!Words::allDigits(digits) || digits.size() > 10 || digits.toLongLong() > 0xffffffffLL)
        return -1;
    *sync = !plus;
    return qsizetype(digits.toLongLong());
}

LoginStart ImapDialect::login(QByteArrayView text) const
{
    QByteArrayView tag;
    QByteArrayView rest;
    if (!splitTag(text, &tag, &rest))
        return {};
    const QList<QByteArrayView> words = Words::afterVerb(rest, "AUTHENTICATE");
    if (words.isEmpty())
        return {};
    return {words[0].toByteArray().toUpper(), words.value(1).toByteArray()};
}

bool ImapDialect::challenge(QByteArrayView text, QByteArray *base64) const
{
    if (!Words::leads(text, "+"))
        return false;
    *base64 = text.sliced(1).trimmed().toByteArray();
    return true;
}
