#include "TlsEngine.h"

#include "CertificateAuthority.h"
#include "TlsNames.h"

#include <QFile>
#include <QStringDecoder>
#include <QStringList>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cstring>

namespace {

// A name the peer chose, read as UTF-8 when it is, byte for byte otherwise:
// whoever shows it escapes it, so nothing is lost or misread here.
QString peerText(QByteArrayView bytes)
{
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = utf8.decode(bytes);
    return utf8.hasError() ? QString::fromLatin1(bytes) : text;
}

// The most plaintext one record holds (RFC 8446, 5.1).
constexpr qsizetype RecordPlaintext = 16 * 1024;
// One record's worth of plaintext per read call.
constexpr size_t ReadChunk = size_t(RecordPlaintext);
// What a TLS 1.3 record adds to its plaintext, at most, with the AEAD suites
// offered here: header 5, content type 1, tag 16, rounded up.
constexpr qsizetype RecordOverhead = 32;
// Alert numbers fit in a byte.
constexpr int AlertCount = 256;

// TLS 1.3 suites, AES-128-GCM first: as safe for this use, and every byte is
// decrypted and encrypted again here, so the cheaper cipher is worth having
// on both sides of the relay.
constexpr char Suites[] = "TLS_AES_128_GCM_SHA256:TLS_AES_256_GCM_SHA384:TLS_CHACHA20_POLY1305_SHA256";

QString nameText(const X509_NAME *name)
{
    if (!name)
        return {};
    BIO *bio = BIO_new(BIO_s_mem());
    // RFC 2253 order and escaping, but UTF-8 kept as is rather than \XX.
    if (!bio || X509_NAME_print_ex(bio, name, 0, XN_FLAG_RFC2253 & ~ASN1_STRFLGS_ESC_MSB) < 0) {
        // Out of memory: no name rather than a cut one.
        BIO_free(bio);
        ERR_clear_error();
        return {};
    }
    char *data = nullptr;
    const long size = BIO_get_mem_data(bio, &data);
    QString text = QString::fromUtf8(data, size);
    BIO_free(bio);
    return text;
}

QString fingerprint(const X509 *certificate)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (!certificate || !X509_digest(certificate, EVP_sha256(), digest, &size))
        return {};
    return QString::fromLatin1(QByteArray(reinterpret_cast<const char *>(digest), size).toHex(':').toUpper());
}

QString hostWithoutBrackets(QString host)
{
    host = host.trimmed();
    if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']')))
        host = host.mid(1, host.size() - 2);
    return host;
}

// What the first queued libssl error says happened.
FailureCause causeOf(unsigned long code)
{
    const int reason = ERR_GET_REASON(code);
    // Alerts the peer sent come back as reasons offset by SSL_AD_REASON_OFFSET.
    if (ERR_GET_LIB(code) == ERR_LIB_SSL && reason >= SSL_AD_REASON_OFFSET && reason < SSL_AD_REASON_OFFSET + AlertCount)
        return {FailureCause::Kind::AlertReceived, reason - SSL_AD_REASON_OFFSET, {}, {}, {},
                TlsNames::alert(reason - SSL_AD_REASON_OFFSET), {}, {}};
    // Empty when the library has no words for it: the wording says so.
    const char *text = code ? ERR_reason_error_string(code) : nullptr;
    const QString detail = text ? QString::fromLatin1(text) : QString();
    if (ERR_GET_LIB(code) == ERR_LIB_SSL) {
        switch (reason) {
        case SSL_R_WRONG_VERSION_NUMBER:
        case SSL_R_HTTP_REQUEST:
        case SSL_R_HTTPS_PROXY_REQUEST:
        case SSL_R_PACKET_LENGTH_TOO_LONG:
        case SSL_R_RECORD_LENGTH_MISMATCH:
        case SSL_R_UNEXPECTED_RECORD:
            return {FailureCause::Kind::NotTls, reason, detail, {}, {}, {}, {}, {}};
        default:
            break;
        }
    }
    return {FailureCause::Kind::Library, reason, detail, {}, {}, {}, {}, {}};
}

} // namespace

