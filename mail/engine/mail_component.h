// The mail component: one mail object per send that builds a MIME message and hands it to a
// transport (SMTP server, direct delivery to the recipients' MX hosts, or Exchange).
#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <vector>

// Extension points for the Exchange transports and for S/MIME
// ------------------------------------------------------------
// The mail object builds the message in three stages, each replaceable:
//   1. MIME: the content entity (text part, or multipart/mixed with the attachments) is built
//      with GMime and serialised with CRLF line ends.
//   2. Security: when a signer certificate is loaded or recipients' certificates were added,
//      `mail::ApplySecurity` receives that entity and returns the entity that replaces it
//      (multipart/signed, application/pkcs7-mime ...). The top-level headers (From, To, Cc,
//      Subject, Date, Message-ID, MIME-Version) are written above the returned entity, so the
//      wrapper never sees or repeats them.
//   3. Transport: the protocol index picks the transport (mail/engine/protocols.h). 0 is SMTP
//      (or direct delivery when the server is empty), implemented here; 1 (Exchange Web
//      Services) and 2 (WebDAV) are obtained from `mail::CreateExchangeTransport`, 3 (Microsoft
//      Graph) from `mail::CreateGraphTransport`. Every transport receives a `SendJob`:
//      the finished message bytes, the envelope and the server settings.
// `ApplySecurity` is defined in mail/mime/smime.cpp, `CreateExchangeTransport` in
// mail/transport/exchange.cpp, the member functions of `Certificate` in mail/mime/cert_store.cpp
// (which also says where the certificate stores are and how a technician adds a certificate).

