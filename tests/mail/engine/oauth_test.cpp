// OAuth 2.0 against real peers on loopback: the authorisation server of the tests (device
// code, token, refresh), the SMTP peer taking AUTH XOAUTH2 and the EWS peer taking the bearer
// header. The test plays the person who signs in.
#include "mail/engine/destinations.h"
#include "mail/engine/mail_component.h"
#include "mail/engine/server_probe.h"
#include "mail/oauth/oauth.h"
#include "support/https_fixture.h"
#include "support/mail/oauth_fixture.h"
#include "support/smtp_fixture.h"
#include "system/globals.h"
#include "system/supervision.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <sys/stat.h>

#include <atomic>
#include <future>
#include <thread>

#include <gtest/gtest.h>

using namespace testsupport;
namespace oauth = mail::oauth;

namespace {

constexpr const char* kLogin = "alice@example.test";

// One authorisation server, a secrets file and the program's trust in the test CA.
class Scene {
public:
    Scene() {
        savedSettingsFolder_ = Lib_Public::DossierSettingsProgramme;
        if (!server.isRunning())
            return;
        // The program trusts the PEM files of its settings folder's "CA": the test CA.
        Lib_Public::DossierSettingsProgramme = QDir(server.caFolder()).absolutePath().chopped(2);
        secretsFile = dir.filePath(QStringLiteral("VL3_Postique_OAuth2.json"));
        http.caFolder = server.caFolder();
        http.connect = std::chrono::milliseconds(5000);
        http.response = std::chrono::milliseconds(10000);
        mail::SetDefaultTimeLimits(
            {std::chrono::milliseconds(5000), std::chrono::milliseconds(10000)});
        oauth::ForgetCachedTokens();
    }
    ~Scene() {
        oauth::SetClock({});
        oauth::ForgetCachedTokens();
        mail::CloseIdleSessions();
        mail::SetDefaultTimeLimits({});
        Lib_Public::DossierSettingsProgramme = savedSettingsFolder_;
    }

    // The person signs in through the device code (or declines); the sign-in's outcome.
    oauth::Token signIn(const oauth::Provider& provider, bool decline = false) {
        const QString scope = oauth::ScopeFor(provider, 0);
        const oauth::DeviceAuthorization device =
            oauth::StartDeviceAuthorization(provider, scope, http);
        EXPECT_EQ(device.code, 0) << device.description.toStdString();
        auto waiting = std::async(std::launch::async, [&] {
            return oauth::CompleteDeviceAuthorization(provider, scope, device, secretsFile,
                                                      QString(), http, {});
        });
        // The person opens the page a moment later, while the program polls.
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        EXPECT_TRUE(server.signIn(device.userCode, QString::fromLatin1(kLogin), decline));
        return waiting.get();
    }

    std::shared_ptr<oauth::Login> login(const oauth::Provider& provider) const {
        auto l = std::make_shared<oauth::Login>();
        l->provider = provider;
        l->user = QString::fromLatin1(kLogin);
        l->secretsFile = secretsFile;
        return l;
    }

    // One mail through SMTP (protocol 0) or EWS (protocol 1) with the OAuth 2.0 login.
    qint32 send(std::shared_ptr<oauth::Login> l, qint32 protocol, quint16 port,
                QString* description = nullptr) {
        mail::MailMessage m;
        // Graph takes its port in the server field, as the settings page lists none for it.
        m.setServer(protocol == mail::Protocol::Graph ? QStringLiteral("127.0.0.1:%1").arg(port)
                                                      : QStringLiteral("127.0.0.1"));
        m.setPort(port);
        m.setProtocol(protocol);
        if (protocol == mail::Protocol::ExchangeWebService)
            m.setConnectionMode(mail::ConnectionMode::Ssl);
        m.setUserName(QString::fromLatin1(kLogin));
        m.setTrustedCaFolder(http.caFolder);
        m.setOAuthLogin(std::move(l));
        m.setSenderAddress(QString::fromLatin1(kLogin));
        m.addRecipients(QStringLiteral("bob@example.test"), 0);
        m.setSubject(QStringLiteral("jeton"));
        m.setBody(QStringLiteral("corps"));
        const qint32 code = m.send();
        if (description)
            *description = m.lastErrorDescription();
        return code;
    }

