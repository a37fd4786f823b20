#ifndef DRAVLIN_CLIENTHELLOGATE_H
#define DRAVLIN_CLIENTHELLOGATE_H

#include <QByteArray>

#include <openssl/types.h>

// Holds a client's handshake right after its ClientHello, so that Dravlin
// can first meet the server the client meant: with the name (SNI) and the
// protocols (ALPN) the client offered, checking its certificate. Only then
// is the client answered, with the protocol the server chose, or refused
// with an alert when the server could not be trusted, as a direct connection
// would have failed.
//
// Installed on a server context; an engine that wants the hold attaches its
// gate to its SSL. Engines without a gate never pause and answer no ALPN.
class ClientHelloGate
{
public:
    enum class State { Open, Held, Resumed, Refused };

    // Sets the context's ClientHello and ALPN callbacks. False when out of memory.
    static bool install(SSL_CTX *context);
    // From here on, ssl's handshake stops after the ClientHello until
    // resume() or refuse(). False when out of memory.
    bool attach(SSL *ssl);

    State state() const { return m_state; }
    // What the client offered, as it sent them: a host name, and ALPN's
    // wire form (length-prefixed names). Empty when not offered.
    const QByteArray &requestedName() const { return m_name; }
    const QByteArray &offeredAlpn() const { return m_alpn; }
    // Once true, reports the hold exactly once.
    bool takeNews();
    // Answer the client, with alpn (one protocol, its name) when not empty.
    void resume(const QByteArray &alpn);
    // Fail the client's handshake with a handshake_failure alert.
    void refuse() { m_state = State::Refused; }

private:
    static int exIndex();
    static int onHello(SSL *ssl, int *alert, void *);
    static int onAlpn(SSL *ssl, const unsigned char **out, unsigned char *outSize, const unsigned char *in,
                      unsigned int inSize, void *);
    void readHello(SSL *ssl);

    State m_state = State::Open;
    bool m_news = false;
    QByteArray m_name;
    QByteArray m_alpn;
    QByteArray m_answer;
};

#endif
