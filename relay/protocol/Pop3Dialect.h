#ifndef DRAVLIN_POP3DIALECT_H
#define DRAVLIN_POP3DIALECT_H

#include "Dialect.h"

class Pop3Dialect : public Dialect
{
public:
    Id id() const override;
    const char *name() const override;
    bool greets(QByteArrayView text) const override;
    Command command(QByteArrayView text, bool cut) const override;
    Answer answer(QByteArrayView text) const override;
};

#endif
