#ifndef DRAVLIN_FAKESERVER_H
#define DRAVLIN_FAKESERVER_H

#include "CertificateAuthority.h"
#include "TlsEngine.h"

#include <QTcpServer>
#include <QTcpSocket>

#include <memory>

// A mail-like server on loopback: plain lines until it accepts the upgrade,
// then TLS with a certificate of its own CA. In plain text each line gets the
// next of the script's replies ("500 unrecognised" once they run out), the
// upgrade line its answer; after a reply "354" the lines of a message get
// nothing until a line of one dot. Inside TLS it answers "EHLO" with
// "250 hello" and "QUIT" with "221 bye", then ends the session. Each new
// client starts afresh, greeted with the script as it is then.
struct FakeServer
{
    struct Script
    {
        QByteArray greeting = "220 mx ESMTP\r\n";
        QByteArray upgrade = "STARTTLS\r\n";
        QByteArray answer = "220 2.0.0 Ready\r\n"; // may carry injected lines after it
        bool switches = true; // false: answers, then goes on in plain text
        bool silent = false;  // with switches false: after its answer, says nothing more
        bool implicit = false;
        QList<QByteArray> replies{};
        bool greetsLate = false; // greets once the client has spoken
    };

    FakeServer(CertificateAuthority &ca, const Script &s);
    void onReadyRead(CertificateAuthority &ca);
    void answerPlain(CertificateAuthority &ca);

    Script script;
    QTcpServer listener;
    QTcpSocket *socket = nullptr;
    std::unique_ptr<TlsEngine> tls;
    QByteArray plain, decrypted;
    QByteArray unread; // plain bytes not yet a whole line
    qsizetype replied = 0;
    bool inMessage = false;
    bool upgraded = false;
};

#endif
