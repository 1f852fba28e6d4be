// SendEmail end to end: the main window's settings and a form's mail fields in, a real SMTP
// server (aiosmtpd) or a dnsmasq-served mail exchanger on loopback out, and the reports in
// message boxes or incident lines.
#include "ui/send_email.h"

#include "automation/jobs/incidents.h"
#include "mail/engine/mail_component.h"
#include "mail/mime/dkim.h"
#include "support/dns_fixture.h"
#include "support/forms/send_window.h"
#include "support/smtp_fixture.h"
#include "support/test_pki.h"
#include "system/error_reporting.h"
#include "system/globals.h"
#include "ui/frm_main.h"
#include "ui/frm_mainbis.h"
#include "ui/msgbox.h"
#include "ui/sft_tabs.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>

#include <gtest/gtest.h>

#include <memory>
#include <optional>

using namespace testsupport;

// The message as a reader sees it: placeholders filled, subject prefixed, envelope from the
// sender text's address; the button and status line busy only during the call.
TEST_F(SendWindowTest, InteractiveSendFillsPlaceholdersAndPrefixesSubject) {
    SmtpServer server;
    ASSERT_TRUE(server.isRunning()) << server.error().toStdString();
    useServer(QStringLiteral("127.0.0.1"), server.port());
    fill(main.get(), "a@dest.test; b@dest.test", "", "cache@dest.test", "Essai [$to]",
         "De: [$from]\r\nA: [$to]\r\nObjet: [$subject]\r\n[$FROM]");

    bool buttonEnabledDuring = true;
    QString statusDuring;
    QTimer::singleShot(0, [&] {
        buttonEnabledDuring = main->ButtonSend->isEnabled();
        statusDuring = main->LabelStatus->text();
    });
    EXPECT_EQ(send(main.get(), Sending::True), Sending::False);

    EXPECT_FALSE(buttonEnabledDuring);
    EXPECT_EQ(statusDuring, "Patientez ... ");
    EXPECT_TRUE(main->ButtonSend->isEnabled());
    EXPECT_EQ(main->LabelStatus->text(), "");
    ASSERT_EQ(MsgBox::history().size(), 1);
    EXPECT_EQ(MsgBox::history()[0].text, "Mail envoyé.");
    EXPECT_EQ(MsgBox::history()[0].icon, MsgBox::Icon::Information);
    EXPECT_TRUE(incidents().isEmpty());
    EXPECT_TRUE(traps.isEmpty()) << traps.join('\n').toStdString();

    ASSERT_TRUE(server.waitForMessages(1));
    const ReceivedMessage got = server.messages().first();
    EXPECT_EQ(got.mailFrom, "jean@station.test");
    EXPECT_EQ(got.recipients, (QStringList{"a@dest.test", "b@dest.test", "cache@dest.test"}));
    const QJsonObject parsed = ParseWithPython(got.data);
    ASSERT_FALSE(parsed.contains("error")) << parsed.value("error").toString().toStdString();
    EXPECT_EQ(parsed.value("subject").toString(), "Postique: Essai [$to]");
    EXPECT_EQ(parsed.value("from").toString(), "Jean Dupont <jean@station.test>");
    const QString body = parsed.value("body").toString();
    EXPECT_TRUE(body.contains("De: Jean Dupont <jean@station.test>\r\n") ||
                body.contains("De: Jean Dupont <jean@station.test>\n"))
        << body.toStdString();
    EXPECT_TRUE(body.contains("A: a@dest.test, b@dest.test,")) << body.toStdString();
    EXPECT_TRUE(body.contains("Objet: Essai [$to]")) << body.toStdString();
    EXPECT_TRUE(body.contains("[$FROM]"))
        << "replacement is case-sensitive: " << body.toStdString();
    EXPECT_FALSE(got.data.contains("cache@dest.test")) << "Bcc stays out of the headers";
}