TlsEngine::Context TlsEngine::clientContext(const QString &extraCaFile, FailureCause *error)
{
    Context context(SSL_CTX_new(TLS_client_method()), SSL_CTX_free);
    FailureCause why;
    if (!context || !SSL_CTX_set_ciphersuites(context.get(), Suites))
        why = FailureCause::of(FailureCause::Kind::TlsOutOfMemory);
    else if (!SSL_CTX_set_default_verify_paths(context.get()))
        why = FailureCause::of(FailureCause::Kind::SystemCasUnreadable);
    else if (!extraCaFile.isEmpty()
             && !SSL_CTX_load_verify_locations(context.get(), QFile::encodeName(extraCaFile).constData(), nullptr))
        why = FailureCause::about(FailureCause::Kind::CaFileUnreadable, extraCaFile);
    ERR_clear_error();
    if (why.isNone())
        return context;
    if (error)
        *error = why;
    return {};
}

TlsEngine::Context TlsEngine::serverContext()
{
    Context context(SSL_CTX_new(TLS_server_method()), SSL_CTX_free);
    // One session ticket, sent as the client's Finished arrives, as a real
    // server does. It answers the client's last flight at once: a client that
    // leaves Nagle's algorithm on holds its first command until that flight
    // is acknowledged, and with nothing to send the kernel delays that
    // acknowledgement by some 40 ms. A forced quick ACK would need a system
    // call on every read; the ticket costs one record per session.
    if (!context || !SSL_CTX_set_num_tickets(context.get(), 1) || !SSL_CTX_set_ciphersuites(context.get(), Suites)) {
        ERR_clear_error();
        return {};
    }
    // A client asking to renegotiate is refused, as most servers do today:
    // its server is not asked, and the certificate shown stays the one made.
    SSL_CTX_set_options(context.get(), SSL_OP_CIPHER_SERVER_PREFERENCE | SSL_OP_NO_RENEGOTIATION);
    if (!ClientHelloGate::install(context.get())) {
        ERR_clear_error();
        return {};
    }
    // No session resumes another, as when each had a context of its own: a
    // resumed session would skip the certificate made for its server and
    // name. Nothing is cached, and a ticket presented, though readable with
    // the shared keys, is set aside for a full handshake, which still ends
    // with a ticket of its own.
    SSL_CTX_set_session_cache_mode(context.get(), SSL_SESS_CACHE_OFF);
    if (!SSL_CTX_set_session_ticket_cb(
            context.get(), nullptr,
            [](SSL *, SSL_SESSION *, const unsigned char *, size_t, SSL_TICKET_STATUS, void *) -> SSL_TICKET_RETURN {
                return SSL_TICKET_RETURN_IGNORE_RENEW;
            },
            nullptr)) {
        ERR_clear_error();
        return {};
    }
    return context;
}

TlsEngine::TlsEngine(const Context &context, CertificateAuthority &authority, const QString &serverHost)
    : m_authority(&authority)
    , m_serverHost(hostWithoutBrackets(serverHost))
{
    setUp(context.get());
    if (!m_ssl)
        return;
    // The leaf depends on the SNI, so it is chosen once the ClientHello is read.
    SSL_set_cert_cb(m_ssl, &TlsEngine::onCertificateNeeded, this);
    SSL_set_accept_state(m_ssl);
}

TlsEngine::TlsEngine(CertificateAuthority &authority, const QString &serverHost)
    : TlsEngine(serverContext(), authority, serverHost)
{
}

