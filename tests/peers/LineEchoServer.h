// A loopback server for many clients at once: greets each connection
// ("<n>" in the greeting: its number, from 1 in accept order), answers each
// line it ends with the prefix and the line (no prefix: no answer), and keeps
// what each connection sent, so that a test can tell whose bytes reached which.
#pragma once

#include <QList>
#include <QTcpServer>
#include <QTcpSocket>

#include <algorithm>

class LineEchoServer : public QTcpServer
{
public:
    explicit LineEchoServer(const QByteArray &greeting = "220 <n>\r\n", const QByteArray &prefix = "re: ")
    {
        connect(this, &QTcpServer::newConnection, this, [this, greeting, prefix] {
            while (QTcpSocket *socket = nextPendingConnection()) {
                const qsizetype index = received.size();
                received.append(QByteArray());
                socket->write(QByteArray(greeting).replace("<n>", QByteArray::number(index + 1)));
                connect(socket, &QTcpSocket::readyRead, this, [this, socket, index, prefix] {
                    QByteArray &got = received[index];
                    qsizetype at = got.lastIndexOf('\n') + 1;
                    got += socket->readAll();
                    for (qsizetype end; !prefix.isEmpty() && (end = got.indexOf('\n', at)) >= 0; at = end + 1)
                        socket->write(prefix + got.mid(at, end + 1 - at));
                });
                connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            }
        });
        listen(QHostAddress::LocalHost, 0);
    }
    QList<QByteArray> sorted() const { QList<QByteArray> all = received; std::sort(all.begin(), all.end()); return all; }

    QList<QByteArray> received; // per connection, in accept order
};
