#include "CommandLine.h"

#include "EventText.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QHostAddress>

#include <algorithm>

namespace {

// QCommandLineParser words its own failures in English; they are worded here
// from what it tells us (unknown names) and from the arguments themselves.
QString parseFailure(const QCommandLineParser &parser, const QStringList &arguments,
                     const QList<QCommandLineOption> &options)
{
    const QStringList unknown = parser.unknownOptionNames();
    if (!unknown.isEmpty())
        return QCoreApplication::translate("CommandLine", "option inconnue : %1%2")
            .arg(unknown.first().size() > 1 ? QStringLiteral("--") : QStringLiteral("-"), unknown.first());
    for (const QCommandLineOption &option : options) {
        const QString name = QStringLiteral("--") + option.names().constLast();
        const bool takesValue = !option.valueName().isEmpty();
        for (const QString &argument : arguments.mid(1)) {
            if (!takesValue && argument.startsWith(name + QLatin1Char('=')))
                return QCoreApplication::translate("CommandLine", "l'option %1 ne prend pas de valeur (« %2 »)").arg(name, argument);
        }
        if (takesValue && arguments.size() > 1 && arguments.constLast() == name)
            return QCoreApplication::translate("CommandLine", "valeur manquante après %1 (attendu : %1 %2)").arg(name, option.valueName());
    }
    return QCoreApplication::translate("CommandLine", "options illisibles : %1").arg(arguments.mid(1).join(QLatin1Char(' ')));
}

} // namespace

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
    if (t.count(QLatin1Char(':')) == 1) {
        const qsizetype colon = t.indexOf(QLatin1Char(':'));
        *host = t.left(colon);
        *port = t.mid(colon + 1);
        *portGiven = true;
        return !host->isEmpty();
    }
    // Several colons: a bare IPv6 address, which cannot carry a port. Anything
    // else (host:25:26) is a typing slip, not a host name.
    *host = t;
    return !t.contains(QLatin1Char(':')) || QHostAddress().setAddress(t);
}

