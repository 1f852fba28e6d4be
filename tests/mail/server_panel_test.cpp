// The server panel driven through the real widgets of a started main window: the sender
// fills user and server, well-known servers preset port, SSL and authentication, and the
// auto-fill flags follow the operator's typing only.
#include "ui/server_panel.h"

#include "mail/engine/mail_component.h"
#include "support/forms/settings_panel.h"
#include "support/qt_print.h"
#include "support/temp_prefix.h"
#include "ui/frm_main.h"
#include "ui/msgbox.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>

#include <gtest/gtest.h>

namespace {

class ServerPanelTest : public TempPrefixTest {
protected:
    void SetUp() override { f = StartMainWindow(); }
    std::unique_ptr<Frm_Main> f;
};

} // namespace

TEST_F(ServerPanelTest, SenderFillsUserAndServer) {
    struct Case {
        const char* name;
        QString sender;
        QString user;   // expected TexteUser
        QString server; // expected TexteServer
        bool presets;   // port 587, SSL and authentication
    };
    const Case cases[] = {
        {"provider address", "studio@gmail.com", "studio@gmail.com", "smtp.gmail.com", true},
        {"display name", "\"Radio, Studio\" <studio@gmail.com>", "studio@gmail.com",
         "smtp.gmail.com", true},
        {"capitals", "Studio@HOTMAIL.COM", "Studio@HOTMAIL.COM", "smtp.office365.com", true},
        {"yahoo", "a@yahoo.com", "a@yahoo.com", "smtp.mail.yahoo.com", true},
        {"aol", "a@aol.com", "a@aol.com", "smtp.aol.com", true},
        {"other domain", "a@station.example", "a@station.example", "mail.before.example", false},
        {"no @", "Studio", "", "mail.before.example", false},
        {"provider as subdomain", "a@mail.gmail.com", "a@mail.gmail.com", "mail.before.example",
         false},
    };
    for (const Case& c : cases) {
        TempPrefix own;
        f.reset();
        f = StartMainWindow();
        f->TexteServer->setText("mail.before.example");
        f->ParametresModifies = false;
        TypeText(f->TexteFrom, c.sender);
        EXPECT_EQ(f->TexteUser->text(), c.user) << c.name;
        EXPECT_EQ(f->TexteServer->text(), c.server) << c.name;
        EXPECT_EQ(f->ListePort->currentText(), c.presets ? "587" : "25") << c.name;
        EXPECT_EQ(f->CheckBoxSSL->isChecked(), c.presets) << c.name;
        EXPECT_EQ(f->CheckBoxAuth->isChecked(), c.presets) << c.name;
        EXPECT_EQ(f->TexteUser->isEnabled(), c.presets) << c.name;
        EXPECT_EQ(f->ParametresModifies, c.presets) << c.name;
    }
}

TEST_F(ServerPanelTest, TypedServerStopsTheServerFillUntilEmptied) {
    TypeText(f->TexteServer, "mail.own.example");
    EXPECT_FALSE(f->RemplirServeur);
    TypeText(f->TexteFrom, "a@gmail.com");
    EXPECT_EQ(f->TexteServer->text(), "mail.own.example");
    EXPECT_EQ(f->TexteUser->text(), "a@gmail.com") << "the user fill is independent";

    ClearByKeys(f->TexteServer);
    EXPECT_TRUE(f->RemplirServeur);
    f->TexteFrom->clear();
    TypeText(f->TexteFrom, "b@gmail.com");
    EXPECT_EQ(f->TexteServer->text(), "smtp.gmail.com");
}

TEST_F(ServerPanelTest, TypedUserStopsTheUserFillUntilEmptied) {
    f->CheckBoxAuth->click(); // the field takes typing only while authentication is on
    f->ParametresModifies = false;
    TypeText(f->TexteUser, "login");
    EXPECT_FALSE(f->RemplirUtilisateur);
    EXPECT_TRUE(f->ParametresModifies);
    TypeText(f->TexteFrom, "a@b.example");
    EXPECT_EQ(f->TexteUser->text(), "login");
    ClearByKeys(f->TexteUser);
    EXPECT_TRUE(f->RemplirUtilisateur);
}

TEST_F(ServerPanelTest, ProgrammaticChangesLeaveTheFillFlagsAlone) {
    f->TexteServer->setText("mail.x");
    f->TexteUser->setText("login");
    EXPECT_TRUE(f->RemplirServeur);
    EXPECT_TRUE(f->RemplirUtilisateur);
}

