// Sending a finished message through Exchange: Exchange Web Services (a SOAP CreateItem
// over HTTPS) or Exchange WebDAV (a PUT to the mailbox's submission address).
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <chrono>

namespace mail {

// Failure numbers of the Exchange transports. The connection-level ones share the numbers
// of the SMTP transport; the HTTP-level ones are their own.
namespace ExchangeError {
inline constexpr qint32 ServerNotFound = 1101;       // host name does not resolve
inline constexpr qint32 ConnectFailed = 1102;        // connection refused or unreachable
inline constexpr qint32 Timeout = 1103;              // no answer within the time limits
inline constexpr qint32 ConnectionLost = 1104;       // connection cut or garbled answer
inline constexpr qint32 TlsFailed = 1201;            // TLS handshake failed
inline constexpr qint32 CertificateUntrusted = 1202; // server certificate not trusted
inline constexpr qint32 LoginRefused = 1301;         // HTTP 401
inline constexpr qint32 Refused = 1601;              // EWS answered with an error code
inline constexpr qint32 FormsAuthentication = 1602;  // 440 or redirect to a logon page
inline constexpr qint32 HttpStatus = 1603;           // any other unexpected HTTP status
inline constexpr qint32 SoapFault = 1604;            // EWS answered with a SOAP fault
inline constexpr qint32 InvalidSettings = 1605;      // no server, no mailbox name
}  // namespace ExchangeError

// One message to hand to Exchange.
struct ExchangeSend {
    QString server;         // host, "host:port" or a full URL ("https://mail.example/EWS/...")
    qint32 port = 0;        // used unless 0 or one of the SMTP ports 25, 465, 587
    bool ssl = false;       // WebDAV: HTTPS when set, HTTP otherwise; EWS: always HTTPS
    QString user;           // login ("DOMAIN\\user", "user@domain" or "user"); "" = none
    QString password;
    QString caFolder;       // native folder of extra trusted CA certificates (PEM), may be ""
    std::chrono::milliseconds connectTimeout{30000};
    std::chrono::milliseconds responseTimeout{120000};  // longest wait without progress
    QString sender;         // envelope sender address
    QStringList to, cc, bcc;  // recipient addresses by kind
    QByteArray message;     // the whole message, CRLF line ends
};

// The outcome: code 0 and an empty description on success; otherwise an ExchangeError
// number and a French description for the operator (with the server's own texts).
struct ExchangeOutcome {
    qint32 code = 0;
    QString description;
};

// Sends through Exchange Web Services: POST of a CreateItem (SendAndSaveCopy, copy in Sent
// Items) with the message in MimeContent. Login by NTLM, Negotiate or Basic as the server
// offers. Runs on any thread; blocks until done or the time limits are over.
ExchangeOutcome SendThroughEws(const ExchangeSend& send);

// Sends through Exchange WebDAV: PUT of the envelope and the message to the mailbox's
// submission address. Login by Basic or NTLM. Runs on any thread; blocks.
ExchangeOutcome SendThroughWebDav(const ExchangeSend& send);

// The EWS address for `server` and `port` (see ExchangeSend). Never fails.
QString EwsUrl(const QString& server, qint32 port);

// The WebDAV submission address of the mailbox of `user` (or of the sender's local part
// when `user` is empty), percent-encoded; "" when no mailbox name can be made.
QString WebDavSubmissionUrl(const QString& server, qint32 port, bool ssl, const QString& user,
                            const QString& sender);

// The SOAP request of SendThroughEws.
QByteArray EwsCreateItemRequest(const ExchangeSend& send);

}  // namespace mail
