// Sending through a real SMTP server (aiosmtpd on loopback): the modes, login, refusals,
// time limits, certificate trust and session reuse.
#include "mail/engine/destinations.h"
#include "mail/engine/mail_component.h"
#include "mail/transport/smtp_transport.h"

#include "support/smtp_fixture.h"
#include "system/globals.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QTemporaryDir>
#include <QTimer>

#include <gtest/gtest.h>

using namespace testsupport;
using mail::MailMessage;
using Opt = SmtpServerOptions;

namespace {

// A mail object aimed at `server` with a sender, one To, one Cc and one Bcc.
void prepare(MailMessage& mail, quint16 port) {
    mail.setServer(QStringLiteral("127.0.0.1"));
    mail.setPort(port);
    mail.setConnectionMode(mail::ConnectionMode::Default);
    mail.setSenderName(QStringLiteral("Régie Postique"));
    mail.setSenderAddress(QStringLiteral("regie@station.test"));
    mail.addRecipients(QStringLiteral("Antenne <antenne@station.test>"), 0);
    mail.addRecipients(QStringLiteral("\"Dupont, Jean\" <jean@station.test>"), 1);
    mail.addRecipients(QStringLiteral("cache@station.test"), 2);
    mail.setSubject(QStringLiteral("Postique: essai"));
    mail.setBody(QStringLiteral("Première ligne\nseconde ligne\n"));
    mail.setTimeLimits({std::chrono::milliseconds(3000), std::chrono::milliseconds(1000)});
}

// The program's settings folder in a temporary place, with the test authority in its "CA"
// folder when `trusted`.
class SettingsFolder {
public:
    explicit SettingsFolder(bool trusted) {
        saved_ = Lib_Public::DossierSettingsProgramme;
        QString text = dir_.path();
        text.replace(u'/', u'\\');
        Lib_Public::DossierSettingsProgramme = QStringLiteral("Z:") + text + u'\\';
        if (trusted) {
            QDir(dir_.path()).mkpath(QStringLiteral("CA"));
            QFile::copy(TestAuthority::instance().caCertificate(),
                        dir_.filePath(QStringLiteral("CA/station-ca.pem")));
        }
    }
    ~SettingsFolder() { Lib_Public::DossierSettingsProgramme = saved_; }
    // The native "CA" folder to hand to a mail object.
    QString caFolder() const { return dir_.filePath(QStringLiteral("CA")); }

private:
    QTemporaryDir dir_;
    QString saved_;
};

} // namespace

TEST(SmtpSend, PlainServerReceivesMessageWithEnvelopeAndHeaders) {
    SmtpServer server;
    ASSERT_TRUE(server.isRunning()) << server.error().toStdString();
    MailMessage mail;
    prepare(mail, server.port());
    ASSERT_EQ(mail.send(), 0) << mail.lastErrorDescription().toStdString();
    ASSERT_TRUE(server.waitForMessages(1));
    const ReceivedMessage got = server.messages().first();
    EXPECT_EQ(got.mailFrom, QStringLiteral("regie@station.test"));
    EXPECT_EQ(got.recipients, (QStringList{QStringLiteral("antenne@station.test"),
                                           QStringLiteral("jean@station.test"),
                                           QStringLiteral("cache@station.test")}));
    const QJsonObject parsed = ParseWithPython(got.data);
    ASSERT_FALSE(parsed.contains(u"error")) << parsed.value(u"error").toString().toStdString();
    EXPECT_EQ(parsed.value(u"subject").toString(), QStringLiteral("Postique: essai"));
    EXPECT_FALSE(parsed.value(u"date").toString().isEmpty());
    EXPECT_EQ(parsed.value(u"from").toString(),
              QStringLiteral("Régie Postique <regie@station.test>"));
    EXPECT_EQ(parsed.value(u"to").toString(), QStringLiteral("Antenne <antenne@station.test>"));
    EXPECT_EQ(parsed.value(u"cc").toString(),
              QStringLiteral("\"Dupont, Jean\" <jean@station.test>"));
    EXPECT_EQ(parsed.value(u"body").toString(), QStringLiteral("Première ligne\nseconde ligne\n"));
    // Bcc: in the envelope, never in a header.
    for (const QJsonValue& h : parsed.value(u"headers").toArray())
        EXPECT_NE(h.toString().toLower(), QStringLiteral("bcc"));
    EXPECT_FALSE(got.data.contains("cache@station.test"));
    // CRLF everywhere: no bare LF.
    EXPECT_EQ(got.data.count('\n'), got.data.count("\r\n"));
}

