#ifndef DRAVLIN_RELAYSETTINGS_H
#define DRAVLIN_RELAYSETTINGS_H

#include <QString>

// Where the relay listens and where it forwards to, checked before use.
struct RelaySettings
{
    quint16 listenPort = 0; // 0 lets the system pick (tests only: parse() never yields it)
    QString serverHost;
    quint16 serverPort = 0;

    // Turns the texts of the three fields into settings. On bad input returns
    // false and sets error to a French message naming the field at fault.
    static bool parse(const QString &listenPortText, const QString &serverPortText,
                      const QString &serverHostText, RelaySettings *settings, QString *error);

    // A port text is decimal digits, surrounding spaces allowed, giving 1 to 65535.
    static bool parsePort(const QString &text, quint16 *port);
};

#endif
