// Sending a finished message through Exchange: Exchange Web Services (a SOAP CreateItem
// over HTTPS) or Exchange WebDAV (a PUT to the mailbox's submission address).
#pragma once

#include "mail/engine/mail_component.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <chrono>

namespace mail {

// One message to hand to Exchange.
struct ExchangeSend {
    QString server;   // host, "host:port" or a full URL ("https://mail.example/EWS/...")
    qint32 port = 0;  // used unless 0 or one of the SMTP ports 25, 465, 587
    bool ssl = false; // WebDAV: HTTPS when set, HTTP otherwise; EWS: always HTTPS
    QString user;     // login ("DOMAIN\\user", "user@domain" or "user"); "" = none
    QString password;
    QString bearer;      // OAuth 2.0 access token: sent as "Authorization: Bearer", no password
    ExchangeLogin login; // the login method chosen and the station's Kerberos keys
    QString caFolder;    // native folder of extra trusted CA certificates (PEM), may be ""
    std::chrono::milliseconds connectTimeout{30000};
    std::chrono::milliseconds responseTimeout{120000}; // longest wait without progress
    QString sender;                                    // envelope sender address
    QStringList to, cc, bcc;                           // recipient addresses by kind
    QByteArray message;                                // the whole message, CRLF line ends
};

// The connection part of an ExchangeSend (server, port, TLS, login, trust, time limits) taken
// from the mail component's settings; the message and its envelope are left empty.
ExchangeSend ExchangeSendFor(const ServerSettings& server, const TimeLimits& limits,
                             const QString& caFolder, const QString& sender);

// The outcome: code 0 and an empty description on success; otherwise an Error number
// (mail/engine/mail_component.h) and a French description for the operator (with the server's own
// texts): ExchangeSettings (no server, no mailbox name, an address WebDAV cannot carry), the
// transport numbers ServerNotFound, ConnectFailed, Timeout, CertificateUntrusted, TlsFailed,
// ConnectionLost, then LoginRefused (HTTP 401), FormsAuthentication, SoapFault,
// ExchangeRefused and HttpStatus.
struct ExchangeOutcome {
    qint32 code = 0;
    QString description;
    QString authentication;    // the login method the last request carried (e.g. "NTLM")
    QString principal;         // the station's Kerberos principal, when its keytab was used
    bool notAttempted = false; // the destination rests (or the program stops): nothing went
    bool throttled = false;    // the server asked to slow down (429, 503)
    QString notice;            // the destination's line for the operator, if any
    long httpStatus = 0;       // the server's last HTTP status (0: no answer)
    QString requestId;         // the server's id of the request ("request-id"), if it gave one
};

// Sends through Exchange Web Services: POST of a CreateItem (SendAndSaveCopy, copy in Sent
// Items) with the message in MimeContent. Login as ExchangeAuthMethods says. The send runs
// inside the destination scheduler (mail/engine/destinations.h: the server's sessions and rate
// per mailbox, 30 messages a minute for Exchange Online, a 429 or 503 with Retry-After pausing
// every worker), as does the WebDAV one. Runs on any thread; blocks until done or the time
// limits are over.
ExchangeOutcome SendThroughEws(const ExchangeSend& send);

// Sends through Exchange WebDAV: PUT of the envelope and the message to the mailbox's
// submission address. Login as ExchangeAuthMethods says. Runs on any thread; blocks.
ExchangeOutcome SendThroughWebDav(const ExchangeSend& send);

// Checks the settings of `send` without sending anything: EWS asks for the inbox folder
// (GetFolder), WebDAV for the properties of the mailbox folder (PROPFIND, depth 0), both
// logged in as a send would be. Code 0 when the server answered and took the login; the
// failures are those of the matching send. `what` receives the address asked.
ExchangeOutcome CheckEws(const ExchangeSend& send, QString& what);
ExchangeOutcome CheckWebDav(const ExchangeSend& send, QString& what);

// The libcurl login methods for `send` at `url`: the one the settings choose, else what the
// server offers with Negotiate first, then NTLM, then Basic (NTLM and Basic need a user).
// Basic is never allowed over plain HTTP, where it would show the password: 0 when nothing
// is left.
long ExchangeAuthMethods(const ExchangeSend& send, const QString& url);

// The EWS address for `server` and `port` (see ExchangeSend). Never fails.
QString EwsUrl(const QString& server, qint32 port);

// The WebDAV submission address of the mailbox of `user` (or of the sender's local part
// when `user` is empty), percent-encoded; "" when no mailbox name can be made.
QString WebDavSubmissionUrl(const QString& server, qint32 port, bool ssl, const QString& user,
                            const QString& sender);

// The SOAP request of SendThroughEws.
QByteArray EwsCreateItemRequest(const ExchangeSend& send);

namespace detail {

// What an EWS answer says: the response class, code and text, or a SOAP fault string, as the
// server wrote them (callers clean them before they reach an incident). `parsed` is true when
// a SOAP envelope was found. Reads any bytes; never fails.
struct EwsReply {
    QString responseClass;
    QString responseCode;
    QString messageText;
    QString faultString;
    bool parsed = false;
};
EwsReply ReadEwsReply(const QByteArray& body);

} // namespace detail

} // namespace mail
