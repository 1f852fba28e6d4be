// What a failed transfer means to the operator: a libcurl outcome or an SMTP reply turned into
// the component's error number and the French text of the incident line, for every transport.
#pragma once

#include "mail/engine/mail_component.h"

#include <QString>
#include <QStringList>
#include <curl/curl.h>

#include <optional>

namespace mail::detail {

// Which kind of server the transfer spoke to; the texts name it and give the advice that fits.
enum class Peer { Smtp, Exchange, Graph };

// The error number for a libcurl outcome that never reached a server's answer:
// Error::ServerNotFound, ConnectFailed, Timeout, CertificateUntrusted, TlsFailed,
// StartTlsUnavailable, LoginRefused, or ConnectionLost for any other failure; Error::None for
// CURLE_OK.
qint32 CurlErrorNumber(CURLcode result);

// libcurl's own explanation of `result`: the error buffer when it holds text, else the
// generic text of the code; cleaned for an incident line.
QString CurlTechnicalText(CURLcode result, const char* errorBuffer);

// The failure for a libcurl outcome other than CURLE_OK. `server` names the server in the
// text ("host:port" or the URL), `host` is the name alone (for the look-up failure),
// `technical` is CurlTechnicalText, `caFolder` the folder of extra trusted CA certificates
// (named in the advice of an untrusted certificate) and `answer` the " Réponse du serveur : …"
// suffix of the last refusal ("" when none). The code is CurlErrorNumber(result).
SendOutcome CurlFailure(Peer peer, CURLcode result, const QString& server, const QString& host,
                        const QString& technical, const QString& caFolder,
                        const QString& answer = {});

// The failure for an SMTP server's refusal of `command` ("AUTH", "MAIL", "RCPT", "DATA" or
// "." for the message itself), or nothing for another command (the libcurl outcome then
// decides). `argument` is the command's address (MAIL), `reply` the cleaned reply text and
// `refused` the "address (reply)" entries of refused recipients (RCPT). Codes:
// Error::LoginRefused, SenderRefused, RecipientRefused, DataRefused.
std::optional<SendOutcome> SmtpRefusal(const QString& command, const QString& argument,
                                       const QString& reply, const QString& server,
                                       const QStringList& refused);

// What a provider's refusal asks of the operator, from the enhanced status code of `reply`
// (" …" to append, "" when none applies): a spent daily quota (5.4.5), a passing peak (4.2.1);
// a refusal for want of authentication (5.7.25, 5.7.26, 5.7.515 and the like) points at the
// server check, its own line saying which DNS record to fix.
QString ProviderRefusalAdvice(const QString& reply);

// The one line for the operator when `destination` refuses mail for want of authentication
// (which DNS record to fix: SPF, DKIM, DMARC, reverse name), "" for another reply or when
// that destination's refusal was said already; said again once the records it asks for
// change, or after AuthenticationAccepted. Thread-safe.
QString AuthenticationRefusalNotice(const QString& destination, const QString& reply);
// `destination` took a mail: a later refusal is a change of state.
void AuthenticationAccepted(const QString& destination);

// The failure of a login asked of an SMTP server that offers none (Error::LoginUnavailable).
SendOutcome SmtpLoginUnavailable(const QString& server);

// The " Réponse du serveur : <reply>" suffix of a text, "" for an empty reply.
QString ServerAnswerSuffix(const QString& reply);

} // namespace mail::detail