namespace mail {

// Stable error numbers of the component. 0 means success. Numbers never change meaning; new
// kinds of failure get new numbers.
namespace Error {
inline constexpr qint32 None = 0;
inline constexpr qint32 FileNotFound = 53;      // attachment missing (Windows meaning)
inline constexpr qint32 FileAccess = 75;        // attachment cannot be read
inline constexpr qint32 NoSender = 1001;        // no sender address set
inline constexpr qint32 NoRecipient = 1002;     // no recipient left to send to
inline constexpr qint32 InvalidAddress = 1003;  // malformed address or one with a control character
inline constexpr qint32 InvalidProtocol = 1005; // protocol index out of range
inline constexpr qint32 ProtocolUnavailable = 1006; // protocol known but not built in
inline constexpr qint32 MimeBuild = 1007;           // the message could not be built
inline constexpr qint32 SecurityFailed = 1008;      // signing or encryption failed
inline constexpr qint32 MessageTooLarge = 1009;     // the message exceeds what the protocol carries
inline constexpr qint32 ServerNotFound = 1101;      // server name does not resolve
inline constexpr qint32 ConnectFailed = 1102;       // TCP connection refused or unreachable
inline constexpr qint32 Timeout = 1103;             // connection or reply time limit exceeded
inline constexpr qint32 ConnectionLost = 1104;      // server closed or spoke garbage
inline constexpr qint32 Aborted = 1105;             // the program asked every send to stop
inline constexpr qint32 TlsFailed = 1201;           // TLS handshake failed
inline constexpr qint32 CertificateUntrusted = 1202; // server certificate not trusted
inline constexpr qint32 StartTlsUnavailable = 1203;  // STARTTLS required but not offered
inline constexpr qint32 LoginRefused = 1301;         // AUTH refused by the server
inline constexpr qint32 LoginUnavailable = 1302;     // login asked but the server offers no AUTH
inline constexpr qint32 OAuthSignInNeeded = 1303; // OAuth 2.0: nobody signed in, or refresh refused
inline constexpr qint32 OAuthUnreachable = 1304;  // OAuth 2.0: the token endpoint did not answer
inline constexpr qint32 OAuthRefused = 1305;      // OAuth 2.0: the provider refused the settings
inline constexpr qint32 OAuthSecretsFile =
    1306;                                     // OAuth 2.0: the secrets file is unsafe or unreadable
inline constexpr qint32 SenderRefused = 1401; // MAIL FROM refused
inline constexpr qint32 RecipientRefused = 1402; // every recipient refused
inline constexpr qint32 DataRefused = 1403;      // DATA or the message itself refused
inline constexpr qint32 DnsFailed = 1501;        // MX look-up failed
inline constexpr qint32 NoMailDomain = 1502;     // domain does not exist or takes no mail
inline constexpr qint32 PartialDelivery = 1503;  // direct delivery failed for some domains
inline constexpr qint32 MtaStsUnmet = 1504;     // a domain's MTA-STS policy (enforce) cannot be met
inline constexpr qint32 ExchangeRefused = 1601; // Exchange answered with an error code
inline constexpr qint32 FormsAuthentication = 1602; // Exchange wants a logon form (440, redirect)
inline constexpr qint32 HttpStatus = 1603;          // Exchange answered an unexpected HTTP status
inline constexpr qint32 SoapFault = 1604;           // Exchange Web Services answered a SOAP fault
inline constexpr qint32 ExchangeSettings = 1605;    // no server or no mailbox name for Exchange
inline constexpr qint32 GraphRefused = 1606; // Microsoft Graph refused the message (400, 413)
// The account lacks a right or the tenant's consent (Graph 403, a 400 about consent or scope,
// a token refused even renewed): nothing the mail can mend; it waits for an administrator.
inline constexpr qint32 NotAuthorized = 1607;
inline constexpr qint32 Internal = 1999; // unexpected failure inside the component
} // namespace Error

enum class RecipientKind : qint32 { To = 0, Cc = 1, Bcc = 2 };

// Protocol indexes as the settings page lists them.
namespace Protocol {
inline constexpr qint32 Smtp = 0;
inline constexpr qint32 ExchangeWebService = 1;
inline constexpr qint32 ExchangeWebDav = 2;
inline constexpr qint32 Graph = 3; // Microsoft Graph sendMail (Microsoft 365)
} // namespace Protocol

// Connection modes: 4 is the mode used when SSL is off, 1 asks for SSL (implicit TLS on
// port 465, required STARTTLS on any other port).
namespace ConnectionMode {
inline constexpr qint32 Ssl = 1;
inline constexpr qint32 Default = 4;
} // namespace ConnectionMode

// Store location of the current user's certificate stores.
inline constexpr qint32 CurrentUserStore = 0x10000;

// Time limits of one send. A hung server cannot hold a send longer than these.
struct TimeLimits {
    std::chrono::milliseconds connect{30000};   // TCP connect plus TLS handshake
    std::chrono::milliseconds response{120000}; // wait for one server reply (or data progress)
};

// A stop request for every send in flight: when the flag given here reads true, transfers
// and look-ups end within about a second with Error::Aborted. The flag is only read (from
// any thread), so a signal handler may set it; nullptr (the default) never stops a send.
void SetAbortFlag(const std::atomic<bool>* flag);
// True when the flag given to SetAbortFlag is set.
bool AbortRequested();

// Process-wide default time limits of new mail objects; tests shorten them.
TimeLimits DefaultTimeLimits();
void SetDefaultTimeLimits(const TimeLimits& limits);

// Opaque certificate material; defined by the certificate-store module.
struct CertificateData;

// The copy of a mail's settings, envelope and content that one transmission works on
// (defined in mail/engine/mail_component.cpp).
struct SendPlan;

// One certificate (and its private key when the store has it), found by subject.
class Certificate {
public:
    // Looks `subject` (a mail address) up in the store `storeName` ("my" personal,
    // "AddressBook" other people) of `storeLocation` (CurrentUserStore). Returns true and
    // holds the certificate when found; false with lastErrorText() set otherwise.
    bool findBySubject(const QString& subject, qint32 storeLocation, const QString& storeName);
    // Why the last findBySubject failed; empty after a success.
    QString lastErrorText() const { return lastError_; }
    // True when a certificate is loaded and its private key is available.
    bool hasPrivateKey() const;
    // Forgets the certificate.
    void clear();
    bool isLoaded() const { return data_ != nullptr; }
    const std::shared_ptr<const CertificateData>& data() const { return data_; }
    void setData(std::shared_ptr<const CertificateData> data) { data_ = std::move(data); }
    void setLastErrorText(const QString& text) { lastError_ = text; }

private:
    std::shared_ptr<const CertificateData> data_;
    QString lastError_;
};

// The recipients' certificates: a message is encrypted for every certificate added.
class CertificateCollection {
public:
    void clear() { items_.clear(); }
    // Adds a copy of `certificate` as it is now; an unloaded certificate is ignored.
    void add(const Certificate& certificate) {
        if (certificate.isLoaded())
            items_.push_back(certificate);
    }
    int count() const { return static_cast<int>(items_.size()); }
    const std::vector<Certificate>& items() const { return items_; }

private:
    std::vector<Certificate> items_;
};

// One mailbox: display name (may be empty) and address.
struct Mailbox {
    QString name;
    QString address;
};

namespace oauth {
struct Login;
}

namespace dkim {
class Signer;
}

// Where and how to connect.
// How an Exchange server (EWS, WebDAV) is logged in to besides the user and password.
struct ExchangeLogin {
    // "Negotiate", "NTLM" or "Basic" when the settings choose one method; "" to follow the
    // server's offer (Negotiate first, then NTLM, Basic only when nothing else is offered).
    QString method;
    // Negotiate (Kerberos) with the station's own keys: the keytab's native path and the
    // principal to log in as ("" for the keytab's first). No keytab: the user's ticket cache.
    QString keytab;
    QString principal;
};

struct ServerSettings {
    QString host; // empty: direct delivery to the recipients' MX hosts
    qint32 port = 25;
    qint32 mode = ConnectionMode::Default;
    QString user;
    QString password;
    // OAuth 2.0 instead of the password: how to obtain the token. The component puts a valid
    // access token into `bearer` just before the transport runs (user = the mailbox login).
    std::shared_ptr<const oauth::Login> oauthLogin;
    QString bearer;
    ExchangeLogin exchange;
};

// What a transport sends: the finished message and its envelope.
struct SendJob {
    ServerSettings server;
    TimeLimits limits;
    QString envelopeFrom;    // sender address (ASCII-checked)
    QStringList recipients;  // every To, Cc and Bcc address, in order, without duplicates
    QStringList to, cc, bcc; // the same addresses by kind (Exchange Web Services lists them)
    QByteArray message;      // the whole RFC 5322 message, CRLF line ends
    QString caFolder;        // native folder of extra trusted CA certificates (PEM), may be ""
    // Names the mail in the delivery status notifications a server sends back (job and row);
    // asked for only where the server offers them. Empty: none asked.
    QString envelopeId;
};

// The server's own answer about a mail or one recipient: its reply code (SMTP, or the HTTP
// status of a web service), the enhanced status code ("4.7.1"), the text (cleaned) and the
// id under which the server queued the mail (an SMTP server's 250 to the message, a web
// service's request id). Code 0: no answer came (refused before connecting, connection lost).
struct ServerReply {
    int code = 0;
    QString enhanced;
    QString text;
    QString queueId;
};

// Result of a transport: code 0 and an empty description on success. `permanent` marks a
// failure that sending the same mail again cannot mend (the server refused every recipient
// or the message itself with a 5xx reply, or a recipient's domain takes no mail). `refused`
// names the recipients refused while others took the mail ("address (reply)").
struct SendOutcome {
    SendOutcome() = default;
    SendOutcome(qint32 failureCode, QString text)
        : code(failureCode), description(std::move(text)) {}
    qint32 code = Error::None;
    QString description;
    bool permanent = false;
    QStringList refused;
    // Bare addresses refused for a while (4xx) although the mail reached others, or whose
    // domain could not be reached while others were: the same mail is owed to them later.
    QStringList deferred;
    // With `deferred`: the bare addresses that need no further try (taken, or refused for good).
    QStringList served;
    // The server asked the client to slow down (421, 432, 451/452 4.7.x, "too many"): the
    // mail itself is not at fault.
    bool throttled = false;
    // Nothing was tried: the destination is resting after a refusal (see destinations.h).
    bool notAttempted = false;
    // Sent (code Error::None) although the server's answer to the whole message was lost
    // during a stop; the description tells the operator.
    bool unconfirmed = false;
    // A line for the operator about the server beyond this mail (its rate held low, a right
    // missing or granted again).
    QString notice;
    // The right or consent the account lacks ("Mail.Send"): the mail waits, like every other
    // mail of that account, until an administrator grants it; `notice` tells it once per
    // change, so the rows wait without a line each.
    QString missingRight;
    // With notAttempted: the server's recipients of the day are spent until this time.
    qint64 retryAtMs = 0;
    // The answer that decided the mail: the acceptance of the whole message, or the refusal.
    ServerReply reply;
    // Answers about single recipients that differ from `reply` (a refused RCPT), keyed by the
    // bare address in lower case.
    QHash<QString, ServerReply> recipientReplies;
};

// A way of carrying a built message. send() runs on a worker thread: it must not touch
// widgets or program globals, and must return within the job's time limits.
class Transport {
public:
    virtual ~Transport() = default;
    virtual SendOutcome send(const SendJob& job) = 0;
};

// The transport for protocol 1 (Exchange Web Services) or 2 (WebDAV); nullptr when that
// protocol is not built in (the send then fails with Error::ProtocolUnavailable).
std::unique_ptr<Transport> CreateExchangeTransport(qint32 protocol);

// The transport for protocol 3 (Microsoft Graph).
std::unique_ptr<Transport> CreateGraphTransport();

// Signs and/or encrypts the content entity. `entity` is the serialised MIME entity (its own
// Content-* headers, a blank line, the body; CRLF line ends); on success it is replaced by
// the wrapping entity in the same form. `signer` is null when the message is not signed;
// `recipients` is empty when it is not encrypted; an encrypted message is also encrypted for
// the sender (the signer, else the certificate of `senderAddress` in the "my" store when
// there is one) so the sender can read its copy. Returns false with `error` (French, for an
// operator) on failure.
bool ApplySecurity(QByteArray& entity, const Certificate* signer,
                   const CertificateCollection& recipients, const QString& senderAddress,
                   QString& error);

// The mail object: set it up, then send(). Every setter only stores; failures of the whole
// message are reported by send() (and by addAttachment() for the file).
class MailMessage {
public:
    MailMessage();
    ~MailMessage();
    MailMessage(const MailMessage&) = delete;
    MailMessage& operator=(const MailMessage&) = delete;

