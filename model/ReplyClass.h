#ifndef DRAVLIN_REPLYCLASS_H
#define DRAVLIN_REPLYCLASS_H

#include <QByteArrayView>

// What a server's line says of the command it answers, as the dialects read
// it (relay/protocol), a row alone being read as any protocol would:
// - SMTP and FTP: a three-digit code, alone or followed by a space or by "-"
//   (a line of a multi-line reply); 1xx and 3xx wait for more, 2xx succeed,
//   4xx fail for now, 5xx fail for good.
// - POP3: "+OK" succeeds and "-ERR" fails; "+ " asks for more (SASL).
// - IMAP: a tagged (RFC 3501 tags) "OK" succeeds, "NO" fails for now (the command could not
//   be carried out), "BAD" fails for good (the command was wrong); "+ " asks
//   for more. Untagged "*" lines only inform, so they stay neutral.
class ReplyClass
{
public:
    enum Kind { None, Positive, Intermediate, TransientNegative, PermanentNegative };

    static Kind classify(QByteArrayView row);
};

#endif
