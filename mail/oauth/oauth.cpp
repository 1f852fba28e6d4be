// OAuth 2.0 client on libcurl: form posts to the provider's endpoints, the secrets file, and a
// process-wide cache of access tokens renewed shortly before they expire.
#include "mail/oauth/oauth.h"

#include "mail/engine/https_call.h"
#include "mail/engine/mail_component.h"
#include "mail/engine/protocols.h"
#include "system/atomicfile.h"
#include "system/supervision.h"
#include "system/unique_fd.h"
#include "system/untrusted_text.h"

#include <QByteArray>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QList>
#include <QMap>
#include <QPair>
#include <QUrl>

#include <curl/curl.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace mail::oauth {

namespace {

// Public endpoints and scopes of the two large hosted services.
const Preset kPresets[] = {
    {"microsoft", "Microsoft 365 / Outlook.com", "common",
     "https://login.microsoftonline.com/{tenant}/oauth2/v2.0/authorize",
     "https://login.microsoftonline.com/{tenant}/oauth2/v2.0/devicecode",
     "https://login.microsoftonline.com/{tenant}/oauth2/v2.0/token",
     "https://outlook.office.com/SMTP.Send offline_access",
     "https://outlook.office365.com/EWS.AccessAsUser.All offline_access",
     "https://graph.microsoft.com/Mail.Send offline_access",
     "https://outlook.office365.com/.default", "https://outlook.office365.com/.default",
     "https://graph.microsoft.com/.default"},
    {"google", "Google / Gmail", "", "https://accounts.google.com/o/oauth2/v2/auth",
     "https://oauth2.googleapis.com/device/code", "https://oauth2.googleapis.com/token",
     "https://mail.google.com/", "", "", "", "", ""},
};

std::mutex clockMutex;
std::function<QDateTime()> clockFunction;
std::atomic<long long> refreshMarginSeconds{300};

// Text from a provider for an operator's line: no control characters, bounded.
QString cleanText(const QString& text) {
    return Untrusted::CleanQuoted(text);
}

// One form post to a provider endpoint.
struct Reply {
    CURLcode result = CURLE_OK;
    QString technical;
    bool aborted = false; // the program asked every transfer to stop
    long status = 0;
    QJsonObject json;
    bool isJson = false;
};

Reply postForm(const QString& url, const QList<QPair<QString, QString>>& fields,
               const HttpOptions& http) {
    detail::HttpsRequest request;
    request.url = url;
    for (const auto& [name, value] : fields) {
        if (!request.body.isEmpty())
            request.body += '&';
        request.body += QUrl::toPercentEncoding(name) + '=' + QUrl::toPercentEncoding(value);
    }
    // Secrets travel in these requests: only over TLS (the request's default).
    request.headers = {"Accept: application/json",
                       "Content-Type: application/x-www-form-urlencoded"};
    request.caFolder = http.caFolder;
    request.connectTimeout = http.connect;
    request.responseTimeout = http.response;
    request.totalTimeout = http.connect + http.response;
    request.maxReply = qsizetype{1024} * 1024; // a token answer is small
    const detail::HttpsReply answer = detail::HttpsCall(request);
    Reply reply;
    reply.result = answer.result;
    reply.technical = answer.technical;
    reply.aborted = answer.aborted;
    reply.status = answer.status;
    const QJsonDocument doc = QJsonDocument::fromJson(answer.body);
    reply.isJson = doc.isObject();
    reply.json = doc.object();
    return reply;
}

QString jsonText(const QJsonObject& json, const char* key) {
    return json.value(QLatin1String(key)).toString();
}

int jsonInt(const QJsonObject& json, const char* key, int fallback) {
    const QJsonValue v = json.value(QLatin1String(key));
    if (v.isDouble())
        return v.toInt(fallback);
    bool ok = false;
    const int n = v.toString().toInt(&ok);
    return ok ? n : fallback;
}

QString hostOf(const QString& url) {
    return QUrl(url).host();
}

// The provider's own error, "code : description", for an operator's line.
QString providerError(const Reply& r) {
    QString text = cleanText(jsonText(r.json, "error"));
    const QString detail = cleanText(jsonText(r.json, "error_description"));
    if (!detail.isEmpty())
        text += (text.isEmpty() ? QString() : QStringLiteral(" : ")) + detail;
    if (text.isEmpty())
        text = QStringLiteral("HTTP %1").arg(r.status);
    return text;
}

// Failures below HTTP; false when the provider answered.
bool unreachable(const Reply& r, const QString& url, Token& out) {
    if (r.result == CURLE_OK)
        return false;
    if (r.aborted) {
        out.code = TokenError::Aborted;
        out.description = QStringLiteral("Demande de jeton OAuth 2.0 à %1 interrompue par l'arrêt "
                                         "du programme.")
                              .arg(cleanText(hostOf(url)));
        return true;
    }
    out.code = TokenError::Unreachable;
    out.description =
        QStringLiteral("Le fournisseur OAuth 2.0 %1 ne répond pas (%2). Vérifiez la connexion "
                       "Internet de la station et l'adresse du point de jeton ; l'envoi sera "
                       "retenté.")
            .arg(cleanText(hostOf(url)), r.technical);
    return true;
}

// The account a token answer names: the id token's claims (display only, not verified).
QString accountFromIdToken(const QString& idToken) {
    const QStringList parts = idToken.split(u'.');
    if (parts.size() < 2)
        return {};
    const QByteArray payload = QByteArray::fromBase64(
        parts.at(1).toLatin1(), QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);
    const QJsonObject claims = QJsonDocument::fromJson(payload).object();
    for (const char* key : {"preferred_username", "email", "upn", "unique_name"}) {
        const QString value = cleanText(jsonText(claims, key));
        if (!value.isEmpty())
            return value;
    }
    return {};
}

// Fills `out` from a successful token answer.
bool readTokenAnswer(const Reply& r, const QString& url, Token& out) {
    const QString access = jsonText(r.json, "access_token");
    // The token goes into a header line and an SMTP command: printable ASCII only.
    const bool printable = std::all_of(access.cbegin(), access.cend(), [](QChar c) {
        return c.unicode() > 0x20 && c.unicode() < 0x7f;
    });
    if (access.isEmpty() || access.size() > 16384 || !printable) {
        out.code = TokenError::Refused;
        out.description = QStringLiteral("Le fournisseur OAuth 2.0 %1 n'a pas renvoyé de jeton "
                                         "d'accès utilisable (HTTP %2).")
                              .arg(cleanText(hostOf(url)))
                              .arg(r.status);
        return false;
    }
    out.accessToken = access;
    const int lifetime = std::max(1, jsonInt(r.json, "expires_in", 3600));
    out.expires = Now().addSecs(lifetime);
    out.account = accountFromIdToken(jsonText(r.json, "id_token"));
    return true;
}

QList<QPair<QString, QString>> clientFields(const Provider& p, const Secrets& secrets) {
    QList<QPair<QString, QString>> fields{{QStringLiteral("client_id"), p.clientId}};
    if (!secrets.clientSecret.isEmpty())
        fields.append({QStringLiteral("client_secret"), secrets.clientSecret});
    return fields;
}

// In-memory access tokens, by secrets file and scope, with the refresh token they came from
// (a new sign-in makes them stale).
struct CachedToken {
    QString accessToken;
    QDateTime expires;
    QString origin; // refresh token or client secret that produced it
};

std::mutex cacheMutex; // also serialises the calls to the token endpoint
QMap<QString, CachedToken>& cache() {
    static QMap<QString, CachedToken> instance;
    return instance;
}

QString originOf(const Provider& p, const Secrets& s) {
    return p.grant == Grant::ClientCredentials ? p.clientId + u'\n' + s.clientSecret
                                               : s.refreshToken;
}

bool fresh(const QDateTime& expires) {
    return expires.isValid() && Now().secsTo(expires) > refreshMarginSeconds.load();
}

// When a person's sign-in ages out unless renewed (invalid: unknown).
QDateTime renewalDue(const Secrets& secrets) {
    return secrets.renewed.isValid() ? secrets.renewed.addDays(kRefreshTokenIdleDays) : QDateTime();
}

// The last renewal the keeper asked for, by secrets file: after a failure it waits an hour.
std::mutex attemptMutex;
QMap<QString, QDateTime>& lastAttempts() {
    static QMap<QString, QDateTime> instance;
    return instance;
}

} // namespace