CommandLine::Outcome CommandLine::parse(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(tr(
        "Relais TCP qui affiche, ligne par ligne, la conversation entre un client et un "
        "serveur (SMTP, POP3, ...). Sans option, ouvre la fenêtre."));
    // One entry per option, in the order the help lists them.
    enum Option { Help, Version, Console, Listen, Server, Clients, Timestamps, Start, Open, Pcap, InspectTls,
                  TlsInsecure, ServerTls, ExportCa, Replay, Session, Timeout };
    const QList<QCommandLineOption> options = {
        {{QStringLiteral("h"), QStringLiteral("help")},
         tr("Affiche cette aide.")},
        {{QStringLiteral("v"), QStringLiteral("version")},
         tr("Affiche la version.")},
        {QStringLiteral("console"),
         tr("Sans fenêtre : écrit les lignes sur la sortie standard (C: client, "
            "S: serveur) et les événements sur la sortie d'erreur.")},
        {QStringLiteral("listen"),
         tr("Port local sur lequel attendre le client (défaut : %1).")
             .arg(RelaySettings::DefaultPort),
         tr("port")},
        {QStringLiteral("server"),
         tr("Serveur vers lequel relayer (défaut : %1). Sans port, celui du serveur "
            "est le port local. IPv6 avec port : [adresse]:port.")
             .arg(QLatin1String(RelaySettings::DefaultServerHost)),
         tr("hôte[:port]")},
        {QStringLiteral("clients"),
         tr("Nombre de clients servis à la fois, de 1 à %1 (défaut : 1) ; les suivants "
            "attendent leur tour. Au-delà de 1, chaque ligne de la console commence par le "
            "numéro de sa session (#1, #2, ...).")
             .arg(RelaySettings::MaxClients),
         tr("nombre")},
        {QStringLiteral("timestamps"),
         tr("Avec --console seulement : fait précéder chaque ligne de l'heure locale "
            "d'arrivée, HH:MM:SS.mmm.")},
        {QStringLiteral("start"),
         tr("Fenêtre seulement : clique sur « Ecouter » dès que la fenêtre est "
            "affichée.")},
        {QStringLiteral("open"),
         tr("Fenêtre seulement : affiche une conversation enregistrée, en lecture seule "
            "jusqu'au prochain « Ecouter »."),
         tr("fichier")},
        {QStringLiteral("pcap"),
         tr("Avec --console seulement : écrit aussi la conversation dans une capture pcap, "
            "au fil de l'eau (lisible par Wireshark ou tshark)."),
         tr("fichier")},
        {QStringLiteral("inspect-tls"),
         tr("Suit STARTTLS, STLS, AUTH TLS et le TLS implicite, et montre en clair ce qui "
            "passe chiffré ; le client voit un certificat de l'autorité de Dravlin.")},
        {QStringLiteral("tls-insecure"),
         tr("Accepte tout certificat du serveur (son empreinte SHA-256 est montrée) au "
            "lieu de le vérifier.")},
        {QStringLiteral("server-tls"),
         tr("Client en clair, TLS vers le serveur dès le premier octet (pour parler à un "
            "serveur TLS avec nc).")},
        {QStringLiteral("export-ca"),
         tr("Écrit le certificat de l'autorité de Dravlin (PEM) dans ce fichier, en la "
            "créant au besoin, puis s'arrête."),
         tr("fichier")},
        {QStringLiteral("replay"),
         tr("Rejoue contre --server la session enregistrée dans ce fichier (transcription de "
            "la fenêtre ou de --console) et dit quelles réponses diffèrent. Sans port, celui "
            "de l'enregistrement, sinon 25."),
         tr("fichier")},
        {QStringLiteral("session"),
         tr("Avec --replay : la session à rejouer, par son numéro (#K), quand le fichier en "
            "tient plusieurs."),
         tr("numéro")},
        {QStringLiteral("timeout"),
         tr("Avec --replay : secondes d'attente au plus pour chaque réponse (défaut : %1).")
             .arg(DefaultReplayTimeoutSeconds),
         tr("secondes")},
    };
    parser.addOptions(options);

    // In French when Qt's own translation is installed, as main() does.
    helpText = parser.helpText();
    versionText = QStringLiteral("%1 %2").arg(QCoreApplication::applicationName(),
                                             QCoreApplication::applicationVersion());

    if (!parser.parse(arguments)) {
        errorText = parseFailure(parser, arguments, options);
        return Outcome::Error;
    }
    if (!parser.positionalArguments().isEmpty()) {
        errorText = tr("argument inattendu : %1").arg(parser.positionalArguments().constFirst());
        return Outcome::Error;
    }
    if (parser.isSet(options[Help]))
        return Outcome::ShowHelp;
    if (parser.isSet(options[Version]))
        return Outcome::ShowVersion;

    // A second value would silently win over the first; say so instead.
    for (const Option option : {Listen, Server, Clients, Open, Pcap, ExportCa, Replay, Session, Timeout}) {
        const QStringList values = parser.values(options[option]);
        if (values.size() > 1) {
            errorText = tr("--%1 donné %2 fois (%3) : une seule valeur est possible")
                            .arg(options[option].names().constFirst())
                            .arg(values.size())
                            .arg(values.join(QStringLiteral(", ")));
            return Outcome::Error;
        }
    }
    if (parser.isSet(options[Replay]))
        return parseReplay(parser) ? Outcome::Replay : Outcome::Error;
    for (const Option option : {Session, Timeout}) {
        if (parser.isSet(options[option])) {
            errorText = tr("--%1 va avec --replay").arg(options[option].names().constFirst());
            return Outcome::Error;
        }
    }
    console = parser.isSet(options[Console]);
    timestamps = parser.isSet(options[Timestamps]);
    start = parser.isSet(options[Start]);
    openPath = parser.value(options[Open]);
    pcapPath = parser.value(options[Pcap]);
    // Each belongs to one front end: given to the other it would do nothing, silently.
    if (parser.isSet(options[Open]) && (console || start)) {
        errorText = tr("--open va avec la fenêtre seule, sans --console ni --start");
        return Outcome::Error;
    }
    if (parser.isSet(options[Pcap]) && !console) {
        errorText = tr("--pcap va avec --console ; dans la fenêtre, utilisez « Exporter en pcap… »");
        return Outcome::Error;
    }
    if ((parser.isSet(options[Open]) && openPath.isEmpty()) || (parser.isSet(options[Pcap]) && pcapPath.isEmpty())) {
        errorText = tr("nom de fichier vide après %1")
                        .arg(parser.isSet(options[Open]) ? QStringLiteral("--open") : QStringLiteral("--pcap"));
        return Outcome::Error;
    }
    tls.inspectTls = parser.isSet(options[InspectTls]);
    tls.tlsInsecure = parser.isSet(options[TlsInsecure]);
    tls.serverTls = parser.isSet(options[ServerTls]);
    if (parser.isSet(options[ExportCa])) {
        exportCaPath = parser.value(options[ExportCa]);
        if (exportCaPath.isEmpty()) {
            errorText = tr("nom de fichier vide après --export-ca");
            return Outcome::Error;
        }
        // An export that also relayed would leave the user wondering which happened.
        if (parser.optionNames().size() > 1) {
            errorText = tr("--export-ca s'emploie seul : il écrit le certificat puis s'arrête");
            return Outcome::Error;
        }
        return Outcome::ExportCa;
    }
    // On the console nothing could use it; the window may still tick "Déchiffrer TLS".
    if (console && tls.tlsInsecure && !tls.any()) {
        errorText = tr("--tls-insecure va avec --inspect-tls ou --server-tls");
        return Outcome::Error;
    }
    if (parser.isSet(options[Listen])) {
        listenPortText = parser.value(options[Listen]);
        listenGiven = true;
    }
    if (parser.isSet(options[Clients])) {
        clientsText = parser.value(options[Clients]);
        clientsGiven = true;
        // Refused here for both front ends: the window would otherwise show a
        // count it cannot use, and the console has no field to correct it in.
        if (!RelaySettings::parseClients(clientsText, &clients)) {
            using Error = RelaySettings::Error;
            errorText = EventText::settingsError(Error{Error::Field::Clients, Error::Problem::NotAClientCount, clientsText},
                                                 EventText::Naming::ConsoleOptions);
            return Outcome::Error;
        }
    }
    QString serverPort;
    if (parser.isSet(options[Server])) {
        serverGiven = true;
        if (!splitServer(parser.value(options[Server]), &serverHostText, &serverPort, &serverPortGiven)) {
            errorText = tr("--server : « %1 » n'est pas de la forme hôte[:port] "
                           "(une adresse IPv6 suivie d'un port s'écrit entre "
                           "crochets : [::1]:25)")
                            .arg(parser.value(options[Server]));
            return Outcome::Error;
        }
    }
    // The server port follows the local port unless given, as the window mirrors it.
    serverPortText = serverPortGiven ? serverPort : listenPortText;
    return Outcome::Run;
}