    // Server address; empty means direct delivery to the recipients' mail exchangers.
    void setServer(const QString& host) { server_.host = host; }
    QString server() const { return server_.host; }
    void setPort(qint32 port) { server_.port = port; }
    qint32 port() const { return server_.port; }
    // 0 SMTP, 1 Exchange Web Service, 2 Exchange WebDAV, 3 Microsoft Graph.
    void setProtocol(qint32 protocol) { protocol_ = protocol; }
    qint32 protocol() const { return protocol_; }
    // ConnectionMode::Default (4) or ConnectionMode::Ssl (1).
    void setConnectionMode(qint32 mode) { server_.mode = mode; }
    qint32 connectionMode() const { return server_.mode; }
    // Login; used when both are non-empty.
    void setUserName(const QString& user) { server_.user = user; }
    void setPassword(const QString& password) { server_.password = password; }
    // OAuth 2.0 login (with the user name) in place of the password; null for the password.
    void setOAuthLogin(std::shared_ptr<const oauth::Login> login) {
        server_.oauthLogin = std::move(login);
    }
    // Exchange only: the login method and the station's Kerberos keys.
    void setExchangeLogin(const ExchangeLogin& login) { server_.exchange = login; }

    // Character-set identifier written into the headers ("utf-8" until set).
    void setCharset(const QString& charset) { charset_ = charset; }
    QString charset() const { return charset_; }
    static QString defaultCharset() { return QStringLiteral("utf-8"); }

