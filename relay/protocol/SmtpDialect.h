#ifndef DRAVLIN_SMTPDIALECT_H
#define DRAVLIN_SMTPDIALECT_H

#include "CodedDialect.h"

// SMTP with pipelining and CHUNKING: STARTTLS answered 220, DATA answered
// 354 then the message up to a line of one dot, "BDAT <size> [LAST]" followed
// by exactly size bytes of data, QUIT answered 221, AUTH with base64 and 334
// challenges.
class SmtpDialect : public CodedDialect
{
public:
    Id id() const override { return Id::Smtp; }
    const char *name() const override { return "SMTP"; }
    Command command(QByteArrayView text, bool cut) const override;
    bool accepts(const Command &command, const Answer &answer) const override;
    LoginStart login(QByteArrayView text) const override;
    bool challenge(QByteArrayView text, QByteArray *base64) const override;
};

#endif
