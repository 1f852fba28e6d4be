// The settings check against real SMTP servers on loopback: what it reports for each kind of
// server and failure, that it never sends a mail, and the program's "--check-server".
#include "app/server_check.h"
#include "mail/engine/server_probe.h"
#include "mail/transport/smtp_transport.h"
#include "support/https_fixture.h"
#include "support/kerberos_realm.h"
#include "support/program_run.h"
#include "support/smtp_fixture.h"
#include "support/temp_prefix.h"
#include "system/globals.h"
#include "ui/frm_main.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QListWidget>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using testsupport::SmtpServer;
using testsupport::TestAuthority;
using Opt = testsupport::SmtpServerOptions;

namespace {

TEST(ServerCheck, ReportsWhatTheServerOffersAndSendsNothing) {
    QTemporaryDir trusted;
    ASSERT_TRUE(QFile::copy(TestAuthority::instance().caCertificate(), trusted.filePath("ca.pem")));
    Opt plain;
    Opt startTls;
    startTls.tls = Opt::Tls::StartTls;
    startTls.requireStartTls = true;
    Opt implicit;
    implicit.tls = Opt::Tls::Implicit;
    Opt loginAfterTls = startTls;
    loginAfterTls.auth = Opt::Auth::Required;
    loginAfterTls.users = {QStringLiteral("station:s3cret")};
    struct Case {
        const char* what;
        Opt options;
        qint32 mode;
        bool implicitPort;
        QString user, password;
        bool trust;
        qint32 expected;
        QStringList facts; // pieces of the report
    };
    const std::vector<Case> cases = {
        {"plain, no login",
         plain,
         4,
         false,
         {},
         {},
         false,
         mail::Error::None,
         {"Chiffrement : aucun", "Le serveur propose :", "Authentification : non demandée",
          "NOOP : 250"}},
        {"STARTTLS and login",
         loginAfterTls,
         1,
         false,
         "station",
         "s3cret",
         true,
         mail::Error::None,
         {"STARTTLS, certificat du serveur vérifié", "AUTH",
          "Authentification : acceptée (PLAIN)"}},
        {"implicit TLS",
         implicit,
         1,
         true,
         {},
         {},
         true,
         mail::Error::None,
         {"SSL/TLS dès la connexion"}},
        {"wrong password",
         loginAfterTls,
         1,
         false,
         "station",
         "faux",
         true,
         mail::Error::LoginRefused,
         {"Authentification : refusée"}},
        {"login asked of a server without AUTH",
         plain,
         4,
         false,
         "station",
         "s3cret",
         false,
         mail::Error::LoginUnavailable,
         {}},
        {"certificate nobody vouches for",
         startTls,
         1,
         false,
         {},
         {},
         false,
         mail::Error::CertificateUntrusted,
         {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SmtpServer server(c.options);
        ASSERT_TRUE(server.isRunning()) << server.error().toStdString();
        mail::detail::SetImplicitTlsPort(c.implicitPort ? server.port() : 465);
        mail::ProbeSettings settings;
        settings.server = {
            QStringLiteral("127.0.0.1"), server.port(), c.mode, c.user, c.password, {}, {}, {}};
        settings.senderAddress = QStringLiteral("station@example.org");
        settings.caFolder = c.trust ? trusted.path() : QString();
        settings.limits = {std::chrono::milliseconds(5000), std::chrono::milliseconds(10000)};
        const mail::ProbeReport report = mail::ProbeServer(settings);
        EXPECT_EQ(report.code, c.expected) << report.description.toStdString();
        EXPECT_EQ(report.description.isEmpty(), c.expected == mail::Error::None);
        const QString text = report.facts.join(u'\n');
        for (const QString& piece : c.facts)
            EXPECT_TRUE(text.contains(piece)) << piece.toStdString() << "\n" << text.toStdString();
        // Never a fact that the outcome contradicts, nor an empty detail.
        EXPECT_FALSE(text.contains(u"()")) << text.toStdString();
        EXPECT_FALSE(c.expected == mail::Error::CertificateUntrusted && text.contains(u"vérifié"))
            << text.toStdString();
        EXPECT_TRUE(server.waitForDisconnections(1));
        EXPECT_TRUE(server.messages().isEmpty()) << "a check never sends";
    }
    mail::detail::SetImplicitTlsPort(465);

    // Nobody listening: the explanation of a send that cannot connect.
    quint16 port = 0;
    {
        SmtpServer gone;
        port = gone.port();
    }
    mail::ProbeSettings nobody;
    nobody.server = {QStringLiteral("127.0.0.1"), port, 4, {}, {}, {}, {}, {}};
    const auto report = mail::ProbeServer(nobody);
    EXPECT_EQ(report.code, mail::Error::ConnectFailed);
    EXPECT_TRUE(report.description.contains(QStringLiteral("Connexion impossible")))
        << report.description.toStdString();
}

TEST(ServerCheck, ProgramChecksTheSavedSettings) {
    testsupport::ProgramInstall install;
    ASSERT_TRUE(install.ok()) << install.error().toStdString();
    const QString address = testsupport::privateLoopbackAddress();
    Opt options;
    options.host = address;
    options.port = 25; // the settings file keeps no port: a named server is reached on 25
    SmtpServer server(options);
    ASSERT_TRUE(server.isRunning()) << server.error().toStdString();

    auto run = [&](const QString& sender) {
        EXPECT_TRUE(install.writeSettings(address, sender, QStringLiteral("C:\\Jobs\\")));
        auto program = install.start(1000, {QStringLiteral("--check-server")});
        EXPECT_TRUE(program->waitForFinished(60000));
        return std::make_pair(program->exitCode(),
                              QString::fromUtf8(program->readAllStandardOutput()));
    };
    const auto [fine, report] = run(QStringLiteral("Station <station@example.org>"));
    EXPECT_EQ(fine, 0) << report.toStdString();
    EXPECT_TRUE(report.contains(QStringLiteral("Le serveur propose"))) << report.toStdString();
    EXPECT_TRUE(report.contains(QStringLiteral("un mail pourrait être envoyé")))
        << report.toStdString();

    const auto [refused, why] = run(QString());
    EXPECT_NE(refused, 0);
    EXPECT_TRUE(why.contains(QStringLiteral("Adresse Email d'envoi non renseignée")))
        << why.toStdString();
    EXPECT_TRUE(server.messages().isEmpty()) << "neither the check nor a version notice sends";
}

// The check of Exchange settings says which login method the server's offer led to, here
// Kerberos with the station's keytab named in the settings file.
TEST(ServerCheck, ProgramNamesTheExchangeLoginMethod) {
    testsupport::KerberosRealm realm;
    if (!realm.isRunning())
        GTEST_SKIP() << "no Kerberos realm: " << realm.error().toStdString();
    testsupport::HttpsServerOptions options;
    options.negotiateKeytab =
        realm.keytab(QStringLiteral("http.keytab"), {QStringLiteral("HTTP/localhost")});
    options.offer = {QStringLiteral("NTLM"), QStringLiteral("Negotiate")};
    const QString station =
        realm.keytab(QStringLiteral("station.keytab"), {QStringLiteral("postique/studio")});
    ASSERT_FALSE(options.negotiateKeytab.isEmpty() || station.isEmpty())
        << realm.error().toStdString();
    testsupport::HttpsServer server(options);
    ASSERT_TRUE(server.isRunning()) << server.error().toStdString();

    testsupport::ProgramInstall install;
    ASSERT_TRUE(install.ok()) << install.error().toStdString();
    ASSERT_TRUE(install.writeSettings(QStringLiteral("localhost:%1").arg(server.port()),
                                      QStringLiteral("studio@radio.example"),
                                      QStringLiteral("C:\\Jobs\\")));
    ASSERT_TRUE(install.editSettings([&](QByteArray& ini) {
        ini.replace("Protocole=0", "Protocole=1");
        ini += "[Kerberos]\r\nKeytab=" + station.toUtf8() + "\r\nPrincipal=postique/studio\r\n";
    }));
    const QString ca = install.appFolder() + QStringLiteral("/Settings/VL3_Postique/CA");
    ASSERT_TRUE(QDir().mkpath(ca));
    ASSERT_TRUE(
        QFile::copy(server.caFolder() + QStringLiteral("/ca.pem"), ca + QStringLiteral("/ca.pem")));

    auto program = install.start(1000, {QStringLiteral("--check-server")});
    ASSERT_TRUE(program->waitForFinished(60000));
    const QString report = QString::fromUtf8(program->readAllStandardOutput());
    EXPECT_EQ(program->exitCode(), 0) << report.toStdString();
    EXPECT_TRUE(report.contains(QStringLiteral(
        "Authentification : Negotiate (Kerberos), principal postique/studio@POSTIQUE.TEST")))
        << report.toStdString();
}

} // namespace

// A path that a deadline will break is told at start-up once per change of path, and the
// check names the path first.
TEST(ServerCheck, APathThatADeadlineBreaksIsToldOncePerChange) {
    TempPrefix prefix;
    const QString savedFolder = Lib_Public::DossierSettingsProgramme;
    Lib_Public::DossierSettingsProgramme = QStringLiteral("C:\\Velmora\\Settings\\VL3_Postique\\");
    Frm_Main w;
    w.ListeProtocol->addItems({"SMTP", "EWS", "WebDAV", "Graph"});
    w.CheckBoxAuth->setChecked(true);
    const struct {
        const char* server;
        bool told;
    } steps[] = {{"smtp.office365.com", true},
                 {"smtp.office365.com", false},
                 {"smtp.example.org", false},
                 {"smtp.office365.com", true}};
    for (const auto& step : steps) {
        SCOPED_TRACE(step.server);
        w.TexteServer->setText(QString::fromLatin1(step.server));
        EXPECT_EQ(ServerCheck::TellOutlookOnce(w), step.told);
    }
    EXPECT_EQ(w.ListeIncidents->count(), 2);
    EXPECT_TRUE(w.ListeIncidents->item(0)->text().contains(QStringLiteral("31/12/2026")));
    Lib_Public::DossierSettingsProgramme = savedFolder;
}
