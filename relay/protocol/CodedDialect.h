#ifndef DRAVLIN_CODEDDIALECT_H
#define DRAVLIN_CODEDDIALECT_H

#include "Dialect.h"

// What SMTP and FTP share: numbered replies, "250 text" alone or "250-text"
// lines up to one "250 text" (FTP lets other text stand between); 1xx is
// preliminary, the final answer to the same command follows.
class CodedDialect : public Dialect
{
public:
    bool greets(QByteArrayView text) const override;
    Answer answer(QByteArrayView text) const override;

protected:
    // Final, and with that code.
    static bool answersWith(const Answer &answer, QByteArrayView code);
};

#endif
