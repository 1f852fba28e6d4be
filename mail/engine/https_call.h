// One HTTPS exchange for every web protocol of the engine (Exchange Web Services, WebDAV, the
// OAuth 2.0 provider, Microsoft Graph): trust, time limits, stop request and reply size in one
// place.
#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>

#include <curl/curl.h>

#include <chrono>

namespace mail::detail {

// One request. Credentials: `bearer` when set ("Authorization: Bearer"), else `user` and
// `password` with the libcurl methods of `authMethods` when `user` is set or when those
// methods include Negotiate (which needs no password: the Kerberos tickets of `keytab` and
// `principal` when a keytab is named, of the user's ticket cache otherwise), else none.
struct HttpsRequest {
    QString method = QStringLiteral("POST");
    QString url;
    QList<QByteArray> headers; // "Name: value" lines
    QByteArray body;
    QString bearer;
    QString user;
    QString password;
    long authMethods = CURLAUTH_BASIC;
    QString keytab;              // native path of the station's keytab for Negotiate, may be ""
    QString principal;           // the keytab's principal to log in as; "" for its first
    bool allowPlainHttp = false; // false: only https:// addresses are followed
    QString caFolder;            // native folder of extra trusted CA certificates, may be ""
    std::chrono::milliseconds connectTimeout{30000};
    std::chrono::milliseconds responseTimeout{120000}; // longest wait without progress
    std::chrono::milliseconds totalTimeout{0};         // the whole exchange; 0 for no limit
    qsizetype maxReply = qsizetype{1024} * 1024;       // a longer reply body fails the exchange
    // The request's body hands the message over (Graph's sendMail and send): once its last
    // byte went out, a stop request no longer cuts the exchange; the answer that says whether
    // the mail was taken is awaited up to the response time.
    bool awaitAnswerOnStop = false;
};

// What came back. `result` is CURLE_OK when an HTTP answer was read whole; otherwise
// `technical` says why in words fit for an incident line (cleaned, bounded).
struct HttpsReply {
    CURLcode result = CURLE_OK;
    QString technical;
    bool aborted = false;   // ended by the program's stop request
    bool truncated = false; // the reply body went over maxReply
    // With awaitAnswerOnStop: the whole body went out while the program was not stopping
    // (the server may hold the mail even when no answer came).
    bool bodyEnded = false;
    long status = 0;
    QString location;                             // the redirection target of a 3xx answer
    QList<QPair<QByteArray, QByteArray>> headers; // of the final answer, names in lower case
    QByteArray body;
    long authOffered = 0;   // the CURLAUTH_* methods the server's last challenge offered
    QString authentication; // the method of the last request sent (AuthenticationName)
    QString principal;      // the keytab's principal logged in as, when a keytab was used
    QString loginProblem;   // why the keytab's tickets could not be had; nothing was sent

    // The value of the answer's header `name` (lower case), "" when absent.
    QByteArray header(const QByteArray& name) const;
};

// Performs `request` on the calling thread (any thread) and blocks until the answer is read,
// a time limit is over or the program asks every transfer to stop (AbortRequested, within
// about a second). Server certificates are verified against the system's authorities and
// those of `caFolder`; redirections are not followed. Never throws.
HttpsReply HttpsCall(const HttpsRequest& request);

} // namespace mail::detail
