#ifndef DRAVLIN_FTPDIALECT_H
#define DRAVLIN_FTPDIALECT_H

#include "Dialect.h"

class FtpDialect : public Dialect
{
public:
    Id id() const override;
    const char *name() const override;
    bool greets(QByteArrayView text) const override;
    Command command(QByteArrayView text, bool cut) const override;
    Answer answer(QByteArrayView text) const override;
};

#endif