// Only exactly -1 is interactive: any other value reports as incident lines, newest first,
// with the Incidents tab's alert on. A refusal from a server named like a large provider is
// followed by that provider's hint, whatever the letter case.
// Only the interactive send shows itself on the window (button disabled, "Patientez ... ",
// focus on the body); an automatic one, a job row, leaves the visible window as it is.
TEST_F(SendWindowTest, OnlyAnInteractiveSendShowsItselfOnTheWindow) {
    SmtpServer server;
    ASSERT_TRUE(server.isRunning()) << server.error().toStdString();
    useServer(QStringLiteral("127.0.0.1"), server.port());
    struct Case {
        qint16 manuel;
        QWidget* form;
        bool buttonEnabledDuring;
        const char* statusDuring;
    };
    const Case cases[] = {{Sending::True, main.get(), false, "Patientez ... "},
                          {Sending::False, Frm_MainBis::instance(), true, ""}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.manuel);
        fill(c.form, "a@dest.test", "", "", "Vu", "Corps");
        main->LabelStatus->clear();
        bool buttonEnabledDuring = !c.buttonEnabledDuring;
        QString statusDuring = QStringLiteral("?");
        QTimer::singleShot(0, [&] {
            buttonEnabledDuring = main->ButtonSend->isEnabled();
            statusDuring = main->LabelStatus->text();
        });
        EXPECT_EQ(send(c.form, c.manuel), Sending::False);
        EXPECT_EQ(buttonEnabledDuring, c.buttonEnabledDuring);
        EXPECT_EQ(statusDuring, QString::fromUtf8(c.statusDuring));
        EXPECT_TRUE(main->ButtonSend->isEnabled());
        EXPECT_EQ(main->LabelStatus->text(), "");
    }
    ASSERT_TRUE(server.waitForMessages(2));
}

TEST_F(SendWindowTest, RefusalsGoToBoxesOnlyWhenInteractiveWithProviderHints) {
    const QString gmailHint = "Gmail doesn't support user/password login, please create app "
                              "password, see comments in the source codes";
    const QString officeHint = "It is possible that Office 365 disabled password login in "
                               "your tenant, see comments in the source codes";
    struct Case {
        qint16 manuel;
        QString host;
        QString hint;
    };
    const Case cases[] = {
        {-1, "127.0.0.1", ""},
        {0, "127.0.0.1", ""},
        {1, "127.0.0.1", ""},
        {0, "SMTP.GMAIL.COM.localhost", gmailHint},
        {-1, "smtp.Gmail.com.localhost", gmailHint},
        {0, "smtp.office365.com.localhost", officeHint},
    };
    SmtpServerOptions options;
    options.reply("RCPT", "", "550 5.1.1 Boite inconnue");
    SmtpServer server(options);
    ASSERT_TRUE(server.isRunning()) << server.error().toStdString();
    for (const Case& c : cases) {
        SCOPED_TRACE(QStringLiteral("%1 %2").arg(c.manuel).arg(c.host).toStdString());
        TearDown();
        SetUp();
        useServer(c.host, server.port());
        fill(bis, "inconnu@dest.test", "", "", "Essai", "corps");

        EXPECT_EQ(send(bis, c.manuel), Sending::True);

        QStringList reports = c.manuel == -1 ? boxTexts() : incidents();
        if (c.manuel != -1)
            std::reverse(reports.begin(), reports.end()); // newest first in the list
        ASSERT_EQ(reports.size(), c.hint.isEmpty() ? 1 : 2) << reports.join('\n').toStdString();
        if (c.manuel == -1) {
            EXPECT_TRUE(incidents().isEmpty());
            EXPECT_FALSE(alertOn());
            for (const MsgBox::Record& r : MsgBox::history())
                EXPECT_EQ(r.icon, MsgBox::Icon::Exclamation);
        } else {
            EXPECT_TRUE(MsgBox::history().isEmpty());
            EXPECT_TRUE(alertOn());
            for (QString& line : reports) {
                EXPECT_TRUE(line.startsWith(kStamp)) << line.toStdString();
                line.remove(0, kStamp.size());
            }
        }
        EXPECT_TRUE(reports[0].contains("550")) << reports[0].toStdString();
        if (!c.hint.isEmpty()) {
            EXPECT_EQ(reports[1], c.hint);
        }
        EXPECT_EQ(server.messages().size(), 0);
        EXPECT_TRUE(main->ButtonSend->isEnabled());
    }
}

