#ifndef DRAVLIN_COMMANDLINE_H
#define DRAVLIN_COMMANDLINE_H

#include "RelaySettings.h"

#include <QCoreApplication>
#include <QString>
#include <QStringList>

class QCommandLineParser;

// The program's options, shared by the window and the console front end.
class CommandLine
{
    Q_DECLARE_TR_FUNCTIONS(CommandLine)

public:
    enum class Outcome { Run, ShowHelp, ShowVersion, ExportCa, Replay, Error };

    Outcome parse(const QStringList &arguments);

    bool console = false;
    // Console only: each stdout line starts with the chunk's local arrival time.
    bool timestamps = false;
    // Window only: start relaying as soon as the window is shown.
    bool start = false;
    // Window only: a saved conversation to show at once.
    QString openPath;
    // Console only: a pcap capture written as the conversation goes.
    QString pcapPath;
    // Seeing inside TLS, for either front end (the window ticks its boxes).
    RelaySettings::Tls tls;
    // With ExportCa: where to write the CA certificate.
    QString exportCaPath;
    // With Replay: the transcript to play again, the session picked in it (0:
    // none given) and how long each answer may take.
    QString replayPath;
    int replaySession = 0;
    int replayTimeoutSeconds = DefaultReplayTimeoutSeconds;
    static constexpr int DefaultReplayTimeoutSeconds = 10;
    static constexpr int MaxReplayTimeoutSeconds = 3600;
    // Field texts, as the user would type them; checked when the relay starts.
    QString listenPortText = QString::number(RelaySettings::DefaultPort);
    QString serverHostText = QString::fromLatin1(RelaySettings::DefaultServerHost);
    QString serverPortText = QString::number(RelaySettings::DefaultPort);
    // --clients N: how many clients are served at once, as typed; the window
    // pre-fills its field with it. Checked when parsed (1 to RelaySettings::MaxClients).
    QString clientsText = QStringLiteral("1");
    int clients = 1;
    bool clientsGiven = false;
    bool listenGiven = false;
    bool serverGiven = false;
    bool serverPortGiven = false;

    QString errorText;
    QString helpText;
    QString versionText;

    // The console's settings from the texts, or false with a message naming
    // the option at fault. Unlike the window, the console takes --listen 0:
    // the system picks the port and the console prints it.
    bool consoleSettings(RelaySettings *settings, QString *error) const;

    // The server a replay goes to: its host, and its port when given (else 0).
    bool replayServer(QString *host, quint16 *port, QString *error) const;

    // Splits HOST[:PORT], with [v6]:PORT for an IPv6 address with a port.
    static bool splitServer(const QString &text, QString *host, QString *port, bool *portGiven);

private:
    bool parseReplay(const QCommandLineParser &parser);
};

#endif
