#include "AuthExchange.h"

#include "Conversation.h"
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

// "AUTH PLAIN xyz" gives "PLAIN" and "xyz"; false for anything else.
bool splitAuth(QByteArrayView row, QByteArray *mechanism, QByteArray *argument)
{
    const QList<QByteArray> words = row.toByteArray().simplified().split(' ');
    if (words.size() < 2 || words[0].toUpper() != "AUTH")
        return false;
    *mechanism = words[1].toUpper();
    *argument = words.value(2);
    return true;
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
    if (conversation.side(row) == Side::Server) {
        if (!bytes.startsWith("334") || (bytes.size() > 3 && bytes[3] != ' ')
            || !decodeBase64(bytes.sliced(std::min<qsizetype>(4, bytes.size())), &decoded))
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

    // An answer: the server's row just before must be a 334 challenge, and the
    // client's AUTH command before that tells what is asked. Rows of other
    // sessions served at once may stand between them: only the row's own
    // session counts, lest another client's challenge unmask a password.
    QByteArray challenge;
    const int session = conversation.session(row);
    const auto others = [&](int r) { return conversation.session(r) != session; };
    int at = row - 1;
    const int stop = std::max(0, row - LookBackRows);
    while (at >= stop && (others(at) || conversation.side(at) != Side::Server))
        --at;
    if (at < stop || !conversation.bytes(at).startsWith("334") || !decodeBase64(bytes, &decoded))
        return out;
    decodeBase64(conversation.bytes(at).sliced(std::min<qsizetype>(4, conversation.bytes(at).size())), &challenge);
    while (at >= stop
           && (others(at) || !(conversation.side(at) == Side::Client && splitAuth(conversation.bytes(at), &mechanism, &argument))))
        --at;
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
