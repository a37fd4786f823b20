#ifndef DRAVLIN_AUTHEXCHANGE_H
#define DRAVLIN_AUTHEXCHANGE_H

#include <QString>
#include <QStringList>

class Conversation;

// What a row of an SMTP (or POP3, IMAP) login says once its base64 is
// decoded: an "AUTH PLAIN" or "AUTH LOGIN" argument, a "334" challenge, or the
// client's answer to one, read in the light of the rows before it.
struct AuthExchange
{
    bool found = false;
    // Readable lines, e.g. "Utilisateur : alice"; the password is not among them.
    QStringList fields;
    // Empty when the row carries no password.
    QString password;

    static AuthExchange read(const Conversation &conversation, int row);
};

#endif
