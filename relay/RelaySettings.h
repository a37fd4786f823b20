#ifndef DRAVLIN_RELAYSETTINGS_H
#define DRAVLIN_RELAYSETTINGS_H

#include <QString>

#include <optional>

// Where the relay listens and where it forwards to, checked before use.
struct RelaySettings
{
    // What is wrong with the texts given, for the front end to word in its
    // own terms (a field's caption, an option's name).
    struct Error
    {
        enum class Field { ListenPort, ServerPort, ServerHost, Clients };
        enum class Problem {
            NotAPort,      // not decimal digits giving 1 to 65535
            EmptyHost,
            HostWithColon, // a colon outside an IPv6 address: a port needs [brackets]
            NotAClientCount, // not decimal digits giving 1 to MaxClients
            NotAHost,      // neither an address nor a name a resolver could take ("mail server.example")
            SelfRelay,     // the server is Dravlin's own listening address and port
        };
        Field field;
        Problem problem;
        QString text; // as given
        quint16 port = 0; // SelfRelay: the port listened on and forwarded to
    };

    // Seeing inside TLS. All off: bytes pass untouched, TLS or not.
    struct Tls
    {
        bool inspectTls = false;  // follow STARTTLS, STLS, AUTH TLS and implicit TLS, decrypting both sides
        bool tlsInsecure = false; // accept any server certificate (its fingerprint is still shown)
        bool serverTls = false;   // client side plain, TLS to the server from the first byte
        QString extraCaFile;      // PEM certificates trusted for the server besides the system's
        QString caDirectory;      // where Dravlin's CA lives; empty: CertificateAuthority::defaultDirectory()
        bool any() const { return inspectTls || serverTls; }
    };

    // What both front ends offer before the user says otherwise: mail transfer.
    static constexpr quint16 DefaultPort = 25;
    static constexpr char DefaultServerHost[] = "192.168.0.1";

    // Whether a listening port of 0, letting the system pick, is accepted: the
    // console prints the port it got, the window has no place to show it.
    enum class PortZero { Refused, SystemPicks };

    // How many clients may be served at once. With 1, a second client is
    // refused while one is served, and sessions are not numbered; with more,
    // further clients wait in the system's queue for a session to end.
    static constexpr int MaxClients = 64;

    quint16 listenPort = 0; // 0 lets the system pick
    QString serverHost;     // a name or an address, IPv6 without brackets
    quint16 serverPort = 0;
    Tls tls = {};
    int maxClients = 1;

    // Turns the texts of the three fields into settings, or says what is wrong.
    static std::optional<Error> parse(const QString &listenPortText, const QString &serverPortText,
                                      const QString &serverHostText, RelaySettings *settings,
                                      PortZero portZero = PortZero::Refused);

    // Whether host, a name or an address, is this machine as a listener on
    // every address sees it: loopback, the wildcard, an address of one of its
    // interfaces, "localhost" or its own host name. Names are not looked up:
    // a check made on each click must not wait on the network.
    static bool isThisMachine(const QString &host);
    // A name made of what names are made of (letters, digits, '-', '_' and
    // dots, labels of at most 63, international names as their ASCII form),
    // or an address. An empty label passes: the resolver refuses it at once,
    // without a query, and says so itself.
    static bool isHostSyntax(const QString &host);

    // A port text is decimal digits, surrounding spaces allowed, giving 1 to 65535.
    static bool parsePort(const QString &text, quint16 *port);
    // A client count is decimal digits, surrounding spaces allowed, giving 1 to MaxClients.
    static bool parseClients(const QString &text, int *clients);
};

#endif
