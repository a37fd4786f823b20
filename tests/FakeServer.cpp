#include "FakeServer.h"

FakeServer::FakeServer(CertificateAuthority &ca, const Script &s)
    : script(s)
{
    listener.listen(QHostAddress::LocalHost, 0);
    QObject::connect(&listener, &QTcpServer::newConnection, &listener, [this, &ca] {
        socket = listener.nextPendingConnection();
        plain.clear(); // each client starts a session of its own, in plain text
        tls.reset();
        if (script.implicit)
            tls = std::make_unique<TlsEngine>(ca, QStringLiteral("127.0.0.1"));
        else
            socket->write(script.greeting);
        QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, &ca] { onReadyRead(ca); });
    });
}

void FakeServer::onReadyRead(CertificateAuthority &ca)
{
    const QByteArray bytes = socket->readAll();
    if (!tls) {
        plain += bytes;
        if (plain.size() > bytes.size() && plain.contains(script.upgrade)) { // a server that did not switch
            if (!script.silent)
                socket->write("500 unrecognised command\r\n");
        }
        else if (plain.endsWith(script.upgrade)) {
            socket->write(script.answer);
            if (script.switches)
                tls = std::make_unique<TlsEngine>(ca, QStringLiteral("127.0.0.1"));
        }
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
