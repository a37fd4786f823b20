#include "ClientHelloGate.h"

#include <openssl/ssl.h>
#include <openssl/tls1.h>

namespace {

// A two-byte length and what it covers, read from data at at; empty when cut.
QByteArray lengthPrefixed(const unsigned char *data, size_t size, size_t at)
{
    if (at + 2 > size)
        return {};
    const size_t length = (size_t(data[at]) << 8) | data[at + 1];
    if (at + 2 + length > size)
        return {};
    return QByteArray(reinterpret_cast<const char *>(data + at + 2), qsizetype(length));
}

} // namespace

int ClientHelloGate::exIndex()
{
    // Taken once, the same for every SSL of the process.
    static const int index = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
    return index;
}

bool ClientHelloGate::install(SSL_CTX *context)
{
    if (exIndex() < 0)
        return false;
    SSL_CTX_set_client_hello_cb(context, &ClientHelloGate::onHello, nullptr);
    SSL_CTX_set_alpn_select_cb(context, &ClientHelloGate::onAlpn, nullptr);
    return true;
}

bool ClientHelloGate::attach(SSL *ssl)
{
    return exIndex() >= 0 && SSL_set_ex_data(ssl, exIndex(), this) == 1;
}

bool ClientHelloGate::takeNews()
{
    const bool news = m_news;
    m_news = false;
    return news;
}

void ClientHelloGate::resume(const QByteArray &alpn)
{
    m_answer = alpn;
    m_state = State::Resumed;
}

void ClientHelloGate::readHello(SSL *ssl)
{
    const unsigned char *data = nullptr;
    size_t size = 0;
    // server_name: a list of (type, name); the one host name (type 0) is kept.
    if (SSL_client_hello_get0_ext(ssl, TLSEXT_TYPE_server_name, &data, &size) == 1 && size > 3 && data[2] == 0)
        m_name = lengthPrefixed(data, size, 3);
    // ALPN: one length around the list, which is what a client context is given.
    if (SSL_client_hello_get0_ext(ssl, TLSEXT_TYPE_application_layer_protocol_negotiation, &data, &size) == 1)
        m_alpn = lengthPrefixed(data, size, 0);
}

int ClientHelloGate::onHello(SSL *ssl, int *alert, void *)
{
    auto *gate = static_cast<ClientHelloGate *>(SSL_get_ex_data(ssl, exIndex()));
    if (!gate)
        return SSL_CLIENT_HELLO_SUCCESS;
    switch (gate->m_state) {
    case State::Open:
        gate->readHello(ssl);
        gate->m_state = State::Held;
        gate->m_news = true;
        return SSL_CLIENT_HELLO_RETRY;
    case State::Held:
        return SSL_CLIENT_HELLO_RETRY;
    case State::Resumed:
        return SSL_CLIENT_HELLO_SUCCESS;
    case State::Refused:
        break;
    }
    *alert = SSL_AD_HANDSHAKE_FAILURE;
    return SSL_CLIENT_HELLO_ERROR;
}

int ClientHelloGate::onAlpn(SSL *ssl, const unsigned char **out, unsigned char *outSize, const unsigned char *in,
                            unsigned int inSize, void *)
{
    const auto *gate = static_cast<const ClientHelloGate *>(SSL_get_ex_data(ssl, exIndex()));
    if (!gate || gate->m_answer.isEmpty())
        return SSL_TLSEXT_ERR_NOACK;
    // Answered with the client's own copy of the name the server chose.
    for (unsigned int at = 0; at < inSize;) {
        const unsigned int length = in[at];
        if (at + 1 + length > inSize)
            break;
        if (QByteArrayView(in + at + 1, length) == gate->m_answer) {
            *out = in + at + 1;
            *outSize = static_cast<unsigned char>(length);
            return SSL_TLSEXT_ERR_OK;
        }
        at += 1 + length;
    }
    return SSL_TLSEXT_ERR_NOACK;
}
