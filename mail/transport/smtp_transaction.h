// One mail transaction (MAIL, RCPT, DATA, the message) on an SMTP session that libcurl opened
// and logged in: the commands go out in one group where the server offers PIPELINING.
#pragma once

#include "mail/transport/smtp_conversation.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <curl/curl.h>

#include <chrono>

namespace mail::detail {

// The envelope path of `address` as it goes between the angle brackets of MAIL or RCPT: a
// domain that is not ASCII in its ASCII form (IDNA), the local part as it is. Never fails: a
// domain that has no ASCII form is kept.
QByteArray SmtpPath(const QString& address);

// `message` as it goes after DATA's 354: every line that starts with "." gets one more, and
// the end of data (CRLF "." CRLF) follows, after a CRLF of its own if the message lacks one.
QByteArray DotStuffed(const QByteArray& message);

// Runs one transaction on `curl`, whose session was opened with CURLOPT_CONNECT_ONLY and is
// idle. `features` are those of the session's EHLO. Every command and reply goes through
// `talk`, which therefore tells which recipients were accepted and which reply failed. A
// reply must come within `replyLimit`. Returns CURLE_OK when the server took the message
// (for at least one recipient); CURLE_SEND_ERROR or CURLE_RECV_ERROR after a refusal (the
// reply is talk.lastFailure()) or a lost connection (libcurl's error in `errorBuffer`, of
// CURL_ERROR_SIZE bytes), CURLE_OPERATION_TIMEDOUT when the server did not answer in time,
// CURLE_ABORTED_BY_CALLBACK once AbortRequested() or when talk.loginUnavailable(); a stop
// requested after the whole message went out waits for the answer instead, and when that
// is lost all the same talk.endUnanswered() says so. `envelopeId`, where the session offers
// DSN, asks for notices of failure and delay under that id. After any failure the session must be
// closed, never reused.
CURLcode RunSmtpTransaction(CURL* curl, const SmtpFeatures& features,
                            std::chrono::milliseconds replyLimit, SmtpConversation& talk,
                            const QString& from, const QStringList& recipients,
                            const QByteArray& message, char* errorBuffer,
                            const QString& envelopeId = QString());

} // namespace mail::detail
