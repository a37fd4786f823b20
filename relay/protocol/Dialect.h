#ifndef DRAVLIN_DIALECT_H
#define DRAVLIN_DIALECT_H

#include <QByteArray>
#include <QByteArrayView>
#include <QList>

#include "Words.h"

// What one line protocol's lines mean, line by line, with no memory: the
// greeting, what a client line asks and how the server reads what follows
// it, what a server line answers and how, the upgrade to TLS, the
// dialogue's end, the login's words. One subclass per protocol (SmtpDialect,
// Pop3Dialect, ImapDialect, FtpDialect) and UnknownDialect, which reads a line
// as any of them would. Pairing answers with commands over time is
// Dialogue's; a new protocol is one subclass, listed in Dialects.
//
// Lines are given without their line end ("text"); a line longer than
// Line::StartBytes comes as its start with cut set.

// What a client line asks of the server.
struct Command {
    enum class Kind : quint8 {
        None,     // no command: the server reads it as part of another one, or rejects it unread
        Plain,    // any command with one answer
        Upgrade,  // STARTTLS, STLS, AUTH TLS...: a positive answer turns the dialogue into TLS
        Data,     // SMTP DATA: 354 is answered, then the message up to a line of one dot
        Listing,  // POP3 LIST, UIDL, RETR, TOP, CAPA: +OK is followed by lines up to "."
        Compress, // IMAP COMPRESS: once accepted the rest is compressed
        Close,    // QUIT, LOGOUT: answered, the dialogue is over
    };
    Kind kind = Kind::None;
    QByteArray tag;       // IMAP: the tag its answer bears; empty elsewhere
    QByteArray verb;      // upper case: "EHLO", "STARTTLS", "BDAT"...
    qsizetype chunk = -1; // SMTP BDAT: that many bytes of data follow the line
};

// What one server line says, alone.
struct Answer {
    enum class Role : quint8 {
        Foreign,      // not a line of this protocol
        Text,         // free text: within a multi-line reply (FTP) or listing
        Untagged,     // IMAP "*": information, answering no command in particular
        Continuation, // "+" (IMAP, POP3 SASL): go on with the literal or the exchange
        Preliminary,  // 1xx: the final answer to the same command follows
        Partial,      // "250-": a line of a multi-line reply, more follow
        Final,        // the answer (or its last line)
    };
    // The tint of a reply: SMTP/FTP codes' first digit, +OK/-ERR, OK/NO/BAD.
    enum class Class : quint8 { None, Positive, Intermediate, TransientNegative, PermanentNegative };
    Role role = Role::Foreign;
    Class replyClass = Class::None;
    QByteArray tag;    // IMAP tagged answer
    QByteArray status; // the key to compare answers by: "250", "+OK", "-ERR", "OK", "NO", "BAD"
};

// A login command's words: "AUTH PLAIN <b64>" gives PLAIN and the base64.
struct LoginStart {
    QByteArray mechanism; // upper case; empty: not a login command
    QByteArray initial;   // initial response, base64, maybe empty or "="
};

class Dialect
{
public:
    enum class Id : quint8 { Unknown, Smtp, Pop3, Imap, Ftp };

    Dialect() = default;
    Dialect(const Dialect &) = delete;
    Dialect &operator=(const Dialect &) = delete;
    virtual ~Dialect() = default;

    virtual Id id() const = 0;
    // "SMTP", "POP3"...: for messages.
    virtual const char *name() const = 0;
    // Whether the server's first line greets in this protocol.
    virtual bool greets(QByteArrayView text) const = 0;
    // What the server makes of a line that starts a command.
    virtual Command command(QByteArrayView text, bool cut) const = 0;
    // What a server line says.
    virtual Answer answer(QByteArrayView text) const = 0;
    // Whether a final answer grants what the command asked: the upgrade
    // (220, +OK, tagged OK, 234), DATA's 354, a listing's +OK...
    virtual bool accepts(const Command &command, const Answer &answer) const;
    // An IMAP literal "{n}", "{n+}" or "~{n}" ending a line (whose last
    // bytes, line end included, are given): n, else -1; *sync when the sender
    // waits for the server's "+" before sending it.
    virtual qsizetype literal(QByteArrayView last, bool *sync) const;
    // Login: the command that starts one, and a server's challenge (its base64 text).
    virtual LoginStart login(QByteArrayView text) const;
    virtual bool challenge(QByteArrayView text, QByteArray *base64) const;

protected:
    // A command line's words, for the dialects whose commands start with a
    // verb: a Plain command with that verb (upper case) in *out, and no words
    // at all when the line starts blank. A cut line gives its first words only.
    static Words::Leading commandWords(QByteArrayView text, bool cut, Command *out);
};

#endif
