// Microsoft Graph sendMail (and drafts with upload sessions for large messages) over the
// engine's HTTPS call, under the destination scheduler, with French failure texts.
#include "mail/transport/graph.h"

#include "mail/engine/https_call.h"
#include "mail/engine/transport_failure.h"
#include "mail/mime/mime_split.h"
#include "mail/transport/web_limits.h"
#include "system/untrusted_text.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>
#include <QUrl>

namespace mail {

namespace {

const QString kGraphHost = QStringLiteral("graph.microsoft.com");

// The host part of "host[:port]" (an IPv6 literal in brackets kept whole), lower case.
QString hostPart(const QString& server) {
    QString host = server.trimmed().toLower();
    if (host.startsWith(QLatin1Char('['))) {
        const qsizetype close = host.indexOf(QLatin1Char(']'));
        return close > 0 ? host.left(close + 1) : host;
    }
    const qsizetype colon = host.indexOf(QLatin1Char(':'));
    return colon >= 0 ? host.left(colon) : host;
}

QString graphOrigin(const QString& server) {
    QString text = server.trimmed();
    while (text.endsWith(QLatin1Char('/')))
        text.chop(1);
    if (text.isEmpty() || IsMicrosoft365Host(text))
        return QStringLiteral("https://") + kGraphHost;
    return QStringLiteral("https://") + text;
}

// "https://<host>/v1.0/users/<mailbox>", the mailbox percent-encoded.
QString mailboxUrl(const GraphSend& send) {
    return graphOrigin(send.server) + QStringLiteral("/v1.0/users/") +
           QString::fromLatin1(QUrl::toPercentEncoding(send.mailbox.trimmed()));
}

// The mailbox's destination: Exchange Online's limits per mailbox for Microsoft 365, the
// limits of the host for any other server.
detail::WebDestination destinationOf(const GraphSend& send) {
    detail::WebDestination to;
    const QString server = send.server.trimmed();
    to.host = GraphLimitsHost(server);
    to.key = graphOrigin(server) + QLatin1Char(' ') + send.mailbox.trimmed().toLower();
    to.recipients = std::max(1, send.recipients);
    to.longestRetryWait = send.longestRetryWait;
    return to;
}

detail::HttpsRequest requestFor(const GraphSend& send, const QString& url, QByteArray body,
                                const QByteArray& type = "text/plain") {
    detail::HttpsRequest request;
    request.url = url;
    request.headers = {"Content-Type: " + type, "Accept: application/json"};
    request.body = std::move(body);
    request.bearer = send.bearer;
    request.caFolder = send.caFolder;
    request.connectTimeout = send.connectTimeout;
    request.responseTimeout = send.responseTimeout;
    request.maxReply = qsizetype{256} * 1024;
    return request;
}

// What a Graph refusal is about: the account's rights (an administrator grants them), the
// message itself (it never goes as it is), or neither (worth another try).
enum class Refusal { Rights, Message, Other };

Refusal refusalOf(long status, const QByteArray& body) {
    const QJsonObject error =
        QJsonDocument::fromJson(body).object().value(QLatin1String("error")).toObject();
    const QString code = error.value(QLatin1String("code")).toString();
    const QString text = code + QLatin1Char(' ') + error.value(QLatin1String("message")).toString();
    if (status == 413)
        return Refusal::Message;
    if (status == 403)
        return Refusal::Rights;
    for (const char* message :
         {"ErrorInvalidRecipients", "ErrorMimeContent", "ErrorMessageSize", "MessageTooLarge",
          "ErrorInvalidInternetHeader", "ErrorTooManyRecipients", "ErrorExceededMaxRecipient",
          "RequestBodyTooLarge", "ErrorMessageTooBig"})
        if (code.startsWith(QLatin1String(message), Qt::CaseInsensitive))
            return Refusal::Message;
    for (const char* rights :
         {"AccessDenied", "Authorization_RequestDenied", "consent", "AADSTS65001", "scope",
          "permission", "privilege", "SendAs", "SendOnBehalf", "Forbidden", "Unauthorized"})
        if (text.contains(QLatin1String(rights), Qt::CaseInsensitive))
            return Refusal::Rights;
    return Refusal::Other;
}

// The right a refusal about rights names, for the operator.
QString rightOf(const QByteArray& body) {
    if (body.contains("SendAs"))
        return QStringLiteral("le droit « Send As » (envoyer en tant que) sur la boîte de "
                              "l'expéditeur");
    if (body.contains("SendOnBehalf"))
        return QStringLiteral("le droit « Send on Behalf » (envoyer de la part de) sur la boîte "
                              "de l'expéditeur");
    return QStringLiteral("l'autorisation Mail.Send (consentement de l'administrateur du tenant "
                          "pour l'application)");
}

// Graph's answer as the ledger keeps it: the HTTP status, the service's error, and the id
// Microsoft's support asks for (request-id, else the client's own).
ServerReply replyOf(const detail::HttpsReply& a) {
    ServerReply reply;
    reply.code = int(a.status);
    const QString why = detail::GraphError(a.body);
    reply.text = a.result != CURLE_OK ? Untrusted::Clean(a.technical)
                                      : QStringLiteral("HTTP %1").arg(a.status) +
                                            (why.isEmpty() ? QString() : QStringLiteral(" ") + why);
    for (const char* name : {"request-id", "client-request-id"})
        for (const auto& [key, value] : a.headers)
            if (key == name && reply.queueId.isEmpty())
                reply.queueId = Untrusted::CleanQuoted(QString::fromLatin1(value.trimmed()), 100);
    return reply;
}

// The outcome of a Graph answer other than the expected one.
SendOutcome judgedWithoutReply(const detail::HttpsReply& a, const QString& url,
                               const GraphSend& send) {
    if (a.result != CURLE_OK)
        return detail::CurlFailure(detail::Peer::Graph, a.result, url, QUrl(url).host(),
                                   a.technical, send.caFolder);
    const QString why = detail::GraphError(a.body);
    const QString suffix = why.isEmpty() ? QString() : QStringLiteral(" : ") + why;
    if (a.status == 401)
        return {
            Error::LoginRefused,
            QStringLiteral("Microsoft Graph refuse le jeton OAuth 2.0 (HTTP 401)%1.").arg(suffix)};
    if (a.status == 400 || a.status == 403 || a.status == 413) {
        switch (refusalOf(a.status, a.body)) {
        case Refusal::Rights: {
            SendOutcome out{
                Error::NotAuthorized,
                QStringLiteral("Microsoft Graph refuse les envois de la boîte %1 faute "
                               "d'autorisation (HTTP %2%3) : il manque %4. Les mails attendent "
                               "et partiront d'eux-mêmes une fois le droit accordé.")
                    .arg(Untrusted::CleanQuoted(send.mailbox.trimmed(), 200))
                    .arg(a.status)
                    .arg(suffix, rightOf(a.body))};
            out.missingRight = rightOf(a.body);
            return out;
        }
        case Refusal::Message: {
            SendOutcome out{Error::GraphRefused,
                            QStringLiteral("Microsoft Graph refuse le message (HTTP %1)%2.")
                                .arg(a.status)
                                .arg(suffix)};
            out.permanent = true;
            return out;
        }
        case Refusal::Other:
            return {Error::GraphRefused,
                    QStringLiteral("Microsoft Graph refuse la demande (HTTP %1)%2 ; l'envoi sera "
                                   "retenté.")
                        .arg(a.status)
                        .arg(suffix)};
        }
    }
    if (a.status == 429 || a.status == 503) {
        const qint64 wait = detail::RetryAfterSeconds(a);
        SendOutcome out{
            Error::HttpStatus,
            QStringLiteral("Microsoft Graph est surchargé (HTTP %1)%2 ; l'envoi sera "
                           "retenté%3.")
                .arg(a.status)
                .arg(suffix, wait >= 0 ? QStringLiteral(" (attente demandée : %1 s)").arg(wait)
                                       : QString())};
        out.throttled = true;
        return out;
    }
    return {Error::HttpStatus, QStringLiteral("Le serveur Microsoft Graph %1 a répondu HTTP %2%3.")
                                   .arg(url)
                                   .arg(a.status)
                                   .arg(suffix)};
}

SendOutcome judged(const detail::HttpsReply& a, const QString& url, const GraphSend& send) {
    SendOutcome out = judgedWithoutReply(a, url, send);
    out.reply = replyOf(a);
    return out;
}

// The whole request went out, then a stop cut the wait for its answer: the service most
// likely holds the mail, and sending it again after the restart would make a second copy.
bool lostWhileStopping(const detail::HttpsReply& a) {
    return a.bodyEnded && a.result != CURLE_OK && AbortRequested();
}

SendOutcome unconfirmed(const GraphSend& send) {
    SendOutcome out;
    out.unconfirmed = true;
    out.description =
        QStringLiteral("Mail remis à Microsoft Graph (boîte %1) sans sa réponse, perdue pendant "
                       "l'arrêt du programme : il est compté comme envoyé et ne repartira pas")
            .arg(Untrusted::CleanQuoted(send.mailbox.trimmed(), 200));
    return out;
}

SendOutcome tooLarge(const QString& text) {
    SendOutcome out{Error::MessageTooLarge, text};
    out.permanent = true;
    return out;
}

SendOutcome noMailbox() {
    return {Error::ExchangeSettings,
            QStringLiteral("Aucune boîte aux lettres n'est indiquée pour Microsoft Graph : "
                           "renseignez l'utilisateur (adresse du compte Microsoft 365).")};
}

// Graph takes no password: without a token there is nothing to try.
SendOutcome noToken() {
    return {Error::OAuthSignInNeeded,
            QStringLiteral("Microsoft Graph n'accepte que l'authentification OAuth 2.0 : cochez "
                           "l'authentification sur la page Paramétrage, choisissez OAuth 2.0 et "
                           "connectez-vous.")};
}

} // namespace

bool IsMicrosoft365Host(const QString& server) {
    const QString host = hostPart(server);
    if (host == kGraphHost)
        return true;
    for (const char* domain : {"office365.com", "office.com", "outlook.com"}) {
        const QString d = QLatin1String(domain);
        if (host == d || host.endsWith(QLatin1Char('.') + d))
            return true;
    }
    return false;
}

QString GraphLimitsHost(const QString& server) {
    const QString text = server.trimmed();
    return text.isEmpty() || IsMicrosoft365Host(text) ? kGraphHost : hostPart(text);
}

QString GraphSendMailUrl(const QString& server, const QString& mailbox) {
    return graphOrigin(server) + QStringLiteral("/v1.0/users/") +
           QString::fromLatin1(QUrl::toPercentEncoding(mailbox.trimmed())) +
           QStringLiteral("/sendMail");
}

namespace {

// A draft of the mailbox, deleted when the send fails before it was handed over (a mail that
// will go again later makes a new one).
class Draft {
public:
    explicit Draft(const GraphSend& send) : send_(send) {}
    ~Draft() {
        if (id_.isEmpty() || kept_ || AbortRequested())
            return;
        detail::HttpsRequest request = requestFor(send_, url(), QByteArray());
        request.method = QStringLiteral("DELETE");
        request.headers = {"Accept: application/json"};
        detail::HttpsCall(request);
    }
    Draft(const Draft&) = delete;
    Draft& operator=(const Draft&) = delete;

