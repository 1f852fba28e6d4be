// Starts and stops the OAuth 2.0 authorisation server of the tests and plays its users.
#include "support/mail/oauth_fixture.h"

#include "support/test_pki.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QUrl>

#include <curl/curl.h>

namespace testsupport {

namespace {

size_t discard(char*, size_t size, size_t count, void*) {
    return size * count;
}

} // namespace

OAuthServer::OAuthServer(const QString& clientId, const QString& clientSecret)
    : clientId_(clientId) {
    const TestPki& pki = SharedTestPki();
    start(QStringLiteral("oauth_server.py"),
          {QStringLiteral("--cert"), pki.serverCert, QStringLiteral("--key"), pki.serverKey,
           QStringLiteral("--state"), dir_.path(), QStringLiteral("--client-id"), clientId,
           QStringLiteral("--client-secret"), clientSecret});
}

QString OAuthServer::url(const QString& path) const {
    return QStringLiteral("https://127.0.0.1:%1%2").arg(port()).arg(path);
}

mail::oauth::Provider OAuthServer::provider(mail::oauth::Grant grant) const {
    mail::oauth::Provider p;
    p.clientId = clientId_;
    p.deviceEndpoint = url(QStringLiteral("/device"));
    p.tokenEndpoint = url(QStringLiteral("/token"));
    p.authorizeEndpoint = url(QStringLiteral("/authorize"));
    p.scopeSmtp = QStringLiteral("smtp.send offline_access");
    p.scopeEws = QStringLiteral("ews.access offline_access");
    p.scopeGraph = QStringLiteral("graph.send offline_access");
    p.grant = grant;
    return p;
}

void OAuthServer::setControl(const QJsonObject& control) {
    writeFile(QStringLiteral("control.json"), QJsonDocument(control).toJson());
}

void OAuthServer::refuseIssuedAccessTokens() {
    QFile f(dir_.filePath(QStringLiteral("control.json")));
    QJsonObject control;
    if (f.open(QIODevice::ReadOnly))
        control = QJsonDocument::fromJson(f.readAll()).object();
    f.close();
    control.insert(QStringLiteral("not_before"),
                   static_cast<double>(QDateTime::currentMSecsSinceEpoch()) / 1000.0);
    setControl(control);
}

bool OAuthServer::signIn(const QString& userCode, const QString& login, bool decline) {
    QString target = url(QStringLiteral("/verify?user_code=%1&login=%2")
                             .arg(QString::fromLatin1(QUrl::toPercentEncoding(userCode)),
                                  QString::fromLatin1(QUrl::toPercentEncoding(login))));
    if (decline)
        target += QStringLiteral("&deny=1");
    CURL* curl = curl_easy_init();
    if (!curl)
        return false;
    const QByteArray urlBytes = target.toUtf8();
    const QByteArray caBytes = QFile::encodeName(caFolder_ + QStringLiteral("/ca.pem"));
    curl_easy_setopt(curl, CURLOPT_URL, urlBytes.constData());
    curl_easy_setopt(curl, CURLOPT_CAINFO, caBytes.constData());
    curl_easy_setopt(curl, CURLOPT_NOPROXY, "*");
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, discard);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, 20L);
    const CURLcode result = curl_easy_perform(curl);
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    curl_easy_cleanup(curl);
    return result == CURLE_OK && status == 200;
}

QStringList OAuthServer::issuedTokens() const {
    QFile f(dir_.filePath(QStringLiteral("tokens.json")));
    QStringList out;
    if (!f.open(QIODevice::ReadOnly))
        return out;
    const QJsonObject tokens = QJsonDocument::fromJson(f.readAll()).object();
    for (const QJsonValue& v : tokens.value(u"issued").toArray())
        out << v.toString();
    return out;
}

QList<QJsonObject> OAuthServer::tokenRequests() const {
    return jsonLines(QStringLiteral("requests.jsonl"));
}

int OAuthServer::countTokenRequests(const QString& grantType, const QString& outcome) const {
    int n = 0;
    for (const QJsonObject& r : tokenRequests())
        if (r.value(u"grant_type").toString() == grantType &&
            (outcome.isEmpty() || r.value(u"outcome").toString() == outcome))
            ++n;
    return n;
}

} // namespace testsupport
