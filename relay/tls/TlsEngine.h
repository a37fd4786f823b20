#ifndef DRAVLIN_TLSENGINE_H
#define DRAVLIN_TLSENGINE_H

#include "ClientHelloGate.h"
#include "FailureCause.h"
#include "TlsSummary.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <openssl/types.h>

#include <memory>

class CertificateAuthority;

// One end of a TLS session, bytes in and bytes out, with no socket: whoever
// owns the connection feeds it what arrived and sends what it gives back. That
// lets a connection start in plain text and switch at an exact byte, the bytes
// already read past the switch going to the engine first.
//
// Server mode faces a client and shows it a certificate from Dravlin's CA made
// for the server's host and the name the client asked for (SNI). Client mode
// faces a server and checks its certificate against the system's CAs and the
// host name, or accepts any and keeps its fingerprint.
class TlsEngine
{
public:
    enum class State { Handshaking, Established, PeerClosed, Failed };

    struct ClientOptions {
        QString host;           // sent as SNI when a name, and checked against the certificate
        bool insecure = false;  // accept any certificate (still reported as not verified)
        QByteArray name{};      // SNI sent instead of host: the client's own, passed on
        QByteArray alpn{};      // protocols offered, ALPN's wire form: the client's own, passed on
    };
    using Context = std::shared_ptr<SSL_CTX>;

    // What the handshake settled, filled once established.
    using Summary = TlsSummary;

    // What server mode needs besides the authority. Making one costs about a
    // millisecond, so one is made per relay start and shared by its sessions,
    // none of which can resume another. Null when memory runs out.
    static Context serverContext();
    // Server mode on a context from serverContext(); authority must outlive the engine.
    TlsEngine(const Context &context, CertificateAuthority &authority, const QString &serverHost);
    // The same on a context of its own.
    TlsEngine(CertificateAuthority &authority, const QString &serverHost);
    // What client mode trusts: the system's CAs, plus those of extraCaFile (PEM)
    // when given. Loading them takes tens of milliseconds, too slow to repeat per
    // connection, so one is made per relay start and shared. Null, with *error
    // set, when the CAs cannot be read.
    static Context clientContext(const QString &extraCaFile = {}, FailureCause *error = nullptr);
    // Client mode; its first flight (ClientHello) is ready in takeOutgoing() at once.
    TlsEngine(const Context &trust, const ClientOptions &options);
    ~TlsEngine();
    TlsEngine(const TlsEngine &) = delete;
    TlsEngine &operator=(const TlsEngine &) = delete;

    // Bytes from the wire; what they decrypt to waits in takePlaintext().
    void feedIncoming(QByteArrayView cipher);
    QByteArray takePlaintext();
    // Plaintext to send; held until the handshake is done.
    void writePlaintext(QByteArrayView plain);
    // Bytes to put on the wire, handshake and records.
    QByteArray takeOutgoing();
    bool hasOutgoing() const;
    // Plaintext written but not yet made records: a handshake (a
    // renegotiation) is under way, or the session failed with it unsent.
    qint64 unsentBytes() const { return m_unsent.size(); }
    // Forgets it once the session failed, saying how much it was.
    qint64 dropUnsent();
    // Sends close_notify after what was written; reading goes on (half-close).
    // It waits while a renegotiation is under way.
    void closeWrite();
    bool isClosePending() const { return m_closeWanted && !m_closeSent && m_state != State::Failed; }

    // Server mode: the handshake stops after the client's ClientHello, which
    // hello() then describes, until resumeHello() or refuseHello().
    void holdAfterHello();
    const ClientHelloGate &hello() const { return m_gate; }
    bool takeHelloNews() { return m_gate.takeNews(); }
    // Goes on, answering the client's ALPN offer with alpn when not empty.
    void resumeHello(const QByteArray &alpn);
    // Fails the handshake with an alert to the client; reason is the failure told.
    void refuseHello(const FailureCause &why);
    // The protocol ALPN settled on, empty when none.
    QByteArray alpn() const;

    State state() const { return m_state; }
    bool isServer() const { return m_authority != nullptr; }
    // Why the engine failed: the alert the peer sent, the certificate
    // refused, what the library read instead of TLS...
    const FailureCause &failure() const { return m_failure; }
    const Summary &summary() const { return m_summary; }

private:
    void setUp(SSL_CTX *context);
    void advance();
    enum class Write { Done, Later, Failed };
    Write writeRecords(QByteArrayView plain);
    void flushWrites();
    void fail(int sslError);
    void establish();
    static int onCertificateNeeded(SSL *ssl, void *engine);
    static int onVerify(int preverified, X509_STORE_CTX *store);
    static struct bio_method_st *wireMethod(); // a BIO_METHOD
    static struct bio_method_st *feedMethod();
    size_t readFed(char *data, size_t size);
    static void reuse(QByteArray &buffer, QByteArray &given, qsizetype room);
    static QByteArray handOver(QByteArray &buffer, QByteArray &given);

    SSL *m_ssl = nullptr;
    BIO *m_in = nullptr;  // owned by m_ssl, reads m_carry then m_fed
    BIO *m_out = nullptr; // owned by m_ssl, writes into m_wire
    QByteArray m_wire;    // bytes for the wire, not yet taken
    QByteArrayView m_fed; // the caller's bytes, read in place during feedIncoming()
    QByteArray m_carry;   // a record begun in an earlier chunk, not yet read
    qsizetype m_carried = 0; // bytes of m_carry already read
    QByteArray m_wireGiven;      // the last taken, to write into again once its takers are done
    QByteArray m_plaintextGiven; // same for plaintext
    CertificateAuthority *m_authority = nullptr;
    QString m_serverHost;
    State m_state = State::Handshaking;
    FailureCause m_failure;
    Summary m_summary;
    QByteArray m_plaintext;
    QByteArray m_unsent;
    bool m_closeWanted = false;
    bool m_closeSent = false;
    ClientHelloGate m_gate;
};

#endif
