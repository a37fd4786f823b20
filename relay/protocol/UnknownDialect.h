#ifndef DRAVLIN_UNKNOWNDIALECT_H
#define DRAVLIN_UNKNOWNDIALECT_H

#include "Dialect.h"

// A dialogue whose protocol is not known (yet): a line means what any of the
// known protocols would make of it, the first that sees more in it than a
// plain command or free text winning. Greets nothing.
class UnknownDialect : public Dialect
{
public:
    Id id() const override { return Id::Unknown; }
    const char *name() const override { return "?"; }
    bool greets(QByteArrayView) const override { return false; }
    Command command(QByteArrayView text, bool cut) const override;
    Answer answer(QByteArrayView text) const override;
    bool accepts(const Command &command, const Answer &answer) const override;
    qsizetype literal(QByteArrayView last, bool *sync) const override;
    LoginStart login(QByteArrayView text) const override;
    bool challenge(QByteArrayView text, QByteArray *base64) const override;
};

#endif
