#include "ConversationPcap.h"

#include "Conversation.h"
#include "EndpointText.h"
#include "PcapWriter.h"

#include <QIODevice>

#include <algorithm>

namespace {
// Of the ports systems pick for clients.
constexpr int FirstClientPort = 49152;
} // namespace

QHostAddress ConversationPcap::address(const Endpoint &endpoint)
{
    if (!endpoint.address.isNull())
        return EndpointText::plain(endpoint.address);
    return endpoint.name.compare(QStringLiteral("localhost"), Qt::CaseInsensitive) == 0
        ? QHostAddress(QHostAddress::LocalHost)
        : QHostAddress(QHostAddress::AnyIPv4);
}

void ConversationPcap::beginSession(PcapWriter &writer, const Endpoint &client, const Endpoint &server, qint64 msecs,
                                    int session, bool serverFollows)
{
    writer.beginSession(address(client), client.port, address(server), server.port, msecs, session,
                        serverFollows && server.address.isNull());
}

void ConversationPcap::serverFound(PcapWriter &writer, const Endpoint &server, int session)
{
    if (!server.address.isNull())
        writer.serverFound(address(server), server.port, session);
}

void ConversationPcap::endSession(PcapWriter &writer, RelayEvent::End end, Side side, qint64 msecs, int session)
{
    if (!writer.inSession(session))
        return;
    using End = RelayEvent::End;
    using Ending = PcapWriter::Ending;
    // The relay reset the connection of a side it gave up on, and any other
    // ending (a stop, a TLS failure) took both down.
    const auto ending = [end, side] {
        switch (end) {
        case End::ClosedByClient:
            return Ending::ClosedByClient;
        case End::ClosedByServer:
            return Ending::ClosedByServer;
        case End::ResetByServer:
            return Ending::ResetByServer;
        case End::ServerUnreachable:
            return Ending::Refused;
        case End::DeliveryStalled:
        case End::SilenceAfterHalfClose:
            return side == Side::Client ? Ending::ResetByClient : Ending::ResetByServer;
        default:
            return Ending::ResetByClient;
        }
    };
    writer.endSession(ending(), msecs, session);
}

ConversationPcap::ConversationPcap(const Conversation &conversation, QIODevice *device)
    : m_conversation(conversation)
    , m_writer(std::make_unique<PcapWriter>(device))
    , m_rows(conversation.rowCount())
{
}

ConversationPcap::~ConversationPcap() = default;

QString ConversationPcap::errorString() const
{
    return m_writer->errorString();
}

qint64 ConversationPcap::capturable(qint64 msecs)
{
    constexpr qint64 Last = qint64{0xffffffff} * 1000 + 999;
    return std::clamp<qint64>(msecs, 0, Last);
}

bool ConversationPcap::writeRows(int count)
{
    const Conversation &conversation = m_conversation;
    PcapWriter &writer = *m_writer;
    const int stop = m_rows - m_row > count ? m_row + count : m_rows;
    while (m_row < stop && writer.isOk()) {
        const int row = m_row;
        const qint64 msecs = capturable(conversation.arrivedMsecs(row));
        // A row's session is its stream, whatever came between.
        const int session = conversation.session(row);
        if (conversation.isMarker(row)) {
            const RelayEvent &event = conversation.mark(row).event;
            if (event.kind == RelayEvent::Kind::ClientConnected)
                beginSession(writer, event.client, event.server, msecs, session);
            else if (event.kind == RelayEvent::Kind::SessionEnded)
                endSession(writer, event.end, event.side, msecs, session);
            ++m_row;
            continue;
        }
        if (!writer.inSession(session)) {
            const QHostAddress loopback(QHostAddress::LocalHost);
            beginSession(writer, Endpoint::at(loopback, quint16(FirstClientPort + session % 16384)),
                         Endpoint::at(loopback, 25), msecs, session);
        }
        // The rows of one chunk: one side, one session, one time, no mark between them.
        const Side side = conversation.side(row);
        QByteArray bytes;
        int end = row;
        while (end < stop && !conversation.isMarker(end) && conversation.side(end) == side
               && conversation.session(end) == session && capturable(conversation.arrivedMsecs(end)) == msecs) {
            bytes.append(conversation.bytes(end));
            if (conversation.rowEnd(end) == LineCapture::RowEnd::CrLf)
                bytes.append("\r\n", 2);
            ++end;
        }
        writer.data(side, bytes, msecs, session);
        m_row = end;
    }
    return writer.isOk() && m_row < m_rows;
}

bool ConversationPcap::write(const Conversation &conversation, QIODevice *device, QString *error)
{
    ConversationPcap pcap(conversation, device);
    while (pcap.writeRows(1 << 16)) {
    }
    *error = pcap.errorString();
    return error->isEmpty();
}