TlsEngine::TlsEngine(const Context &trust, const ClientOptions &options)
    : m_serverHost(hostWithoutBrackets(options.host))
{
    setUp(trust.get());
    if (!m_ssl)
        return;
    SSL_set_connect_state(m_ssl);
    // Verified even when insecure, so the summary says whether it would have passed.
    SSL_set_verify(m_ssl, options.insecure ? SSL_VERIFY_NONE : SSL_VERIFY_PEER, &TlsEngine::onVerify);
    const QByteArray host = m_serverHost.toUtf8();
    X509_VERIFY_PARAM *param = SSL_get0_param(m_ssl);
    X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    // An address is checked against IP names and never sent as SNI (RFC 6066).
    const bool address = !host.isEmpty() && X509_VERIFY_PARAM_set1_ip_asc(param, host.constData());
    bool usable = host.isEmpty() || address || X509_VERIFY_PARAM_set1_host(param, host.constData(), 0);
    // The name the client asked for goes on as it asked, as a direct connection would send it.
    const QByteArray sni = !options.name.isEmpty() ? options.name : address ? QByteArray() : host;
    m_summary.serverName = peerText(sni);
    if (usable && !sni.isEmpty())
        usable = SSL_set_tlsext_host_name(m_ssl, sni.constData()) == 1;
    if (usable && !options.alpn.isEmpty())
        usable = SSL_set_alpn_protos(m_ssl, reinterpret_cast<const unsigned char *>(options.alpn.constData()),
                                     static_cast<unsigned int>(options.alpn.size())) == 0;
    if (!usable) {
        ERR_clear_error();
        m_state = State::Failed;
        m_failure = FailureCause::about(FailureCause::Kind::ServerNameUnusable,
                                        m_summary.serverName.isEmpty() ? m_serverHost : m_summary.serverName);
        return;
    }
    ERR_clear_error();
    advance();
}

TlsEngine::~TlsEngine()
{
    SSL_free(m_ssl);
}

void TlsEngine::setUp(SSL_CTX *context)
{
    m_ssl = context ? SSL_new(context) : nullptr;
    m_in = m_ssl && feedMethod() ? BIO_new(feedMethod()) : nullptr;
    m_out = m_ssl && wireMethod() ? BIO_new(wireMethod()) : nullptr;
    if (!m_in || !m_out) {
        BIO_free(m_in);
        BIO_free(m_out);
        SSL_free(m_ssl);
        m_ssl = nullptr;
        m_in = m_out = nullptr;
        m_state = State::Failed;
        m_failure = FailureCause::of(FailureCause::Kind::TlsOutOfMemory);
        ERR_clear_error();
        return;
    }
    // A write refused during a renegotiation is made again from m_unsent,
    // which may have moved since.
    SSL_set_mode(m_ssl, SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    BIO_set_data(m_in, this);
    BIO_set_init(m_in, 1);
    BIO_set_data(m_out, this);
    BIO_set_init(m_out, 1);
    SSL_set_bio(m_ssl, m_in, m_out);
    // The callbacks find the engine through it: without it they could not run.
    if (!SSL_set_app_data(m_ssl, this)) {
        SSL_free(m_ssl); // the BIOs with it
        m_ssl = nullptr;
        m_in = m_out = nullptr;
        m_state = State::Failed;
        m_failure = FailureCause::of(FailureCause::Kind::TlsOutOfMemory);
        ERR_clear_error();
    }
}

void TlsEngine::feedIncoming(QByteArrayView cipher)
{
    if (m_state == State::Failed || m_state == State::PeerClosed || cipher.isEmpty())
        return;
    // Read where it lies: libssl keeps a record cut at the chunk's end itself;
    // whatever it left unread is kept for the next call.
    m_fed = cipher;
    // Plaintext is never longer than the records that carried it.
    reuse(m_plaintext, m_plaintextGiven, cipher.size() + static_cast<qsizetype>(ReadChunk));
    advance();
    if (!m_fed.isEmpty() && m_state != State::Failed && m_state != State::PeerClosed)
        m_carry.append(m_fed.data(), m_fed.size());
    m_fed = {};
}

// What libssl reads: the carried bytes first, then the chunk being fed. None
// left means "wait for more", never the end of the stream.
size_t TlsEngine::readFed(char *data, size_t size)
{
    size_t given = 0;
    const auto take = [&](const char *from, qsizetype available) {
        const size_t n = std::min(size - given, static_cast<size_t>(available));
        std::memcpy(data + given, from, n);
        given += n;
        return static_cast<qsizetype>(n);
    };
    if (m_carried < m_carry.size()) {
        m_carried += take(m_carry.constData() + m_carried, m_carry.size() - m_carried);
        if (m_carried == m_carry.size()) {
            m_carry.resize(0);
            m_carried = 0;
        }
    }
    if (given < size && !m_fed.isEmpty())
        m_fed = m_fed.sliced(take(m_fed.data(), m_fed.size()));
    return given;
}

QByteArray TlsEngine::takePlaintext()
{
    return handOver(m_plaintext, m_plaintextGiven);
}

// Hands the buffer's bytes out and remembers them, so that reuse() can write
// into the same memory once the taker has let go.
QByteArray TlsEngine::handOver(QByteArray &buffer, QByteArray &given)
{
    QByteArray out;
    out.swap(buffer);
    given = out;
    return out;
}

// Grows buffer by room bytes, in the one last handed out when its takers have
// all let go of it: a busy session then works in the same two buffers rather
// than in fresh memory that the system must hand over page by page.
void TlsEngine::reuse(QByteArray &buffer, QByteArray &given, qsizetype room)
{
    if (buffer.isEmpty() && given.isDetached() && given.capacity() >= room) {
        buffer.swap(given);
        buffer.resize(0);
    }
    given = QByteArray();
    buffer.reserve(buffer.size() + room);
}

void TlsEngine::writePlaintext(QByteArrayView plain)
{
    if (m_state == State::Failed || m_closeWanted || plain.isEmpty())
        return;
    // During the peer's renegotiation only reads may drive the handshake:
    // application data the peer sent meanwhile is accepted by libssl inside a
    // read alone, and would fail a write as an unexpected record.
    if (m_state != State::Handshaking && m_unsent.isEmpty() && !SSL_in_init(m_ssl)) {
        // The usual case once established: encrypted at once, without a copy,
        // into room for the records' headers and tags too.
        reuse(m_wire, m_wireGiven, plain.size() + (plain.size() / RecordPlaintext + 1) * RecordOverhead);
        if (writeRecords(plain) == Write::Later)
            m_unsent.append(plain.data(), plain.size());
        return;
    }
    m_unsent.append(plain.data(), plain.size());
    advance();
}

// Whole or not at all: the wire takes every record, so short of an error
// the only refusal is a handshake under way (the peer renegotiates), after
// which the same bytes are offered again.
TlsEngine::Write TlsEngine::writeRecords(QByteArrayView plain)
{
    ERR_clear_error();
    size_t written = 0;
    const int result = SSL_write_ex(m_ssl, plain.data(), static_cast<size_t>(plain.size()), &written);
    if (result == 1)
        return Write::Done;
    const int error = SSL_get_error(m_ssl, result);
    if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
        ERR_clear_error();
        return Write::Later;
    }
    fail(error);
    return Write::Failed;
}

