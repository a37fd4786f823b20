#ifndef DRAVLIN_PCAPWRITER_H
#define DRAVLIN_PCAPWRITER_H

#include "Side.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QCoreApplication>
#include <QHostAddress>
#include <QString>

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
    // time). A stream still open under that key is first ended by a reset
    // from the client.
    void beginSession(const QHostAddress &client, quint16 clientPort, const QHostAddress &server,
                      quint16 serverPort, qint64 msecs, int stream = 0);
    // Bytes one side sent, acknowledged at once by the other.
    void data(Side from, QByteArrayView bytes, qint64 msecs, int stream = 0);
    void endSession(Ending how, qint64 msecs, int stream = 0);

    bool inSession(int stream = 0) const { return stream == 0 && m_inSession; }
    // False once a write has failed; nothing more is written then.
    bool isOk() const { return m_error.isEmpty(); }
    QString errorString() const { return m_error; }

private:
    enum Flag : quint8 { Fin = 0x01, Syn = 0x02, Rst = 0x04, Psh = 0x08, Ack = 0x10 };

    void completeHandshake();
    void appendPacket(Side from, quint8 flags, QByteArrayView payload, qint64 msecs);
    void appendClose(Side closer, qint64 msecs);
    void flush();

    QIODevice *m_device;
    QByteArray m_out;
    QString m_error;
    // Addresses in network order: 4 bytes each, or 16 when either side is
    // IPv6 (an IPv4 one then written as IPv4-mapped).
    QByteArray m_address[2];
    quint16 m_port[2] = {};
    quint32 m_next[2] = {}; // next sequence number each side sends
    quint32 m_isn[2] = {};
    qint64 m_beganMsecs = 0;
    quint32 m_sessions = 0;
    quint16 m_ipId = 0;
    bool m_inSession = false;
    bool m_handshakePending = false;
};

#endif