    void setId(const QString& id) { id_ = id; }
    void keep() { kept_ = true; }
    QString url() const {
        return mailboxUrl(send_) + QStringLiteral("/messages/") +
               QString::fromLatin1(QUrl::toPercentEncoding(id_));
    }

private:
    const GraphSend& send_;
    QString id_;
    bool kept_ = false;
};

QString jsonText(const QByteArray& body, const char* key) {
    return QJsonDocument::fromJson(body).object().value(QLatin1String(key)).toString();
}

// A message too large for one request: the draft without its large attachments, each of them
// through an upload session in ranges, then the draft's send; all in one slot of the mailbox.
SendOutcome sendLarge(const GraphSend& send) {
    const qsizetype encoded = (send.message.size() + 2) / 3 * 4;
    if (const QString whole = detail::MustTravelWhole(send.message); !whole.isEmpty())
        return tooLarge(
            QStringLiteral("Le message fait %1 Ko une fois encodé, au-delà des 4 Mo d'une "
                           "requête Microsoft Graph ; un message plus lourd part en un brouillon "
                           "suivi de ses pièces jointes, mais ce message est %2 et doit voyager "
                           "entier. Il n'a pas été envoyé : réduisez la pièce jointe, envoyez-le "
                           "sans signature ni chiffrement, ou choisissez SMTP.")
                .arg(encoded / 1024)
                .arg(whole));
    detail::SplitMessage split;
    QString why;
    if (!detail::SplitAttachments(send.message, kGraphRequestLimit, split, why))
        return tooLarge(QStringLiteral("Le message fait %1 Ko une fois encodé, au-delà des 4 Mo "
                                       "d'une requête Microsoft Graph, et %2. Il n'a pas été "
                                       "envoyé : réduisez la pièce jointe ou choisissez SMTP.")
                            .arg(encoded / 1024)
                            .arg(why));

    const detail::WebDestination to = destinationOf(send);
    const QString base = mailboxUrl(send);
    DestinationSlot slot = AcquireDestination(to.host, to.key, to.recipients);
    if (!slot.granted())
        return detail::NotGranted(slot, base);
    const qint64 longest = qint64(to.longestRetryWait.count()) * 1000;
    const auto failed = [&](const detail::HttpsReply& a, const QString& url) {
        detail::ReportReply(slot, a, longest);
        SendOutcome out = judged(a, url, send);
        out.notice = slot.notice;
        return out;
    };

    // 1. The draft, from the message without its large attachments.
    Draft draft(send);
    const QString create = base + QStringLiteral("/messages");
    const detail::HttpsReply made =
        detail::HttpsCall(requestFor(send, create, split.rest.toBase64()));
    const QString id = jsonText(made.body, "id");
    if (made.result != CURLE_OK || made.status != 201 || id.isEmpty())
        return failed(made, create);
    draft.setId(id);

    // 2. Each attachment through its upload session, in ranges.
    for (const detail::DetachedAttachment& attachment : std::as_const(split.attachments)) {
        const QString session = draft.url() + QStringLiteral("/attachments/createUploadSession");
        QJsonObject item{{QStringLiteral("attachmentType"), QStringLiteral("file")},
                         {QStringLiteral("name"), attachment.fileName},
                         {QStringLiteral("size"), double(attachment.data.size())},
                         {QStringLiteral("contentType"), attachment.contentType}};
        const detail::HttpsReply opened = detail::HttpsCall(
            requestFor(send, session,
                       QJsonDocument(QJsonObject{{QStringLiteral("AttachmentItem"), item}})
                           .toJson(QJsonDocument::Compact),
                       "application/json"));
        const QString upload = jsonText(opened.body, "uploadUrl");
        if (opened.result != CURLE_OK || opened.status != 201 || upload.isEmpty())
            return failed(opened, session);
        const qsizetype size = attachment.data.size();
        for (qsizetype offset = 0; offset < size;) {
            const qsizetype length = std::min(kGraphUploadRange, size - offset);
            // The upload address carries its own authorisation: no bearer goes there.
            detail::HttpsRequest range = requestFor(
                send, upload, attachment.data.mid(offset, length), "application/octet-stream");
            range.method = QStringLiteral("PUT");
            range.bearer.clear();
            range.headers.append(QStringLiteral("Content-Range: bytes %1-%2/%3")
                                     .arg(offset)
                                     .arg(offset + length - 1)
                                     .arg(size)
                                     .toLatin1());
            const detail::HttpsReply put = detail::HttpsCall(range);
            if (put.result != CURLE_OK || (put.status != 200 && put.status != 201))
                return failed(put, QUrl(upload).adjusted(QUrl::RemoveQuery).toString());
            offset += length;
        }
    }

    // 3. The draft goes: the request that hands the mail over.
    const QString sendUrl = draft.url() + QStringLiteral("/send");
    detail::HttpsRequest hand = requestFor(send, sendUrl, QByteArray());
    hand.awaitAnswerOnStop = true;
    const detail::HttpsReply sent = detail::HttpsCall(hand);
    if (lostWhileStopping(sent)) {
        draft.keep();
        detail::ReportReply(slot, sent, longest);
        return unconfirmed(send);
    }
    if (sent.result != CURLE_OK || sent.status != 202)
        return failed(sent, sendUrl);
    draft.keep();
    detail::ReportReply(slot, sent, longest);
    SendOutcome out;
    out.notice = slot.notice;
    out.reply = replyOf(sent);
    return out;
}

} // namespace

SendOutcome SendThroughGraph(const GraphSend& send) {
    if (send.mailbox.trimmed().isEmpty())
        return noMailbox();
    if (send.bearer.isEmpty())
        return noToken();
    if (send.message.size() > send.messageLimit)
        return tooLarge(QStringLiteral("Le message fait %1 Ko, au-delà des %2 Ko qu'accepte le "
                                       "tenant Microsoft 365 ; il n'a pas été envoyé. Réduisez "
                                       "la pièce jointe.")
                            .arg(send.message.size() / 1024)
                            .arg(send.messageLimit / 1024));
    QByteArray body = send.message.toBase64();
    if (body.size() > kGraphRequestLimit)
        return sendLarge(send);
    const QString url = GraphSendMailUrl(send.server, send.mailbox);
    detail::HttpsRequest request = requestFor(send, url, std::move(body));
    request.awaitAnswerOnStop = true;
    const detail::WebCall call = detail::CallWithinLimits(destinationOf(send), request, url);
    SendOutcome out;
    if (call.refusal)
        out = *call.refusal;
    else if (call.reply.result == CURLE_OK && call.reply.status == 202)
        out.reply = replyOf(call.reply);
    else if (lostWhileStopping(call.reply))
        out = unconfirmed(send);
    else
        out = judged(call.reply, url, send);
    out.notice = call.notice;
    return out;
}

SendOutcome CheckGraph(const GraphSend& send, QString& what) {
    if (send.mailbox.trimmed().isEmpty())
        return noMailbox();
    if (send.bearer.isEmpty())
        return noToken();
    const QString url = GraphSendMailUrl(send.server, send.mailbox);
    what = url;
    const detail::HttpsReply a = detail::HttpsCall(requestFor(send, url, QByteArray()));
    // An empty message is refused once the token and the rights were accepted: the route works.
    if (a.result == CURLE_OK &&
        (a.status == 202 || (a.status == 400 && refusalOf(a.status, a.body) != Refusal::Rights)))
        return {};
    SendOutcome out = judged(a, url, send);
    out.permanent = false;
    return out;
}

namespace {

// Graph takes the recipients of a MIME message from its headers, so blind copies, which the
// message never names, get a Bcc header here; the server removes it before delivery.
QByteArray withBccHeader(const QByteArray& message, const QStringList& bcc) {
    if (bcc.isEmpty())
        return message;
    QByteArray header = "Bcc: ";
    for (qsizetype i = 0; i < bcc.size(); ++i)
        header += (i ? ",\r\n " : "") + bcc.at(i).trimmed().toUtf8();
    return header + "\r\n" + message;
}

class GraphTransport : public Transport {
public:
    SendOutcome send(const SendJob& job) override {
        GraphSend send;
        send.server = job.server.host;
        send.mailbox = job.server.user.trimmed().isEmpty() ? job.envelopeFrom : job.server.user;
        send.bearer = job.server.bearer;
        send.caFolder = job.caFolder;
        send.connectTimeout = job.limits.connect;
        send.responseTimeout = job.limits.response;
        send.message = withBccHeader(job.message, job.bcc);
        send.recipients = int(job.recipients.size());
        // The tenant's own limit when the settings give one for the service's host.
        const qsizetype configured = DestinationLimitsOf(destinationOf(send).host).messageBytes;
        if (configured > 0)
            send.messageLimit = configured;
        return SendThroughGraph(send);
    }
};

} // namespace

std::unique_ptr<Transport> CreateGraphTransport() {
    return std::make_unique<GraphTransport>();
}

QString detail::GraphError(const QByteArray& body) {
    const QJsonObject error =
        QJsonDocument::fromJson(body).object().value(QLatin1String("error")).toObject();
    const QString code = Untrusted::CleanQuoted(error.value(QLatin1String("code")).toString(), 100);
    const QString message =
        Untrusted::CleanQuoted(error.value(QLatin1String("message")).toString());
    if (code.isEmpty() || message.isEmpty())
        return code + message;
    return code + QStringLiteral(" : ") + message;
}

} // namespace mail
