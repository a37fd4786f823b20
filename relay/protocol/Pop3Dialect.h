#ifndef DRAVLIN_POP3DIALECT_H
#define DRAVLIN_POP3DIALECT_H

#include "Dialect.h"

// POP3: every answer +OK or -ERR, "+ " a SASL challenge; STLS answered +OK;
// CAPA, LIST and UIDL without argument, RETR and TOP answered +OK are
// followed by lines up to one of a single dot; QUIT ends.
class Pop3Dialect : public Dialect
{
public:
    Id id() const override { return Id::Pop3; }
    const char *name() const override { return "POP3"; }
    bool greets(QByteArrayView text) const override;
    Command command(QByteArrayView text, bool cut) const override;
    Answer answer(QByteArrayView text) const override;
    LoginStart login(QByteArrayView text) const override;
    bool challenge(QByteArrayView text, QByteArray *base64) const override;
};

#endif