// Attachments named in the form: existing non-empty files only, the rest skipped without a
// word. Files of the compose panel go with the panel's own mails only, never with an
// automatic mail of the hidden form; a file standing in both lists is attached once; one the
// component refuses abandons the mail.
TEST_F(SendWindowTest, AttachmentRules) {
    QTemporaryDir dir;
    const QString kept = dir.filePath("grille.txt");
    const QString empty = dir.filePath("vide.txt");
    const QString missing = dir.filePath("absent.txt");
    const QString picked = dir.filePath("conducteur.csv");
    {
        QFile f(kept);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("grille du jour\n");
        QFile e(empty);
        ASSERT_TRUE(e.open(QIODevice::WriteOnly));
        QFile p(picked);
        ASSERT_TRUE(p.open(QIODevice::WriteOnly));
        p.write("a;b\n");
    }
    struct Case {
        const char* what;
        QString named;
        QStringList panel;
        QStringList expectedFiles; // attachment names received, empty when nothing is sent
        bool abandoned;
        int reports;
        bool fromPanel = false; // sent from the compose panel rather than the hidden form
    };
    const Case cases[] = {
        {"existing, blank, missing, empty, trailing ;",
         kept + ";  ;" + missing + "; " + empty + ";",
         {""},
         {"grille.txt"},
         false,
         0},
        {"blank text", "   ", {""}, {}, false, 0},
        {"panel file also named", kept + "; ", {kept, ""}, {"grille.txt"}, false, 0, true},
        {"panel file only", "", {picked, ""}, {"conducteur.csv"}, false, 0, true},
        {"automatic mail ignores the panel", kept, {picked, missing, ""}, {"grille.txt"}, false, 0},
        {"panel folder refused", "", {dir.path(), ""}, {}, true, 1, true},
        {"panel file missing", kept, {missing, ""}, {}, true, 1, true},
    };
    SmtpServer server;
    ASSERT_TRUE(server.isRunning()) << server.error().toStdString();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TearDown();
        SetUp();
        const int before = server.messages().size();
        useServer(QStringLiteral("127.0.0.1"), server.port());
        main->Attachments = c.panel;
        QWidget* form = c.fromPanel ? static_cast<QWidget*>(main.get()) : bis;
        fill(form, "antenne@dest.test", "", "", "PJ", "corps", c.named);

        EXPECT_EQ(send(form, Sending::False), c.abandoned ? Sending::True : Sending::False);
        EXPECT_EQ(incidents().size(), c.reports) << incidents().join('\n').toStdString();
        EXPECT_TRUE(MsgBox::history().isEmpty());
        if (c.abandoned) {
            EXPECT_TRUE(incidents().first().endsWith(":" + c.panel.first()))
                << incidents().first().toStdString();
            EXPECT_EQ(server.messages().size(), before);
        } else {
            ASSERT_TRUE(server.waitForMessages(before + 1));
            ASSERT_EQ(server.messages().size(), before + 1);
            const QJsonObject parsed = ParseWithPython(server.messages().last().data);
            QStringList names;
            for (const QJsonValue& a : parsed.value("attachments").toArray())
                names << a.toObject().value("filename").toString();
            EXPECT_EQ(names, c.expectedFiles);
        }
    }
}

