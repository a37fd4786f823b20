#include "PcapWriter.h"

#include "ReasonText.h"
#include "RowText.h"
#include "SystemFile.h"

#include <QFileDevice>
#include <QIODevice>
#include <QtEndian>

#include <cstring>

namespace {

constexpr quint8 WindowShift = 7;
constexpr quint16 Window = 0xffff; // with the shift, 8 MiB
// Acknowledged at least this often, so the window above is never full.
constexpr qsizetype AckEveryBytes = qsizetype{4} * 1024 * 1024;
constexpr quint32 SnapLength = 262144;

void put16(char *p, quint16 v)
{
    qToBigEndian(v, p);
}

void put32(char *p, quint32 v)
{
    qToBigEndian(v, p);
}

// The sum of 16-bit big-endian words, carries folded in at the end.
quint32 sumWords(const char *data, qsizetype n, quint32 sum = 0)
{
    const auto *u = reinterpret_cast<const unsigned char *>(data);
    qsizetype i = 0;
    for (; i + 1 < n; i += 2)
        sum += quint32(u[i]) << 8 | u[i + 1];
    if (i < n)
        sum += quint32(u[i]) << 8;
    // Folded, so that callers can chain sums: a segment's words alone stay
    // far below 32 bits.
    while (sum >> 16)
        sum = (sum & 0xffff) + (sum >> 16);
    return sum;
}

quint16 finish(quint32 sum)
{
    while (sum >> 16)
        sum = (sum & 0xffff) + (sum >> 16);
    return static_cast<quint16>(~sum & 0xffff);
}

QByteArray addressBytes(const QHostAddress &address, bool v6)
{
    bool isV4 = false;
    const quint32 v4 = address.toIPv4Address(&isV4);
    QByteArray out(v6 ? 16 : 4, '\0');
    if (isV4 && !v6) {
        put32(out.data(), v4);
    } else if (isV4) {
        out[10] = out[11] = '\xff';
        put32(out.data() + 12, v4);
    } else if (address.protocol() == QAbstractSocket::IPv6Protocol) {
        const Q_IPV6ADDR a = address.toIPv6Address();
        std::memcpy(out.data(), a.c, 16);
    }
    return out;
}

bool isIPv4(const QHostAddress &address)
{
    bool isV4 = false;
    address.toIPv4Address(&isV4);
    // An address not known at all is written as 0.0.0.0 rather than forcing IPv6.
    return isV4 || address.isNull();
}

} // namespace

PcapWriter::PcapWriter(QIODevice *device)
    : m_device(device)
{
    // The classic header, little-endian: microsecond stamps, version 2.4.
    char header[24];
    qToLittleEndian<quint32>(0xa1b2c3d4, header);
    qToLittleEndian<quint16>(2, header + 4);
    qToLittleEndian<quint16>(4, header + 6);
    qToLittleEndian<quint32>(0, header + 8);
    qToLittleEndian<quint32>(0, header + 12);
    qToLittleEndian<quint32>(SnapLength, header + 16);
    qToLittleEndian<quint32>(LinkTypeRaw, header + 20);
    m_out.append(header, sizeof header);
    flush();
}

void PcapWriter::beginSession(const QHostAddress &client, quint16 clientPort, const QHostAddress &server,
                              quint16 serverPort, qint64 msecs, int stream, bool serverFollows)
{
    if (inSession(stream))
        endSession(Ending::ResetByClient, msecs, stream);
    Stream &s = m_streams[stream];
    s.client = client;
    s.server = server;
    s.serverPending = serverFollows;
    s.port[sideIndex(Side::Client)] = clientPort;
    s.port[sideIndex(Side::Server)] = serverPort;
    // Fixed, well-spread initial numbers: the same conversation gives the same file.
    ++m_sessions;
    s.next[sideIndex(Side::Client)] = 0x10000000u + m_sessions * 0x01000193u;
    s.next[sideIndex(Side::Server)] = 0x80000000u + m_sessions * 0x0100019bu;
    s.beganMsecs = msecs;
    s.handshakePending = true;
    if (!serverFollows)
        open(s, stream);
}

