// Microsoft Graph sendMail over the engine's HTTPS call, with French failure texts.
#include "mail/transport/graph.h"

#include "mail/engine/https_call.h"
#include "mail/engine/transport_failure.h"
#include "system/untrusted_text.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>
#include <QUrl>

#include <thread>

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

// The wait a 429 or 503 asks for (seconds or an HTTP date); -1 when it names none.
qint64 retryAfterSeconds(const detail::HttpsReply& reply) {
    const QByteArray value = reply.header("retry-after").trimmed();
    if (value.isEmpty())
        return -1;
    bool ok = false;
    const qint64 seconds = value.toLongLong(&ok);
    if (ok)
        return seconds < 0 ? -1 : seconds;
    const QDateTime when = QDateTime::fromString(QString::fromLatin1(value), Qt::RFC2822Date);
    if (!when.isValid())
        return -1;
    return std::max<qint64>(0, QDateTime::currentDateTimeUtc().secsTo(when));
}

// Waits `span` unless the program asks every transfer to stop; false when it did.
bool waitUnlessStopped(std::chrono::seconds span) {
    const auto until = std::chrono::steady_clock::now() + span;
    while (std::chrono::steady_clock::now() < until) {
        if (AbortRequested())
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return !AbortRequested();
}

detail::HttpsRequest requestFor(const GraphSend& send, const QString& url, QByteArray body) {
    detail::HttpsRequest request;
    request.url = url;
    request.headers = {"Content-Type: text/plain", "Accept: application/json"};
    request.body = std::move(body);
    request.bearer = send.bearer;
    request.caFolder = send.caFolder;
    request.connectTimeout = send.connectTimeout;
    request.responseTimeout = send.responseTimeout;
    request.maxReply = qsizetype{256} * 1024;
    return request;
}

// The outcome of a Graph answer other than the expected one. `server` names the server.
SendOutcome judged(const detail::HttpsReply& a, const QString& url, const QString& caFolder) {
    if (a.result != CURLE_OK)
        return detail::CurlFailure(detail::Peer::Graph, a.result, url, QUrl(url).host(),
                                   a.technical, caFolder);
    const QString why = detail::GraphError(a.body);
    const QString suffix = why.isEmpty() ? QString() : QStringLiteral(" : ") + why;
    if (a.status == 401)
        return {
            Error::LoginRefused,
            QStringLiteral("Microsoft Graph refuse le jeton OAuth 2.0 (HTTP 401)%1.").arg(suffix)};
    if (a.status == 400 || a.status == 403 || a.status == 413) {
        SendOutcome out{Error::GraphRefused,
                        QStringLiteral("Microsoft Graph refuse le message (HTTP %1)%2.")
                            .arg(a.status)
                            .arg(suffix)};
        out.permanent = true;
        return out;
    }
    if (a.status == 429 || a.status == 503) {
        const qint64 wait = retryAfterSeconds(a);
        return {Error::HttpStatus,
                QStringLiteral("Microsoft Graph est surchargé (HTTP %1)%2 ; l'envoi sera "
                               "retenté%3.")
                    .arg(a.status)
                    .arg(suffix, wait >= 0 ? QStringLiteral(" (attente demandée : %1 s)").arg(wait)
                                           : QString())};
    }
    return {Error::HttpStatus, QStringLiteral("Le serveur Microsoft Graph %1 a répondu HTTP %2%3.")
                                   .arg(url)
                                   .arg(a.status)
                                   .arg(suffix)};
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

QString GraphSendMailUrl(const QString& server, const QString& mailbox) {
    return graphOrigin(server) + QStringLiteral("/v1.0/users/") +
           QString::fromLatin1(QUrl::toPercentEncoding(mailbox.trimmed())) +
           QStringLiteral("/sendMail");
}

SendOutcome SendThroughGraph(const GraphSend& send) {
    if (send.mailbox.trimmed().isEmpty())
        return noMailbox();
    if (send.bearer.isEmpty())
        return noToken();
    QByteArray body = send.message.toBase64();
    if (body.size() > kGraphRequestLimit) {
        SendOutcome out{Error::MessageTooLarge,
                        QStringLiteral("Le message fait %1 Ko une fois encodé, au-delà de la "
                                       "limite de 4 Mo d'une requête Microsoft Graph ; il n'a "
                                       "pas été envoyé. Réduisez la pièce jointe ou choisissez "
                                       "un autre protocole.")
                            .arg(body.size() / 1024)};
        out.permanent = true;
        return out;
    }
    const QString url = GraphSendMailUrl(send.server, send.mailbox);
    const detail::HttpsRequest request = requestFor(send, url, std::move(body));
    for (int attempt = 0;; ++attempt) {
        const detail::HttpsReply a = detail::HttpsCall(request);
        if (a.result == CURLE_OK && a.status == 202)
            return {};
        const bool busy = a.result == CURLE_OK && (a.status == 429 || a.status == 503);
        const qint64 wait = busy ? retryAfterSeconds(a) : -1;
        if (!busy || attempt >= 2 || wait < 0 || wait > send.longestRetryWait.count())
            return judged(a, url, send.caFolder);
        if (!waitUnlessStopped(std::chrono::seconds(wait)))
            return {
                Error::Aborted,
                QStringLiteral("Envoi interrompu par l'arrêt du programme (serveur %1).").arg(url)};
    }
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
    if (a.result == CURLE_OK && (a.status == 400 || a.status == 202))
        return {};
    SendOutcome out = judged(a, url, send.caFolder);
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