    void setSenderName(const QString& name) { sender_.name = name; }
    void setSenderAddress(const QString& address) { sender_.address = address; }

    // Adds the recipients of a comma-separated list ("Name <a@b>", "\"Last, First\" <c@d>",
    // bare addresses) with the given kind (0 To, 1 Cc, 2 Bcc; other kinds count as To).
    // Nothing is checked here: a malformed entry makes send() fail with InvalidAddress.
    void addRecipients(const QString& list, qint32 kind);
    void clearRecipients();
    // Leaves out of the envelope (never out of the headers) every address for which
    // `served` is true: those that took this mail already. Null serves nobody.
    void setEnvelopeFilter(std::function<bool(const QString& address)> served) {
        envelopeServed_ = std::move(served);
    }

    // Attaches the file at `path` (native path, or a Windows text translated by the POSIX
    // layer). Returns 0, or Error::FileNotFound / Error::FileAccess with the last error set.
    // The same path added twice is attached once.
    qint32 addAttachment(const QString& path);

    void setSubject(const QString& subject) { subject_ = subject; }
    void setBody(const QString& body) { body_ = body; }
    // Makes the mail a delivery report: the body as its readable part, then these fields
    // (message/delivery-status) in a multipart/report. Empty (the default): an ordinary mail.
    void setDeliveryStatus(const QByteArray& fields) { deliveryStatus_ = fields; }
    // The envelope id asked of a server that offers delivery status notifications.
    void setEnvelopeId(const QString& id) { envelopeId_ = id; }

    // Certificates: the signer (signed when loaded) and the recipients' (encrypted for each).
    Certificate& signerCertificate() { return signer_; }
    CertificateCollection& recipientCertificates() { return recipientCertificates_; }

    // Time limits of this object's sends (DefaultTimeLimits() at creation).
    void setTimeLimits(const TimeLimits& limits) { limits_ = limits; }

