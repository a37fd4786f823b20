#ifndef DRAVLIN_AUTHEXCHANGE_H
#define DRAVLIN_AUTHEXCHANGE_H

#include <QString>
#include <QStringList>

class Conversation;

// What a row of an SMTP, POP3 or IMAP login says once its base64 is decoded:
// an "AUTH PLAIN" or "AUTH LOGIN" (IMAP: AUTHENTICATE) argument, a challenge
// ("334", "+"), or the client's answer to one, read in the light of the rows
// before it. Each protocol's words are its dialect's (relay/protocol).
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