// Connection modes, TLS trust and login against servers configured each way.
TEST(SmtpSend, ModesTrustAndLogin) {
    struct Case {
        const char* what;
        Opt options;
        qint32 mode;
        bool implicitPort;
        QString user;
        QString password;
        bool trusted;
        qint32 expected;
        const char* inDescription; // a piece of the description on failure
        bool tls;
        QString authUser;
    };
    Opt plain;
    Opt startTls;
    startTls.tls = Opt::Tls::StartTls;
    startTls.requireStartTls = true;
    Opt implicit;
    implicit.tls = Opt::Tls::Implicit;
    Opt login;
    login.auth = Opt::Auth::Optional;
    login.users = {QStringLiteral("station:s3cret")};
    Opt loginRequired = login;
    loginRequired.auth = Opt::Auth::Required;
    Opt loginAfterTls = startTls;
    loginAfterTls.auth = Opt::Auth::Required;
    loginAfterTls.users = login.users;
    Opt selfSigned = startTls;
    selfSigned.certificate = TestAuthority::instance().selfSigned(
        QStringLiteral("rogue"), QStringLiteral("/CN=localhost"),
        {QStringLiteral("subjectAltName=DNS:localhost,IP:127.0.0.1")});
    selfSigned.key = TestAuthority::instance().folder() + QStringLiteral("/rogue.key");
    const QString user = QStringLiteral("station");
    const QString pw = QStringLiteral("s3cret");
    const Case cases[] = {
        {"plain", plain, 4, false, "", "", false, 0, "", false, ""},
        {"starttls trusted through CA folder", startTls, 1, false, "", "", true, 0, "", true, ""},
        {"implicit tls", implicit, 1, true, "", "", true, 0, "", true, ""},
        {"starttls untrusted", startTls, 1, false, "", "", false, mail::Error::CertificateUntrusted,
         "CA", false, ""},
        {"implicit untrusted", implicit, 1, true, "", "", false, mail::Error::CertificateUntrusted,
         "CA", false, ""},
        {"self-signed with CA folder", selfSigned, 1, false, "", "", true,
         mail::Error::CertificateUntrusted, "certificat", false, ""},
        {"ssl asked, no STARTTLS offered", plain, 1, false, "", "", true,
         mail::Error::StartTlsUnavailable, "STARTTLS", false, ""},
        {"login accepted", login, 4, false, user, pw, false, 0, "", false, user},
        {"login refused", login, 4, false, user, QStringLiteral("wrong"), false,
         mail::Error::LoginRefused, "535", false, ""},
        {"login after starttls", loginAfterTls, 1, false, user, pw, true, 0, "", true, user},
        {"login asked, no AUTH offered", plain, 4, false, user, pw, false,
         mail::Error::LoginUnavailable, "AUTH", false, ""},
        {"login required, none given", loginRequired, 4, false, "", "", false,
         mail::Error::SenderRefused, "530", false, ""},
        {"only a user name: no login", login, 4, false, user, "", false, 0, "", false, ""},
    };
    for (const bool pipelining : {false, true})
        for (const Case& c : cases) {
            SCOPED_TRACE(c.what);
            SCOPED_TRACE(pipelining ? "pipelining" : "lockstep");
            SettingsFolder settings(c.trusted);
            Opt options = c.options;
            options.pipelining = pipelining;
            SmtpServer server(options);
            ASSERT_TRUE(server.isRunning()) << server.error().toStdString();
            mail::detail::SetImplicitTlsPort(c.implicitPort ? server.port() : 465);
            MailMessage mail;
            prepare(mail, server.port());
            mail.setTrustedCaFolder(settings.caFolder());
            mail.setServer(QStringLiteral("localhost"));
            mail.setConnectionMode(c.mode);
            mail.setUserName(c.user);
            mail.setPassword(c.password);
            const qint32 code = mail.send();
            EXPECT_EQ(code, c.expected) << mail.lastErrorDescription().toStdString();
            if (c.expected == 0) {
                ASSERT_TRUE(server.waitForMessages(1));
                EXPECT_EQ(server.messages().first().tls, c.tls);
                EXPECT_EQ(server.messages().first().authUser, c.authUser);
            } else {
                EXPECT_TRUE(
                    mail.lastErrorDescription().contains(QString::fromUtf8(c.inDescription)))
                    << mail.lastErrorDescription().toStdString();
                EXPECT_TRUE(server.messages().isEmpty());
            }
            mail::CloseIdleSessions();
        }
    mail::detail::SetImplicitTlsPort(465);
}

