#ifndef DRAVLIN_FTPDIALECT_H
#define DRAVLIN_FTPDIALECT_H

#include "CodedDialect.h"

// FTP's control connection: "AUTH TLS" (or SSL, TLS-C, TLS-P) answered 234,
// QUIT answered 221. Its greeting reads like SMTP's: it is told by naming FTP,
// or by coming preliminary (1xx), which SMTP never does.
class FtpDialect : public CodedDialect
{
public:
    Id id() const override { return Id::Ftp; }
    const char *name() const override { return "FTP"; }
    bool greets(QByteArrayView text) const override;
    Command command(QByteArrayView text, bool cut) const override;
    bool accepts(const Command &command, const Answer &answer) const override;
};

#endif
