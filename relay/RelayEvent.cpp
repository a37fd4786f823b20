#include "RelayEvent.h"

RelayEvent RelayEvent::ofKind(Kind kind)
{
    RelayEvent e;
    e.kind = kind;
    return e;
}

RelayEvent RelayEvent::listening()
{
    return ofKind(Kind::Listening);
}

RelayEvent RelayEvent::listenFailed(quint16 port, SocketError error, const QString &reason)
{
    RelayEvent e = ofKind(Kind::ListenFailed);
    e.listenPort = port;
    e.error = error;
    e.reason = reason;
    return e;
}

RelayEvent RelayEvent::clientConnected()
{
    return ofKind(Kind::ClientConnected);
}

RelayEvent RelayEvent::serverConnected()
{
    return ofKind(Kind::ServerConnected);
}

RelayEvent RelayEvent::serverFailed(SocketError error, const QString &reason, const FailureCause &cause)
{
    RelayEvent e = ofKind(Kind::ServerFailed);
    e.side = Side::Server;
    e.error = error;
    e.reason = reason;
    e.cause = cause;
    return e;
}

RelayEvent RelayEvent::peerClosed(Side side, TlsEnd tlsEnd)
{
    RelayEvent e = ofKind(Kind::PeerClosed);
    e.side = side;
    e.tlsEnd = tlsEnd;
    return e;
}

RelayEvent RelayEvent::peerReset(Side side, SocketError error, const QString &reason, const FailureCause &cause, End end)
{
    RelayEvent e = ofKind(Kind::PeerReset);
    e.side = side;
    e.error = error;
    e.reason = reason;
    e.cause = cause;
    e.end = end;
    return e;
}

RelayEvent RelayEvent::undeliveredBytes(Side side, qint64 bytes, qint64 ignoredAfterEnd, End end, const QString &reason)
{
    RelayEvent e = ofKind(Kind::Undelivered);
    e.side = side;
    e.undelivered = bytes;
    e.ignoredAfterEnd = ignoredAfterEnd;
    e.end = end;
    e.reason = reason;
    return e;
}

RelayEvent RelayEvent::sessionEnded(End end, Side side, qint64 clientToServer, qint64 serverToClient, qint64 durationMs,
                                    const FailureCause &cause)
{
    RelayEvent e = ofKind(Kind::SessionEnded);
    e.end = end;
    e.side = side;
    e.bytesClientToServer = clientToServer;
    e.bytesServerToClient = serverToClient;
    e.durationMs = durationMs;
    e.cause = cause;
    return e;
}

RelayEvent RelayEvent::stopped()
{
    return ofKind(Kind::Stopped);
}

RelayEvent RelayEvent::tlsEstablished(Side side, Upgrade upgrade, const TlsSummary &tls)
{
    RelayEvent e = ofKind(Kind::TlsEstablished);
    e.side = side;
    e.upgrade = upgrade;
    e.tls = tls;
    return e;
}

RelayEvent RelayEvent::tlsFailed(Side side, Upgrade upgrade, const FailureCause &cause)
{
    RelayEvent e = ofKind(Kind::TlsFailed);
    e.side = side;
    e.upgrade = upgrade;
    e.cause = cause;
    return e;
}

RelayEvent RelayEvent::plaintextDropped(Side side, qint64 bytes, Upgrade upgrade)
{
    RelayEvent e = ofKind(Kind::PlaintextDropped);
    e.side = side;
    e.dropped = bytes;
    e.upgrade = upgrade;
    return e;
}

RelayEvent RelayEvent::tlsUnavailable(const FailureCause &cause)
{
    RelayEvent e = ofKind(Kind::TlsUnavailable);
    e.cause = cause;
    return e;
}

RelayEvent RelayEvent::inspectionAbandoned(const FailureCause &cause)
{
    RelayEvent e = ofKind(Kind::InspectionAbandoned);
    e.cause = cause;
    return e;
}

RelayEvent RelayEvent::clientsGone(qint64 count, const FailureCause &cause, const QString &reason)
{
    RelayEvent e = ofKind(Kind::ClientsGone);
    e.count = count;
    e.cause = cause;
    e.reason = reason;
    return e;
}

RelayEvent RelayEvent::clientsWaiting(qint64 count, int running, int places)
{
    RelayEvent e = ofKind(Kind::ClientsWaiting);
    e.count = count;
    e.running = running;
    e.places = places;
    return e;
}
