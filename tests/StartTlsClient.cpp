#include "StartTlsClient.h"

#include <QSslCertificate>
#include <QSslSocket>
#include <QTest>

namespace {
constexpr int Timeout = 10000;

bool waitRead(QSslSocket &socket, QByteArray *heard, const QByteArray &end)
{
    return QTest::qWaitFor([&] { *heard += socket.readAll(); return heard->endsWith(end); }, Timeout);
}
} // namespace

QString StartTlsClient::converse(quint16 port, const QString &caFile, QByteArray *heard)
{
    QSslSocket socket;
    QSslConfiguration config = socket.sslConfiguration();
    config.setCaCertificates(QSslCertificate::fromPath(caFile));
    socket.setSslConfiguration(config);
    socket.setPeerVerifyName(QStringLiteral("localhost"));
    socket.connectToHost(QStringLiteral("127.0.0.1"), port);
    if (!waitRead(socket, heard, "220 mx ESMTP\r\n"))
        return QStringLiteral("no greeting: ") + socket.errorString();
    socket.write("STARTTLS\r\n");
    if (!waitRead(socket, heard, "220 2.0.0 Ready\r\n"))
        return QStringLiteral("no answer to STARTTLS");
    socket.startClientEncryption();
    if (!QTest::qWaitFor([&] { return socket.isEncrypted(); }, Timeout))
        return QStringLiteral("handshake: ") + socket.errorString();
    socket.write("EHLO client\r\nQUIT\r\n");
    if (!waitRead(socket, heard, "250 hello\r\n221 bye\r\n"))
        return QStringLiteral("no answer inside TLS: ") + socket.errorString();
    return {};
}
