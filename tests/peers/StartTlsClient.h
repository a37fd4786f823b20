#ifndef DRAVLIN_STARTTLSCLIENT_H
#define DRAVLIN_STARTTLSCLIENT_H

#include <QByteArray>
#include <QString>

// A mail client as the TLS tests need one: through the relay on port, it sends
// what it says early, hears the greeting, asks for the upgrade and hears the
// answer (and stops there when it is refused), switches trusting
// only the CAs in caFile and checking the name "localhost", then sends its
// lines inside TLS and reads the answers. The defaults are FakeServer's SMTP
// session. Returns "" when all of that happened and the client heard exactly
// the dialogue's bytes, in order; else what went wrong.
class StartTlsClient
{
public:
    // Never: plain to a relay that bridges to TLS
    enum class Switch { AfterAnswer, AtOnce, Never, Refused };
    struct Dialogue {
        QByteArray greeting = "220 mx ESMTP\r\n";
        QByteArray request = "STARTTLS\r\n";
        QByteArray answer = "220 2.0.0 Ready\r\n";
        QByteArray insideTls = "EHLO client\r\nQUIT\r\n";
        QByteArray answeredInsideTls = "250 hello\r\n221 bye\r\n";
        Switch switching = Switch::AfterAnswer;
        QByteArray early{}; // sent on connecting, before the greeting
    };
    static QString converse(quint16 port, const QString &caFile, QByteArray *heard, const Dialogue &dialogue);
    static QString converse(quint16 port, const QString &caFile, QByteArray *heard)
    {
        return converse(port, caFile, heard, Dialogue());
    }
};

#endif