qint64 TlsEngine::dropUnsent()
{
    const qint64 dropped = m_unsent.size();
    m_unsent.clear();
    return dropped;
}

void TlsEngine::holdAfterHello()
{
    if (m_ssl && isServer() && !m_gate.attach(m_ssl)) {
        ERR_clear_error();
        m_state = State::Failed;
        m_failure = FailureCause::of(FailureCause::Kind::TlsOutOfMemory);
    }
}

void TlsEngine::resumeHello(const QByteArray &alpn)
{
    if (m_state != State::Handshaking || m_gate.state() != ClientHelloGate::State::Held)
        return;
    m_gate.resume(alpn);
    advance();
}

void TlsEngine::refuseHello(const FailureCause &why)
{
    if (m_state != State::Handshaking || m_gate.state() != ClientHelloGate::State::Held)
        return;
    m_gate.refuse();
    m_failure = why;
    advance();
}

QByteArray TlsEngine::alpn() const
{
    const unsigned char *name = nullptr;
    unsigned int size = 0;
    if (m_ssl)
        SSL_get0_alpn_selected(m_ssl, &name, &size);
    return name ? QByteArray(reinterpret_cast<const char *>(name), qsizetype(size)) : QByteArray();
}

QByteArray TlsEngine::takeOutgoing()
{
    return handOver(m_wire, m_wireGiven);
}

bool TlsEngine::hasOutgoing() const
{
    return !m_wire.isEmpty();
}

