#include "CommandLine.h"

#include <QCommandLineParser>
#include <QCoreApplication>

bool CommandLine::splitServer(const QString &text, QString *host, QString *port, bool *portGiven)
{
    *portGiven = false;
    const QString t = text.trimmed();
    if (t.startsWith(QLatin1Char('['))) {
        const qsizetype close = t.indexOf(QLatin1Char(']'));
        if (close < 0)
            return false;
        *host = t.mid(1, close - 1);
        const QString rest = t.mid(close + 1);
        if (rest.isEmpty())
            return !host->isEmpty();
        if (!rest.startsWith(QLatin1Char(':')))
            return false;
        *port = rest.mid(1);
        *portGiven = true;
        return !host->isEmpty();
    }
    // A bare IPv6 address has several colons and no port.
    if (t.count(QLatin1Char(':')) == 1) {
        const qsizetype colon = t.indexOf(QLatin1Char(':'));
        *host = t.left(colon);
        *port = t.mid(colon + 1);
        *portGiven = true;
    } else {
        *host = t;
    }
    return !host->isEmpty();
}

CommandLine::Outcome CommandLine::parse(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Relais TCP qui affiche, ligne par ligne, la conversation entre un client et un "
        "serveur (SMTP, POP3, ...). Sans option, ouvre la fenêtre."));
    const QCommandLineOption helpOption({QStringLiteral("h"), QStringLiteral("help")},
                                        QStringLiteral("Affiche cette aide."));
    const QCommandLineOption versionOption({QStringLiteral("v"), QStringLiteral("version")},
                                           QStringLiteral("Affiche la version."));
    const QCommandLineOption consoleOption(
        QStringLiteral("console"),
        QStringLiteral("Sans fenêtre : écrit les lignes sur la sortie standard (C: client, "
                       "S: serveur) et les événements sur la sortie d'erreur."));
    const QCommandLineOption listenOption(
        QStringLiteral("listen"),
        QStringLiteral("Port local sur lequel attendre le client (défaut : %1).")
            .arg(QLatin1String(DefaultPort)),
        QStringLiteral("port"));
    const QCommandLineOption serverOption(
        QStringLiteral("server"),
        QStringLiteral("Serveur vers lequel relayer (défaut : %1). Sans port, celui du serveur "
                       "est le port local. IPv6 avec port : [adresse]:port.")
            .arg(QLatin1String(DefaultServer)),
        QStringLiteral("hôte[:port]"));
    const QCommandLineOption timestampsOption(
        QStringLiteral("timestamps"),
        QStringLiteral("Avec --console seulement : fait précéder chaque ligne de l'heure locale "
                       "d'arrivée, HH:MM:SS.mmm."));
    const QCommandLineOption startOption(
        QStringLiteral("start"),
        QStringLiteral("Fenêtre seulement : clique sur « Ecouter » dès que la fenêtre est "
                       "affichée."));
    parser.addOption(helpOption);
    parser.addOption(versionOption);
    parser.addOption(consoleOption);
    parser.addOption(listenOption);
    parser.addOption(serverOption);
    parser.addOption(timestampsOption);
    parser.addOption(startOption);

    helpText = parser.helpText()
                   .replace(QStringLiteral("Usage:"), QStringLiteral("Utilisation :"))
                   .replace(QStringLiteral("Options:"), QStringLiteral("Options :"));
    versionText = QStringLiteral("%1 %2").arg(QCoreApplication::applicationName(),
                                             QCoreApplication::applicationVersion());

    if (!parser.parse(arguments)) {
        const QStringList unknown = parser.unknownOptionNames();
        if (!unknown.isEmpty())
            errorText = QStringLiteral("option inconnue : %1%2")
                            .arg(unknown.first().size() > 1 ? QStringLiteral("--") : QStringLiteral("-"),
                                 unknown.first());
        else
            errorText = QStringLiteral("option incomplète (%1)").arg(parser.errorText());
        return Outcome::Error;
    }
    if (!parser.positionalArguments().isEmpty()) {
        errorText = QStringLiteral("argument inattendu : %1").arg(parser.positionalArguments().first());
        return Outcome::Error;
    }
    if (parser.isSet(helpOption))
        return Outcome::ShowHelp;
    if (parser.isSet(versionOption))
        return Outcome::ShowVersion;

    console = parser.isSet(consoleOption);
    timestamps = parser.isSet(timestampsOption);
    start = parser.isSet(startOption);
    if (parser.isSet(listenOption)) {
        listenPortText = parser.value(listenOption);
        listenGiven = true;
    }
    QString serverPort;
    if (parser.isSet(serverOption)) {
        serverGiven = true;
        if (!splitServer(parser.value(serverOption), &serverHostText, &serverPort, &serverPortGiven)) {
            errorText = QStringLiteral("--server : « %1 » n'est pas de la forme hôte[:port]")
                            .arg(parser.value(serverOption));
            return Outcome::Error;
        }
    }
    // The server port follows the local port unless given, as the window mirrors it.
    serverPortText = serverPortGiven ? serverPort : listenPortText;
    return Outcome::Run;
}
