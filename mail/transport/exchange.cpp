// Exchange Web Services and WebDAV submission over the engine's HTTPS call, with French failure
// texts.
#include "mail/transport/exchange.h"

#include "mail/engine/https_call.h"
#include "mail/engine/protocols.h"
#include "mail/engine/transport_failure.h"
#include "mail/transport/web_limits.h"
#include "system/untrusted_text.h"

#include <QUrl>
#include <QXmlStreamReader>

#include <memory>

namespace mail {

namespace {

bool isSmtpPort(qint32 port) {
    return port == 25 || port == 465 || port == 587;
}

bool isFullUrl(const QString& server) {
    return server.startsWith(QLatin1String("http://"), Qt::CaseInsensitive) ||
           server.startsWith(QLatin1String("https://"), Qt::CaseInsensitive);
}

// "scheme://host[:port]" for a server text that is a host or "host:port".
QString origin(const QString& scheme, const QString& server, qint32 port) {
    QString host = server.trimmed();
    while (host.endsWith(QLatin1Char('/')))
        host.chop(1);
    const bool hasPort = host.contains(QLatin1Char(':')) &&
                         !(host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']')));
    QString out = scheme + QStringLiteral("://") + host;
    if (!hasPort && port > 0 && !isSmtpPort(port))
        out += QLatin1Char(':') + QString::number(port);
    return out;
}

QString xmlEscaped(const QString& text) {
    return text.toHtmlEscaped();
}

bool isPlainHttp(const QString& url) {
    return url.startsWith(QLatin1String("http://"), Qt::CaseInsensitive);
}

// The mailbox's destination on the server of `url`.
detail::WebDestination destinationOf(const QString& url, const ExchangeSend& send) {
    detail::WebDestination to;
    to.host = QUrl(url).host().toLower();
    to.key = QUrl(url).adjusted(QUrl::RemovePath | QUrl::RemoveQuery).toString() +
             QLatin1Char(' ') + (send.user.trimmed().isEmpty() ? send.sender : send.user).toLower();
    to.recipients = int(send.to.size() + send.cc.size() + send.bcc.size());
    return to;
}

// One HTTP exchange with the Exchange server, logged in as `send` says. With `limited` (a
// send rather than a check), inside the destination's limits: `limited` then receives the
// outcome of a mail that could not start, and the throttling seen.
detail::HttpsReply perform(const QString& method, const QString& url, const ExchangeSend& send,
                           const QList<QByteArray>& headers, const QByteArray& body,
                           ExchangeOutcome* limited = nullptr) {
    detail::HttpsRequest request;
    request.method = method;
    request.url = url;
    request.headers = headers;
    request.body = body;
    request.bearer = send.bearer;
    request.user = send.user;
    request.password = send.password;
    request.authMethods = ExchangeAuthMethods(send, url);
    request.keytab = send.login.keytab;
    request.principal = send.login.principal;
    request.allowPlainHttp = true; // WebDAV without SSL, as the settings page allows
    request.caFolder = send.caFolder;
    request.connectTimeout = send.connectTimeout;
    request.responseTimeout = send.responseTimeout;
    request.maxReply = qsizetype{4} * 1024 * 1024;
    if (!limited)
        return detail::HttpsCall(request);
    detail::WebCall call = detail::CallWithinLimits(destinationOf(url, send), request, url);
    limited->throttled = call.throttled;
    limited->notice = call.notice;
    if (call.refusal) {
        limited->code = call.refusal->code;
        limited->description = call.refusal->description;
        limited->notAttempted = true;
    }
    return std::move(call.reply);
}

ExchangeOutcome failed(qint32 code, const QString& description) {
    ExchangeOutcome out;
    out.code = code;
    out.description = description;
    return out;
}

// The methods of a CURLAUTH_* mask, by name.
QString methodNames(long methods) {
    QStringList names;
    for (const auto& [bit, name] :
         {std::pair{CURLAUTH_NEGOTIATE, "Negotiate"}, std::pair{CURLAUTH_NTLM, "NTLM"},
          std::pair{CURLAUTH_DIGEST, "Digest"}, std::pair{CURLAUTH_BASIC, "Basic"}})
        if ((methods & static_cast<long>(bit)) != 0)
            names << QString::fromLatin1(name);
    return names.isEmpty() ? QStringLiteral("aucune") : names.join(QStringLiteral(", "));
}

