#include "FakeServer.h"

FakeServer::FakeServer(CertificateAuthority &ca, const Script &s)
    : script(s)
{
    listener.listen(QHostAddress::LocalHost, 0);
    QObject::connect(&listener, &QTcpServer::newConnection, &listener, [this, &ca] {
        socket = listener.nextPendingConnection();
        plain.clear(); // each client starts a session of its own, in plain text
        unread.clear();
        replied = 0;
        inMessage = upgraded = false;
        tls.reset();
        if (script.implicit)
            tls = std::make_unique<TlsEngine>(ca, QStringLiteral("127.0.0.1"));
        else if (!script.greetsLate)
            socket->write(script.greeting);
        QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, &ca] { onReadyRead(ca); });
    });
}

void FakeServer::onReadyRead(CertificateAuthority &ca)
{
    const QByteArray bytes = socket->readAll();
    if (!tls) {
        if (plain.isEmpty() && script.greetsLate)
            socket->write(script.greeting);
        plain += bytes;
        unread += bytes;
        answerPlain(ca);
        return;
    }
    tls->feedIncoming(bytes);
    const qsizetype before = decrypted.size();
    decrypted += tls->takePlaintext();
    const bool quit = decrypted.endsWith("QUIT\r\n");
    if (decrypted.indexOf("EHLO client\r\n", std::max<qsizetype>(0, before - 12)) >= 0)
        tls->writePlaintext("250 hello\r\n");
    if (quit) {
        tls->writePlaintext("221 bye\r\n");
        tls->closeWrite();
    }
    socket->write(tls->takeOutgoing());
    if (quit)
        socket->disconnectFromHost();
}

void FakeServer::answerPlain(CertificateAuthority &ca)
{
    for (qsizetype end = unread.indexOf('\n'); end >= 0 && !tls && !(upgraded && script.silent); end = unread.indexOf('\n')) {
        const QByteArray line = unread.first(end + 1);
        unread.remove(0, end + 1);
        if (inMessage) {
            inMessage = line != ".\r\n";
            if (inMessage)
                continue;
        } else if (line == script.upgrade && !upgraded) {
            upgraded = true;
            socket->write(script.answer);
            if (script.switches)
                tls = std::make_unique<TlsEngine>(ca, QStringLiteral("127.0.0.1"));
            continue;
        }
        const QByteArray reply = script.replies.value(replied++, "500 unrecognised command\r\n");
        inMessage = reply.startsWith("354");
        socket->write(reply);
    }
    if (upgraded && !tls && !unread.isEmpty()) { // TLS to a server that did not switch
        unread.clear();
        if (!script.silent)
            socket->write("500 unrecognised command\r\n");
    }
}
