#ifndef DRAVLIN_EVENTTEXT_H
#define DRAVLIN_EVENTTEXT_H

#include "RelayEvent.h"
#include "RelaySettings.h"

#include <QCoreApplication>
#include <QString>

// The French wording of what the relay reports, shared by the window and the
// console so that both say the same thing the same way.
class EventText
{
    Q_DECLARE_TR_FUNCTIONS(EventText)

public:
    // How a settings error names the value at fault: the window by its
    // field's caption, the console by its option.
    enum class Naming { WindowFields, ConsoleOptions };

    static QString describe(const RelayEvent &event);
    // The short form for the status line: the cause first, then what it
    // stopped ("port 25 déjà utilisé — écoute impossible"); the whole
    // sentence for events that have no cause to lead with.
    static QString headline(const RelayEvent &event);
    // What goes wrong, as opposed to what simply happens: shown apart, and
    // kept in view until the user has had a chance to see it.
    static bool isFailure(const RelayEvent &event);
    // One line for a TlsEstablished event, for the marker row and the
    // console's "-- TLS" line: "serveur : TLSv1.3 TLS_AES_256_GCM_SHA384, CN=…,
    // certificat vérifié".
    static QString tlsMarker(const RelayEvent &event);
    // Every detail of the handshake, one per line, for the row's details.
    static QString tlsDetails(const RelayEvent &event);
    static QString settingsError(const RelaySettings::Error &error, Naming naming);
    // "STARTTLS (SMTP)", "TLS implicite", ...
    static QString upgradeName(RelayEvent::Upgrade upgrade);
    // How a session ended, "fermée par le client", for the event line and the
    // session's end mark; side says whose silence, stall or TLS failure.
    static QString sessionEnd(RelayEvent::End end, Side side);
    // "0 octet", "1 octet", "750 000 octets" (grouped with narrow no-break spaces).
    static QString bytes(qint64 count);

private:
    static QString listenFailure(const RelayEvent &event);
    static QString connectFailure(const RelayEvent &event);
    static QString undeliveredBecause(const RelayEvent &event);
};

#endif