// A login the settings make impossible before anything is sent: Basic chosen over plain HTTP,
// or no method at all.
bool loginNotAllowed(const ExchangeSend& send, const QString& url, ExchangeOutcome& out) {
    if (!send.bearer.isEmpty() || ExchangeAuthMethods(send, url) != 0)
        return false;
    out = failed(Error::ExchangeSettings,
                 isPlainHttp(url)
                     ? QStringLiteral("L'authentification Basic ferait passer le mot de passe en "
                                      "clair vers %1 (connexion sans SSL) : cochez SSL, ou "
                                      "choisissez Negotiate ou NTLM.")
                           .arg(url)
                     : QStringLiteral("Aucune méthode d'identification n'est possible vers %1 "
                                      "avec ces réglages.")
                           .arg(url));
    return true;
}

// Failures below HTTP (name, connection, TLS, time), or nothing when HTTP was reached.
bool transportFailure(const detail::HttpsReply& a, const QString& server, const QString& caFolder,
                      ExchangeOutcome& out) {
    if (a.result == CURLE_OK || !a.loginProblem.isEmpty())
        return false;
    const SendOutcome failure = detail::CurlFailure(detail::Peer::Exchange, a.result, server,
                                                    server, a.technical, caFolder);
    out = failed(failure.code, failure.description);
    return true;
}

bool isLogonRedirect(const detail::HttpsReply& a) {
    if (a.status < 300 || a.status > 399)
        return false;
    const QString where = a.location.toLower();
    return where.contains(QLatin1String("logon")) || where.contains(QLatin1String("/auth/")) ||
           where.contains(QLatin1String("/owa/")) || where.contains(QLatin1String("exchweb"));
}

// Why a 401 answer refused the login, as the methods offered and tried tell it.
ExchangeOutcome loginRefusal(const detail::HttpsReply& a, const ExchangeSend& send,
                             const QString& server) {
    const long ours = ExchangeAuthMethods(send, server);
    if (a.authOffered != 0 && (a.authOffered & ours) == 0) {
        if (isPlainHttp(server) && (a.authOffered & CURLAUTH_BASIC) != 0)
            return failed(
                Error::ExchangeSettings,
                QStringLiteral("Le serveur Exchange %1 ne propose que l'authentification "
                               "Basic, qui ferait passer le mot de passe en clair sur cette "
                               "connexion sans SSL : cochez SSL, ou activez Negotiate "
                               "(Kerberos) ou NTLM sur le serveur.")
                    .arg(server));
        return failed(Error::LoginRefused,
                      QStringLiteral("Le serveur Exchange %1 propose l'identification %2, que ces "
                                     "réglages ne permettent pas (%3).")
                          .arg(server, methodNames(a.authOffered), methodNames(ours)));
    }
    if (a.authentication.startsWith(QLatin1String("Negotiate")))
        return failed(
            Error::LoginRefused,
            QStringLiteral("Identification %1 refusée par le serveur Exchange %2 (HTTP 401)%3. "
                           "Vérifiez que ce compte a une boîte aux lettres et que le serveur "
                           "accepte Kerberos pour son nom.")
                .arg(a.authentication, server,
                     a.principal.isEmpty() ? QString() : QStringLiteral(" pour ") + a.principal));
    if (a.authentication.isEmpty() && (a.authOffered & ours & CURLAUTH_NEGOTIATE) != 0)
        return failed(
            Error::LoginRefused,
            QStringLiteral("Le serveur Exchange %1 demande une identification Negotiate "
                           "(Kerberos) mais aucun ticket Kerberos n'est disponible : indiquez "
                           "le fichier de clés de la station ([Kerberos] Keytab=) ou ouvrez "
                           "une session Kerberos (kinit).")
                .arg(server));
    return failed(Error::LoginRefused,
                  QStringLiteral("Identification refusée par le serveur Exchange %1 (HTTP 401). "
                                 "Vérifiez l'utilisateur et le mot de passe.")
                      .arg(server));
}

