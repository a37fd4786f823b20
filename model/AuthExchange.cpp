#include "AuthExchange.h"

#include "Conversation.h"
#include "Dialects.h"
#include "RowText.h"

#include <QCoreApplication>

namespace {

// How far back an answer looks for its challenge and its AUTH command.
constexpr int LookBackRows = 16;

bool decodeBase64(QByteArrayView text, QByteArray *out)
{
    const QByteArray trimmed = text.toByteArray().trimmed();
    auto decoded = QByteArray::fromBase64Encoding(trimmed, QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded)
        return false;
    *out = *decoded;
    return true;
}

// Decoded bytes as one safe line: control characters written \xHH.
QString readable(QByteArrayView bytes)
{
    return QString::fromUtf8(RowText::transcript(Side::Client, bytes).mid(3));
}

// A login command ("AUTH PLAIN xyz", "a1 AUTHENTICATE PLAIN xyz") gives its
// mechanism and argument; false for anything else. The row's protocol is not
// known: it reads as any dialect would.
bool splitAuth(QByteArrayView row, QByteArray *mechanism, QByteArray *argument)
{
    const LoginStart login = Dialects::unknown().login(row);
    if (login.mechanism.isEmpty())
        return false;
    *mechanism = login.mechanism;
    *argument = login.initial;
    return true;
}

// A server's challenge ("334 xyz", "+ xyz"): its base64 text.
bool challengeOf(QByteArrayView row, QByteArray *base64)
{
    return Dialects::unknown().challenge(row, base64);
}

void readPlain(const QByteArray &decoded, AuthExchange *out)
{
    // authorisation identity \0 user \0 password
    const QList<QByteArray> parts = decoded.split('\0');
    if (parts.size() != 3) {
        out->fields << QCoreApplication::translate("AuthExchange", "Décodé : %1").arg(readable(decoded));
        return;
    }
    out->fields << QCoreApplication::translate("AuthExchange", "Utilisateur : %1").arg(readable(parts[1]));
    if (!parts[0].isEmpty())
        out->fields << QCoreApplication::translate("AuthExchange", "Au nom de : %1").arg(readable(parts[0]));
    out->password = QString::fromUtf8(parts[2]);
}

} // namespace

AuthExchange AuthExchange::read(const Conversation &conversation, int row)
{
    AuthExchange out;
    const QByteArrayView bytes = conversation.bytes(row);
    QByteArray decoded;
    QByteArray mechanism;
    QByteArray argument;
    QByteArray base64;
    // Rows of other sessions served at once may stand between a login's rows:
    // only the row's own session counts, lest another client's challenge
    // unmask a password.
    const int session = conversation.session(row);
    const int stop = std::max(0, row - LookBackRows);
    const auto own = [&](int r, Side side) { return conversation.session(r) == session && conversation.side(r) == side; };
    const auto loginBefore = [&](int at) {
        while (at >= stop && !(own(at, Side::Client) && splitAuth(conversation.bytes(at), &mechanism, &argument)))
            --at;
        return at >= stop;
    };
    if (conversation.side(row) == Side::Server) {
        // A challenge, when a login began before it ("+ idling" is none).
        if (!challengeOf(bytes, &base64) || !decodeBase64(base64, &decoded) || !loginBefore(row - 1))
            return out;
        out.found = true;
        out.fields << QCoreApplication::translate("AuthExchange", "Défi du serveur : %1").arg(readable(decoded));
        return out;
    }
    if (splitAuth(bytes, &mechanism, &argument)) {
        if (argument.isEmpty() || argument == "=" || !decodeBase64(argument, &decoded))
            return out;
        out.found = true;
        if (mechanism == "PLAIN")
            readPlain(decoded, &out);
        else if (mechanism == "LOGIN")
            out.fields << QCoreApplication::translate("AuthExchange", "Utilisateur : %1").arg(readable(decoded));
        else
            out.fields << QCoreApplication::translate("AuthExchange", "Décodé : %1").arg(readable(decoded));
        return out;
    }

    // An answer: the server's row just before must be a challenge, and the
    // client's login command before that tells what is asked.
    QByteArray challenge;
    int at = row - 1;
    while (at >= stop && !own(at, Side::Server))
        --at;
    if (at < stop || !challengeOf(conversation.bytes(at), &base64) || !decodeBase64(bytes, &decoded))
        return out;
    // Without a login before it, a line after "+ " is a literal's, not an answer.
    if (!loginBefore(at))
        return out;
    decodeBase64(base64, &challenge);
    out.found = true;
    if (mechanism == "PLAIN") {
        readPlain(decoded, &out);
    } else if (mechanism == "LOGIN" && challenge.toLower().contains("pass")) {
        out.password = QString::fromUtf8(decoded);
    } else if (mechanism == "LOGIN") {
        out.fields << QCoreApplication::translate("AuthExchange", "Utilisateur : %1").arg(readable(decoded));
    } else {
        out.fields << QCoreApplication::translate("AuthExchange", "Décodé : %1").arg(readable(decoded));
    }
    return out;
}
