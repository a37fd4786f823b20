#include "ConversationPcap.h"

#include "Conversation.h"
#include "PcapWriter.h"
#include "SessionMarks.h"

#include <QIODevice>

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

void ConversationPcap::beginSession(PcapWriter &writer, const QString &client, const QString &server, qint64 msecs)
{
    QHostAddress clientAddress, serverAddress;
    quint16 clientPort = 0, serverPort = 0;
    endpoint(client, &clientAddress, &clientPort);
    endpoint(server, &serverAddress, &serverPort);
    writer.beginSession(clientAddress, clientPort, serverAddress, serverPort, msecs);
}

void ConversationPcap::endSession(PcapWriter &writer, RelayEvent::End end, Side side, qint64 msecs)
{
    if (!writer.inSession())
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
    writer.endSession(ending(), msecs);
}

bool ConversationPcap::write(const Conversation &conversation, QIODevice *device, QString *error)
{
    PcapWriter writer(device);
    const int rows = conversation.rowCount();
    for (int row = 0; row < rows && writer.isOk();) {
        const qint64 msecs = conversation.arrivedMsecs(row);
        if (conversation.isMarker(row)) {
            const QString text = conversation.markerText(row);
            QString client, server;
            RelayEvent::End end = RelayEvent::End::None;
            if (SessionMarks::readBegin(text, &client, &server))
                beginSession(writer, client, server, msecs);
            else if (SessionMarks::readEnd(text, &end))
                endSession(writer, end, Side::Client, msecs);
            ++row;
            continue;
        }
        if (!writer.inSession())
            beginSession(writer, QStringLiteral("127.0.0.1:49152"), QStringLiteral("127.0.0.1:25"), msecs);
        // The rows of one chunk: one side, one time, no mark between them.
        const Side side = conversation.side(row);
        QByteArray bytes;
        int end = row;
        while (end < rows && !conversation.isMarker(end) && conversation.side(end) == side
               && conversation.arrivedMsecs(end) == msecs) {
            bytes.append(conversation.bytes(end));
            bytes.append("\r\n", 2);
            ++end;
        }
        writer.data(side, bytes, msecs);
        row = end;
    }
    if (!writer.isOk())
        *error = writer.errorString();
    return writer.isOk();
}