// Failures every Exchange answer may carry: login, forms-based authentication.
bool commonHttpFailure(const detail::HttpsReply& a, const ExchangeSend& send, const QString& server,
                       ExchangeOutcome& out) {
    if (!a.loginProblem.isEmpty()) {
        out = failed(Error::LoginRefused,
                     QStringLiteral("Identification Kerberos impossible pour le serveur Exchange "
                                    "%1 : %2")
                         .arg(server, a.loginProblem));
        return true;
    }
    if (a.status == 401) {
        out = loginRefusal(a, send, server);
        return true;
    }
    if (a.status == 440 || isLogonRedirect(a)) {
        out = failed(Error::FormsAuthentication,
                     QStringLiteral("L'authentification par formulaire est activée sur le serveur "
                                    "%1, ce protocole ne peut pas l'utiliser.")
                         .arg(server));
        return true;
    }
    return false;
}

// Server text quoted in a description.
QString cleanServerText(const QString& text) {
    return Untrusted::CleanQuoted(text, 500);
}

QString httpStatusText(const detail::HttpsReply& a, const QString& server) {
    QString text =
        QStringLiteral("Le serveur Exchange %1 a répondu HTTP %2").arg(server).arg(a.status);
    if (a.status >= 300 && a.status <= 399 && !a.location.isEmpty())
        text += QStringLiteral(" (redirection vers %1)").arg(cleanServerText(a.location));
    else if (!a.body.isEmpty() && !a.body.trimmed().startsWith('<'))
        text += QStringLiteral(" : ") + cleanServerText(QString::fromUtf8(a.body.left(300)));
    return text + QLatin1Char('.');
}

void appendMailboxes(QByteArray& xml, const char* element, const QStringList& addresses) {
    if (addresses.isEmpty())
        return;
    xml += QByteArray("<t:") + element + ">";
    for (const QString& a : addresses)
        xml += "<t:Mailbox><t:EmailAddress>" + xmlEscaped(a).toUtf8() +
               "</t:EmailAddress></t:Mailbox>";
    xml += QByteArray("</t:") + element + ">";
}

// The login name as a mailbox alias: "DOMAIN\\alias" and "alias@domain" give "alias".
QString mailboxAlias(const QString& user, const QString& sender) {
    QString alias = user.trimmed();
    if (alias.isEmpty())
        alias = sender.trimmed();
    alias = alias.mid(alias.lastIndexOf(QLatin1Char('\\')) + 1);
    const qsizetype at = alias.indexOf(QLatin1Char('@'));
    return at >= 0 ? alias.left(at) : alias;
}

} // namespace

QString EwsUrl(const QString& server, qint32 port) {
    const QString text = server.trimmed();
    if (isFullUrl(text)) {
        // Exchange Web Services never run in clear.
        if (text.startsWith(QLatin1String("http://"), Qt::CaseInsensitive))
            return QStringLiteral("https://") + text.mid(7);
        return text;
    }
    return origin(QStringLiteral("https"), text, port) + QStringLiteral("/EWS/Exchange.asmx");
}

QString WebDavSubmissionUrl(const QString& server, qint32 port, bool ssl, const QString& user,
                            const QString& sender) {
    const QString alias = mailboxAlias(user, sender);
    if (alias.isEmpty() || server.trimmed().isEmpty())
        return {};
    QString base;
    const QString text = server.trimmed();
    if (isFullUrl(text)) {
        const QUrl url(text);
        base = url.scheme().toLower() + QStringLiteral("://") + url.authority();
    } else {
        base = origin(ssl ? QStringLiteral("https") : QStringLiteral("http"), text, port);
    }
    return base + QStringLiteral("/exchange/") +
           QString::fromLatin1(QUrl::toPercentEncoding(alias)) + QStringLiteral("/") +
           QString::fromLatin1(
               QUrl::toPercentEncoding(QStringLiteral("##DavMailSubmissionURI##"))) +
           QStringLiteral("/");
}

