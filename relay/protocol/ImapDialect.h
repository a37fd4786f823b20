#ifndef DRAVLIN_IMAPDIALECT_H
#define DRAVLIN_IMAPDIALECT_H

#include "Dialect.h"

// IMAP4: commands carry a tag their final answer repeats ("a1 OK"), untagged
// "*" lines inform, "+" lets the client go on (a synchronising literal,
// AUTHENTICATE, IDLE). A line ending in a literal "{n}" is followed by n
// bytes of data, then the rest of the same command. STARTTLS and COMPRESS
// answered OK change what follows; LOGOUT ends.
class ImapDialect : public Dialect
{
public:
    Id id() const override { return Id::Imap; }
    const char *name() const override { return "IMAP"; }
    bool greets(QByteArrayView text) const override;
    Command command(QByteArrayView text, bool cut) const override;
    Answer answer(QByteArrayView text) const override;
    qsizetype literal(QByteArrayView last, bool *sync) const override;
    LoginStart login(QByteArrayView text) const override;
    bool challenge(QByteArrayView text, QByteArray *base64) const override;

    // A tag as RFC 3501's grammar has it: 1*<ASTRING-CHAR except "+">, that is
    // CHARs (0x01-0x7f) but controls, space and ( ) { % * " \ +; "]" is one.
    static bool isTag(QByteArrayView tag);

private:
    // The tag and what follows its space, or false when the line has no tag.
    static bool splitTag(QByteArrayView text, QByteArrayView *tag, QByteArrayView *rest);
};

#endif