bool CommandLine::parseReplay(const QCommandLineParser &parser)
{
    // A replay takes the file, the server and how to wait; none of the relay's options.
    static const QStringList own{QStringLiteral("replay"), QStringLiteral("server"), QStringLiteral("session"),
                                 QStringLiteral("timeout"), QStringLiteral("tls-insecure"), QStringLiteral("timestamps")};
    for (const QString &name : parser.optionNames()) {
        if (!own.contains(name)) {
            errorText = tr("--%1 ne va pas avec --replay").arg(name);
            return false;
        }
    }
    replayPath = parser.value(QStringLiteral("replay"));
    if (replayPath.isEmpty()) {
        errorText = tr("nom de fichier vide après --replay");
        return false;
    }
    timestamps = parser.isSet(QStringLiteral("timestamps"));
    tls.tlsInsecure = parser.isSet(QStringLiteral("tls-insecure"));
    const auto number = [](const QString &text, int low, int high, int *value) {
        bool ok = false;
        const QString trimmed = text.trimmed();
        const int n = trimmed.toInt(&ok);
        const bool digits = !trimmed.isEmpty()
            && std::all_of(trimmed.begin(), trimmed.end(), [](QChar c) { return c >= u'0' && c <= u'9'; });
        if (!ok || !digits || n < low || n > high)
            return false;
        *value = n;
        return true;
    };
    if (parser.isSet(QStringLiteral("session"))
        && !number(parser.value(QStringLiteral("session")), 1, 999999999, &replaySession)) {
        errorText = tr("--session : « %1 » n'est pas un numéro de session (un entier à partir de 1)")
                        .arg(parser.value(QStringLiteral("session")));
        return false;
    }
    if (parser.isSet(QStringLiteral("timeout"))
        && !number(parser.value(QStringLiteral("timeout")), 1, MaxReplayTimeoutSeconds, &replayTimeoutSeconds)) {
        errorText = tr("--timeout : « %1 » n'est pas un nombre de secondes de 1 à %2")
                        .arg(parser.value(QStringLiteral("timeout")))
                        .arg(MaxReplayTimeoutSeconds);
        return false;
    }
    if (!parser.isSet(QStringLiteral("server"))) {
        errorText = tr("--replay demande --server hôte[:port] : le serveur contre lequel rejouer");
        return false;
    }
    serverGiven = true;
    QString port;
    if (!splitServer(parser.value(QStringLiteral("server")), &serverHostText, &port, &serverPortGiven)) {
        errorText = tr("--server : « %1 » n'est pas de la forme hôte[:port] (une adresse IPv6 suivie d'un "
                       "port s'écrit entre crochets : [::1]:25)")
                        .arg(parser.value(QStringLiteral("server")));
        return false;
    }
    serverPortText = serverPortGiven ? port : QString();
    quint16 checked = 0;
    return replayServer(&serverHostText, &checked, &errorText);
}

bool CommandLine::replayServer(QString *host, quint16 *port, QString *error) const
{
    *host = serverHostText.trimmed();
    *port = 0;
    if (!serverPortGiven)
        return true;
    bool ok = false;
    const uint number = serverPortText.trimmed().toUInt(&ok);
    if (!ok || number == 0 || number > 65535) {
        *error = tr("--server : port invalide : « %1 » (de 1 à 65535)").arg(serverPortText);
        return false;
    }
    *port = static_cast<quint16>(number);
    return true;
}

bool CommandLine::consoleSettings(RelaySettings *settings, QString *error) const
{
    RelaySettings parsed;
    if (const auto wrong = RelaySettings::parse(listenPortText, serverPortText, serverHostText, &parsed,
                                                RelaySettings::PortZero::SystemPicks)) {
        // A server port not given follows the listening one, which passed its
        // own check: it can only be 0, a port nobody knows yet.
        const bool followsZero = wrong->field == RelaySettings::Error::Field::ServerPort && !serverPortGiven;
        *error = followsZero ? tr("--server : avec --listen 0, donnez aussi le port du serveur "
                                  "(--server hôte:port)")
                             : EventText::settingsError(*wrong, EventText::Naming::ConsoleOptions);
        return false;
    }
    parsed.tls = tls;
    parsed.maxClients = clients;
    *settings = parsed;
    return true;
}
