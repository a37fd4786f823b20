#include "SmtpDialect.h"

#include "Dialects.h"
#include "Words.h"

namespace {

// A BDAT size: the server counts that many bytes; beyond 15 digits no server would.
constexpr qsizetype SizeDigits = 15;

} // namespace

Command SmtpDialect::command(QByteArrayView text, bool cut) const
{
    Command out;
    const Words::Leading words = commandWords(text, cut, &out);
    if (words.isEmpty() || cut)
        return out;
    if (words.size() == 1 && out.verb == "STARTTLS")
        out.kind = Command::Kind::Upgrade;
    else if (words.size() == 1 && out.verb == "DATA")
        out.kind = Command::Kind::Data;
    else if (words.size() == 1 && out.verb == "QUIT")
        out.kind = Command::Kind::Close;
    // An FTP server whose greeting does not name FTP reads as SMTP: its
    // upgrade is still one (no SASL mechanism is called TLS or SSL).
    else if (Dialects::of(Id::Ftp).command(text, false).kind == Command::Kind::Upgrade)
        out.kind = Command::Kind::Upgrade;
    // "BDAT <size> [LAST]", parted by any run of blanks as servers part it;
    // a malformed one is a command alone, its chunk read as further commands.
    else if (out.verb == "BDAT" && (words.size() == 2 || (words.size() == 3 && Words::same(words[2], "LAST")))
             && Words::allDigits(words[1]) && words[1].size() <= SizeDigits)
        out.chunk = qsizetype(words[1].toLongLong());
    return out;
}

bool SmtpDialect::accepts(const Command &command, const Answer &answer) const
{
    switch (command.kind) {
    case Command::Kind::Upgrade:
        return command.verb == "AUTH" ? Dialects::of(Id::Ftp).accepts(command, answer) : answersWith(answer, "220");
    case Command::Kind::Data:
        return answersWith(answer, "354");
    case Command::Kind::Close:
        return answersWith(answer, "221");
    default:
        return Dialect::accepts(command, answer);
    }
}

LoginStart SmtpDialect::login(QByteArrayView text) const
{
    const QList<QByteArrayView> words = Words::afterVerb(text, "AUTH");
    if (words.isEmpty() || command(text, false).kind == Command::Kind::Upgrade)
        return {};
    return {words[0].toByteArray().toUpper(), words.value(1).toByteArray()};
}

bool SmtpDialect::challenge(QByteArrayView text, QByteArray *base64) const
{
    if (!text.startsWith("334") || (text.size() > 3 && text[3] != ' '))
        return false;
    *base64 = text.sliced(std::min<qsizetype>(4, text.size())).trimmed().toByteArray();
    return true;
}
