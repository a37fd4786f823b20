#include "StartTlsClient.h"

#include <QSslCertificate>
#include <QSslSocket>
#include <QTest>

namespace {
constexpr int Timeout = 10000;

// Reads until heard holds as many bytes as expected, or the relay hangs up;
// true when heard is what was expected.
bool hears(QSslSocket &socket, QByteArray *heard, const QByteArray &expected)
{
    const auto enough = [&] {
        *heard += socket.readAll();
        return heard->size() >= expected.size() || socket.state() == QAbstractSocket::UnconnectedState;
    };
    return QTest::qWaitFor(enough, Timeout) && *heard == expected;
}
} // namespace

QString StartTlsClient::converse(quint16 port, const QString &caFile, QByteArray *heard, const Dialogue &dialogue)
{
    QSslSocket socket;
    QSslConfiguration config = socket.sslConfiguration();
    config.setCaCertificates(QSslCertificate::fromPath(caFile));
    socket.setSslConfiguration(config);
    socket.setPeerVerifyName(QStringLiteral("localhost"));
    if (dialogue.switching == Switch::AtOnce)
        socket.connectToHostEncrypted(QStringLiteral("127.0.0.1"), port, QStringLiteral("localhost"));
    else
        socket.connectToHost(QStringLiteral("127.0.0.1"), port);
    socket.write(dialogue.early);
    if (!hears(socket, heard, dialogue.greeting))
        return QStringLiteral("greeting: ") + socket.errorString();
    if (dialogue.switching == Switch::AfterAnswer || dialogue.switching == Switch::Refused) {
        socket.write(dialogue.request);
        if (!hears(socket, heard, dialogue.greeting + dialogue.answer))
            return QStringLiteral("answer to the upgrade: ") + socket.errorString();
        if (dialogue.switching == Switch::Refused)
            return {};
        socket.startClientEncryption();
    }
    const auto settled = [&] { return socket.isEncrypted() || socket.state() == QAbstractSocket::UnconnectedState; };
    if (dialogue.switching != Switch::Never && (!QTest::qWaitFor(settled, Timeout) || !socket.isEncrypted()))
        return QStringLiteral("handshake: ") + socket.errorString();
    socket.write(dialogue.insideTls);
    if (!hears(socket, heard, *heard + dialogue.answeredInsideTls))
        return QStringLiteral("answers inside TLS: ") + socket.errorString();
    return {};
}
