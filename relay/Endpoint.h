#ifndef DRAVLIN_ENDPOINT_H
#define DRAVLIN_ENDPOINT_H

#include <QHostAddress>
#include <QMetaType>
#include <QString>

// One end of a relayed connection, as data: the address actually used, its
// port, and the name the user gave for it when there was one. The server
// given by name has no address until it is dialled; the wording layer decides
// how either is shown.
struct Endpoint
{
    QHostAddress address; // as the system gives it (an IPv4 client may come as ::ffff:a.b.c.d)
    quint16 port = 0;
    QString name;         // "localhost", "mx.example.org"; empty for an address alone

    // The user's text: an address literal is taken as the address, and kept as the name too.
    static Endpoint named(const QString &host, quint16 port);
    static Endpoint at(const QHostAddress &address, quint16 port) { return {address, port, {}}; }

    bool operator==(const Endpoint &other) const
    {
        return address == other.address && port == other.port && name == other.name;
    }
    bool operator!=(const Endpoint &other) const { return !(*this == other); }
};

Q_DECLARE_METATYPE(Endpoint)

#endif
