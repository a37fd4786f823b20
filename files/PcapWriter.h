#ifndef DRAVLIN_PCAPWRITER_H
#define DRAVLIN_PCAPWRITER_H

#include "Side.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QCoreApplication>
#include <QHostAddress>
#include <QString>

#include <map>
#include <vector>

class QIODevice;

// Writes a conversation as a classic pcap capture that packet analysers
// open: each session becomes one TCP stream between the client's address and
// the server's, with a handshake, sequence and acknowledgement numbers that
// follow the bytes, the arrival times and a FIN or RST at the end.
//
// Packets are bare IP (link type RAW): IPv4 and IPv6 in one file with no
// made-up link layer. Each call writes its packets at once and flushes, so a
// capture cut short, even by SIGKILL, is readable up to its last call.
class PcapWriter
{
    Q_DECLARE_TR_FUNCTIONS(PcapWriter)

public:
    enum class Ending {
        ClosedByClient,
        ClosedByServer,
        ResetByClient,
        ResetByServer,
        // The server never answered: its side of the handshake is a RST.
        Refused,
    };

    static constexpr quint32 LinkTypeRaw = 101;
    // The most TCP payload an IPv4 packet holds; IPv6 is given the same.
    static constexpr qsizetype MaxSegmentBytes = 65535 - 20 - 20;

    // The device must be open for writing; the file header goes out at once.
    explicit PcapWriter(QIODevice *device);
    PcapWriter(const PcapWriter &) = delete;
    PcapWriter &operator=(const PcapWriter &) = delete;

    // Sessions served at once are written as streams of their own, told
    // apart by the key `stream` (the session's number; 0 with one client at a
    // time), each with its addresses, ports and sequence numbers. A stream
    // still open under that key is first ended by a reset from the client.
    //
    // A server given by name has an address only once dialled: with
    // serverFollows, the stream's packets wait for serverFound(), or for its
    // end, which writes them with the address given here.
    void beginSession(const QHostAddress &client, quint16 clientPort, const QHostAddress &server,
                      quint16 serverPort, qint64 msecs, int stream = 0, bool serverFollows = false);
    // The address the stream's server was reached at; nothing once it is written.
    void serverFound(const QHostAddress &server, quint16 serverPort, int stream = 0);
    // Bytes one side sent, acknowledged at once by the other.
    // Bytes one side sent, acknowledged at once by the other; nothing when
    // the stream is not open.
    void data(Side from, QByteArrayView bytes, qint64 msecs, int stream = 0);
    // Its state is forgotten then: the key may open a new stream.
    void endSession(Ending how, qint64 msecs, int stream = 0);

    bool inSession(int stream = 0) const { return m_streams.find(stream) != m_streams.end(); }
    // False once a write has failed; nothing more is written then.
    bool isOk() const { return m_error.isEmpty(); }
    QString errorString() const { return m_error; }

private:
    enum Flag : quint8 { Fin = 0x01, Syn = 0x02, Rst = 0x04, Psh = 0x08, Ack = 0x10 };

    // One TCP connection as written so far.
    struct Stream {
        // Addresses in network order: 4 bytes each, or 16 when either side
        // is IPv6 (an IPv4 one then written as IPv4-mapped).
        QByteArray address[2];
        quint16 port[2] = {};
        quint32 next[2] = {}; // next sequence number each side sends
        qint64 beganMsecs = 0;
        bool handshakePending = false;
        // Until the server's address is known: what to write then.
        struct Held {
            Side from;
            QByteArray bytes;
            qint64 msecs;
        };
        bool serverPending = false;
        QHostAddress client, server;
        std::vector<Held> held;
    };

    void open(Stream &s, int stream);
    void completeHandshake(Stream &s);
    void appendPacket(const Stream &s, Side from, quint8 flags, QByteArrayView payload, qint64 msecs);
    void appendClose(Stream &s, Side closer, qint64 msecs);
    void flush();

    QIODevice *m_device;
    QByteArray m_out;
    QString m_error;
    // The streams open, by key: as many as sessions run at once.
    std::map<int, Stream> m_streams;
    // Streams begun so far, which spreads their initial sequence numbers.
    quint32 m_sessions = 0;
    // Shared by every stream, as one host's IP identification would be.
    quint16 m_ipId = 0;
};

#endif