    std::unique_ptr<SmtpServer> smtpPeer() const {
        SmtpServerOptions options;
        options.auth = SmtpServerOptions::Auth::Required;
        options.bearerState = server.stateDir();
        return std::make_unique<SmtpServer>(options);
    }

    // Fails the test when a text the server issued as a token appears in `output`.
    void expectNoTokenIn(const QString& output) const {
        for (const QString& token : server.issuedTokens())
            EXPECT_FALSE(output.contains(token)) << "token text in: " << output.toStdString();
    }

    OAuthServer server;
    QTemporaryDir dir;
    QString secretsFile;
    oauth::HttpOptions http;

private:
    QString savedSettingsFolder_;
};

mode_t modeOf(const QString& path) {
    struct stat st {};
    ::stat(QFile::encodeName(path).constData(), &st);
    return st.st_mode & 0777;
}

} // namespace

TEST(OAuth, DeviceSignInThenSmtpWithTheFreshTokenAndNoRefresh) {
    Scene scene;
    ASSERT_TRUE(scene.server.isRunning()) << scene.server.error().toStdString();
    const oauth::Token token = scene.signIn(scene.server.provider());
    ASSERT_EQ(token.code, 0) << token.description.toStdString();
    EXPECT_EQ(token.account, QString::fromLatin1(kLogin)) << "taken from the id token";
    EXPECT_EQ(modeOf(scene.secretsFile), 0600u) << "the refresh token is for its owner only";

    // Both SASL mechanisms for bearer tokens, each sent with the login as user name.
    for (const QString& mechanism : {QStringLiteral("XOAUTH2"), QStringLiteral("OAUTHBEARER")}) {
        SCOPED_TRACE(mechanism.toStdString());
        SmtpServerOptions options;
        options.auth = SmtpServerOptions::Auth::Required;
        options.bearerState = scene.server.stateDir();
        options.bearerMechanisms = mechanism;
        SmtpServer peer(options);
        ASSERT_TRUE(peer.isRunning()) << peer.error().toStdString();
        QString why;
        ASSERT_EQ(scene.send(scene.login(scene.server.provider()), 0, peer.port(), &why), 0)
            << why.toStdString();
        ASSERT_TRUE(peer.waitForMessages(1));
        EXPECT_EQ(peer.messages().at(0).authUser, QString::fromLatin1(kLogin));
        EXPECT_EQ(peer.messages().at(0).authMechanism, mechanism);
    }
    EXPECT_EQ(scene.server.countTokenRequests(QStringLiteral("refresh_token")), 0)
        << "the sign-in's token is used while it is valid";
}