QByteArray EwsCreateItemRequest(const ExchangeSend& send) {
    QByteArray xml =
        "<?xml version=\"1.0\" encoding=\"utf-8\"?>"
        "<soap:Envelope xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\" "
        "xmlns:t=\"http://schemas.microsoft.com/exchange/services/2006/types\" "
        "xmlns:m=\"http://schemas.microsoft.com/exchange/services/2006/messages\">"
        "<soap:Header><t:RequestServerVersion Version=\"Exchange2007_SP1\"/></soap:Header>"
        "<soap:Body>"
        "<m:CreateItem MessageDisposition=\"SendAndSaveCopy\">"
        "<m:SavedItemFolderId><t:DistinguishedFolderId Id=\"sentitems\"/></m:SavedItemFolderId>"
        "<m:Items><t:Message>"
        "<t:MimeContent CharacterSet=\"UTF-8\">";
    xml += send.message.toBase64();
    xml += "</t:MimeContent>";
    // Explicit recipients after MimeContent, in the order of the schema, so Bcc is honoured.
    appendMailboxes(xml, "ToRecipients", send.to);
    appendMailboxes(xml, "CcRecipients", send.cc);
    appendMailboxes(xml, "BccRecipients", send.bcc);
    xml += "</t:Message></m:Items></m:CreateItem></soap:Body></soap:Envelope>";
    return xml;
}

namespace {

// One EWS operation: the SOAP request posted, then the transport, the HTTP status, a SOAP
// fault and the response class judged in that order. `refused` names what the server
// refused in the operator's text ("le message", "la demande").
ExchangeOutcome ewsJudged(const detail::HttpsReply& a, const ExchangeSend& send, const QString& url,
                          const QString& refused) {
    ExchangeOutcome out;
    if (transportFailure(a, url, send.caFolder, out) || commonHttpFailure(a, send, url, out))
        return out;
    const detail::EwsReply reply = detail::ReadEwsReply(a.body);
    if (!reply.faultString.isEmpty())
        return failed(Error::SoapFault,
                      QStringLiteral("Le serveur Exchange a renvoyé une erreur SOAP : %1")
                          .arg(cleanServerText(reply.faultString)));
    if (a.status != 200 || !reply.parsed)
        return failed(Error::HttpStatus, httpStatusText(a, url));
    if (reply.responseClass != QLatin1String("Success"))
        return failed(Error::ExchangeRefused,
                      QStringLiteral("Le serveur Exchange a refusé %1 : %2 : %3")
                          .arg(refused,
                               cleanServerText(reply.responseCode.isEmpty() ? reply.responseClass
                                                                            : reply.responseCode),
                               cleanServerText(reply.messageText)));
    return {};
}

// The outcome with the login the exchange used, and what the destination's limits saw.
ExchangeOutcome withLogin(ExchangeOutcome out, const detail::HttpsReply& a,
                          const ExchangeOutcome& scheduled = {}) {
    out.authentication = a.authentication;
    out.principal = a.principal;
    out.httpStatus = a.status;
    for (const auto& header : a.headers)
        if (header.first == "request-id" || header.first == "x-ms-request-id")
            out.requestId =
                Untrusted::CleanQuoted(QString::fromLatin1(header.second.trimmed()), 100);
    out.throttled = scheduled.throttled;
    out.notice = scheduled.notice;
    return out;
}

// One EWS operation: the SOAP request posted (inside the destination's limits when
// `limited`), its answer judged.
ExchangeOutcome ewsCall(const ExchangeSend& send, const QString& url, const char* operation,
                        const QByteArray& request, const QString& refused, bool limited) {
    ExchangeOutcome refusedLogin;
    if (loginNotAllowed(send, url, refusedLogin))
        return refusedLogin;
    const QByteArray action =
        QByteArrayLiteral("SOAPAction: \"http://schemas.microsoft.com/exchange/services/2006/"
                          "messages/") +
        operation + '"';
    ExchangeOutcome scheduled;
    const detail::HttpsReply a =
        perform(QStringLiteral("POST"), url, send,
                {"Content-Type: text/xml; charset=utf-8", "Accept: text/xml", action}, request,
                limited ? &scheduled : nullptr);
    if (scheduled.notAttempted)
        return scheduled;
    return withLogin(ewsJudged(a, send, url, refused), a, scheduled);
}

} // namespace

