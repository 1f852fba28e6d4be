// The compose panel driven through its buttons on the offscreen platform: the three checks
// of "Envoyer", picking and clearing attachments, and a send that reaches a real server.
#include "ui/compose_panel.h"

#include "support/forms/send_window.h"
#include "support/smtp_fixture.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QJsonArray>
#include <QPushButton>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace testsupport;

namespace {
const QString kNoSender = QStringLiteral("Veuillez renseigner l'adresse email.");
const QString kNoRecipient = QStringLiteral(
    "Veuillez renseigner l'adrese email du destinataire et/ou des copies (Utilisez un ; pour "
    "séparer les adresses multiples).");
const QString kNoLogin = QStringLiteral("Veuillez renseigner l'utilisateur et/ou le mot de passe.");
const QString kAbandoned = QStringLiteral("Envoi du mail abandonné.");
const QString kSent = QStringLiteral("Mail envoyé.");
} // namespace

// Each check stops the send with its own message only; what passes the checks is sent.
TEST_F(SendWindowTest, SendButtonChecksFieldsFirst) {
    struct Case {
        const char* what;
        QString from, to, cc, cci;
        bool auth;
        QString user, password;
        QStringList boxes;
        int sent;
    };
    const Case cases[] = {
        {"no sender", "   ", "a@dest.test", "", "", false, "", "", {kNoSender}, 0},
        {"only Cci", "r@station.test", " ", "  ", "c@dest.test", false, "", "", {kNoRecipient}, 0},
        {"login without password",
         "r@station.test",
         "a@dest.test",
         "",
         "",
         true,
         "u",
         " ",
         {kNoLogin},
         0},
        {"login without user",
         "r@station.test",
         "a@dest.test",
         "",
         "",
         true,
         "",
         "pw",
         {kNoLogin},
         0},
        {"Cc alone, no login", "r@station.test", "", "c@dest.test", "", false, "", "", {kSent}, 1},
    };
    SmtpServer server;
    ASSERT_TRUE(server.isRunning()) << server.error().toStdString();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TearDown();
        SetUp();
        const int before = server.messages().size();
        useServer(QStringLiteral("127.0.0.1"), server.port());
        main->TexteFrom->setText(c.from);
        fill(main.get(), c.to, c.cc, c.cci, "Essai", "corps");
        main->CheckBoxAuth->setChecked(c.auth);
        main->TexteUser->setText(c.user);
        main->TextePW->setText(c.password);

        main->ButtonSend->click();

        EXPECT_EQ(boxTexts(), c.boxes);
        for (const MsgBox::Record& r : MsgBox::history())
            EXPECT_EQ(r.icon,
                      r.text == kSent ? MsgBox::Icon::Information : MsgBox::Icon::Exclamation);
        if (c.sent) {
            ASSERT_TRUE(server.waitForMessages(before + c.sent));
        }
        EXPECT_EQ(server.messages().size(), before + c.sent);
    }
}

// With OAuth 2.0 chosen the hidden password is not asked for: the send goes to the mail
// component (which, with no token signed in here, abandons it).
TEST_F(SendWindowTest, OAuthLoginNeedsNoPassword) {
    SmtpServer server;
    ASSERT_TRUE(server.isRunning()) << server.error().toStdString();
    useServer(QStringLiteral("127.0.0.1"), server.port());
    fill(main.get(), "a@dest.test", "", "", "Essai", "corps");
    main->CheckBoxAuth->setChecked(true);
    main->TexteUser->setText("u@station.test");
    main->TextePW->setText("");
    main->ListeAuthMethode->setCurrentIndex(1);

    main->ButtonSend->click();

    const QStringList boxes = boxTexts();
    EXPECT_FALSE(boxes.contains(kNoLogin)) << boxes.join('\n').toStdString();
    ASSERT_FALSE(boxes.isEmpty());
    EXPECT_TRUE(boxes.last().endsWith(kAbandoned)) << boxes.join('\n').toStdString();
}

// A refused send shows one box: the server's reason, then the abandon message.
TEST_F(SendWindowTest, RefusedSendEndsWithAbandonMessage) {
    SmtpServerOptions options;
    options.reply("MAIL", "", "550 5.7.1 Expediteur refuse");
    SmtpServer server(options);
    ASSERT_TRUE(server.isRunning()) << server.error().toStdString();
    useServer(QStringLiteral("127.0.0.1"), server.port());
    fill(main.get(), "a@dest.test", "", "", "Essai", "corps");

    main->ButtonSend->click();

    const QStringList boxes = boxTexts();
    ASSERT_EQ(boxes.size(), 1) << boxes.join('\n').toStdString();
    EXPECT_TRUE(boxes[0].contains("550") && boxes[0].endsWith("\n\n" + kAbandoned))
        << boxes[0].toStdString();
    EXPECT_TRUE(incidents().isEmpty());
}

// "Ajouter" appends each real pick to both lists, a cancelled dialog adds nothing,
// "Purger" empties both, and a picked file goes with the next send once.
TEST_F(SendWindowTest, AddAndClearAttachments) {
    QTemporaryDir dir;
    const QString first = dir.filePath("grille.txt");
    const QString second = dir.filePath("conduite.pdf");
    for (const QString& path : {first, second}) {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("contenu\n");
    }
    CommonDialog& dialog = *bis->CMDialog;

    main->ButtonClear->click(); // on an empty panel
    EXPECT_EQ(main->Attachments, QStringList{QString()});
    EXPECT_EQ(main->TexteAttachments->toPlainText(), "");

    dialog.queueAnswer(first);
    main->ButtonAdd->click();
    EXPECT_EQ(dialog.Filter, "Tous les fichiers (*.*) | *.*");
    dialog.queueAnswer(QString()); // cancelled: keeps its last name, adds nothing
    main->ButtonAdd->click();
    dialog.queueAnswer(second);
    main->ButtonAdd->click();
    EXPECT_EQ(main->Attachments, (QStringList{first, second, QString()}));
    EXPECT_EQ(main->TexteAttachments->toPlainText(), first + "; " + second + "; ");

    SmtpServer server;
    ASSERT_TRUE(server.isRunning()) << server.error().toStdString();
    useServer(QStringLiteral("127.0.0.1"), server.port());
    fill(main.get(), "a@dest.test", "", "", "PJ", "corps", main->TexteAttachments->toPlainText());
    main->ButtonSend->click();
    EXPECT_EQ(boxTexts(), QStringList{kSent});
    ASSERT_TRUE(server.waitForMessages(1));
    const QJsonObject parsed = ParseWithPython(server.messages().first().data);
    QStringList names;
    for (const QJsonValue& a : parsed.value("attachments").toArray())
        names << a.toObject().value("filename").toString();
    EXPECT_EQ(names, (QStringList{"grille.txt", "conduite.pdf"}));

    main->ButtonClear->click();
    EXPECT_EQ(main->Attachments, QStringList{QString()});
    EXPECT_EQ(main->TexteAttachments->toPlainText(), "");
}
