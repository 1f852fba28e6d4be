// Sending a finished message through Microsoft Graph (Microsoft 365): the MIME message, base64
// encoded, posted to the mailbox's sendMail address with an OAuth 2.0 bearer token.
#pragma once

#include "mail/engine/mail_component.h"

#include <QByteArray>
#include <QString>

#include <chrono>

namespace mail {

// The largest request body Graph takes in one sendMail call (4 MB); the body is the message
// in base64, so a message of about 3 MB is the most that goes in one request. A larger one
// goes as a draft without its large attachments, which are then uploaded in ranges of
// kGraphUploadRange bytes, and the draft sent.
inline constexpr qsizetype kGraphRequestLimit = qsizetype{4} * 1024 * 1024;
inline constexpr qsizetype kGraphUploadRange = 4'000'000;
// A tenant's largest message unless its administrator changed it (35 MB).
inline constexpr qsizetype kGraphTenantLimit = qsizetype{35} * 1024 * 1024;

// One message to hand to Graph.
struct GraphSend {
    QString server;   // "" or a Microsoft 365 host for graph.microsoft.com; else host[:port]
    QString mailbox;  // the sending mailbox (user principal name or address), in the path
    QString bearer;   // OAuth 2.0 access token
    QString caFolder; // native folder of extra trusted CA certificates (PEM), may be ""
    std::chrono::milliseconds connectTimeout{30000};
    std::chrono::milliseconds responseTimeout{120000}; // longest wait without progress
    // A 429 or 503 whose Retry-After asks for at most this long is waited for (a stop request
    // ends the wait) and the request made again, twice at most; a longer wait is left to the
    // next cycle.
    std::chrono::seconds longestRetryWait{30};
    QByteArray message; // the whole message, CRLF line ends
    int recipients = 1; // counted against the mailbox's recipients of the day
    qsizetype messageLimit = kGraphTenantLimit; // the tenant's largest message
};

// True for a host of Microsoft 365 (office365.com, office.com, outlook.com and their
// subdomains, graph.microsoft.com), with or without ":port".
bool IsMicrosoft365Host(const QString& server);

// The host whose destination limits a Graph send keeps (mail/engine/destinations.h):
// "graph.microsoft.com" for "" or a Microsoft 365 host, else the host of `server`.
QString GraphLimitsHost(const QString& server);

// "https://<host>/v1.0/users/<mailbox>/sendMail" for `server` (see GraphSend), the mailbox
// percent-encoded. Never fails.
QString GraphSendMailUrl(const QString& server, const QString& mailbox);

// Sends `send.message` within the mailbox's destination limits (4 requests at once, the rate
// of Exchange Online; a 429 or 503 pauses every worker for its Retry-After): one sendMail
// (202) when the message is at most kGraphRequestLimit once encoded, else a draft, upload
// sessions for its large attachments and the draft's send (202). Failures: ExchangeSettings
// (no mailbox), OAuthSignInNeeded (no token), MessageTooLarge (over the tenant's limit, or
// over kGraphRequestLimit and signed or encrypted, which must travel whole: refused before
// anything is sent, permanent), the transport numbers, LoginRefused (401), NotAuthorized (403,
// or a 400 about consent, rights or scope: not permanent, `missingRight` names the right),
// GraphRefused (400 or 413 about the message itself: permanent; any other 400: not
// permanent), HttpStatus (429 and 503 after the waits allowed, `throttled`; any other status;
// not permanent). A stop asked once the whole request went out waits for the answer; when
// it is lost all the same the mail counts as sent (`unconfirmed`). Runs on any thread;
// blocks.
SendOutcome SendThroughGraph(const GraphSend& send);

// Checks the route without sending: a sendMail request with an empty body, which Graph
// refuses (400) only after it has accepted the token and the mailbox's rights. Code 0 then
// (unless the 400 is about rights); the failures of a send otherwise. `what` receives the
// address asked.
SendOutcome CheckGraph(const GraphSend& send, QString& what);

namespace detail {
// The error a Graph answer names, "code : message", cleaned and bounded; "" when the body
// says nothing. Reads any bytes; never fails.
QString GraphError(const QByteArray& body);
} // namespace detail

} // namespace mail