namespace {

// A WebDAV request that needs nothing but a 2xx answer (inside the destination's limits when
// `limited`).
ExchangeOutcome davCall(const QString& method, const QString& url, const ExchangeSend& send,
                        const QList<QByteArray>& headers, const QByteArray& body, bool limited) {
    ExchangeOutcome out;
    if (loginNotAllowed(send, url, out))
        return out;
    ExchangeOutcome scheduled;
    const detail::HttpsReply a =
        perform(method, url, send, headers, body, limited ? &scheduled : nullptr);
    if (scheduled.notAttempted)
        return scheduled;
    if (transportFailure(a, url, send.caFolder, out) || commonHttpFailure(a, send, url, out))
        return withLogin(out, a, scheduled);
    if (a.status < 200 || a.status > 299)
        return withLogin(failed(Error::HttpStatus, httpStatusText(a, url)), a, scheduled);
    return withLogin({}, a, scheduled);
}

} // namespace

ExchangeSend ExchangeSendFor(const ServerSettings& server, const TimeLimits& limits,
                             const QString& caFolder, const QString& sender) {
    ExchangeSend send;
    send.server = server.host;
    send.port = server.port;
    send.ssl = server.mode == ConnectionMode::Ssl;
    send.user = server.user;
    send.password = server.password;
    send.bearer = server.bearer;
    send.login = server.exchange;
    send.caFolder = caFolder;
    send.connectTimeout = limits.connect;
    send.responseTimeout = limits.response;
    send.sender = sender;
    return send;
}

long ExchangeAuthMethods(const ExchangeSend& send, const QString& url) {
    const QString chosen = send.login.method.trimmed().toLower();
    const bool withUser = !send.user.trimmed().isEmpty();
    long methods = 0;
    if (chosen == QLatin1String("negotiate") || chosen == QLatin1String("kerberos"))
        methods = CURLAUTH_NEGOTIATE;
    else if (chosen == QLatin1String("ntlm"))
        methods = withUser ? CURLAUTH_NTLM : 0;
    else if (chosen == QLatin1String("basic"))
        methods = withUser ? CURLAUTH_BASIC : 0;
    else
        methods = CURLAUTH_NEGOTIATE | (withUser ? CURLAUTH_NTLM | CURLAUTH_BASIC : 0);
    if (isPlainHttp(url))
        methods &= ~static_cast<long>(CURLAUTH_BASIC);
    return methods;
}

ExchangeOutcome SendThroughEws(const ExchangeSend& send) {
    if (send.server.trimmed().isEmpty())
        return failed(Error::ExchangeSettings,
                      QStringLiteral("Aucun serveur Exchange n'est indiqué."));
    return ewsCall(send, EwsUrl(send.server, send.port), "CreateItem", EwsCreateItemRequest(send),
                   QStringLiteral("le message"), true);
}

ExchangeOutcome SendThroughWebDav(const ExchangeSend& send) {
    const QString url =
        WebDavSubmissionUrl(send.server, send.port, send.ssl, send.user, send.sender);
    if (url.isEmpty())
        return failed(Error::ExchangeSettings,
                      QStringLiteral("Serveur Exchange ou nom de boîte aux lettres manquant pour "
                                     "l'envoi WebDAV."));
    // The envelope in SMTP form, a blank line, then the message. An address that could
    // break out of its line is refused rather than sent.
    for (const QStringList* list : {&send.to, &send.cc, &send.bcc})
        for (const QString& a : *list + QStringList{send.sender})
            for (const QChar ch : a)
                if (ch.unicode() < 0x20 || ch == QLatin1Char('<') || ch == QLatin1Char('>'))
                    return failed(Error::ExchangeSettings,
                                  QStringLiteral("Adresse invalide pour l'envoi WebDAV : %1")
                                      .arg(cleanServerText(a)));
    QByteArray body = "MAIL FROM:<" + send.sender.trimmed().toUtf8() + ">\r\n";
    for (const QStringList* list : {&send.to, &send.cc, &send.bcc})
        for (const QString& a : *list)
            body += "RCPT TO:<" + a.trimmed().toUtf8() + ">\r\n";
    body += "\r\n";
    body += send.message;
    return davCall(QStringLiteral("PUT"), url, send,
                   {"Content-Type: message/rfc821", "Translate: f", "Saveinsent: f"}, body, true);
}

