// Jobs sent through Microsoft Graph by the poller, against the Graph peer and the token server
// on loopback: a right the tenant has not granted holds every row with one line for them all,
// never the dead-letter folder, and the rows go once it is granted.
#include "app/oauth_panel.h"
#include "app/settings_file.h"
#include "automation/jobs/job_guard.h"
#include "mail/engine/destinations.h"
#include "mail/engine/mail_component.h"
#include "mail/engine/protocols.h"
#include "mail/oauth/oauth.h"
#include "poller_fixture.h"
#include "support/https_fixture.h"
#include "support/job_corpus.h"
#include "support/mail/oauth_fixture.h"
#include "system/globals.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

using namespace automation_tests;
using testsupport::HttpsServer;
using testsupport::HttpsServerOptions;
using testsupport::jobRow;
using testsupport::OAuthServer;

namespace {

const QString kMailbox = QStringLiteral("studio@radio.example");

class GraphSendingTest : public PollerTest {
protected:
    void SetUp() override {
        PollerTest::SetUp();
        savedConfig_ = Lib_Public::DossierConfigGlobal[0];
        Lib_Public::DossierConfigGlobal[0] = QStringLiteral("C:\\Velmora\\Config\\");
        mail::ResetDestinations();
    }
    void TearDown() override {
        mail::ResetDestinations();
        Lib_Public::DossierConfigGlobal[0] = savedConfig_;
        PollerTest::TearDown();
    }

    // The settings page on Graph at `graph`, logged in as the application of `auth`.
    void useGraph(const HttpsServer& graph, const OAuthServer& auth) {
        ASSERT_TRUE(QDir().mkpath(prefix.native(kSettings + QStringLiteral("CA"))));
        ASSERT_TRUE(QFile::copy(graph.caFolder() + QStringLiteral("/ca.pem"),
                                prefix.native(kSettings + QStringLiteral("CA/ca.pem"))));
        mail::oauth::Secrets secrets;
        secrets.clientSecret = QStringLiteral("s3cret-client");
        QString error;
        ASSERT_TRUE(QDir().mkpath(prefix.native(Lib_Public::DossierConfigGlobal[0])));
        ASSERT_TRUE(mail::oauth::SaveSecrets(OAuthPanel::SecretsFile(), secrets, error))
            << error.toStdString();
        form->TexteFrom->setText(QStringLiteral("Studio <%1>").arg(kMailbox));
        form->TexteServer->setText(QStringLiteral("127.0.0.1:%1").arg(graph.port()));
        while (form->ListeProtocol->count() <= mail::Protocol::Graph)
            form->ListeProtocol->addItem(QStringLiteral("protocole"));
        form->ListeProtocol->setCurrentIndex(mail::Protocol::Graph);
        if (form->ListePort->findText(QStringLiteral("443")) < 0)
            form->ListePort->addItem(QStringLiteral("443"));
        form->ListePort->setCurrentText(QStringLiteral("443"));
        form->CheckBoxSSL->setChecked(false);
        form->CheckBoxAuth->setChecked(true);
        form->ListeAuthMethode->setCurrentIndex(OAuthPanel::kMethodOAuth);
        form->TexteUser->setText(kMailbox);
        form->frmOAuth->setProvider(auth.provider(mail::oauth::Grant::ClientCredentials));
        // The background sending signs in with the provider as saved, never as only shown.
        form->SaveOAuthSettings(Lib_Public::SettingsFilePath());
        if (form->ListeCharset->count() == 0)
            form->InitGeneralCharset();
        form->KeepSavedSettings();
    }

private:
    QString savedConfig_;
};

TEST_F(GraphSendingTest, MissingRightHoldsTheRowsWithOneLine) {
    OAuthServer auth;
    ASSERT_TRUE(auth.isRunning()) << auth.error().toStdString();
    HttpsServerOptions options;
    options.bearerState = auth.stateDir();
    options.mailbox = kMailbox;
    HttpsServer graph(options);
    ASSERT_TRUE(graph.isRunning()) << graph.error().toStdString();
    useGraph(graph, auth);
    ASSERT_FALSE(HasFatalFailure());
    ASSERT_TRUE(writeJob(QStringLiteral("Email_1.ss8"),
                         jobRow("1", "a@example.org", {}, {}, "row1", "B") +
                             jobRow("1", "b@example.org", {}, {}, "row2", "B") +
                             jobRow("1", "c@example.org", {}, {}, "row3", "B")));

    graph.setScenario(QStringLiteral("graph-403"));
    ASSERT_EQ(cycle(), 1);
    EXPECT_TRUE(jobExists(QStringLiteral("Email_1.ss8"))) << "the rows wait with their job";
    EXPECT_FALSE(QFile::exists(prefix.native(kJobs) + u'/' + station::DeadLetterFolder +
                               QStringLiteral("/Email_1.ss8")));
    const QString first = incidents().join(u'\n');
    EXPECT_EQ(incidents().filter(QStringLiteral("Mail.Send")).size(), 1) << first.toStdString();
    EXPECT_TRUE(incidents().filter(QStringLiteral("en attente")).isEmpty()) << first.toStdString();
    EXPECT_TRUE(incidents().filter(QStringLiteral("non envoyée")).isEmpty()) << first.toStdString();
    EXPECT_EQ(graph.requests().size(), 3);

    // Granted: once their wait is over the rows go, and one line says the right is back.
    graph.setScenario(QStringLiteral("ok"));
    Clock::SetWallClock([] { return QDateTime::currentMSecsSinceEpoch() + 3'700'000; });
    ASSERT_GE(cycle(), 1);
    EXPECT_FALSE(jobExists(QStringLiteral("Email_1.ss8"))) << incidents().join(u'\n').toStdString();
    EXPECT_EQ(graph.requests().size(), 6);
    EXPECT_EQ(incidents().filter(QStringLiteral("de nouveau le droit")).size(), 1)
        << incidents().join(u'\n').toStdString();
    EXPECT_EQ(incidents().filter(QStringLiteral("Mail.Send")).size(), 1);

    // The register: each row waited with Graph's refusal, then went under a request id.
    const QDir folder(
        prefix.native(Lib_Public::DossierConfigGlobal[0] + QStringLiteral("Historique")));
    QByteArray all;
    for (const QString& name : folder.entryList({QStringLiteral("envois-*")}, QDir::Files)) {
        QFile day(folder.filePath(name));
        ASSERT_TRUE(day.open(QIODevice::ReadOnly));
        all += day.readAll();
    }
    QStringList outcomes;
    for (const QByteArray& line : all.split('\n')) {
        const QJsonObject o = QJsonDocument::fromJson(line).object();
        if (o.isEmpty())
            continue;
        EXPECT_EQ(o.value(u"transport").toString(), QStringLiteral("graph"));
        const bool sent = o.value(u"outcome").toString() == u"sent";
        EXPECT_EQ(o.value(u"code").toInt(), sent ? 202 : 403);
        EXPECT_EQ(o.value(u"queue_id").toString().startsWith(u"req-"), sent);
        outcomes << o.value(u"outcome").toString();
    }
    EXPECT_EQ(outcomes.count(QStringLiteral("waiting")), 3);
    EXPECT_EQ(outcomes.count(QStringLiteral("sent")), 3);
}

} // namespace
