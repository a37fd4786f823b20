#ifndef DRAVLIN_ENDPOINTTEXT_H
#define DRAVLIN_ENDPOINTTEXT_H

#include "Endpoint.h"

#include <QHostAddress>
#include <QString>

// How an endpoint reads, in events, marks and saved conversations, and how
// such a text is read back: "127.0.0.1:40112", "[::1]:25", "mx.example.org:25".
class EndpointText
{
public:
    // The name the user gave when there is one, else the address; an endpoint
    // with neither port nor address (a replay's client) is its name alone.
    static QString text(const Endpoint &endpoint);
    // "host:port", with an IPv6 literal in brackets.
    static QString hostPort(const QString &host, quint16 port);
    // An IPv4 address that a dual-stack socket gives as ::ffff:a.b.c.d, the
    // way its user knows it; any other unchanged.
    static QHostAddress plain(const QHostAddress &address);
    // "host:port" or "[v6]:port" read back: an address literal as the
    // address, anything else as the name; a text with no port is a name alone.
    static Endpoint read(const QString &text);
};

#endif
