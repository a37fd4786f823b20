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
    switch (end) {
    case End::ClosedByClient:
        writer.endSession(PcapWriter::Ending::ClosedByClient, msecs);
        break;
    case End::ClosedByServer:
        writer.endSession(PcapWriter::Ending::ClosedByServer, msecs);
        break;
    case End::ResetByServer:
        writer.endSession(PcapWriter::Ending::ResetByServer, msecs);
        break;
    case End::ServerUnreachable:
        writer.endSession(PcapWriter::Ending::Refused, msecs);
        break;
    case End::DeliveryStalled:
    case End::SilenceAfterHalfClose:
        // The relay reset the connection of the side it gave up on.
        writer.endSession(side == Side::Client ? PcapWriter::Ending::ResetByClient : PcapWriter::Ending::ResetByServer,
                          msecs);
        break;
    default:
        writer.endSession(PcapWriter::Ending::ResetByClient, msecs);
        break;
    }
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