const Preset* Presets(int& count) {
    count = static_cast<int>(std::size(kPresets));
    return kPresets;
}

const Preset* FindPreset(const QString& id) {
    for (const Preset& p : kPresets)
        if (id.compare(QLatin1String(p.id), Qt::CaseInsensitive) == 0)
            return &p;
    return nullptr;
}

Provider Resolved(const Provider& provider) {
    Provider p = provider;
    const Preset* preset = FindPreset(p.preset);
    if (!preset)
        return p;
    const QString tenant = p.tenant.trimmed().isEmpty() ? QString::fromLatin1(preset->defaultTenant)
                                                        : p.tenant.trimmed();
    const auto fill = [&](QString& field, const char* value) {
        if (field.trimmed().isEmpty())
            field = QString::fromLatin1(value).replace(
                QLatin1String("{tenant}"), QString::fromUtf8(QUrl::toPercentEncoding(tenant)));
    };
    fill(p.authorizeEndpoint, preset->authorizeEndpoint);
    fill(p.deviceEndpoint, preset->deviceEndpoint);
    fill(p.tokenEndpoint, preset->tokenEndpoint);
    const bool app = p.grant == Grant::ClientCredentials;
    fill(p.scopeSmtp, app ? preset->appScopeSmtp : preset->scopeSmtp);
    fill(p.scopeEws, app ? preset->appScopeEws : preset->scopeEws);
    fill(p.scopeGraph, app ? preset->appScopeGraph : preset->scopeGraph);
    return p;
}

