#ifndef DRAVLIN_RELAY_H
#define DRAVLIN_RELAY_H

#include "LineCapture.h"
#include "RelaySettings.h"
#include "Side.h"
#include "StreamSocket.h"

#include <QObject>
#include <QTimer>

// Sits between one client and the server: listens, takes one client at a
// time, dials the server, forwards every byte both ways and reports each side's
// lines as rows. After either side closes it re-arms: 200 ms later both
// connections are dropped and it listens again.
//
// It knows nothing of windows; front ends watch rowsCaptured and eventOccurred.
class Relay : public QObject
{
    Q_OBJECT

public:
    enum class Event {
        Listening,
        ClientConnected,
        ServerConnected,
        ServerFailed,
        ClosedByClient,
        ClosedByServer,
        ListenFailed,
        Stopped,
    };
    Q_ENUM(Event)

    static constexpr int RearmIntervalMs = 200;
    // Past this many bytes waiting to go out on one side, the other side is no
    // longer read until they drain, so a slow reader cannot grow our memory.
    static constexpr qint64 SendQueueBound = qint64{1024} * 1024;

    explicit Relay(QObject *parent = nullptr);
    ~Relay() override;

    // Checks the texts first: on bad input returns a French message naming the
    // field, and nothing changes. Otherwise arms the relay and returns "".
    QString start(const QString &listenPortText, const QString &serverPortText,
                  const QString &serverHostText);
    void start(const RelaySettings &settings);
    void stop();
    void shutdown();
    // While held, neither socket is read: the peers feel TCP flow control.
    void holdReading(bool held);
    // Stops listening and re-arming, delivers what was already read to the
    // other side (for at most graceMs), closes both connections, then emits
    // finished with what could not be delivered.
    void finish(int graceMs = 2000);

    const RelaySettings &settings() const { return m_settings; }
    bool isArmed() const { return tmrAll.isActive(); }
    StreamSocket::State clientState() const { return wskClient.state(); }
    StreamSocket::State serverState() const { return wskServeur.state(); }
    // The port actually listened on, 0 when not listening.
    quint16 listeningPort() const { return wskClient.listeningPort(); }
    // Bytes waiting to go out towards that side; flow control keeps this bounded.
    qint64 pendingSendBytes(Side towards) const
    {
        return (towards == Side::Client ? wskClient : wskServeur).pendingSendBytes();
    }

Q_SIGNALS:
    // Rows of one chunk, in order; arrivedMsecs is when the chunk was read
    // (milliseconds since the epoch).
    void rowsCaptured(Side side, const LineCapture::Rows &rows, qint64 arrivedMsecs);
    void eventOccurred(Relay::Event event, const QString &message);
    void finished(qint64 undeliveredToClient, qint64 undeliveredToServer);

private Q_SLOTS:
    void onRearmTick();
    void onClientConnectionRequest(int requestId);
    void onClientData();
    void onServerData();
    void onClientSent();
    void onServerSent();
    void onServerConnected();
    void onServerFailed(const QString &reason);
    void onClientClosed();
    void onServerClosed();

private:
    StreamSocket &socket(Side side) { return side == Side::Client ? wskClient : wskServeur; }
    void relayChunk(Side from);
    void resumeAfterDrain(Side drained);
    void peerClosed(Side side);
    void closeSide(Side side);
    void closeBoth();
    void flushTail(Side side);
    void report(Event event, const QString &message);
    QString serverName() const;
    QString clientName() const;

    StreamSocket wskClient;
    StreamSocket wskServeur;
    QTimer tmrAll;
    LineCapture m_capture[2];
    RelaySettings m_settings;
    bool m_readingHeld = false;
};

#endif