// Records go straight into m_wire, handed over whole by takeOutgoing(): a
// memory BIO would cost a copy in and a copy out of every byte sent.
BIO_METHOD *TlsEngine::wireMethod()
{
    // Made once and never changed: every engine's output BIO shares it.
    static BIO_METHOD *const method = [] {
        BIO_METHOD *m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "dravlin wire");
        // Without it no wire BIO is made, and setUp() says why.
        if (!m)
            return m;
        BIO_meth_set_write_ex(m, [](BIO *bio, const char *data, size_t size, size_t *written) {
            static_cast<TlsEngine *>(BIO_get_data(bio))->m_wire.append(data, static_cast<qsizetype>(size));
            *written = size;
            return 1;
        });
        BIO_meth_set_ctrl(m, [](BIO *, int command, long, void *) -> long { return command == BIO_CTRL_FLUSH ? 1 : 0; });
        return m;
    }();
    return method;
}

// Records are read from the chunk fed, in place: a memory BIO would first
// copy every byte received into a buffer of its own.
BIO_METHOD *TlsEngine::feedMethod()
{
    // Made once and never changed: every engine's input BIO shares it.
    static BIO_METHOD *const method = [] {
        BIO_METHOD *m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "dravlin feed");
        if (!m)
            return m;
        BIO_meth_set_read_ex(m, [](BIO *bio, char *data, size_t size, size_t *read) {
            BIO_clear_retry_flags(bio);
            *read = static_cast<TlsEngine *>(BIO_get_data(bio))->readFed(data, size);
            if (*read > 0)
                return 1;
            BIO_set_retry_read(bio);
            return 0;
        });
        BIO_meth_set_ctrl(m, [](BIO *, int command, long, void *) -> long { return command == BIO_CTRL_FLUSH ? 1 : 0; });
        return m;
    }();
    return method;
}

void TlsEngine::closeWrite()
{
    if (m_state == State::Failed || m_closeWanted)
        return;
    m_closeWanted = true;
    advance();
}

void TlsEngine::advance()
{
    // Errors are queued per thread: leave none from elsewhere to be read as ours.
    ERR_clear_error();
    if (m_state == State::Handshaking) {
        const int result = SSL_do_handshake(m_ssl);
        if (result != 1) {
            const int error = SSL_get_error(m_ssl, result);
            if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE
                && error != SSL_ERROR_WANT_CLIENT_HELLO_CB)
                fail(error);
            return;
        }
        establish();
    }
    flushWrites();
    while (m_state == State::Established) {
        const qsizetype at = m_plaintext.size();
        m_plaintext.resize(at + static_cast<qsizetype>(ReadChunk));
        size_t read = 0;
        const int result = SSL_read_ex(m_ssl, m_plaintext.data() + at, ReadChunk, &read);
        m_plaintext.truncate(at + static_cast<qsizetype>(read));
        if (result == 1)
            continue;
        const int error = SSL_get_error(m_ssl, result);
        if (error == SSL_ERROR_ZERO_RETURN)
            m_state = State::PeerClosed;
        else if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE)
            fail(error);
        break;
    }
    // What a renegotiation held back goes once the reads above have finished it.
    flushWrites();
}

// What waits to be written, then close_notify once nothing does. Both wait
// while the peer's renegotiation is under way.
void TlsEngine::flushWrites()
{
    if (m_state == State::Failed || m_state == State::Handshaking)
        return;
    if (!m_unsent.isEmpty() && !m_closeSent && !SSL_in_init(m_ssl) && writeRecords(m_unsent) == Write::Done)
        m_unsent.clear();
    if (!m_closeWanted || m_closeSent || !m_unsent.isEmpty() || m_state == State::Failed || SSL_in_init(m_ssl))
        return;
    ERR_clear_error();
    const int result = SSL_shutdown(m_ssl);
    if (result >= 0) {
        m_closeSent = true;
        return;
    }
    const int error = SSL_get_error(m_ssl, result);
    if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE)
        fail(error);
}