void PcapWriter::serverFound(const QHostAddress &server, quint16 serverPort, int stream)
{
    const auto found = m_streams.find(stream);
    if (found == m_streams.end() || !found->second.serverPending)
        return;
    found->second.server = server;
    found->second.port[sideIndex(Side::Server)] = serverPort;
    open(found->second, stream);
}

void PcapWriter::open(Stream &s, int stream)
{
    s.serverPending = false;
    const bool v6 = !isIPv4(s.client) || !isIPv4(s.server);
    s.address[sideIndex(Side::Client)] = addressBytes(s.client, v6);
    s.address[sideIndex(Side::Server)] = addressBytes(s.server, v6);
    appendPacket(s, Side::Client, Syn, {}, s.beganMsecs);
    ++s.next[sideIndex(Side::Client)];
    flush();
    // What came meanwhile, as it came.
    const std::vector<Stream::Held> held = std::move(s.held);
    s.held.clear();
    for (const Stream::Held &h : held)
        data(h.from, h.bytes, h.msecs, stream);
}

void PcapWriter::data(Side from, QByteArrayView bytes, qint64 msecs, int stream)
{
    const auto found = m_streams.find(stream);
    if (found == m_streams.end() || bytes.isEmpty())
        return;
    Stream &s = found->second;
    if (s.serverPending) {
        s.held.push_back({from, bytes.toByteArray(), msecs});
        return;
    }
    completeHandshake(s);
    qsizetype sinceAck = 0;
    for (qsizetype at = 0; at < bytes.size();) {
        const qsizetype length = qMin(MaxSegmentBytes, bytes.size() - at);
        const bool last = at + length == bytes.size();
        appendPacket(s, from, quint8(Ack | (last ? Psh : 0)), bytes.sliced(at, length), msecs);
        s.next[sideIndex(from)] += static_cast<quint32>(length);
        at += length;
        sinceAck += length;
        if (last || sinceAck >= AckEveryBytes) {
            appendPacket(s, otherSide(from), Ack, {}, msecs);
            sinceAck = 0;
        }
    }
    flush();
}

void PcapWriter::endSession(Ending how, qint64 msecs, int stream)
{
    const auto found = m_streams.find(stream);
    if (found == m_streams.end())
        return;
    Stream &s = found->second;
    if (s.serverPending)
        open(s, stream);
    if (how == Ending::Refused && s.handshakePending) {
        // The answer to a SYN that finds no one: RST with the SYN acknowledged.
        const Side server = Side::Server;
        s.next[sideIndex(server)] = 0;
        appendPacket(s, server, Rst | Ack, {}, msecs);
    } else {
        completeHandshake(s);
        switch (how) {
        case Ending::ClosedByClient:
            appendClose(s, Side::Client, msecs);
            break;
        case Ending::ClosedByServer:
            appendClose(s, Side::Server, msecs);
            break;
        case Ending::ResetByClient:
            appendPacket(s, Side::Client, Rst | Ack, {}, msecs);
            break;
        case Ending::ResetByServer:
        case Ending::Refused: // after bytes were already shown: the server went away
            appendPacket(s, Side::Server, Rst | Ack, {}, msecs);
            break;
        }
    }
    m_streams.erase(found);
    flush();
}

void PcapWriter::completeHandshake(Stream &s)
{
    if (!s.handshakePending)
        return;
    s.handshakePending = false;
    appendPacket(s, Side::Server, Syn | Ack, {}, s.beganMsecs);
    ++s.next[sideIndex(Side::Server)];
    appendPacket(s, Side::Client, Ack, {}, s.beganMsecs);
}

void PcapWriter::appendClose(Stream &s, Side closer, qint64 msecs)
{
    // Both halves close, as the relay closes the other connection in turn.
    const Side other = otherSide(closer);
    appendPacket(s, closer, Fin | Ack, {}, msecs);
    ++s.next[sideIndex(closer)];
    appendPacket(s, other, Fin | Ack, {}, msecs);
    ++s.next[sideIndex(other)];
    appendPacket(s, closer, Ack, {}, msecs);
}

