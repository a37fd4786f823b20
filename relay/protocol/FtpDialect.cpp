#include "FtpDialect.h"

#include "Words.h"

bool FtpDialect::greets(QByteArrayView text) const
{
    return CodedDialect::greets(text) && (text[0] == '1' || text.toByteArray().toUpper().contains("FTP"));
}

Command FtpDialect::command(QByteArrayView text, bool cut) const
{
    Command out;
    const Words::Leading words = commandWords(text, cut, &out);
    if (words.isEmpty() || cut)
        return out;
    if (words.size() == 1 && out.verb == "QUIT")
        out.kind = Command::Kind::Close;
    else if (words.size() == 2 && out.verb == "AUTH") {
        for (const char *mechanism : {"TLS", "SSL", "TLS-C", "TLS-P"}) {
            if (Words::same(words[1], mechanism))
                out.kind = Command::Kind::Upgrade;
        }
    }
    return out;
}

bool FtpDialect::accepts(const Command &command, const Answer &answer) const
{
    switch (command.kind) {
    case Command::Kind::Upgrade:
        return answersWith(answer, "234");
    case Command::Kind::Close:
        return answersWith(answer, "221");
    default:
        return Dialect::accepts(command, answer);
    }
}