// The token's life after a sign-in: reused while valid, renewed shortly before or after its
// end, renewed once after the server refused it, and a refused renewal that stops the mail
// with the sign-in instruction. Every case through SMTP, EWS and Graph.
TEST(OAuth, TokenRenewal) {
    const struct {
        const char* name;
        void (*provider)(OAuthServer&); // what the provider does after the sign-in
        qint64 clockShift;              // seconds our clock moves on (tokens live 3600 s)
        qint32 expectedCode;
        int expectedRefreshes;
    } cases[] = {
        {"valid token reused", nullptr, 0, 0, 0},
        {"token near its end renewed", nullptr, 3600 - 60, 0, 1},
        {"expired token renewed", nullptr, 7200, 0, 1},
        {"token refused by the server renewed once",
         [](OAuthServer& s) { s.refuseIssuedAccessTokens(); }, 0, 0, 1},
        {"revoked refresh token",
         [](OAuthServer& s) {
             s.setControl({{"revoked", true}});
         },
         7200, mail::Error::OAuthSignInNeeded, 1},
        {"provider down",
         [](OAuthServer& s) {
             s.setControl({{"unavailable", true}});
         },
         7200, mail::Error::OAuthUnreachable, 1},
    };
    for (const qint32 protocol :
         {mail::Protocol::Smtp, mail::Protocol::ExchangeWebService, mail::Protocol::Graph}) {
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(c.name) + " (protocol " + std::to_string(protocol) + ")");
            Scene scene;
            ASSERT_TRUE(scene.server.isRunning()) << scene.server.error().toStdString();
            oauth::Provider provider = scene.server.provider();
            // EWS: sign in for EWS straight away, so a renewal is never for another scope.
            if (protocol != 0)
                provider.scopeSmtp =
                    protocol == mail::Protocol::Graph ? provider.scopeGraph : provider.scopeEws;
            ASSERT_EQ(scene.signIn(provider).code, 0);
            if (c.provider)
                c.provider(scene.server);
            const QDateTime shifted = QDateTime::currentDateTimeUtc().addSecs(c.clockShift);
            if (c.clockShift)
                oauth::SetClock([shifted] { return shifted; });

            std::unique_ptr<SmtpServer> smtp;
            std::unique_ptr<HttpsServer> ews;
            quint16 port = 0;
            if (protocol == 0) {
                smtp = scene.smtpPeer();
                ASSERT_TRUE(smtp->isRunning());
                port = smtp->port();
            } else {
                HttpsServerOptions options;
                options.bearerState = scene.server.stateDir();
                options.mailbox = QString::fromLatin1(kLogin); // Graph's path
                ews = std::make_unique<HttpsServer>(options);
                ASSERT_TRUE(ews->isRunning()) << ews->error().toStdString();
                port = ews->port();
            }
            QString why;
            EXPECT_EQ(scene.send(scene.login(provider), protocol, port, &why), c.expectedCode)
                << why.toStdString();
            EXPECT_EQ(scene.server.countTokenRequests(QStringLiteral("refresh_token")),
                      c.expectedRefreshes);
            const int delivered = smtp ? static_cast<int>(smtp->messages().size())
                                       : static_cast<int>(ews->requests().size());
            EXPECT_EQ(delivered, c.expectedCode == 0 ? 1 : 0);
            if (ews && !ews->requests().isEmpty()) {
                EXPECT_TRUE(ews->requests()
                                .last()
                                .value(u"headers")
                                .toObject()
                                .value(u"Authorization")
                                .toString()
                                .startsWith(u"Bearer "));
            }
            if (c.expectedCode == mail::Error::OAuthSignInNeeded) {
                EXPECT_TRUE(why.contains(QStringLiteral("Reconnectez-vous"))) << why.toStdString();
                EXPECT_TRUE(why.contains(QStringLiteral("--oauth-login"))) << why.toStdString();
            }
            scene.expectNoTokenIn(why);
        }
    }
}