QString ScopeFor(const Provider& provider, qint32 protocol) {
    const ProtocolInfo* info = FindProtocol(protocol);
    switch (info ? info->scope : ScopeKind::Smtp) {
    case ScopeKind::Ews:
        return provider.scopeEws;
    case ScopeKind::Graph:
        return provider.scopeGraph;
    case ScopeKind::Smtp:
        break;
    }
    return provider.scopeSmtp;
}

QString SignInAgainText() {
    return QStringLiteral("Reconnectez-vous avec le bouton « OAuth 2.0... » de la page "
                          "Paramétrage, puis « Se connecter », ou sur une station sans écran avec "
                          "la commande « VL3_Postique --oauth-login ».");
}

bool LoadSecrets(const QString& native, Secrets& secrets, QString& error) {
    secrets = Secrets{};
    const Posix::UniqueFd file = Posix::UniqueFd::open(native, O_RDONLY | O_NOFOLLOW | O_NONBLOCK);
    const int fd = file.get();
    if (fd < 0) {
        if (errno == ENOENT)
            return true;
        error = QStringLiteral("Le fichier des jetons OAuth 2.0 %1 ne peut pas être lu (%2). "
                               "Vérifiez qu'il s'agit d'un fichier ordinaire appartenant à "
                               "l'utilisateur du programme.")
                    .arg(native, QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > off_t{256} * 1024) {
        error = QStringLiteral("Le fichier des jetons OAuth 2.0 %1 n'est pas un fichier ordinaire "
                               "de taille raisonnable ; il n'est pas utilisé.")
                    .arg(native);
        return false;
    }
    if (st.st_uid != ::geteuid() || (st.st_mode & 077) != 0) {
        error = QStringLiteral("Le fichier des jetons OAuth 2.0 %1 est accessible à d'autres "
                               "utilisateurs (droits %2) ; il n'est pas utilisé. Rendez-le lisible "
                               "par l'utilisateur du programme seul (chmod 600), puis "
                               "reconnectez-vous : le jeton a pu être lu.")
                    .arg(native, QString::number(st.st_mode & 0777, 8));
        return false;
    }
    QByteArray data;
    char buffer[8192];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        data.append(buffer, n);
    }
    if (data.trimmed().isEmpty())
        return true;
    const QJsonDocument doc = QJsonDocument::fromJson(data);
    if (!doc.isObject()) {
        error = QStringLiteral("Le fichier des jetons OAuth 2.0 %1 est illisible. %2")
                    .arg(native, SignInAgainText());
        return false;
    }
    const QJsonObject o = doc.object();
    secrets.refreshToken = jsonText(o, "refresh_token");
    secrets.clientSecret = jsonText(o, "client_secret");
    secrets.account = jsonText(o, "account");
    secrets.accessToken = jsonText(o, "access_token");
    secrets.accessScope = jsonText(o, "access_scope");
    secrets.accessExpires = QDateTime::fromString(jsonText(o, "access_expires"), Qt::ISODate);
    secrets.renewed = QDateTime::fromString(jsonText(o, "renewed"), Qt::ISODateWithMs);
    secrets.warned = QDateTime::fromString(jsonText(o, "renewal_warned"), Qt::ISODateWithMs);
    return true;
}