void PcapWriter::appendPacket(const Stream &s, Side from, quint8 flags, QByteArrayView payload, qint64 msecs)
{
    const int f = sideIndex(from);
    const int t = sideIndex(otherSide(from));
    const bool v6 = s.address[f].size() == 16;
    const qsizetype ipLength = v6 ? 40 : 20;
    const qsizetype tcpHeader = (flags & Syn) ? 24 : 20; // SYNs carry the window scale
    const qsizetype tcpLength = tcpHeader + payload.size();
    const qsizetype packetLength = ipLength + tcpLength;

    const qsizetype at = m_out.size();
    m_out.resize(at + 16 + packetLength);
    char *record = m_out.data() + at;
    const qint64 stamp = qMax<qint64>(0, msecs);
    qToLittleEndian<quint32>(static_cast<quint32>(stamp / 1000), record);
    qToLittleEndian<quint32>(static_cast<quint32>(stamp % 1000 * 1000), record + 4);
    qToLittleEndian<quint32>(static_cast<quint32>(packetLength), record + 8);
    qToLittleEndian<quint32>(static_cast<quint32>(packetLength), record + 12);

    char *ip = record + 16;
    std::memset(ip, 0, static_cast<size_t>(ipLength + tcpHeader));
    quint32 pseudo = 0;
    if (v6) {
        put32(ip, 0x60000000u);
        put16(ip + 4, static_cast<quint16>(tcpLength));
        ip[6] = 6; // TCP
        ip[7] = 64;
        std::memcpy(ip + 8, s.address[f].constData(), 16);
        std::memcpy(ip + 24, s.address[t].constData(), 16);
        pseudo = sumWords(ip + 8, 32);
        pseudo += quint32(tcpLength >> 16) + quint32(tcpLength & 0xffff) + 6;
    } else {
        ip[0] = 0x45;
        put16(ip + 2, static_cast<quint16>(packetLength));
        put16(ip + 4, m_ipId++);
        put16(ip + 6, 0x4000); // don't fragment
        ip[8] = 64;
        ip[9] = 6;
        std::memcpy(ip + 12, s.address[f].constData(), 4);
        std::memcpy(ip + 16, s.address[t].constData(), 4);
        put16(ip + 10, finish(sumWords(ip, 20)));
        pseudo = sumWords(ip + 12, 8) + quint32(tcpLength) + 6;
    }

    char *tcp = ip + ipLength;
    put16(tcp, s.port[f]);
    put16(tcp + 2, s.port[t]);
    put32(tcp + 4, s.next[f]);
    put32(tcp + 8, (flags & Ack) ? s.next[t] : 0);
    tcp[12] = static_cast<char>((tcpHeader / 4) << 4);
    tcp[13] = static_cast<char>(flags);
    put16(tcp + 14, Window);
    if (flags & Syn) {
        tcp[20] = 1; // no-op, to align
        tcp[21] = 3; // window scale
        tcp[22] = 3;
        tcp[23] = static_cast<char>(WindowShift);
    }
    if (!payload.isEmpty())
        std::memcpy(tcp + tcpHeader, payload.data(), static_cast<size_t>(payload.size()));
    const quint32 sum = sumWords(tcp, tcpLength, pseudo);
    put16(tcp + 16, finish(sum));
}

void PcapWriter::flush()
{
    if (!m_error.isEmpty()) {
        m_out.truncate(0);
        return;
    }
    const QString lead = tr("Impossible d’écrire la capture\u00a0: %1");
    // The system's reason in the user's words when the file kept it (a full disk).
    const auto reason = [this] {
        const auto *file = qobject_cast<SystemFile *>(m_device);
        return file && file->systemError() != 0 ? ReasonText::system(file->systemError())
                                                 : RowText::escaped(m_device->errorString());
    };
    if (m_device->write(m_out) != m_out.size()) {
        m_error = lead.arg(reason());
    } else if (auto *file = qobject_cast<QFileDevice *>(m_device)) {
        // Into the system's hands now, so a process killed next loses nothing.
        if (!file->flush())
            m_error = lead.arg(reason());
    }
    // Emptied, not released: the next call's packets reuse the room.
    m_out.truncate(0);
}