// Signing asked without a certificate for the sender: both reports, nothing looked up for
// the recipients, nothing added, nothing sent.
TEST_F(SendWindowTest, SigningWithoutCertificateAbandonsBeforeRecipients) {
    SmtpServer server;
    ASSERT_TRUE(server.isRunning()) << server.error().toStdString();
    useServer(QStringLiteral("127.0.0.1"), server.port());
    main->CheckBoxSign->setChecked(true);
    main->CheckBoxEncrypt->setChecked(true);
    fill(bis, "a@dest.test", "b@dest.test", "", "Signé", "corps");

    EXPECT_EQ(send(bis, Sending::False), Sending::True);
    const QStringList lines = incidents();
    ASSERT_EQ(lines.size(), 2) << lines.join('\n').toStdString();
    EXPECT_EQ(lines[0], kStamp + "Signer certificate has not private key, this certificate can "
                                 "not be used to sign email!");
    EXPECT_TRUE(lines[1].endsWith(":jean@station.test")) << lines[1].toStdString();
    EXPECT_GT(lines[1].size(), kStamp.size() + QString(":jean@station.test").size())
        << "the store's reason comes first";
    EXPECT_EQ(server.messages().size(), 0);
}

// No server: one recipient goes through the component's own direct delivery; several go
// one copy each through DirectSend, every copy reported, and the mail counts as abandoned
// only when a copy failed.
TEST_F(SendWindowTest, WithoutServerEachRecipientGetsItsOwnCopy) {
    SmtpServer sink;
    ASSERT_TRUE(sink.isRunning()) << sink.error().toStdString();
    DnsServerOptions zone;
    zone.mx = {{"alpha.test", "mx.alpha.test", 10}, {"beta.test", "mx.beta.test", 10}};
    zone.hosts = {{"mx.alpha.test", "127.0.0.1"}, {"mx.beta.test", "127.0.0.1"}};
    zone.nullMx = {"muet.test"};
    DnsServer dns(zone);
    ASSERT_TRUE(dns.isRunning()) << dns.error().toStdString();
    EnvSetting dnsSetting("VELMORA_DNS", dns.address().toLatin1());
    EnvSetting portSetting("VELMORA_MX_PORT", QByteArray::number(sink.port()));

    struct Case {
        const char* what;
        qint16 manuel;
        QString to, cc, cci;
        QStringList boxes;         // interactive reports, in order
        int incidentLines;         // automatic reports
        QList<QStringList> copies; // envelope recipients of each message received
        qint16 abandon;
        // Sent while a job's row holds a copy record that knows every recipient: an
        // operator's send must neither skip them nor land in the row's record.
        bool duringJob = false;
    };
    const Case cases[] = {
        {"single recipient",
         -1,
         "un@alpha.test",
         "",
         "",
         {"Mail envoyé."},
         0,
         {{"un@alpha.test"}},
         0},
        {"three recipients",
         -1,
         "un@alpha.test;",
         "deux@beta.test",
         " ; trois@alpha.test",
         {"Mail envoyé avec succès à un@alpha.test", "Mail envoyé avec succès à deux@beta.test",
          "Mail envoyé avec succès à trois@alpha.test"},
         0,
         {{"un@alpha.test"}, {"deux@beta.test"}, {"trois@alpha.test"}},
         0},
        {"two recipients by hand during a job",
         -1,
         "un@alpha.test",
         "deux@beta.test",
         "",
         {"Mail envoyé avec succès à un@alpha.test", "Mail envoyé avec succès à deux@beta.test"},
         0,
         {{"un@alpha.test"}, {"deux@beta.test"}},
         0,
         true},
        {"one copy refused, automatic",
         0,
         "un@alpha.test; x@muet.test",
         "",
         "deux@beta.test",
         {},
         1,
         {{"un@alpha.test"}, {"deux@beta.test"}},
         -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TearDown();
        SetUp();
        const int before = sink.messages().size();
        main->TexteServer->setText("");
        QWidget* form = c.duringJob ? static_cast<QWidget*>(main.get()) : bis;
        fill(form, c.to, c.cc, c.cci, "Direct", "corps");

        int recorded = 0;
        automation::CopyRecord record;
        record.alreadySent = [](const QString&) { return true; };
        record.noteSent = [&](const QString&) { ++recorded; };
        automation::JobContext job;
        job.copies = &record;
        std::optional<automation::JobScope> scope;
        if (c.duringJob)
            scope.emplace(job);
        EXPECT_EQ(send(form, c.manuel), c.abandon);
        scope.reset();
        EXPECT_EQ(recorded, 0);
        EXPECT_EQ(boxTexts(), c.boxes);
        const QStringList lines = incidents();
        ASSERT_EQ(lines.size(), c.incidentLines) << lines.join('\n').toStdString();
        if (c.incidentLines) {
            EXPECT_TRUE(lines[0].startsWith(kStamp + "Echec de l'envoi du mail à x@muet.test : "))
                << lines[0].toStdString();
        }
        ASSERT_TRUE(sink.waitForMessages(before + c.copies.size()));
        const QList<ReceivedMessage> got = sink.messages().mid(before);
        ASSERT_EQ(got.size(), c.copies.size());
        for (int i = 0; i < got.size(); ++i) {
            EXPECT_EQ(got[i].recipients, c.copies[i]);
            const QJsonObject parsed = ParseWithPython(got[i].data);
            EXPECT_EQ(parsed.value("subject").toString(), "Postique: Direct");
        }
        EXPECT_EQ(main->LabelStatus->text(), "");
    }
}

// High Volume Email delivers inside the organisation only: a recipient outside the sender's
// domain and [HVE] Domaines= holds the mail back (it waits) instead of going out to fail.
TEST_F(SendWindowTest, HighVolumeEmailKeepsOutsideRecipientsBack) {
    QTemporaryDir settings;
    const QString savedFolder = Lib_Public::DossierConfigGlobal[0];
    const std::shared_ptr<void> restore(
        nullptr, [&](void*) { Lib_Public::DossierConfigGlobal[0] = savedFolder; });
    Lib_Public::DossierConfigGlobal[0] = settings.path() + "/";
    QFile ini(settings.filePath("VL3_Postique.ini"));
    ASSERT_TRUE(ini.open(QIODevice::WriteOnly));
    ini.write("[HVE]\r\nDomaines=Partenaire.test; autre.test\r\n");
    ini.close();
    useServer(QStringLiteral("smtp-hve.office365.com"), 587);
    mail::SetDefaultTimeLimits({std::chrono::milliseconds(300), std::chrono::milliseconds(300)});
    const struct {
        const char* to;
        bool heldBack;
    } cases[] = {{"a@station.test; x@dehors.test", true}, {"b@partenaire.test", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.to);
        main->ListeIncidents->clear();
        fill(bis, QString::fromLatin1(c.to), "", "", "Essai", "corps");
        EXPECT_EQ(send(bis, 0), Sending::True);
        const QStringList held = incidents().filter(QStringLiteral("5.5.105"));
        ASSERT_EQ(held.size(), c.heldBack ? 1 : 0) << incidents().join('\n').toStdString();
        if (c.heldBack) {
            EXPECT_TRUE(held[0].contains(QStringLiteral("x@dehors.test")));
            EXPECT_FALSE(held[0].contains(QStringLiteral("a@station.test")));
        }
    }
}

// A [DKIM] section signs every mail; a key that cannot be used holds the row back (it waits,
// transient, and its own waiting line says why) unless Obligatoire=0 lets it go unsigned; a
// warning that does not stop the mail is written once, not once per row.
TEST_F(SendWindowTest, DkimSectionSignsOrHoldsTheMailBack) {
    SmtpServer server;
    ASSERT_TRUE(server.isRunning()) << server.error().toStdString();
    useServer(QStringLiteral("127.0.0.1"), server.port());
    QTemporaryDir settings;
    const QString savedFolder = Lib_Public::DossierConfigGlobal[0];
    const std::shared_ptr<void> restore(
        nullptr, [&](void*) { Lib_Public::DossierConfigGlobal[0] = savedFolder; });
    Lib_Public::DossierConfigGlobal[0] = settings.path() + "/";
    const QString key = settings.filePath("station.pem");
    ASSERT_TRUE(RunOpenssl(
        {"genpkey", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:1024", "-out", key}));
    QFile::setPermissions(key, QFile::ReadOwner);
    QString error;
    const auto signer = mail::dkim::Signer::Load({"station.test", "s1", key, "", ""}, error);
    ASSERT_TRUE(signer) << error.toStdString();
    // The key published where the settings point, and another key under selector s9.
    DnsServerOptions zone;
    zone.extraArguments = {"--txt-record=s1._domainkey.station.test," + signer->rsaRecord(),
                           "--txt-record=s1._domainkey.autre.test," + signer->rsaRecord(),
                           "--txt-record=s9._domainkey.station.test,v=DKIM1; k=rsa; p=MIGfMA0G"};
    DnsServer dns(zone);
    ASSERT_TRUE(dns.isRunning()) << dns.error().toStdString();
    EnvSetting dnsSetting("VELMORA_DNS", dns.address().toLatin1());
    const struct {
        const char* name;
        const char* section;
        QFile::Permissions keyMode;
        bool sent, signedMail;
        const char* incident; // a piece of the one incident line; "" for none
    } cases[] = {
        {"aligned", "Domaine=station.test\nSelecteur=s1\nCle=station.pem", QFile::ReadOwner, true,
         true, ""},
        {"not aligned", "Domaine=autre.test\nSelecteur=s1\nCle=station.pem", QFile::ReadOwner, true,
         true, "DMARC"},
        {"key readable by others", "Domaine=station.test\nSelecteur=s1\nCle=station.pem",
         QFile::ReadOwner | QFile::ReadOther, false, false, "Obligatoire=1"},
        {"unsigned allowed", "Domaine=station.test\nSelecteur=s1\nCle=station.pem\nObligatoire=0",
         QFile::ReadOwner | QFile::ReadOther, true, false, "(Obligatoire=0)"},
        {"published key is another", "Domaine=station.test\nSelecteur=s9\nCle=station.pem",
         QFile::ReadOwner, false, false, "ne correspond pas"},
        {"key not published", "Domaine=station.test\nSelecteur=s2\nCle=station.pem",
         QFile::ReadOwner, false, false, "Aucune clé DKIM n'est publiée"},
        {"key outside the settings folder", "Domaine=station.test\nSelecteur=s1\nCle=../k.pem",
         QFile::ReadOwner, false, false, "simple nom de fichier"},
        {"no key named", "Domaine=station.test\nSelecteur=s1", QFile::ReadOwner, false, false,
         "incomplète"},
    };
    int received = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        main->ListeIncidents->clear();
        QFile ini(settings.filePath("VL3_Postique.ini"));
        ASSERT_TRUE(ini.open(QIODevice::WriteOnly | QIODevice::Truncate));
        ini.write(QByteArray("[DKIM]\n") + c.section + "\n");
        ini.close();
        QFile::setPermissions(key, c.keyMode);
        for (int row = 0; row < 2; ++row) {
            fill(bis, "a@dest.test", "", "", "Ligne", "corps");
            automation::JobContext job;
            const automation::JobScope scope(job);
            EXPECT_EQ(send(bis, Sending::False), c.sent ? Sending::False : Sending::True)
                << incidents().join('\n').toStdString();
            EXPECT_EQ(job.verdict.outcome,
                      c.sent ? Sending::Outcome::Sent : Sending::Outcome::Transient);
            // Held back: the row's waiting line gives this short reason, never the key.
            if (!c.sent) {
                EXPECT_TRUE(job.verdict.reason.contains(QString::fromUtf8(c.incident)) &&
                            !job.verdict.reason.contains(u"p="))
                    << job.verdict.reason.toStdString();
            }
        }
        if (c.sent) {
            ASSERT_TRUE(server.waitForMessages(received += 2));
            EXPECT_EQ(
                server.messages().last().data.startsWith("DKIM-Signature: v=1; a=rsa-sha256;"),
                c.signedMail);
        }
        const QStringList lines = incidents();
        const int expected = *c.incident && c.sent ? 1 : 0; // held back: the row's line says it
        ASSERT_EQ(lines.size(), expected) << lines.join('\n').toStdString();
        for (const QString& line : lines)
            EXPECT_TRUE(line.contains(QString::fromUtf8(c.incident))) << line.toStdString();
    }
    EXPECT_EQ(server.messages().size(), received);
}