bool SaveSecrets(const QString& native, const Secrets& secrets, QString& error) {
    QJsonObject o;
    const auto put = [&](const char* key, const QString& value) {
        if (!value.isEmpty())
            o.insert(QLatin1String(key), value);
    };
    put("refresh_token", secrets.refreshToken);
    put("client_secret", secrets.clientSecret);
    put("account", secrets.account);
    put("access_token", secrets.accessToken);
    put("access_scope", secrets.accessScope);
    if (secrets.accessExpires.isValid())
        put("access_expires", secrets.accessExpires.toUTC().toString(Qt::ISODate));
    if (secrets.renewed.isValid())
        put("renewed", secrets.renewed.toUTC().toString(Qt::ISODateWithMs));
    if (secrets.warned.isValid())
        put("renewal_warned", secrets.warned.toUTC().toString(Qt::ISODateWithMs));
    // An existing file keeps its mode through the replacement: make it private first.
    ::chmod(QFile::encodeName(native).constData(), 0600);
    QString why;
    if (!AtomicFile::replace(native, QJsonDocument(o).toJson(QJsonDocument::Indented), &why,
                             0600u)) {
        error = QStringLiteral("Le fichier des jetons OAuth 2.0 %1 ne peut pas être écrit (%2).")
                    .arg(native, why);
        return false;
    }
    return true;
}

void SetRefreshMargin(std::chrono::seconds margin) {
    refreshMarginSeconds = margin.count();
}

void SetClock(std::function<QDateTime()> clock) {
    std::lock_guard lock(clockMutex);
    clockFunction = std::move(clock);
}

QDateTime Now() {
    {
        std::lock_guard lock(clockMutex);
        if (clockFunction)
            return clockFunction().toUTC();
    }
    return QDateTime::currentDateTimeUtc();
}

void ForgetCachedTokens() {
    std::lock_guard lock(cacheMutex);
    cache().clear();
}

