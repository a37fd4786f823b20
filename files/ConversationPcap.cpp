#include "ConversationPcap.h"

#include "Conversation.h"
#include "PcapWriter.h"
#include "SessionMarks.h"

#include <QIODevice>

#include <algorithm>

namespace {
// Of the ports systems pick for clients.
constexpr int FirstClientPort = 49152;
} // namespace

void ConversationPcap::endpoint(const QString &text, QHostAddress *address, quint16 *port)
{
    QString host;
    *port = 0;
    if (!SessionMarks::splitEndpoint(text, &host, port))
        host = text;
    *address = QHostAddress(host);
    if (address->isNull()) {
        *address = host.compare(QStringLiteral("localhost"), Qt::CaseInsensitive) == 0 ? QHostAddress(QHostAddress::LocalHost)
                                                                                     : QHostAddress(QHostAddress::AnyIPv4);
    }
}

void ConversationPcap::beginSession(PcapWriter &writer, const QString &client, const QString &server, qint64 msecs,
                                    int session)
{
    QHostAddress clientAddress, serverAddress;
    quint16 clientPort = 0, serverPort = 0;
    endpoint(client, &clientAddress, &clientPort);
    endpoint(server, &serverAddress, &serverPort);
    writer.beginSession(clientAddress, clientPort, serverAddress, serverPort, msecs, session);
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
            beginSession(writer, QStringLiteral("127.0.0.1:%1").arg(FirstClientPort + session % 16384),
                         QStringLiteral("127.0.0.1:25"), msecs, session);
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
