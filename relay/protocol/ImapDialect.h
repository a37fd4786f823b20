#ifndef DRAVLIN_IMAPDIALECT_H
#define DRAVLIN_IMAPDIALECT_H

#include "Dialect.h"

class ImapDialect : public Dialect
{
public:
    Id id() const override;
    const char *name() const override;
    bool greets(QByteArrayView text) const override;
    Command command(QByteArrayView text, bool cut) const override;
    Answer answer(QByteArrayView text) const override;
};

#endif
