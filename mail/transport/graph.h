// Sending a finished message through Microsoft Graph (Microsoft 365): the MIME message, base64
// encoded, posted to the mailbox's sendMail address with an OAuth 2.0 bearer token.
#pragma once

#include "mail/engine/mail_component.h"

#include <QByteArray>
#include <QString>

#include <chrono>

namespace mail {

// The largest request body Graph takes in one sendMail call (4 MB); the body is the message
// in base64, so a message of about 3 MB is the most that can go.
inline constexpr qsizetype kGraphRequestLimit = qsizetype{4} * 1024 * 1024;

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
};

// True for a host of Microsoft 365 (office365.com, office.com, outlook.com and their
// subdomains, graph.microsoft.com), with or without ":port".
bool IsMicrosoft365Host(const QString& server);

// "https://<host>/v1.0/users/<mailbox>/sendMail" for `server` (see GraphSend), the mailbox
// percent-encoded. Never fails.
QString GraphSendMailUrl(const QString& server, const QString& mailbox);

// Sends `send.message`. Success is 202. Failures: ExchangeSettings (no mailbox),
// OAuthSignInNeeded (no token),
// MessageTooLarge (over kGraphRequestLimit once encoded, refused before sending, permanent),
// the transport numbers, LoginRefused (401), GraphRefused (400, 403, 413, permanent, with the
// server's error code and message), HttpStatus (429 and 503 after the waits allowed, and any
// other status; not permanent). Runs on any thread; blocks.
SendOutcome SendThroughGraph(const GraphSend& send);

// Checks the route without sending: a sendMail request with an empty body, which Graph
// refuses (400) only after it has accepted the token and the mailbox's rights. Code 0 then;
// the failures of a send otherwise. `what` receives the address asked.
SendOutcome CheckGraph(const GraphSend& send, QString& what);

namespace detail {
// The error a Graph answer names, "code : message", cleaned and bounded; "" when the body
// says nothing. Reads any bytes; never fails.
QString GraphError(const QByteArray& body);
} // namespace detail

} // namespace mail