static Token accessTokenOnce(const Login& login, const HttpOptions& http, bool forceNew) {
    const Provider p = Resolved(login.provider);
    const QString scope = ScopeFor(p, login.protocol);
    Token out;
    std::lock_guard lock(cacheMutex);
    Secrets secrets;
    QString error;
    if (!LoadSecrets(login.secretsFile, secrets, error)) {
        out.code = TokenError::SecretsFile;
        out.description = error;
        return out;
    }
    out.account = secrets.account.isEmpty() ? login.user : secrets.account;
    if (p.grant != Grant::ClientCredentials && !secrets.refreshToken.isEmpty())
        Supervision::SetSignInRenewalDue(renewalDue(secrets));
    if (p.tokenEndpoint.isEmpty() || p.clientId.isEmpty()) {
        out.code = TokenError::Refused;
        out.description = QStringLiteral("OAuth 2.0 : l'identifiant du client (client id) ou le "
                                         "point de jeton du fournisseur n'est pas renseigné. "
                                         "Complétez la fenêtre « OAuth 2.0... » de la page "
                                         "Paramétrage.");
        return out;
    }
    const bool app = p.grant == Grant::ClientCredentials;
    if (app && secrets.clientSecret.isEmpty()) {
        out.code = TokenError::SignInNeeded;
        out.description = QStringLiteral("OAuth 2.0 : aucun secret du client n'est enregistré "
                                         "pour l'accès en tant qu'application. Saisissez-le dans "
                                         "la fenêtre « OAuth 2.0... » de la page Paramétrage "
                                         "(ou avec « VL3_Postique --oauth-login ») et "
                                         "enregistrez.");
        return out;
    }
    if (!app && secrets.refreshToken.isEmpty()) {
        out.code = TokenError::SignInNeeded;
        out.description =
            QStringLiteral("OAuth 2.0 : personne n'est connecté pour le compte %1. %2")
                .arg(cleanText(login.user), SignInAgainText());
        return out;
    }

    const QString origin = originOf(p, secrets);
    const QString key = login.secretsFile + u'\n' + p.clientId + u'\n' + scope;
    if (!forceNew) {
        const auto it = cache().constFind(key);
        if (it != cache().constEnd() && it->origin == origin && fresh(it->expires)) {
            out.accessToken = it->accessToken;
            out.expires = it->expires;
            Supervision::SetTokenExpiry(out.expires);
            return out;
        }
        if (secrets.accessScope == scope && !secrets.accessToken.isEmpty() &&
            fresh(secrets.accessExpires)) {
            cache().insert(key, {secrets.accessToken, secrets.accessExpires, origin});
            out.accessToken = secrets.accessToken;
            out.expires = secrets.accessExpires;
            Supervision::SetTokenExpiry(out.expires);
            return out;
        }
    }

    QList<QPair<QString, QString>> fields = clientFields(p, secrets);
    if (app) {
        fields.append({QStringLiteral("grant_type"), QStringLiteral("client_credentials")});
    } else {
        fields.append({QStringLiteral("grant_type"), QStringLiteral("refresh_token")});
        fields.append({QStringLiteral("refresh_token"), secrets.refreshToken});
    }
    if (!scope.isEmpty())
        fields.append({QStringLiteral("scope"), scope});
    const Reply r = postForm(p.tokenEndpoint, fields, http);
    if (unreachable(r, p.tokenEndpoint, out))
        return out;
    if (r.status != 200) {
        const QString why = providerError(r);
        // A server error of the provider is worth another try; a refusal needs the operator.
        if (r.status >= 500) {
            out.code = TokenError::Unreachable;
            out.description = QStringLiteral("Le fournisseur OAuth 2.0 %1 est indisponible (%2) ; "
                                             "l'envoi sera retenté.")
                                  .arg(cleanText(hostOf(p.tokenEndpoint)), why);
        } else if (app) {
            out.code = TokenError::Refused;
            out.description =
                QStringLiteral("Le fournisseur OAuth 2.0 %1 refuse l'accès de l'application "
                               "(%2). Vérifiez l'identifiant du client, le secret du client, le "
                               "tenant et les droits accordés à l'application, puis enregistrez "
                               "un nouveau secret s'il a expiré.")
                    .arg(cleanText(hostOf(p.tokenEndpoint)), why);
        } else {
            out.code = TokenError::SignInNeeded;
            out.description =
                QStringLiteral("Le fournisseur OAuth 2.0 %1 refuse de renouveler le jeton du "
                               "compte %2 (%3) : la connexion a expiré ou a été révoquée. %4")
                    .arg(cleanText(hostOf(p.tokenEndpoint)), cleanText(out.account), why,
                         SignInAgainText());
        }
        return out;
    }
    const QString account = out.account;
    if (!readTokenAnswer(r, p.tokenEndpoint, out))
        return out;
    if (out.account.isEmpty())
        out.account = account;
    // Providers may hand out a new refresh token with each renewal: keep the newest.
    const QString rotated = jsonText(r.json, "refresh_token");
    if (!app && !rotated.isEmpty())
        secrets.refreshToken = rotated;
    // Each renewal starts the refresh token's idle lifetime again.
    if (!app) {
        secrets.renewed = Now();
        Supervision::SetSignInRenewalDue(renewalDue(secrets));
    }
    secrets.account = out.account;
    secrets.accessToken = out.accessToken;
    secrets.accessScope = scope;
    secrets.accessExpires = out.expires;
    if (!SaveSecrets(login.secretsFile, secrets, error)) {
        // The token works for this send; a rotated refresh token that could not be kept
        // would be lost, so the operator hears of it now.
        if (!rotated.isEmpty()) {
            out.code = TokenError::SecretsFile;
            out.description = error;
            return out;
        }
    }
    cache().insert(key, {out.accessToken, out.expires, originOf(p, secrets)});
    Supervision::SetTokenExpiry(out.expires);
    return out;
}