// Refusals at each step: the description carries the server's own reply; a recipient refused
// among accepted ones does not stop the mail but is named.
TEST(SmtpSend, RefusalsCarryTheServerReply) {
    struct Case {
        const char* what;
        const char* command;
        const char* match;
        const char* reply;
        qint32 expected;
        int recipientsReceived;      // -1: nothing received
        bool checkAddresses = false; // the operator is told to check the addresses
    };
    const Case cases[] = {
        {"one recipient refused", "RCPT", "jean@", "550 5.1.1 Jean inconnu", 0, 2},
        {"every recipient refused", "RCPT", "", "550 5.1.1 Personne ici",
         mail::Error::RecipientRefused, -1, true},
        {"recipients deferred", "RCPT", "", "450 4.2.0 Boite pleine", mail::Error::RecipientRefused,
         -1},
        {"sender refused", "MAIL", "", "553 5.7.1 Expediteur interdit", mail::Error::SenderRefused,
         -1},
        {"sender deferred", "MAIL", "", "451 4.3.0 Reessayez plus tard", mail::Error::SenderRefused,
         -1},
        {"DATA refused", "DATA", "", "554 5.3.4 Pas de donnees", mail::Error::DataRefused, -1},
        {"DATA deferred", "DATA", "", "451 4.3.2 File pleine", mail::Error::DataRefused, -1},
        {"message refused", "EOD", "", "552 5.3.4 Message trop gros", mail::Error::DataRefused, -1},
        {"message deferred", "EOD", "", "452 4.3.1 Disque plein", mail::Error::DataRefused, -1},
    };
    // With PIPELINING the envelope goes in one group: the refusal blamed stays the same.
    for (const bool pipelining : {false, true})
        for (const Case& c : cases) {
            SCOPED_TRACE(c.what);
            SCOPED_TRACE(pipelining ? "pipelining" : "lockstep");
            Opt options;
            options.pipelining = pipelining;
            options.reply(QString::fromLatin1(c.command), QString::fromLatin1(c.match),
                          QString::fromLatin1(c.reply));
            SmtpServer server(options);
            ASSERT_TRUE(server.isRunning()) << server.error().toStdString();
            MailMessage mail;
            prepare(mail, server.port());
            EXPECT_EQ(mail.send(), c.expected);
            const QString replyText = QString::fromLatin1(c.reply).mid(4);
            EXPECT_TRUE(mail.lastErrorDescription().contains(replyText))
                << mail.lastErrorDescription().toStdString();
            EXPECT_EQ(mail.lastErrorDescription().contains(u"Vérifiez les adresses"),
                      c.checkAddresses)
                << mail.lastErrorDescription().toStdString();
            if (c.recipientsReceived < 0) {
                EXPECT_TRUE(server.messages().isEmpty());
            } else {
                ASSERT_TRUE(server.waitForMessages(1));
                EXPECT_EQ(server.messages().first().recipients.size(), c.recipientsReceived);
                EXPECT_TRUE(mail.lastErrorDescription().contains(u"jean@station.test"));
            }
            mail::CloseIdleSessions();
        }
}

// Providers' refusals say what they ask for: a spent daily quota waits instead of failing, a
// passing peak slows the pace, unauthenticated mail names the DNS records to publish.
TEST(SmtpSend, ProviderRefusalsSayWhatToDo) {
    const struct {
        const char* command;
        const char* reply;
        bool permanent;
        const char* says;
    } cases[] = {
        {"RCPT", "550 5.4.5 Daily user sending quota exceeded", false, "24 heures"},
        {"EOD", "550 5.7.26 Unauthenticated email is not accepted", true, "DMARC"},
        {"EOD", "550 5.7.515 Access denied", true, "--check-server"},
        {"RCPT", "550 5.7.25 The IP address has no PTR record", true, "nom inverse"},
        {"MAIL", "450 4.2.1 The user is receiving mail too quickly", false, "ralentit"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reply);
        Opt options;
        options.reply(QString::fromLatin1(c.command), QString(), QString::fromLatin1(c.reply));
        SmtpServer server(options);
        ASSERT_TRUE(server.isRunning()) << server.error().toStdString();
        MailMessage mail;
        prepare(mail, server.port());
        EXPECT_NE(mail.send(), 0);
        EXPECT_EQ(mail.lastErrorPermanent(), c.permanent);
        EXPECT_TRUE(mail.lastErrorDescription().contains(QString::fromUtf8(c.says)))
            << mail.lastErrorDescription().toStdString();
        mail::CloseIdleSessions();
    }
    EXPECT_EQ(mail::ThrottleOf(450, QStringLiteral("450 4.2.1 too quickly")), mail::Throttle::Rate);
}

