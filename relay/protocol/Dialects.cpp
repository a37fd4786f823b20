#include "Dialects.h"

#include "FtpDialect.h"
#include "ImapDialect.h"
#include "Pop3Dialect.h"
#include "SmtpDialect.h"
#include "UnknownDialect.h"

namespace {

// Built once, on first use, and never changed: lines are read from any thread.
struct Instances {
    SmtpDialect smtp;
    Pop3Dialect pop3;
    ImapDialect imap;
    FtpDialect ftp;
    UnknownDialect unknown;
};

const Instances &instances()
{
    static const Instances all;
    return all;
}

} // namespace

QList<const Dialect *> Dialects::known()
{
    const Instances &all = instances();
    // FTP before SMTP: both greet with numbered replies, FTP's says so.
    return {&all.ftp, &all.smtp, &all.pop3, &all.imap};
}

const Dialect &Dialects::unknown()
{
    return instances().unknown;
}

const Dialect &Dialects::of(Dialect::Id id)
{
    const Instances &all = instances();
    switch (id) {
    case Dialect::Id::Smtp:
        return all.smtp;
    case Dialect::Id::Pop3:
        return all.pop3;
    case Dialect::Id::Imap:
        return all.imap;
    case Dialect::Id::Ftp:
        return all.ftp;
    case Dialect::Id::Unknown:
        break;
    }
    return all.unknown;
}

const Dialect &Dialects::greetedBy(QByteArrayView text)
{
    for (const Dialect *dialect : known()) {
        if (dialect->greets(text))
            return *dialect;
    }
    return unknown();
}
