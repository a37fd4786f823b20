#include "RelaySettings.h"

bool RelaySettings::parsePort(const QString &text, quint16 *port)
{
    const QString digits = text.trimmed();
    if (digits.isEmpty())
        return false;
    for (const QChar c : digits) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
    }
    bool ok = false;
    const uint value = digits.toUInt(&ok);
    if (!ok || value < 1 || value > 65535)
        return false;
    *port = static_cast<quint16>(value);
    return true;
}

bool RelaySettings::parse(const QString &listenPortText, const QString &serverPortText,
                          const QString &serverHostText, RelaySettings *settings, QString *error)
{
    RelaySettings parsed;
    if (!parsePort(listenPortText, &parsed.listenPort)) {
        *error = QStringLiteral("Port d'écoute (« Serveur sur le port ») invalide : « %1 ». "
                                "Entrez un nombre entier de 1 à 65535.")
                     .arg(listenPortText);
        return false;
    }
    if (!parsePort(serverPortText, &parsed.serverPort)) {
        *error = QStringLiteral("Port du serveur (« Sur le port ») invalide : « %1 ». "
                                "Entrez un nombre entier de 1 à 65535.")
                     .arg(serverPortText);
        return false;
    }
    parsed.serverHost = serverHostText.trimmed();
    if (parsed.serverHost.isEmpty()) {
        *error = QStringLiteral("Adresse du serveur (« Redirige vers ») vide. "
                                "Entrez un nom d'hôte ou une adresse IP.");
        return false;
    }
    *settings = parsed;
    return true;
}