ExchangeOutcome CheckEws(const ExchangeSend& send, QString& what) {
    if (send.server.trimmed().isEmpty())
        return failed(Error::ExchangeSettings,
                      QStringLiteral("Aucun serveur Exchange n'est indiqué."));
    const QString url = EwsUrl(send.server, send.port);
    what = url;
    const QByteArray request =
        "<?xml version=\"1.0\" encoding=\"utf-8\"?>"
        "<soap:Envelope xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\" "
        "xmlns:t=\"http://schemas.microsoft.com/exchange/services/2006/types\" "
        "xmlns:m=\"http://schemas.microsoft.com/exchange/services/2006/messages\">"
        "<soap:Body><m:GetFolder><m:FolderShape><t:BaseShape>IdOnly</t:BaseShape></m:FolderShape>"
        "<m:FolderIds><t:DistinguishedFolderId Id=\"inbox\"/></m:FolderIds></m:GetFolder>"
        "</soap:Body></soap:Envelope>";
    return ewsCall(send, url, "GetFolder", request, QStringLiteral("la demande"), false);
}

ExchangeOutcome CheckWebDav(const ExchangeSend& send, QString& what) {
    QString url = WebDavSubmissionUrl(send.server, send.port, send.ssl, send.user, send.sender);
    if (url.isEmpty())
        return failed(Error::ExchangeSettings,
                      QStringLiteral("Serveur Exchange ou nom de boîte aux lettres manquant pour "
                                     "l'envoi WebDAV."));
    url = url.left(url.lastIndexOf(QLatin1Char('/')) + 1); // the mailbox folder
    what = url;
    return davCall(QStringLiteral("PROPFIND"), url, send,
                   {"Depth: 0", "Content-Type: text/xml", "Translate: f"}, QByteArray(), false);
}

namespace {

// Protocols 1 and 2 of the mail component.
class ExchangeTransport : public Transport {
public:
    explicit ExchangeTransport(Route route) : route_(route) {}

    SendOutcome send(const SendJob& job) override {
        ExchangeSend send = ExchangeSendFor(job.server, job.limits, job.caFolder, job.envelopeFrom);
        send.to = job.to;
        send.cc = job.cc;
        send.bcc = job.bcc;
        if (send.to.isEmpty() && send.cc.isEmpty() && send.bcc.isEmpty())
            send.to = job.recipients;
        send.message = job.message;
        const ExchangeOutcome out =
            route_ == Route::ExchangeWebServices ? SendThroughEws(send) : SendThroughWebDav(send);
        SendOutcome outcome{out.code, out.description};
        outcome.notAttempted = out.notAttempted;
        outcome.throttled = out.throttled && out.code != Error::None;
        outcome.notice = out.notice;
        outcome.reply.code = int(out.httpStatus);
        outcome.reply.text = out.code == Error::None ? QStringLiteral("HTTP %1").arg(out.httpStatus)
                                                     : Untrusted::Clean(out.description);
        outcome.reply.queueId = out.requestId;
        return outcome;
    }

private:
    Route route_;
};

} // namespace

std::unique_ptr<Transport> CreateExchangeTransport(qint32 protocol) {
    const ProtocolInfo* info = FindProtocol(protocol);
    if (!info ||
        (info->route != Route::ExchangeWebServices && info->route != Route::ExchangeWebDav))
        return nullptr;
    return std::make_unique<ExchangeTransport>(info->route);
}

detail::EwsReply detail::ReadEwsReply(const QByteArray& body) {
    EwsReply reply;
    QXmlStreamReader xml(body);
    while (!xml.atEnd()) {
        if (xml.readNext() != QXmlStreamReader::StartElement)
            continue;
        const QStringView name = xml.name();
        if (name == QLatin1String("Envelope")) {
            reply.parsed = true;
        } else if (name.endsWith(QLatin1String("ResponseMessage")) &&
                   reply.responseClass.isEmpty()) {
            reply.responseClass = xml.attributes().value(QLatin1String("ResponseClass")).toString();
        } else if (name == QLatin1String("ResponseCode") && reply.responseCode.isEmpty()) {
            reply.responseCode = xml.readElementText().trimmed();
        } else if (name == QLatin1String("MessageText") && reply.messageText.isEmpty()) {
            reply.messageText = xml.readElementText().trimmed();
        } else if (name == QLatin1String("faultstring") || name == QLatin1String("Text")) {
            if (reply.faultString.isEmpty())
                reply.faultString = xml.readElementText().trimmed();
        }
    }
    return reply;
}

} // namespace mail