Token AccessToken(const Login& login, const HttpOptions& http, bool forceNew) {
    Token out = accessTokenOnce(login, http, forceNew);
    // A sign-in that needs the operator makes the station unhealthy until a token is had.
    if (out.code == TokenError::SignInNeeded || out.code == TokenError::Refused)
        Supervision::SetSignInProblem(out.description);
    return out;
}

Renewal KeepSignInAlive(const Login& login, const HttpOptions& http) {
    Renewal out;
    if (Resolved(login.provider).grant == Grant::ClientCredentials)
        return out; // no refresh token: nothing ages out on the program's side
    const QDateTime now = Now();
    Secrets secrets;
    QString error;
    const auto load = [&] {
        std::lock_guard lock(cacheMutex);
        return LoadSecrets(login.secretsFile, secrets, error);
    };
    const auto publish = [&] {
        out.due = renewalDue(secrets);
        out.daysLeft =
            out.due.isValid() ? int(std::max<qint64>(0, now.secsTo(out.due) / 86400)) : -1;
        Supervision::SetSignInRenewalDue(out.due);
    };
    if (!load()) {
        out.code = TokenError::SecretsFile;
        out.description = error;
        return out;
    }
    if (secrets.refreshToken.isEmpty()) {
        Supervision::SetSignInRenewalDue({});
        return out;
    }
    out.applies = true;
    publish();
    if (secrets.renewed.isValid() && secrets.renewed <= now &&
        secrets.renewed.secsTo(now) < qint64{kRenewEveryDays} * 86400)
        return out;
    {
        std::lock_guard lock(attemptMutex);
        QDateTime& last = lastAttempts()[login.secretsFile];
        if (last.isValid() && last <= now && last.secsTo(now) < 3600)
            return out;
        last = now;
    }
    out.tried = true;
    const Token token = AccessToken(login, http, true);
    if (token.code == 0 || token.code == TokenError::Aborted) {
        if (token.code == 0) {
            std::lock_guard lock(attemptMutex);
            lastAttempts().remove(login.secretsFile);
        }
        if (load())
            publish();
        return out;
    }
    out.code = token.code;
    out.description = token.description;
    // Told once per failing spell: when the deadline is close, or at once when the provider
    // refused the renewal (the sign-in is lost whatever the date).
    const bool refused =
        token.code == TokenError::SignInNeeded || token.code == TokenError::Refused;
    const bool close = out.daysLeft >= 0 && out.daysLeft <= kRenewalWarningDays;
    if (!refused && !close)
        return out;
    std::lock_guard lock(cacheMutex);
    if (!LoadSecrets(login.secretsFile, secrets, error) || secrets.refreshToken.isEmpty())
        return out;
    const QDateTime mark = secrets.renewed.isValid() ? secrets.renewed : now;
    if (secrets.warned.isValid() && (!secrets.renewed.isValid() || secrets.warned == mark))
        return out;
    secrets.warned = mark;
    SaveSecrets(login.secretsFile, secrets, error);
    const QString account = cleanText(secrets.account.isEmpty() ? login.user : secrets.account);
    // A refusal says itself that the sign-in is lost and how to sign in again.
    out.incident =
        refused ? token.description
        : out.due.isValid()
            ? QStringLiteral("La connexion OAuth 2.0 du compte %1 n'a pas pu être renouvelée ; "
                             "elle expire dans %2 jour(s), le %3, si aucun renouvellement ne "
                             "réussit d'ici là. %4")
                  .arg(account)
                  .arg(out.daysLeft)
                  .arg(out.due.toLocalTime().toString(QStringLiteral("dd/MM/yyyy")),
                       token.description)
            : QStringLiteral("La connexion OAuth 2.0 du compte %1 n'a pas pu être renouvelée. %2")
                  .arg(account, token.description);
    return out;
}