// A refusal for want of authentication names the DNS records once per server and change of
// state; the mails after it only point at the server check.
TEST(SmtpSend, AuthenticationRefusalIsExplainedOncePerServer) {
    Opt options;
    options.reply(QStringLiteral("EOD"), QString(),
                  QStringLiteral("550 5.7.26 Unauthenticated email is not accepted"));
    SmtpServer server(options);
    ASSERT_TRUE(server.isRunning()) << server.error().toStdString();
    const char* says[] = {"DMARC", nullptr, nullptr};
    for (const char* expected : says) {
        MailMessage mail;
        prepare(mail, server.port());
        EXPECT_NE(mail.send(), 0);
        const QString text = mail.lastErrorDescription();
        EXPECT_TRUE(text.contains(u"--check-server")) << text.toStdString();
        EXPECT_EQ(text.contains(u"DMARC"), expected != nullptr) << text.toStdString();
    }
    mail::CloseIdleSessions();
}

// A server that stops answering cannot hold a send beyond its time limits, and the caller's
// events keep being processed meanwhile.
TEST(SmtpSend, StalledServerTimesOut) {
    for (const bool pipelining : {false, true})
        for (const char* stall : {"CONNECT", "MAIL", "EOD"}) {
            SCOPED_TRACE(stall);
            SCOPED_TRACE(pipelining ? "pipelining" : "lockstep");
            Opt options;
            options.pipelining = pipelining;
            options.stall = QString::fromLatin1(stall);
            SmtpServer server(options);
            ASSERT_TRUE(server.isRunning()) << server.error().toStdString();
            MailMessage mail;
            prepare(mail, server.port());
            int ticks = 0;
            QTimer timer;
            QObject::connect(&timer, &QTimer::timeout, [&ticks] { ++ticks; });
            timer.start(20);
            EXPECT_EQ(mail.send(), mail::Error::Timeout)
                << mail.lastErrorDescription().toStdString();
            EXPECT_GT(ticks, 0); // the window would not have frozen
            EXPECT_TRUE(mail.lastErrorDescription().contains(QStringLiteral("127.0.0.1")));
        }
}

TEST(SmtpSend, UnreachableServerIsNamed) {
    quint16 port = 0;
    {
        SmtpServer server; // only to find a port that is closed afterwards
        port = server.port();
    }
    MailMessage mail;
    prepare(mail, port);
    EXPECT_EQ(mail.send(), mail::Error::ConnectFailed);
    EXPECT_TRUE(mail.lastErrorDescription().contains(QString::number(port)));
}

// Consecutive sends to one server share one session; the idle session closes by itself.
TEST(SmtpSend, ConsecutiveSendsReuseOneConnection) {
    SmtpServer server;
    ASSERT_TRUE(server.isRunning()) << server.error().toStdString();
    mail::SetSessionIdleTime(std::chrono::milliseconds(60000));
    for (int i = 0; i < 50; ++i) {
        MailMessage mail;
        prepare(mail, server.port());
        mail.setSubject(QStringLiteral("n° %1").arg(i));
        ASSERT_EQ(mail.send(), 0) << mail.lastErrorDescription().toStdString();
    }
    ASSERT_TRUE(server.waitForMessages(50));
    EXPECT_EQ(server.connections(), 1);
    EXPECT_EQ(server.disconnections(), 0);
    mail::SetSessionIdleTime(std::chrono::milliseconds(100));
    EXPECT_TRUE(server.waitForDisconnections(1));
    mail::SetSessionIdleTime(std::chrono::milliseconds(30000));
    // A session the server closed meanwhile is replaced without losing the next mail.
    MailMessage again;
    prepare(again, server.port());
    EXPECT_EQ(again.send(), 0) << again.lastErrorDescription().toStdString();
    EXPECT_EQ(server.connections(), 2);
}
