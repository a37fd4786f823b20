#ifndef DRAVLIN_RELAYEVENT_H
#define DRAVLIN_RELAYEVENT_H

#include "Endpoint.h"
#include "FailureCause.h"
#include "Side.h"
#include "TlsSummary.h"

#include <QAbstractSocket>
#include <QMetaType>
#include <QString>

// Something the relay did or saw, as data: front ends decide how to word it.
// Only the fields that make sense for the kind are set (the constructors
// below say which); the others keep their defaults.
struct RelayEvent
{
    enum class Kind {
        Listening,       // listenPort
        ListenFailed,    // listenPort, error, reason; the relay is stopped
        ClientConnected, // client, server
        ServerConnected, // client, server
        ServerFailed,    // client, server, error, reason, cause
        PeerClosed,      // side ended its sending (the other direction may go on); tlsEnd
        PeerReset,       // side reset the connection; error, reason, cause; end ClosedByClientAfterDialogue
                         // when that was the client once the dialogue was over
        Undelivered,     // side did not get `undelivered` bytes; end says why; reason when no reset told it
        SessionEnded,    // one per client taken: end, side, bytes, durationMs; cause when TLS failed
        Stopped,         // stop(), or finish() once done
        TlsEstablished,  // side, upgrade, tls: a handshake is over, what follows on that side is decrypted
        TlsFailed,       // side, cause: that side's handshake or session failed; the session ends
        PlaintextDropped, // side, dropped: plaintext sent after an upgrade, before the handshake, not forwarded
        TlsUnavailable,  // cause: the CA or the trusted certificates cannot be had; the relay is stopped
        InspectionAbandoned, // cause: the dialogue went where the upgrade watch cannot follow; the rest passes uninspected
        ClientsGone,     // count clients left before they were taken (no session); cause: the last one's
        ClientsWaiting,  // count clients wait for a place, running sessions of places under way; 0 once none waits
    };

    // How TLS came to be used on the connection.
    enum class Upgrade { None, Smtp, Pop3, Imap, Ftp, Implicit, Bridge };

    // How a side inside TLS ended its sending: with close_notify, or with a
    // bare end of stream that may have cut what it was saying.
    enum class TlsEnd { NotTls, CloseNotify, FinOnly };

    // How a session ended.
    enum class End {
        None,
        ClosedByClient,        // the client ended its sending first, then the server
        ClosedByServer,        // the server ended its sending first, then the client
        // The client reset the connection once the server had answered its
        // QUIT or LOGOUT, or had ended its own sending, and nothing was lost:
        // how many clients hang up, a normal end.
        ClosedByClientAfterDialogue,
        ResetByClient,
        ResetByServer,
        ServerUnreachable,
        SilenceAfterHalfClose, // side stayed silent after the other ended
        DeliveryStalled,       // side read nothing for the stall limit
        Stopped,               // stop() or finish()
        TlsFailed,             // side's TLS failed; reason says why
    };

    Kind kind = Kind::Stopped;
    qint64 time = 0;             // milliseconds since the epoch
    // When several clients may be served at once: the session's number, from
    // 1 in the order clients were accepted over the whole run. 0 when the
    // relay serves one client at a time, or for an event about no session
    // (Listening, ListenFailed, Stopped, TlsUnavailable).
    int session = 0;
    Endpoint client;
    // The server as the user named it; its address once dialled (from
    // ServerConnected on), or at once when it was given as an address.
    Endpoint server;
    quint16 listenPort = 0;
    Side side = Side::Client;
    QAbstractSocket::SocketError error = QAbstractSocket::UnknownSocketError;
    QString reason;              // the system's own text, when it gave no cause
    FailureCause cause;          // why, as data, for the wording to put in French
    End end = End::None;
    qint64 undelivered = 0;
    // Undelivered: what the other side sent once the end was decided, read
    // only to be dropped (never shown as rows); side missed those too.
    qint64 ignoredAfterEnd = 0;
    qint64 bytesClientToServer = 0; // read from the client during the session
    qint64 bytesServerToClient = 0; // read from the server during the session
    qint64 durationMs = 0;
    Upgrade upgrade = Upgrade::None;
    TlsSummary tls;
    qint64 dropped = 0;
    qint64 count = 0; // ClientsGone, ClientsWaiting
    int running = 0;  // ClientsWaiting: sessions under way
    int places = 0;   // ClientsWaiting: sessions allowed at once
    TlsEnd tlsEnd = TlsEnd::NotTls;

    // One constructor per kind, taking exactly what that kind carries. Where
    // and when it happened (time, session, endpoints, listening port) is
    // stamped by whoever reports it.
    using SocketError = QAbstractSocket::SocketError;
    static RelayEvent listening();
    static RelayEvent listenFailed(quint16 port, SocketError error, const QString &reason);
    static RelayEvent clientConnected();
    static RelayEvent serverConnected();
    static RelayEvent serverFailed(SocketError error, const QString &reason, const FailureCause &cause);
    static RelayEvent peerClosed(Side side, TlsEnd tlsEnd);
    static RelayEvent peerReset(Side side, SocketError error, const QString &reason, const FailureCause &cause,
                                End end = End::None);
    static RelayEvent undeliveredBytes(Side side, qint64 bytes, qint64 ignoredAfterEnd, End end, const QString &reason);
    static RelayEvent sessionEnded(End end, Side side, qint64 clientToServer, qint64 serverToClient, qint64 durationMs,
                                   const FailureCause &cause);
    static RelayEvent stopped();
    static RelayEvent tlsEstablished(Side side, Upgrade upgrade, const TlsSummary &tls);
    static RelayEvent tlsFailed(Side side, Upgrade upgrade, const FailureCause &cause);
    static RelayEvent plaintextDropped(Side side, qint64 bytes, Upgrade upgrade);
    static RelayEvent tlsUnavailable(const FailureCause &cause);
    static RelayEvent inspectionAbandoned(const FailureCause &cause);
    static RelayEvent clientsGone(qint64 count, const FailureCause &cause, const QString &reason);
    static RelayEvent clientsWaiting(qint64 count, int running, int places);

private:
    static RelayEvent ofKind(Kind kind);
};

Q_DECLARE_METATYPE(RelayEvent)

#endif
