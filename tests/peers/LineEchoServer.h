// A loopback server for many clients at once: greets each connection with
// "220 <n>" (n from 1 in accept order), answers every line "re: <line>", and
// keeps what each connection sent, so that a test can tell whose bytes
// reached which connection.
#pragma once

#include <QList>
#include <QTcpServer>
#include <QTcpSocket>

class LineEchoServer : public QTcpServer
{
public:
    LineEchoServer()
    {
        connect(this, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *socket = nextPendingConnection()) {
                const qsizetype index = received.size();
                received.append(QByteArray());
                socket->write("220 " + QByteArray::number(index + 1) + "\r\n");
                connect(socket, &QTcpSocket::readyRead, this, [this, socket, index] {
                    QByteArray &got = received[index];
                    const qsizetype answered = got.count('\n');
                    got += socket->readAll();
                    const QList<QByteArray> lines = got.split('\n');
                    for (qsizetype i = answered; i + 1 < lines.size(); ++i)
                        socket->write("re: " + lines[i] + '\n');
                });
                connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            }
        });
    }
    bool listenLocally() { return listen(QHostAddress::LocalHost, 0); }

    QList<QByteArray> received; // per connection, in accept order
};