    // DKIM: when set, every message this object sends or builds carries the signer's
    // signature(s), computed on the finished bytes (after S/MIME); null (the default) signs
    // nothing. A message that cannot be signed is not sent (Error::SecurityFailed).
    void setDkimSigner(std::shared_ptr<const dkim::Signer> signer) { dkim_ = std::move(signer); }

    // Native folder of extra trusted CA certificates (PEM files) for this object's TLS
    // connections, beside the system's authorities; "" (the default) for none.
    void setTrustedCaFolder(const QString& nativeFolder) { caFolder_ = nativeFolder; }

    // Builds and sends the message. The network work runs on a worker thread; on the
    // user-interface thread the call processes events until it is done. Returns 0 or an
    // Error number; lastErrorCode()/lastErrorDescription() tell why. A send that reached
    // some recipients but not all returns 0 and leaves lastErrorDescription() naming the
    // refused ones (or, in direct delivery, each domain's outcome), so a caller can warn
    // without sending the mail again.
    // Error numbers: before anything goes out FileNotFound, FileAccess, NoSender,
    // NoRecipient, InvalidAddress, InvalidProtocol, ProtocolUnavailable, MimeBuild,
    // SecurityFailed; SMTP ServerNotFound, ConnectFailed, Timeout, ConnectionLost, TlsFailed,
    // CertificateUntrusted, StartTlsUnavailable, LoginRefused, LoginUnavailable,
    // SenderRefused, RecipientRefused, DataRefused; direct delivery also DnsFailed,
    // NoMailDomain, PartialDelivery, MtaStsUnmet; Exchange the transport numbers above and
    // LoginRefused, ExchangeRefused, FormsAuthentication, HttpStatus, SoapFault, ExchangeSettings;
    // Graph MessageTooLarge, GraphRefused, HttpStatus and the OAuth 2.0 numbers; Internal for a
    // failure inside the component.
    qint32 send();

    qint32 lastErrorCode() const { return lastCode_; }
    QString lastErrorDescription() const { return lastDescription_; }
    // True when the last failure is permanent for this mail: an address or message that
    // cannot be sent as it is (refused before connecting, or a 5xx for the whole mail).
    // Failures of the connection, the server or the settings are not permanent.
    bool lastErrorPermanent() const { return lastPermanent_; }
    // Recipients refused by the last send although it reached others ("address (reply)").
    QStringList refusedRecipients() const { return lastRefused_; }
    // The server's answer to the last send (its text: the description when none came).
    ServerReply lastReply() const { return lastReply_; }

    // The message send() would transmit, for tests and diagnostics; empty with the last
    // error set when it cannot be built.
    QByteArray buildMessage();

    // What send() would do, made ready to be carried out on another thread (a job's sending
    // worker, mail/engine/send_queue.h): a copy of the settings, the envelope and the attachments'
    // bytes. Nullptr, with the last error set, when the mail cannot go (no sender, malformed
    // address, unreadable attachment, unknown protocol).
    std::shared_ptr<const SendPlan> detach();

private:
    qint32 prepare(SendPlan& plan);
    qint32 fail(qint32 code, const QString& description);

    ServerSettings server_;
    qint32 protocol_ = Protocol::Smtp;
    QString charset_ = defaultCharset();
    Mailbox sender_;
    QList<QPair<qint32, QString>> recipientLists_;
    std::function<bool(const QString&)> envelopeServed_;
    QStringList attachments_;
    QString subject_;
    QString body_;
    QByteArray deliveryStatus_;
    QString envelopeId_;
    Certificate signer_;
    CertificateCollection recipientCertificates_;
    std::shared_ptr<const dkim::Signer> dkim_;
    TimeLimits limits_;
    QString caFolder_;
    qint32 lastCode_ = Error::None;
    QString lastDescription_;
    bool lastPermanent_ = false;
    QStringList lastRefused_;
    ServerReply lastReply_;
};

// Carries out a detached mail (MailMessage::detach) on the calling thread, which may be any
// thread: builds the message, applies signing and encryption, and hands it to its transport.
// Never throws; an unexpected failure is Error::Internal.
SendOutcome SendDetached(const SendPlan& plan);

// The bare addresses a detached mail goes to (its envelope).
QStringList EnvelopeOf(const SendPlan& plan);

// Closes every idle SMTP session kept for reuse (the program calls it at exit).
void CloseIdleSessions();
// How long an SMTP session may stay idle before it is closed (default 30 s).
void SetSessionIdleTime(std::chrono::milliseconds idle);

} // namespace mail