DeviceAuthorization StartDeviceAuthorization(const Provider& provider, const QString& scope,
                                             const HttpOptions& http) {
    const Provider p = Resolved(provider);
    DeviceAuthorization out;
    if (p.deviceEndpoint.isEmpty() || p.clientId.isEmpty()) {
        out.code = TokenError::Refused;
        out.description = QStringLiteral("OAuth 2.0 : l'identifiant du client (client id) ou le "
                                         "point d'autorisation d'appareil n'est pas renseigné.");
        return out;
    }
    QList<QPair<QString, QString>> fields{{QStringLiteral("client_id"), p.clientId}};
    if (!scope.isEmpty())
        fields.append({QStringLiteral("scope"), scope});
    const Reply r = postForm(p.deviceEndpoint, fields, http);
    Token failure;
    if (unreachable(r, p.deviceEndpoint, failure)) {
        out.code = failure.code;
        out.description = failure.description;
        return out;
    }
    out.deviceCode = jsonText(r.json, "device_code");
    out.userCode = cleanText(jsonText(r.json, "user_code"));
    out.verificationUri = cleanText(jsonText(r.json, "verification_uri"));
    if (out.verificationUri.isEmpty()) // an older name some providers still use
        out.verificationUri = cleanText(jsonText(r.json, "verification_url"));
    out.verificationUriComplete = cleanText(jsonText(r.json, "verification_uri_complete"));
    out.interval = std::clamp(jsonInt(r.json, "interval", 5), 1, 60);
    out.expiresIn = std::clamp(jsonInt(r.json, "expires_in", 900), 1, 24 * 3600);
    if (r.status != 200 || out.deviceCode.isEmpty() || out.userCode.isEmpty() ||
        out.verificationUri.isEmpty()) {
        out.code = TokenError::Refused;
        out.description = QStringLiteral("Le fournisseur OAuth 2.0 %1 refuse la demande de "
                                         "connexion (%2). Vérifiez l'identifiant du client, le "
                                         "tenant et les autorisations (scopes).")
                              .arg(cleanText(hostOf(p.deviceEndpoint)), providerError(r));
    }
    return out;
}

