// The OAuth 2.0 controls of the server frame through a started main window: the "OAuth2"
// section saved and reloaded, presets with their tenant, the client secret kept out of the
// settings file, the secrets file checked at load, and the status line.
#include "app/oauth_panel.h"

#include "support/forms/settings_panel.h"
#include "support/qt_print.h"
#include "support/temp_prefix.h"
#include "ui/frm_main.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>

#include <sys/stat.h>

#include <gtest/gtest.h>

namespace {

const QString kSettingsFile = QStringLiteral("C:\\Halvaro\\Velmora\\Config\\VL3_Postique.ini");
const QString kSecretsFile =
    QStringLiteral("C:\\Halvaro\\Velmora\\Config\\VL3_Postique_OAuth2.json");

class OAuthPanelTest : public TempPrefixTest {};

int indexOfPreset(const FrmOAuth& w, const QString& id) {
    for (int i = 0; i < w.ListeFournisseur->count(); ++i)
        if (w.ListeFournisseur->itemData(i).toString() == id)
            return i;
    return -1;
}

} // namespace

TEST_F(OAuthPanelTest, OtherProviderSavedAndReloaded) {
    {
        auto f = StartMainWindow();
        EXPECT_EQ(f->LabelOAuth->text(), QStringLiteral("Authentification : mot de passe"));
        f->CheckBoxAuth->setChecked(true);
        f->ListeAuthMethode->setCurrentIndex(OAuthPanel::kMethodOAuth);
        EXPECT_TRUE(f->TextePW->isHidden()) << "no password with OAuth 2.0";
        FrmOAuth& w = *f->frmOAuth;
        w.ListeFournisseur->setCurrentIndex(indexOfPreset(w, QString()));
        w.TexteClientId->setText(QStringLiteral("client-42"));
        w.TexteAppareil->setText(QStringLiteral("https://id.example/device"));
        w.TexteJeton->setText(QStringLiteral("https://id.example/token"));
        w.TexteScopeSmtp->setText(QStringLiteral("smtp offline_access"));
        w.ListeOctroi->setCurrentIndex(1);
        w.TexteSecret->setText(QStringLiteral("very-secret"));
        EXPECT_TRUE(f->ParametresModifies);
        f->CommandSave->click();
        EXPECT_TRUE(w.TexteSecret->text().isEmpty());
    }
    const QByteArray ini = prefix.read(kSettingsFile);
    EXPECT_TRUE(ini.contains("[OAuth2]"));
    EXPECT_TRUE(ini.contains("Methode=1"));
    EXPECT_TRUE(ini.contains("Fournisseur=autre"));
    EXPECT_TRUE(ini.contains("Jeton=https://id.example/token"));
    EXPECT_TRUE(ini.contains("Octroi=1"));
    EXPECT_FALSE(ini.contains("very-secret")) << "the secret lives in the secrets file only";
    EXPECT_TRUE(prefix.read(kSecretsFile).contains("very-secret"));
    struct stat st {};
    ASSERT_EQ(::stat(QFile::encodeName(prefix.native(kSecretsFile)).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    auto again = StartMainWindow();
    const FrmOAuth& w = *again->frmOAuth;
    EXPECT_EQ(again->ListeAuthMethode->currentIndex(), OAuthPanel::kMethodOAuth);
    EXPECT_EQ(w.ListeFournisseur->currentData().toString(), QString());
    EXPECT_EQ(w.TexteClientId->text(), QStringLiteral("client-42"));
    EXPECT_EQ(w.TexteAppareil->text(), QStringLiteral("https://id.example/device"));
    EXPECT_EQ(w.TexteScopeSmtp->text(), QStringLiteral("smtp offline_access"));
    EXPECT_EQ(w.ListeOctroi->currentIndex(), 1);
    EXPECT_TRUE(w.TexteSecret->text().isEmpty()) << "a stored secret is never shown";
    EXPECT_FALSE(again->ParametresModifies);
    EXPECT_TRUE(again->LabelOAuth->text().startsWith(QStringLiteral("OAuth 2.0 (application)")))
        << again->LabelOAuth->text().toStdString();
    const auto login = OAuthPanel::LoginFromSettings(*again);
    ASSERT_TRUE(login);
    EXPECT_EQ(login->provider.tokenEndpoint, QStringLiteral("https://id.example/token"));
    again->CheckBoxAuth->setChecked(false);
    EXPECT_FALSE(OAuthPanel::LoginFromSettings(*again)) << "no login without authentication";
}

TEST_F(OAuthPanelTest, PresetFollowsItsTenant) {
    {
        auto f = StartMainWindow();
        FrmOAuth& w = *f->frmOAuth;
        w.ListeFournisseur->setCurrentIndex(indexOfPreset(w, QStringLiteral("microsoft")));
        w.TexteTenant->setText(QStringLiteral("contoso.example"));
        EXPECT_EQ(
            w.TexteJeton->text(),
            QStringLiteral("https://login.microsoftonline.com/contoso.example/oauth2/v2.0/token"));
        w.ListeOctroi->setCurrentIndex(1);
        EXPECT_EQ(w.TexteScopeSmtp->text(),
                  QStringLiteral("https://outlook.office365.com/.default"));
        f->CommandSave->click();
    }
    const QByteArray ini = prefix.read(kSettingsFile);
    EXPECT_TRUE(ini.contains("Tenant=contoso.example"));
    EXPECT_FALSE(ini.contains("Jeton=https")) << "the preset's endpoint is not copied";
    // A tenant changed by hand in the file moves the endpoints with it.
    QByteArray edited = ini;
    edited.replace("Tenant=contoso.example", "Tenant=fabrikam.example");
    ASSERT_TRUE(prefix.write(kSettingsFile, edited));
    auto again = StartMainWindow();
    EXPECT_TRUE(again->frmOAuth->TexteJeton->text().contains(QStringLiteral("/fabrikam.example/")));

    // Google: its public endpoints and the mail scope.
    FrmOAuth& w = *again->frmOAuth;
    w.ListeOctroi->setCurrentIndex(0);
    w.ListeFournisseur->setCurrentIndex(indexOfPreset(w, QStringLiteral("google")));
    EXPECT_EQ(w.TexteAppareil->text(), QStringLiteral("https://oauth2.googleapis.com/device/code"));
    EXPECT_EQ(w.TexteScopeSmtp->text(), QStringLiteral("https://mail.google.com/"));
}

TEST_F(OAuthPanelTest, SecretsFileCheckedAtLoadAndStatusShown) {
    ASSERT_TRUE(prefix.write(kSettingsFile,
                             "[Serveur]\r\nAutentification=1\r\nUser=alice@example.test\r\n"
                             "[OAuth2]\r\nMethode=1\r\nFournisseur=microsoft\r\n"));
    ASSERT_TRUE(
        prefix.write(kSecretsFile,
                     "{\"refresh_token\": \"rt-secret-text\", \"account\": \"alice@example.test\", "
                     "\"access_token\": \"at-secret-text\", \"access_expires\": "
                     "\"2031-05-04T10:20:30Z\"}"));
    const QByteArray path = QFile::encodeName(prefix.native(kSecretsFile));
    ASSERT_EQ(::chmod(path.constData(), 0644), 0);
    {
        auto f = StartMainWindow();
        ASSERT_GE(f->ListeIncidents->count(), 1);
        const QString line = f->ListeIncidents->item(0)->text();
        EXPECT_TRUE(line.contains(QStringLiteral("chmod 600"))) << line.toStdString();
        EXPECT_FALSE(line.contains(QStringLiteral("secret-text")));
        EXPECT_EQ(f->LabelOAuth->text(), QStringLiteral("OAuth 2.0 : fichier des jetons refusé"));
    }
    ASSERT_EQ(::chmod(path.constData(), 0600), 0);
    auto f = StartMainWindow();
    EXPECT_EQ(f->ListeIncidents->count(), 0);
    const QString status = f->LabelOAuth->text();
    EXPECT_TRUE(
        status.startsWith(QStringLiteral("OAuth 2.0 : connecté en tant que alice@example.test, "
                                         "jeton valable jusqu'au 2031/05/0")))
        << status.toStdString();
    EXPECT_FALSE(status.contains(QStringLiteral("secret-text")));
}
