// OAuth 2.0 sign-in for the mail transports: provider endpoints (presets for the two large
// hosted services), the device authorisation and client credentials grants, and access tokens.
#pragma once

#include <QDateTime>
#include <QString>
#include <QtGlobal>

#include <chrono>
#include <functional>
#include <memory>

namespace mail::oauth {

// How the program obtains its tokens.
enum class Grant : int {
    DeviceCode = 0,        // a person signs in once on any device; a refresh token is kept
    ClientCredentials = 1, // the application itself, with a client secret
};

// One provider as the settings describe it. Empty endpoints or scopes are taken from the
// preset named in `preset` (see Resolved).
struct Provider {
    QString preset; // "microsoft", "google", or "" for any other standard provider
    QString tenant; // directory of the organisation (Microsoft); "" for the default
    QString clientId;
    QString authorizeEndpoint;
    QString deviceEndpoint;
    QString tokenEndpoint;
    QString scopeSmtp;
    QString scopeEws;
    QString scopeGraph;
    Grant grant = Grant::DeviceCode;
};

// A provider preset, from the providers' public documentation. "{tenant}" in an endpoint
// stands for the tenant. `appScope*` are the scopes of the client credentials grant.
struct Preset {
    const char* id;
    const char* label;
    const char* defaultTenant;
    const char* authorizeEndpoint;
    const char* deviceEndpoint;
    const char* tokenEndpoint;
    const char* scopeSmtp;
    const char* scopeEws;
    const char* scopeGraph;
    const char* appScopeSmtp;
    const char* appScopeEws;
    const char* appScopeGraph;
};

// The presets, in the order the settings window lists them; nullptr when `id` is unknown.
const Preset* FindPreset(const QString& id);
const Preset* Presets(int& count);

// `provider` with the tenant put into the preset's endpoints and every empty endpoint or
// scope taken from its preset (for the grant it uses). Never fails; a provider without
// preset is returned as it is.
Provider Resolved(const Provider& provider);

// The scope to ask for when sending through `protocol` (an index of mail/engine/protocols.h;
// an unknown index asks for the SMTP scope).
QString ScopeFor(const Provider& provider, qint32 protocol);

// What is kept in the secrets file (readable by the program's user only).
struct Secrets {
    QString refreshToken;    // device grant: the long-lived token of the signed-in person
    QString clientSecret;    // client credentials grant (and providers that want one always)
    QString account;         // who signed in (display only)
    QString accessToken;     // the last access token, so a restart need not refresh at once
    QString accessScope;     // the scope it was issued for
    QDateTime accessExpires; // UTC
    QDateTime renewed;       // UTC: when the refresh token was last obtained (sign-in, renewal)
    QDateTime warned;        // UTC: the `renewed` a failing renewal was told for
};

// Reads the secrets file `native`. A missing file gives empty secrets and true. Refuses
// (false, French `error` telling what to do) a file that is not a regular file, belongs to
// another user, or can be read or written by anyone but its owner, and a file that does not
// parse.
bool LoadSecrets(const QString& native, Secrets& secrets, QString& error);

// Writes the secrets file atomically with mode 0600 (an existing file is set to 0600 too).
bool SaveSecrets(const QString& native, const Secrets& secrets, QString& error);

// Everything needed to obtain a bearer token for one send.
struct Login {
    Provider provider;   // resolved or not; resolved on use
    QString user;        // the mailbox login, sent as user name beside the token
    QString secretsFile; // native path of the secrets file
    qint32 protocol = 0; // the protocol index of the send: picks the scope
};

// Network settings of the calls to the provider.
struct HttpOptions {
    QString caFolder; // extra trusted CA certificates (PEM), may be ""
    std::chrono::milliseconds connect{30000};
    std::chrono::milliseconds response{60000};
};

// Error numbers of the token calls (same space as mail::Error).
namespace TokenError {
inline constexpr qint32 SignInNeeded = 1303; // no refresh token, or the provider refused it
inline constexpr qint32 Unreachable = 1304;  // the provider could not be reached (transient)
inline constexpr qint32 Refused = 1305;      // the provider refused the request (settings)
inline constexpr qint32 SecretsFile = 1306;  // the secrets file is unsafe or unreadable
inline constexpr qint32 Aborted = 1105;      // the program asked every transfer to stop
} // namespace TokenError

// An access token, or why there is none (code 0 on success).
struct Token {
    qint32 code = 0;
    QString description; // French, for the operator; never holds token text
    QString accessToken;
    QDateTime expires; // UTC
    QString account;
};

// The access token for `login`: the cached one while it is valid for more than the refresh
// margin, otherwise a new one from the token endpoint (refresh token or client credentials),
// stored in the secrets file. `forceNew` skips the cache (after the server refused the
// token). Thread-safe; blocks during the call to the provider.
Token AccessToken(const Login& login, const HttpOptions& http, bool forceNew = false);

// Forgets the cached tokens (tests; after a new sign-in the file is read again anyway).
void ForgetCachedTokens();

// How long before its expiry an access token is renewed (default 5 minutes).
void SetRefreshMargin(std::chrono::seconds margin);

// The clock of the token cache (UTC); tests move it. An empty function restores the real one.
void SetClock(std::function<QDateTime()> clock);
QDateTime Now();

// A person's sign-in ages out at the provider when its refresh token goes unused this long
// (Microsoft: 90 days, AADSTS700082). While the station sends nothing the program renews it
// after kRenewEveryDays, and tells the operator once when renewals fail with
// kRenewalWarningDays or fewer left.
inline constexpr int kRefreshTokenIdleDays = 90;
inline constexpr int kRenewEveryDays = 7;
inline constexpr int kRenewalWarningDays = 14;

// What KeepSignInAlive found or did.
struct Renewal {
    bool applies = false; // a person's sign-in (device grant) with a refresh token
    bool tried = false;   // a renewal was asked of the provider now
    qint32 code = 0;      // its failure (0: renewed, or nothing tried)
    QString description;  // French, never holds token text
    QDateTime due;        // UTC: when the sign-in ages out unless renewed (invalid: unknown)
    int daysLeft = -1;    // whole days before `due`; -1 when unknown
    QString incident;     // a line for the operator, given once per failing spell
};

// Keeps the sign-in of `login` from ageing out: renews its tokens (through the token
// endpoint, like a send does) once the last renewal is kRenewEveryDays old or unknown; after a
// failure it tries again at most once an hour. Publishes the deadline to the supervision.
// Thread-safe; blocks during the call to the provider. The clock is Now().
Renewal KeepSignInAlive(const Login& login, const HttpOptions& http);

// The first step of the device authorisation grant: what the person must open and type.
struct DeviceAuthorization {
    qint32 code = 0;
    QString description;
    QString deviceCode; // secret: never shown
    QString userCode;
    QString verificationUri;
    QString verificationUriComplete;
    int interval = 5;    // seconds between two polls
    int expiresIn = 900; // seconds
};

// Asks the provider's device endpoint for a user code for `scope`. Blocks.
DeviceAuthorization StartDeviceAuthorization(const Provider& provider, const QString& scope,
                                             const HttpOptions& http);

// Polls the token endpoint until the person signed in (stores the refresh token, account and
// access token in `secretsFile`), the code expired, the sign-in was declined or `cancelled`
// returns true. `account` names the login when the provider says nothing of it. Blocks;
// runs on any thread.
Token CompleteDeviceAuthorization(const Provider& provider, const QString& scope,
                                  const DeviceAuthorization& device, const QString& secretsFile,
                                  const QString& account, const HttpOptions& http,
                                  const std::function<bool()>& cancelled);

// The French instruction given when a new sign-in is needed.
QString SignInAgainText();

// Reads a provider's answer to a token request as the sign-in and the renewal do: fills `out`
// (token, expiry, account) and returns true when it holds a usable access token; otherwise
// fills out.code and out.description. `providerText` receives the provider's own error,
// cleaned, for an incident line. Reads any bytes; never fails.
bool ReadTokenReply(long status, const QByteArray& body, const QString& url, Token& out,
                    QString& providerText);

} // namespace mail::oauth