TEST_F(ServerPanelTest, WellKnownServerTypedByHandPresets) {
    for (const QString& host :
         {QStringLiteral("smtp.office365.com"), QStringLiteral("SMTP.GMAIL.COM")}) {
        TempPrefix own;
        f.reset();
        f = StartMainWindow();
        TypeText(f->TexteServer, host);
        EXPECT_EQ(f->ListePort->currentText(), "587") << host.toStdString();
        EXPECT_TRUE(f->CheckBoxSSL->isChecked()) << host.toStdString();
        EXPECT_TRUE(f->CheckBoxAuth->isChecked()) << host.toStdString();
        EXPECT_EQ(f->ListeProtocol->currentIndex(), 0) << "the protocol is never changed";
        // Another server afterwards resets nothing.
        ClearByKeys(f->TexteServer);
        TypeText(f->TexteServer, "mail.x");
        EXPECT_TRUE(f->CheckBoxSSL->isChecked()) << host.toStdString();
        EXPECT_EQ(f->ListePort->currentText(), "587") << host.toStdString();
    }
}

TEST_F(ServerPanelTest, WebServiceProtocolSwitchesSslOnForGood) {
    f->ListeProtocol->setCurrentIndex(1);
    EXPECT_TRUE(f->CheckBoxSSL->isChecked());
    f->ListeProtocol->setCurrentIndex(2);
    EXPECT_TRUE(f->CheckBoxSSL->isChecked());
    f->CheckBoxSSL->click();
    f->ListeProtocol->setCurrentIndex(0);
    EXPECT_FALSE(f->CheckBoxSSL->isChecked());
}

TEST_F(ServerPanelTest, WebServiceForMicrosoft365OffersGraphOnce) {
    const struct {
        const char* server;
        MsgBox::Answer answer;
        int protocol; // after choosing EWS
        int boxes;    // after choosing EWS a second time
    } cases[] = {
        {"outlook.office365.com", MsgBox::Answer::Yes, mail::Protocol::Graph, 1},
        {"Outlook.Office365.com:443", MsgBox::Answer::No, mail::Protocol::ExchangeWebService, 1},
        {"mail.radio.example", MsgBox::Answer::Yes, mail::Protocol::ExchangeWebService, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.server);
        TempPrefix own;
        f.reset();
        f = StartMainWindow();
        f->TexteServer->setText(QString::fromLatin1(c.server));
        MsgBox::setNextAnswer(c.answer);
        f->ListeProtocol->setCurrentIndex(mail::Protocol::ExchangeWebService);
        EXPECT_EQ(f->ListeProtocol->currentIndex(), c.protocol);
        f->ListeProtocol->setCurrentIndex(mail::Protocol::Smtp);
        f->ListeProtocol->setCurrentIndex(mail::Protocol::ExchangeWebService);
        EXPECT_EQ(MsgBox::history().size(), c.boxes);
        MsgBox::reset();
    }
    // A saved choice is not the operator's: loading it asks nothing.
    TempPrefix own;
    ASSERT_TRUE(own.write(QStringLiteral("C:\\Halvaro\\Velmora\\Config\\VL3_Postique.ini"),
                          "[Serveur]\r\nServeur=outlook.office365.com\r\nProtocole=1\r\n"));
    f.reset();
    f = StartMainWindow();
    EXPECT_EQ(f->ListeProtocol->currentIndex(), mail::Protocol::ExchangeWebService);
    EXPECT_TRUE(MsgBox::history().isEmpty());
}

TEST_F(ServerPanelTest, AuthenticationEnablesTheCredentialsAndKeepsTheirTexts) {
    f->CheckBoxAuth->click();
    TypeText(f->TexteUser, "login");
    TypeText(f->TextePW, "secret");
    EXPECT_TRUE(f->TextePW->isEnabled());
    f->CheckBoxAuth->click();
    EXPECT_FALSE(f->TexteUser->isEnabled());
    EXPECT_FALSE(f->TextePW->isEnabled());
    EXPECT_EQ(f->TexteUser->text(), "login");
    EXPECT_EQ(f->TextePW->text(), "secret");
}

TEST(WellKnownProviders, LookUps) {
    EXPECT_EQ(ServerPanel::ProviderHostForDomain("GMAIL.com"), "smtp.gmail.com");
    EXPECT_EQ(ServerPanel::ProviderHostForDomain("gmail.com "), "");
    EXPECT_TRUE(ServerPanel::IsWellKnownServer("Smtp.Aol.Com"));
    EXPECT_FALSE(ServerPanel::IsWellKnownServer("smtp.aol.com.evil.example"));
}
