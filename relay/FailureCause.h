#ifndef DRAVLIN_FAILURECAUSE_H
#define DRAVLIN_FAILURECAUSE_H

#include <QString>

#include <memory>

// Why a connection, a TLS session, the certificate authority or the upgrade
// watch failed, as the system, the TLS library or the peer said it: codes and
// the data they concern rather than sentences, so that the front ends word
// every cause from one table, in French, and keep the technical name beside it.
struct FailureCause
{
    enum class Kind : quint8 {
        None,
        System,             // code: an errno value; text: the system's own words
        HostNotFound,       // text: the host name looked up
        AlertReceived,      // code: the TLS alert the peer sent (RFC 8446 numbering); name: its RFC name
        CertificateRefused, // code: the X509 verification result; name: its constant; text: the
                            // library's words; subject, issuer: the certificate found wanting
        NotTls,             // text: the TLS library's words for what it read instead
        Library,            // text: the TLS library's words
        ClosedInHandshake,  // the peer closed the connection before the handshake was over
        CutWithoutClose,    // the peer ended the TLS session without closing it
        HandshakeOverdue,   // code: the limit in milliseconds, for the side that failed
        RefusedAfterServer, // the client's handshake refused because the server's failed
        NoClientCertificate, // inner: why the certificate shown to the client could not be had
        TlsOutOfMemory,     // the TLS library had no memory to start
        SystemCasUnreadable, // the system's trusted certificates could not be read
        CaFileUnreadable,   // text: the extra file of trusted certificates
        ServerNameUnusable, // text: the name TLS was to ask the server for
        // The CA's folder and files; text: the path, detail: the system's or the library's words.
        CaFolderUncreatable,
        CaNotAFolder,
        CaFolderNotOwned,
        CaFolderUnreservable,
        CaFolderUnusable,
        CaFolderLocked,
        CaFolderUnlockable, // code: 1 when permission was refused
        CaKeyMissing,       // text: the key; detail: the certificate to remove
        CaKeyExposed,       // text: the key
        CaUnreadable,       // detail
        CaMismatched,       // text: the folder
        CaExpired,          // text: the folder
        CaUncreatable,      // detail
        LeafUncreatable,    // detail
        FileUnwritable,     // text: the file; detail
        // Why the upgrade watch gave up: what follows passes uninspected.
        TooManyPending,     // code: how many commands awaited their reply
        NoKnownProtocol,
        ImapUntaggedCommand,
        MultilineInterrupted,
        ReplyWithoutCode,
        ReplyUnasked,
        Pop3ReplyWithoutStatus,
        TlsWithoutConsent,
        ImapUntargetedBad,
        Compressed,
        NoDecisiveReply,    // code: the seconds waited
    };

    Kind kind = Kind::None;
    int code = 0;
    QString text;
    QString subject; // as the peer's certificate has them: text a peer chose
    QString issuer;
    QString name;    // the technical name, as the TLS library knows it
    QString detail;
    std::shared_ptr<const FailureCause> inner;

    static FailureCause of(Kind kind, int code = 0) { return {kind, code, {}, {}, {}, {}, {}, {}}; }
    static FailureCause about(Kind kind, const QString &text, const QString &detail = {})
    {
        return {kind, 0, text, {}, {}, {}, detail, {}};
    }
    bool isNone() const { return kind == Kind::None; }
};

#endif