// A token request made inside a send obeys the program's stop request, however long the
// provider takes.
TEST(OAuth, StopRequestEndsATokenRequest) {
    Scene scene;
    ASSERT_TRUE(scene.server.isRunning());
    ASSERT_EQ(scene.signIn(scene.server.provider()).code, 0);
    scene.server.setControl({{"delay", 60}});
    std::atomic<bool> stop{false};
    mail::SetAbortFlag(&stop);
    auto asking = std::async(std::launch::async, [&] {
        return oauth::AccessToken(*scene.login(scene.server.provider()), scene.http, true);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    stop = true;
    const oauth::Token token = asking.get(); // the provider would answer after 60 s
    mail::SetAbortFlag(nullptr);
    EXPECT_EQ(token.code, mail::Error::Aborted) << token.description.toStdString();
}

// A server that keeps refusing even the renewed token: one renewal, then the incident.
TEST(OAuth, TokenRefusedTwiceIsReportedAfterOneRenewal) {
    Scene scene;
    ASSERT_TRUE(scene.server.isRunning());
    ASSERT_EQ(scene.signIn(scene.server.provider()).code, 0);
    SmtpServerOptions options;
    options.auth = SmtpServerOptions::Auth::Required;
    options.bearerState = scene.server.stateDir();
    // Every token counts as issued before "not_before" in the far future.
    scene.server.setControl({{"not_before", 4102444800.0}});
    SmtpServer peer(options);
    ASSERT_TRUE(peer.isRunning());
    QString why;
    EXPECT_EQ(scene.send(scene.login(scene.server.provider()), 0, peer.port(), &why),
              mail::Error::LoginRefused);
    EXPECT_EQ(scene.server.countTokenRequests(QStringLiteral("refresh_token")), 1);
    EXPECT_TRUE(why.contains(QStringLiteral("jeton OAuth 2.0"))) << why.toStdString();
    EXPECT_TRUE(peer.messages().isEmpty());
    scene.expectNoTokenIn(why);
}

TEST(OAuth, DeviceSignInFailures) {
    Scene scene;
    ASSERT_TRUE(scene.server.isRunning());
    // Declined on the provider's page.
    oauth::Token declined = scene.signIn(scene.server.provider(), true);
    EXPECT_EQ(declined.code, oauth::TokenError::SignInNeeded);
    EXPECT_TRUE(declined.description.contains(QStringLiteral("refusée")))
        << declined.description.toStdString();
    // The code expires before anybody signs in.
    scene.server.setControl({{"device_ttl", 1}});
    const oauth::Provider provider = scene.server.provider();
    const oauth::DeviceAuthorization device =
        oauth::StartDeviceAuthorization(provider, provider.scopeSmtp, scene.http);
    ASSERT_EQ(device.code, 0);
    const oauth::Token expired = oauth::CompleteDeviceAuthorization(
        provider, provider.scopeSmtp, device, scene.secretsFile, QString(), scene.http, {});
    EXPECT_EQ(expired.code, oauth::TokenError::SignInNeeded);
    EXPECT_TRUE(expired.description.contains(QStringLiteral("expiré")))
        << expired.description.toStdString();
    // An unknown client is refused at once.
    oauth::Provider stranger = provider;
    stranger.clientId = QStringLiteral("nobody");
    EXPECT_EQ(oauth::StartDeviceAuthorization(stranger, provider.scopeSmtp, scene.http).code,
              oauth::TokenError::Refused);
    // Nothing was stored by the failed sign-ins: sending asks for a sign-in.
    oauth::Secrets secrets;
    QString error;
    ASSERT_TRUE(oauth::LoadSecrets(scene.secretsFile, secrets, error));
    EXPECT_TRUE(secrets.refreshToken.isEmpty());
    const oauth::Token none = oauth::AccessToken(*scene.login(provider), scene.http);
    EXPECT_EQ(none.code, oauth::TokenError::SignInNeeded);
    EXPECT_TRUE(none.description.contains(QStringLiteral("Reconnectez-vous")));
}

TEST(OAuth, ClientCredentialsThroughEws) {
    Scene scene;
    ASSERT_TRUE(scene.server.isRunning());
    const oauth::Provider provider = scene.server.provider(oauth::Grant::ClientCredentials);
    HttpsServerOptions options;
    options.bearerState = scene.server.stateDir();
    HttpsServer ews(options);
    ASSERT_TRUE(ews.isRunning());

    const struct {
        const char* name;
        QString secret;
        qint32 expected;
    } cases[] = {
        {"no secret stored", QString(), mail::Error::OAuthSignInNeeded},
        {"wrong secret", QStringLiteral("not-it"), mail::Error::OAuthRefused},
        {"right secret", QStringLiteral("s3cret-client"), 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        oauth::Secrets secrets;
        secrets.clientSecret = c.secret;
        QString error;
        ASSERT_TRUE(oauth::SaveSecrets(scene.secretsFile, secrets, error)) << error.toStdString();
        QString why;
        EXPECT_EQ(scene.send(scene.login(provider), 1, ews.port(), &why), c.expected)
            << why.toStdString();
        EXPECT_FALSE(why.contains(QStringLiteral("s3cret-client")));
        EXPECT_FALSE(why.contains(QStringLiteral("not-it")));
        scene.expectNoTokenIn(why);
    }
    EXPECT_EQ(ews.requests().size(), 1);
    EXPECT_EQ(
        scene.server.countTokenRequests(QStringLiteral("client_credentials"), QStringLiteral("ok")),
        1);
}

TEST(OAuth, SecretsFileMustBePrivate) {
    Scene scene;
    oauth::Secrets secrets;
    secrets.refreshToken = QStringLiteral("rt-private");
    QString error;
    ASSERT_TRUE(oauth::SaveSecrets(scene.secretsFile, secrets, error));
    EXPECT_EQ(modeOf(scene.secretsFile), 0600u);

    for (const mode_t mode : {0640u, 0604u, 0660u}) {
        SCOPED_TRACE(mode);
        ASSERT_EQ(::chmod(QFile::encodeName(scene.secretsFile).constData(), mode), 0);
        oauth::Secrets read;
        EXPECT_FALSE(oauth::LoadSecrets(scene.secretsFile, read, error));
        EXPECT_TRUE(error.contains(QStringLiteral("chmod 600"))) << error.toStdString();
        EXPECT_FALSE(error.contains(QStringLiteral("rt-private")));
        EXPECT_TRUE(read.refreshToken.isEmpty()) << "nothing is taken from an exposed file";
        const oauth::Token token =
            oauth::AccessToken(*scene.login(scene.server.provider()), scene.http);
        EXPECT_EQ(token.code, oauth::TokenError::SecretsFile);
    }
    // Saving makes an exposed file private again.
    ASSERT_TRUE(oauth::SaveSecrets(scene.secretsFile, secrets, error));
    EXPECT_EQ(modeOf(scene.secretsFile), 0600u);
    oauth::Secrets read;
    EXPECT_TRUE(oauth::LoadSecrets(scene.secretsFile, read, error));
    EXPECT_EQ(read.refreshToken, QStringLiteral("rt-private"));
    // A link in its place is not followed.
    const QString link = scene.dir.filePath(QStringLiteral("link.json"));
    ASSERT_TRUE(QFile::link(scene.secretsFile, link));
    EXPECT_FALSE(oauth::LoadSecrets(link, read, error));
}

TEST(OAuthPresets, EndpointsFromThePublicDocumentation) {
    oauth::Provider p;
    p.preset = QStringLiteral("microsoft");
    p.tenant = QStringLiteral("contoso.onmicrosoft.com");
    p.clientId = QStringLiteral("id");
    oauth::Provider r = oauth::Resolved(p);
    EXPECT_EQ(r.tokenEndpoint, QStringLiteral("https://login.microsoftonline.com/"
                                              "contoso.onmicrosoft.com/oauth2/v2.0/token"));
    EXPECT_EQ(r.deviceEndpoint, QStringLiteral("https://login.microsoftonline.com/"
                                               "contoso.onmicrosoft.com/oauth2/v2.0/devicecode"));
    EXPECT_TRUE(r.scopeSmtp.contains(QStringLiteral("SMTP.Send")));
    EXPECT_TRUE(r.scopeSmtp.contains(QStringLiteral("offline_access")));
    EXPECT_TRUE(r.scopeEws.contains(QStringLiteral("EWS.AccessAsUser.All")));
    EXPECT_EQ(oauth::ScopeFor(r, mail::Protocol::Graph),
              QStringLiteral("https://graph.microsoft.com/Mail.Send offline_access"));
    EXPECT_EQ(oauth::ScopeFor(r, mail::Protocol::ExchangeWebDav), r.scopeEws);
    p.tenant.clear();
    EXPECT_TRUE(oauth::Resolved(p).tokenEndpoint.contains(QStringLiteral("/common/")));
    p.grant = oauth::Grant::ClientCredentials;
    EXPECT_EQ(oauth::Resolved(p).scopeEws,
              QStringLiteral("https://outlook.office365.com/.default"));
    EXPECT_EQ(oauth::ScopeFor(oauth::Resolved(p), mail::Protocol::Graph),
              QStringLiteral("https://graph.microsoft.com/.default"));
    // An endpoint given by hand wins over the preset.
    p.tokenEndpoint = QStringLiteral("https://proxy.example/token");
    EXPECT_EQ(oauth::Resolved(p).tokenEndpoint, QStringLiteral("https://proxy.example/token"));

    oauth::Provider g;
    g.preset = QStringLiteral("google");
    EXPECT_EQ(oauth::Resolved(g).tokenEndpoint,
              QStringLiteral("https://oauth2.googleapis.com/token"));
    EXPECT_EQ(oauth::Resolved(g).scopeSmtp, QStringLiteral("https://mail.google.com/"));
}

// Consecutive sends share one pooled session, logged in once; a new token opens a new one.
// A password login reuses its session the same way.
TEST(OAuth, PooledSessionsAndTokenChange) {
    Scene scene;
    ASSERT_TRUE(scene.server.isRunning());
    ASSERT_EQ(scene.signIn(scene.server.provider()).code, 0);
    auto peer = scene.smtpPeer();
    ASSERT_TRUE(peer->isRunning());
    QString why;
    for (int i = 0; i < 2; ++i)
        ASSERT_EQ(scene.send(scene.login(scene.server.provider()), 0, peer->port(), &why), 0)
            << i << why.toStdString();
    EXPECT_EQ(peer->connections(), 1) << "the second mail reuses the logged-in session";
    const QDateTime later = QDateTime::currentDateTimeUtc().addSecs(7200);
    oauth::SetClock([later] { return later; });
    ASSERT_EQ(scene.send(scene.login(scene.server.provider()), 0, peer->port(), &why), 0)
        << why.toStdString();
    EXPECT_TRUE(peer->waitForMessages(3));
    EXPECT_EQ(peer->connections(), 2) << "a renewed token logs in on a new session";

    SmtpServerOptions options;
    options.auth = SmtpServerOptions::Auth::Required;
    options.users = {QStringLiteral("studio:m0t")};
    SmtpServer passwordPeer(options);
    ASSERT_TRUE(passwordPeer.isRunning());
    for (int i = 0; i < 2; ++i) {
        mail::MailMessage m;
        m.setServer(QStringLiteral("127.0.0.1"));
        m.setPort(passwordPeer.port());
        m.setUserName(QStringLiteral("studio"));
        m.setPassword(QStringLiteral("m0t"));
        m.setSenderAddress(QStringLiteral("studio@example.test"));
        m.addRecipients(QStringLiteral("bob@example.test"), 0);
        EXPECT_EQ(m.send(), 0) << i << m.lastErrorDescription().toStdString();
    }
    EXPECT_TRUE(passwordPeer.waitForMessages(2));
    EXPECT_EQ(passwordPeer.connections(), 1);
}

// The operator's server check logs in as a send would: with the token after a sign-in, with
// the sign-in instruction once the provider has revoked it. Nothing is sent either way.
TEST(OAuth, ServerCheckLogsInWithTheToken) {
    Scene scene;
    ASSERT_TRUE(scene.server.isRunning()) << scene.server.error().toStdString();
    ASSERT_EQ(scene.signIn(scene.server.provider()).code, 0);
    const auto peer = scene.smtpPeer();
    ASSERT_TRUE(peer->isRunning()) << peer->error().toStdString();

    mail::ProbeSettings settings;
    settings.server.host = QStringLiteral("127.0.0.1");
    settings.server.port = peer->port();
    settings.server.user = QString::fromLatin1(kLogin);
    settings.server.oauthLogin = scene.login(scene.server.provider());
    settings.senderAddress = QString::fromLatin1(kLogin);
    settings.limits = mail::DefaultTimeLimits();
    settings.caFolder = scene.http.caFolder;

    const mail::ProbeReport ok = mail::ProbeServer(settings);
    EXPECT_EQ(ok.code, 0) << ok.description.toStdString();
    EXPECT_TRUE(ok.facts.join(u'\n').contains(QStringLiteral("OAuth 2.0, jeton obtenu")))
        << ok.facts.join(u'\n').toStdString();
    scene.expectNoTokenIn(ok.facts.join(u'\n') + ok.description);

    // Revoked: the provider refuses the renewal and the check says to sign in again.
    scene.server.setControl({{"revoked", true}});
    const QDateTime later = QDateTime::currentDateTimeUtc().addSecs(7200);
    oauth::SetClock([later] { return later; });
    const mail::ProbeReport refused = mail::ProbeServer(settings);
    EXPECT_EQ(refused.code, mail::Error::OAuthSignInNeeded) << refused.description.toStdString();
    scene.expectNoTokenIn(refused.facts.join(u'\n') + refused.description);
    EXPECT_TRUE(peer->messages().isEmpty());
}

// A right the tenant has not granted (Graph 403): every mail waits for it, and the operator
// hears of it once for them all, then once when it is granted.
TEST(OAuth, MissingRightToldOncePerChange) {
    Scene scene;
    ASSERT_TRUE(scene.server.isRunning());
    const oauth::Provider provider = scene.server.provider(oauth::Grant::ClientCredentials);
    oauth::Secrets secrets;
    secrets.clientSecret = QStringLiteral("s3cret-client");
    QString error;
    ASSERT_TRUE(oauth::SaveSecrets(scene.secretsFile, secrets, error)) << error.toStdString();
    HttpsServerOptions options;
    options.bearerState = scene.server.stateDir();
    options.mailbox = QString::fromLatin1(kLogin);
    HttpsServer graph(options);
    ASSERT_TRUE(graph.isRunning());
    mail::ResetDestinations();
    const auto sendOne = [&] {
        mail::MailMessage m;
        m.setServer(QStringLiteral("127.0.0.1:%1").arg(graph.port()));
        m.setProtocol(mail::Protocol::Graph);
        m.setUserName(QString::fromLatin1(kLogin));
        m.setTrustedCaFolder(scene.http.caFolder);
        m.setOAuthLogin(scene.login(provider));
        m.setSenderAddress(QString::fromLatin1(kLogin));
        m.addRecipients(QStringLiteral("bob@example.test"), 0);
        m.setSubject(QStringLiteral("droits"));
        m.setBody(QStringLiteral("corps"));
        const auto plan = m.detach();
        EXPECT_TRUE(plan) << m.lastErrorDescription().toStdString();
        return plan ? mail::SendDetached(*plan) : mail::SendOutcome{};
    };
    graph.setScenario(QStringLiteral("graph-403"));
    QStringList notices;
    for (int i = 0; i < 3; ++i) {
        const mail::SendOutcome out = sendOne();
        EXPECT_EQ(out.code, mail::Error::NotAuthorized) << out.description.toStdString();
        EXPECT_FALSE(out.permanent) << "the mail waits for the right";
        EXPECT_TRUE(out.missingRight.contains(QStringLiteral("Mail.Send")));
        if (!out.notice.isEmpty())
            notices << out.notice;
    }
    ASSERT_EQ(notices.size(), 1) << notices.join(u'\n').toStdString();
    EXPECT_TRUE(notices.first().contains(QStringLiteral("Mail.Send")));
    graph.setScenario(QStringLiteral("ok"));
    notices.clear();
    for (int i = 0; i < 2; ++i) {
        const mail::SendOutcome out = sendOne();
        EXPECT_EQ(out.code, mail::Error::None) << out.description.toStdString();
        if (!out.notice.isEmpty())
            notices << out.notice;
    }
    ASSERT_EQ(notices.size(), 1) << notices.join(u'\n').toStdString();
    EXPECT_TRUE(notices.first().contains(QStringLiteral("de nouveau")));
    mail::ResetDestinations();
}

// While nothing is sent, the sign-in is renewed once a week and its days left are published;
// a renewal that keeps failing is told once, fourteen days before the sign-in ages out. The
// clock is the test's: nothing is waited for.
TEST(OAuth, SignInRenewedWhileIdleAndToldBeforeItAgesOut) {
    Scene scene;
    ASSERT_TRUE(scene.server.isRunning());
    const QDateTime start = QDateTime::currentDateTimeUtc();
    QDateTime now = start;
    oauth::SetClock([&now] { return now; });
    const oauth::Provider provider = scene.server.provider();
    ASSERT_EQ(scene.signIn(provider).code, 0);
    const auto login = scene.login(provider);
    const auto refreshes = [&] {
        return scene.server.countTokenRequests(QStringLiteral("refresh_token"));
    };

    now = start.addDays(3);
    oauth::Renewal r = oauth::KeepSignInAlive(*login, scene.http);
    EXPECT_TRUE(r.applies);
    EXPECT_FALSE(r.tried) << "renewed three days ago";
    EXPECT_EQ(r.daysLeft, 87);
    EXPECT_EQ(Supervision::Take().renewalDueMs, start.addDays(90).toMSecsSinceEpoch());

    now = start.addDays(8);
    r = oauth::KeepSignInAlive(*login, scene.http);
    EXPECT_TRUE(r.tried);
    EXPECT_EQ(r.code, 0) << r.description.toStdString();
    EXPECT_EQ(r.daysLeft, 90);
    EXPECT_EQ(refreshes(), 1);
    Supervision::Snapshot snap = Supervision::Take();
    EXPECT_EQ(snap.renewalDueMs, now.addDays(90).toMSecsSinceEpoch());
    // What --status and the metrics say of it (the state file keeps whole seconds).
    snap.nowMs = now.toMSecsSinceEpoch() - 1000;
    Supervision::Snapshot read;
    ASSERT_TRUE(Supervision::FromJson(Supervision::ToJson(snap), read));
    read.nowMs = snap.nowMs;
    EXPECT_EQ(read.renewalDaysLeft(), 90);
    EXPECT_TRUE(Supervision::Report(read).join(u'\n').contains(
        QStringLiteral("Connexion OAuth à renouveler dans 90 jour(s)")));
    EXPECT_TRUE(
        Supervision::PrometheusText(snap).contains("postique_oauth_renewal_days_left 90\n"));
    const QDateTime renewed = now;
    now = renewed.addDays(1);
    EXPECT_FALSE(oauth::KeepSignInAlive(*login, scene.http).tried);

    // The provider stays out of reach: said nothing while twenty days are left, once at
    // thirteen, and not again.
    scene.server.setControl({{"unavailable", true}});
    QStringList told;
    for (const int hours : {70 * 24, 70 * 24 + 2, 77 * 24, 77 * 24 + 2, 78 * 24}) {
        now = renewed.addSecs(qint64{hours} * 3600);
        r = oauth::KeepSignInAlive(*login, scene.http);
        EXPECT_TRUE(r.tried) << hours;
        EXPECT_EQ(r.code, oauth::TokenError::Unreachable) << r.description.toStdString();
        if (!r.incident.isEmpty())
            told << QStringLiteral("%1 h: %2").arg(hours).arg(r.incident);
    }
    ASSERT_EQ(told.size(), 1) << told.join(u'\n').toStdString();
    EXPECT_TRUE(told.first().startsWith(QStringLiteral("1848 h: ")));
    EXPECT_TRUE(told.first().contains(QStringLiteral("13 jour"))) << told.first().toStdString();
    // Within the hour after a failure it is not asked again.
    now = now.addSecs(600);
    EXPECT_FALSE(oauth::KeepSignInAlive(*login, scene.http).tried);

    // Back: renewed, ninety days again.
    scene.server.setControl({});
    now = now.addSecs(3600);
    r = oauth::KeepSignInAlive(*login, scene.http);
    EXPECT_EQ(r.code, 0) << r.description.toStdString();
    EXPECT_EQ(r.daysLeft, 90);
}