Token CompleteDeviceAuthorization(const Provider& provider, const QString& scope,
                                  const DeviceAuthorization& device, const QString& secretsFile,
                                  const QString& account, const HttpOptions& http,
                                  const std::function<bool()>& cancelled) {
    const Provider p = Resolved(provider);
    Token out;
    Secrets secrets;
    QString error;
    if (!LoadSecrets(secretsFile, secrets, error)) {
        out.code = TokenError::SecretsFile;
        out.description = error;
        return out;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(device.expiresIn);
    auto interval = std::chrono::seconds(device.interval);
    const auto wait = [&](std::chrono::seconds span) {
        const auto until = std::chrono::steady_clock::now() + span;
        while (std::chrono::steady_clock::now() < until) {
            if ((cancelled && cancelled()) || AbortRequested())
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return true;
    };
    for (;;) {
        if (!wait(interval)) {
            out.code = TokenError::SignInNeeded;
            out.description = QStringLiteral("Connexion OAuth 2.0 annulée.");
            return out;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            out.code = TokenError::SignInNeeded;
            out.description = QStringLiteral("Le code de connexion OAuth 2.0 a expiré avant la "
                                             "connexion. Recommencez la connexion.");
            return out;
        }
        QList<QPair<QString, QString>> fields = clientFields(p, secrets);
        fields.append({QStringLiteral("grant_type"),
                       QStringLiteral("urn:ietf:params:oauth:grant-type:device_code")});
        fields.append({QStringLiteral("device_code"), device.deviceCode});
        const Reply r = postForm(p.tokenEndpoint, fields, http);
        if (r.aborted) {
            unreachable(r, p.tokenEndpoint, out);
            return out;
        }
        if (r.result != CURLE_OK)
            continue; // a passing network fault: the code stays valid, poll again
        if (r.status == 200) {
            if (!readTokenAnswer(r, p.tokenEndpoint, out))
                return out;
            if (out.account.isEmpty())
                out.account = cleanText(account);
            const QString refresh = jsonText(r.json, "refresh_token");
            if (refresh.isEmpty()) {
                out.code = TokenError::Refused;
                out.description =
                    QStringLiteral("Le fournisseur OAuth 2.0 %1 n'a pas donné de jeton de "
                                   "renouvellement : ajoutez « offline_access » aux autorisations "
                                   "(scopes) et reconnectez-vous.")
                        .arg(cleanText(hostOf(p.tokenEndpoint)));
                return out;
            }
            secrets.refreshToken = refresh;
            secrets.renewed = Now();
            Supervision::SetSignInRenewalDue(renewalDue(secrets));
            secrets.account = out.account;
            secrets.accessToken = out.accessToken;
            secrets.accessScope = scope;
            secrets.accessExpires = out.expires;
            if (!SaveSecrets(secretsFile, secrets, error)) {
                out.code = TokenError::SecretsFile;
                out.description = error;
                return out;
            }
            std::lock_guard lock(cacheMutex);
            cache().clear(); // tokens of an earlier sign-in are stale
            return out;
        }
        const QString code = jsonText(r.json, "error");
        if (code == QLatin1String("authorization_pending"))
            continue;
        if (code == QLatin1String("slow_down")) {
            interval += std::chrono::seconds(5);
            continue;
        }
        out.code = TokenError::SignInNeeded;
        if (code == QLatin1String("expired_token"))
            out.description = QStringLiteral("Le code de connexion OAuth 2.0 a expiré avant la "
                                             "connexion. Recommencez la connexion.");
        else if (code == QLatin1String("access_denied"))
            out.description = QStringLiteral("La connexion OAuth 2.0 a été refusée sur la page du "
                                             "fournisseur. Recommencez la connexion.");
        else
            out.description = QStringLiteral("Le fournisseur OAuth 2.0 %1 refuse la connexion "
                                             "(%2). Vérifiez l'identifiant du client et le "
                                             "tenant.")
                                  .arg(cleanText(hostOf(p.tokenEndpoint)), providerError(r));
        return out;
    }
}

bool ReadTokenReply(long status, const QByteArray& body, const QString& url, Token& out,
                    QString& providerText) {
    Reply reply;
    reply.status = status;
    const QJsonDocument doc = QJsonDocument::fromJson(body);
    reply.isJson = doc.isObject();
    reply.json = doc.object();
    providerText = providerError(reply);
    return readTokenAnswer(reply, url, out);
}

} // namespace mail::oauth