void TlsEngine::establish()
{
    m_state = State::Established;
    m_summary.protocol = QString::fromLatin1(SSL_get_version(m_ssl));
    m_summary.cipher = QString::fromLatin1(SSL_CIPHER_get_name(SSL_get_current_cipher(m_ssl)));
    if (isServer()) {
        // The client's bytes: UTF-8 when they are, never taken apart as Latin-1.
        m_summary.serverName = peerText(SSL_get_servername(m_ssl, TLSEXT_NAMETYPE_host_name));
        return;
    }
    const X509 *peer = SSL_get0_peer_certificate(m_ssl);
    m_summary.peerSubject = nameText(peer ? X509_get_subject_name(peer) : nullptr);
    m_summary.peerIssuer = nameText(peer ? X509_get_issuer_name(peer) : nullptr);
    m_summary.peerFingerprint = fingerprint(peer);
    const long verify = SSL_get_verify_result(m_ssl);
    m_summary.peerVerified = peer && verify == X509_V_OK;
    if (!m_summary.peerVerified && m_summary.verifyError.isEmpty()) {
        m_summary.verifyResult = int(verify);
        m_summary.verifyError = QString::fromLatin1(X509_verify_cert_error_string(verify));
        m_summary.verifyName = TlsNames::verifyResult(int(verify));
    }
}

void TlsEngine::fail(int sslError)
{
    const unsigned long code = ERR_peek_error();
    const bool verifyFailed = ERR_GET_LIB(code) == ERR_LIB_SSL && ERR_GET_REASON(code) == SSL_R_CERTIFICATE_VERIFY_FAILED;
    const bool handshaking = m_state == State::Handshaking;
    m_state = State::Failed;
    if (m_failure.kind != FailureCause::Kind::None) {
        // Already said by the certificate callback.
    } else if (verifyFailed) {
        m_failure = {FailureCause::Kind::CertificateRefused, m_summary.verifyResult, m_summary.verifyError,
                     m_summary.peerSubject, m_summary.peerIssuer, m_summary.verifyName, {}, {}};
    } else if (code) {
        m_failure = causeOf(code);
    } else if (handshaking && (sslError == SSL_ERROR_SYSCALL || sslError == SSL_ERROR_ZERO_RETURN)) {
        m_failure = FailureCause::of(FailureCause::Kind::ClosedInHandshake);
    } else if (sslError == SSL_ERROR_SYSCALL || sslError == SSL_ERROR_ZERO_RETURN) {
        m_failure = FailureCause::of(FailureCause::Kind::CutWithoutClose);
    } else {
        m_failure = {FailureCause::Kind::Library, sslError, QStringLiteral("SSL_get_error %1").arg(sslError), {}, {}, {}, {}, {}};
    }
    ERR_clear_error();
}

int TlsEngine::onCertificateNeeded(SSL *ssl, void *engine)
{
    auto *self = static_cast<TlsEngine *>(engine);
    const char *sni = SSL_get_servername(ssl, TLSEXT_NAMETYPE_host_name);
    QStringList hosts{self->m_serverHost};
    if (sni)
        hosts.append(peerText(sni));
    FailureCause error;
    const KeyedCertificate leaf = self->m_authority->issueLeaf(hosts, &error);
    if (leaf.isNull()) {
        self->m_failure = FailureCause::of(FailureCause::Kind::NoClientCertificate);
        self->m_failure.inner = std::make_shared<const FailureCause>(error);
        return 0;
    }
    return SSL_use_certificate(ssl, leaf.certificate.get()) == 1 && SSL_use_PrivateKey(ssl, leaf.key.get()) == 1;
}

int TlsEngine::onVerify(int preverified, X509_STORE_CTX *store)
{
    auto *ssl = static_cast<SSL *>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
    auto *self = static_cast<TlsEngine *>(SSL_get_app_data(ssl));
    // The first certificate found wanting is the one worth naming.
    if (!preverified && self && self->m_summary.verifyError.isEmpty()) {
        const X509 *current = X509_STORE_CTX_get_current_cert(store);
        self->m_summary.verifyResult = X509_STORE_CTX_get_error(store);
        self->m_summary.verifyError = QString::fromLatin1(X509_verify_cert_error_string(self->m_summary.verifyResult));
        self->m_summary.verifyName = TlsNames::verifyResult(self->m_summary.verifyResult);
        self->m_summary.peerSubject = nameText(current ? X509_get_subject_name(current) : nullptr);
        self->m_summary.peerIssuer = nameText(current ? X509_get_issuer_name(current) : nullptr);
    }
    return preverified;
}
