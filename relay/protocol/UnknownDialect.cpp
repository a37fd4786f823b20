#include "UnknownDialect.h"

#include "Dialects.h"
#include "Words.h"

namespace {

const Dialect &of(Dialect::Id id)
{
    return Dialects::of(id);
}

} // namespace

Command UnknownDialect::command(QByteArrayView text, bool cut) const
{
    const Command imap = of(Id::Imap).command(text, cut);
    // SMTP's reading is the one kept when no dialect sees more: it keeps a BDAT chunk's count.
    Command smtp = of(Id::Smtp).command(text, cut);
    smtp.tag = imap.tag;
    if (smtp.kind != Command::Kind::Plain)
        return smtp;
    for (const Id id : {Id::Pop3, Id::Ftp}) {
        Command out = of(id).command(text, cut);
        if (out.kind != Command::Kind::Plain) {
            out.tag = imap.tag;
            return out;
        }
    }
    if (imap.kind != Command::Kind::Plain && imap.kind != Command::Kind::None)
        return imap;
    return smtp;
}

Answer UnknownDialect::answer(QByteArrayView text) const
{
    if (Answer out = of(Id::Smtp).answer(text); out.role != Answer::Role::Text)
        return out;
    if (Answer out = of(Id::Pop3).answer(text); out.role != Answer::Role::Foreign)
        return out;
    return of(Id::Imap).answer(text);
}

bool UnknownDialect::accepts(const Command &command, const Answer &answer) const
{
    // The answer's shape tells whose it is; FTP's AUTH is told by its verb.
    if (Words::allDigits(answer.status))
        return of(command.verb == "AUTH" ? Id::Ftp : Id::Smtp).accepts(command, answer);
    if (answer.status == "+OK" || answer.status == "-ERR")
        return of(Id::Pop3).accepts(command, answer);
    return of(Id::Imap).accepts(command, answer);
}

qsizetype UnknownDialect::literal(QByteArrayView last, bool *sync) const
{
    return of(Id::Imap).literal(last, sync);
}

LoginStart UnknownDialect::login(QByteArrayView text) const
{
    if (LoginStart out = of(Id::Smtp).login(text); !out.mechanism.isEmpty())
        return out;
    return of(Id::Imap).login(text);
}

bool UnknownDialect::challenge(QByteArrayView text, QByteArray *base64) const
{
    return of(Id::Smtp).challenge(text, base64) || of(Id::Imap).challenge(text, base64);
}
