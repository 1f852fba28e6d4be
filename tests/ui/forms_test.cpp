// The forms as the rest of the program reaches them: names, captions, pages, handler wiring,
// the tab alert state, text access by name and the attachment dialog's scripting.
#include "ui/controls.h"
#include "ui/frm_about.h"
#include "ui/frm_main.h"
#include "ui/frm_mainbis.h"
#include "ui/frm_msg.h"
#include "ui/frm_systray.h"
#include "ui/mail_field.h"
#include "ui/sft_tabs.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QGroupBox>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QStyle>
#include <QTabBar>
#include <QTableWidget>
#include <QTimer>

#include <gtest/gtest.h>

#include <memory>

namespace {

// Records which handlers the window raises without running them: the wiring is what is
// tested here, and some handlers act outside the window (sending, quitting, sleeping).
struct HandlerLog {
    QStringList names;
    HandlerLog() {
        Frm_Main::SetHandlerHook([this](const QString& n) {
            names << n;
            return false;
        });
    }
    ~HandlerLog() { Frm_Main::SetHandlerHook({}); }
};

constexpr int Outside = -1;

struct ControlCase {
    const char* name;
    const char* kind; // class the control must inherit
    const char* caption;
    int page; // tab index, or Outside
    const char* tooltip;
};

} // namespace

TEST(Frm_Main, ControlsHaveTheirNamesCaptionsAndPages) {
    Frm_Main w;
    const ControlCase cases[] = {
        {"Label1", "QLabel", "A", 0, ""},
        {"TexteTo", "QLineEdit", "", 0, ""},
        {"Label3", "QLabel", "Cc", 0, ""},
        {"TexteCc", "QLineEdit", "", 0, ""},
        {"Label12", "QLabel", "Cci", 0, ""},
        {"TexteCci", "QLineEdit", "", 0, ""},
        {"Label4", "QLabel", "Objet", 0, ""},
        {"TexteSubject", "QLineEdit", "Test d'envoi de mail", 0, ""},
        {"Label9", "QLabel", "Pièces jointes", 0, ""},
        {"TexteAttachments", "QPlainTextEdit", "", 0, ""},
        {"ButtonAdd", "QPushButton", "Ajouter", 0, ""},
        {"ButtonClear", "QPushButton", "Purger", 0, ""},
        {"TexteBody", "QPlainTextEdit", "", 0, ""},
        {"Label10", "QLabel", "Utilisez un ; pour séparer les adresses mail", 0, ""},
        {"ButtonSend", "QPushButton", "Envoyer", 0, ""},
        {"LabelStatus", "QLabel", "", 0, ""},
        {"MyFrameEmail_0", "QGroupBox", "Paramètres du serveur", 1, ""},
        {"Label6", "QLabel", "Serveur", 1, ""},
        {"TexteServer", "QLineEdit", "", 1, ""},
        {"Label11", "QLabel", "Protocole", 1, ""},
        {"ListeProtocol", "QComboBox", "", 1, ""},
        {"ListePort", "QComboBox", "", 1, ""},
        {"CheckBoxSSL", "QCheckBox", "Le serveur requiert une connexion SSL", 1, ""},
        {"CheckBoxAuth", "QCheckBox", "Le serveur nécessite une autentification", 1, ""},
        {"Label7", "QLabel", "Utilisateur", 1, ""},
        {"TexteUser", "QLineEdit", "", 1, ""},
        {"Label8", "QLabel", "Mot de passe", 1, ""},
        {"TextePW", "QLineEdit", "", 1, ""},
        {"CommandPW", "QPushButton", "Afficher", 1, ""},
        {"MyFrameEmail_1", "QGroupBox", "Paramètres d'envoi", 1, ""},
        {"Label2", "QLabel", "De (email)", 1, ""},
        {"TexteFrom", "QLineEdit", "", 1, ""},
        {"Label5", "QLabel", "Encodage", 1, ""},
        {"ListeCharset", "QComboBox", "", 1, ""},
        {"CheckBoxSign", "QCheckBox", "Signature numérique", 1, ""},
        {"CheckBoxEncrypt", "QCheckBox", "Crypter", 1, ""},
        {"MyFrameEmail_2", "QGroupBox", "Dossier partagé avec les modules Velmora", 1, ""},
        {"TexteDossier_0", "QLineEdit", "", 1, ""},
        {"CommandDossier_0", "QPushButton", "...", 1, "Sélection du dossier..."},
        {"CheckSousDossiers", "QCheckBox", "Analyser les sous-dossiers", 1, ""},
        {"CommandSave", "QPushButton", "Enregistrer", 1, "Sauvegarder le paramétrage"},
        {"fpSpreadData", "QTableView", "", 2, ""},
        {"ListeIncidents", "QListWidget", "", 3, ""},
        {"CommandIncidentsPurge_0", "QPushButton", "Purger", 3, ""},
        {"CommandMiseEnVeille", "QPushButton", "Mettre en veille", Outside, ""},
        {"CheckBloquer", "QCheckBox", "Bloquer l'envoi de mail automatique", Outside, ""},
        {"CommandQuitter", "QPushButton", "Quitter", Outside, "Quitter l'application"},
    };
    for (const ControlCase& c : cases) {
        SCOPED_TRACE(c.name);
        QWidget* control = Controls::Find(&w, QString::fromUtf8(c.name));
        ASSERT_NE(control, nullptr);
        EXPECT_TRUE(control->inherits(c.kind));
        if (auto* box = qobject_cast<QGroupBox*>(control))
            EXPECT_EQ(box->title(), QString::fromUtf8(c.caption));
        else
            EXPECT_EQ(Controls::Text(&w, control->objectName()), QString::fromUtf8(c.caption));
        EXPECT_EQ(control->toolTip(), QString::fromUtf8(c.tooltip));
        for (int page = 0; page < 4; ++page)
            EXPECT_EQ(w.SftTabsMain->widget(page)->isAncestorOf(control), page == c.page)
                << "page " << page;
    }
    // The members are the controls found by name.
    EXPECT_EQ(Controls::Find(&w, "TexteDossier_0"), w.TexteDossier[0]);
    EXPECT_EQ(Controls::Find(&w, "MyFrameEmail_2"), w.MyFrameEmail[2]);
}

TEST(Frm_Main, PagesMenusAndTimers) {
    Frm_Main w;
    EXPECT_EQ(w.windowTitle(), "Velmora: Postique");
    ASSERT_EQ(w.SftTabsMain->count(), 5);
    const char* pages[] = {"Envoi de mail", "Paramétrage", "Données reçues", "Incidents",
                           "File d'attente"};
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(w.SftTabsMain->tabText(i), QString::fromUtf8(pages[i]));
    EXPECT_EQ(w.SftTabsMain->objectName(), "SftTabsMain");

    auto texts = [](QMenu* menu) {
        QStringList out;
        for (QAction* a : menu->actions())
            out << (a->isSeparator() ? QStringLiteral("-") : a->text());
        return out;
    };
    EXPECT_EQ(w.Mnu01->title(), "Fichier");
    EXPECT_EQ(texts(w.Mnu01), QStringList({"Mettre en veille", "-", "Quitter"}));
    EXPECT_EQ(w.Mnu99->title(), "?");
    EXPECT_EQ(texts(w.Mnu99),
              QStringList({QString::fromUtf8("Historique des révisions..."), "-", "A propos..."}));
    EXPECT_EQ(w.MnuWhatNews[0]->objectName(), "MnuWhatNews_0");
    EXPECT_EQ(w.Mnu99Sep99->objectName(), "Mnu99Sep99");

    EXPECT_EQ(w.TimerSendEmail->interval(), 1000);
    EXPECT_FALSE(w.TimerSendEmail->isActive()) << "started by the load, not the construction";
    EXPECT_EQ(w.TimerFlash->interval(), 100);
    EXPECT_FALSE(w.TimerFlash->isActive());

    EXPECT_EQ(w.TextePW->echoMode(), QLineEdit::Password);
    EXPECT_EQ(
        w.TextePW->style()->styleHint(QStyle::SH_LineEdit_PasswordCharacter, nullptr, w.TextePW),
        '*');
    EXPECT_EQ(w.TexteBody->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    EXPECT_EQ(w.ListeIncidents->font().family(), "Arial");
    EXPECT_EQ(w.Attachments, QStringList({QString()}));
    EXPECT_FALSE(w.ParametresModifies);
    EXPECT_EQ(Frm_Main::instance(), &w);
}

// The "Modifications non enregistrées" line appears without moving any control of the
// settings page: the next click lands where the operator aimed.
TEST(Frm_Main, UnsavedChangesLineMovesNoControl) {
    Frm_Main w;
    w.show();
    w.SftTabsMain->setCurrentIndex(1);
    QWidget* page = w.SftTabsMain->currentWidget();
    const auto places = [&] {
        QStringList where;
        for (QWidget* control : page->findChildren<QWidget*>())
            if (control != w.LabelNonEnregistre && control->isVisible())
                where << QStringLiteral("%1 %2,%3 %4x%5")
                             .arg(control->objectName())
                             .arg(control->mapTo(&w, QPoint()).x())
                             .arg(control->mapTo(&w, QPoint()).y())
                             .arg(control->width())
                             .arg(control->height());
        return where.join(u'\n').toStdString();
    };
    QCoreApplication::processEvents();
    const std::string before = places();
    w.LabelNonEnregistre->show();
    QCoreApplication::processEvents();
    EXPECT_EQ(places(), before);
}

TEST(Frm_Main, HiddenFormsComeWithTheMainWindow) {
    {
        Frm_Main w;
        Frm_MainBis* bis = Frm_MainBis::instance();
        FrmSysTray* tray = FrmSysTray::instance();
        ASSERT_NE(bis, nullptr);
        ASSERT_NE(tray, nullptr);
        EXPECT_FALSE(bis->isVisible());
        EXPECT_FALSE(tray->isVisible());
        for (const char* name : {"TexteTo", "TexteCc", "TexteCci", "TexteSubject", "TexteBody",
                                 "TexteAttachments", "ListeSousDossiers", "ListeFichiersSS8"})
            EXPECT_NE(Controls::Find(bis, name), nullptr) << name;
        EXPECT_EQ(bis->TexteSubject->text(), "Test d'envoi de mail");
        EXPECT_EQ(bis->TimerVeille->interval(), 100);
        EXPECT_FALSE(bis->TimerVeille->isActive());
        EXPECT_FALSE(bis->ListeSousDossiers->isSortingEnabled());

        QStringList items;
        for (QAction* a : tray->MnuFlottant->actions())
            items << (a->isSeparator() ? QStringLiteral("-") : a->text());
        EXPECT_EQ(items, QStringList({"Afficher", "-", "A propos...", "-", "Quitter"}));
        EXPECT_EQ(tray->MnuFlottant->title(), "Flottant");
        EXPECT_NE(Controls::Find(tray, "ListeFrm"), nullptr);
    }
    EXPECT_EQ(Frm_Main::instance(), nullptr);
    EXPECT_EQ(Frm_MainBis::instance(), nullptr);
    EXPECT_EQ(FrmSysTray::instance(), nullptr);
}

TEST(Frm_Main, ProgrammaticChangesRaiseTheirHandlers) {
    Frm_Main w;
    w.ListePort->addItems({"25", "587", "465"});
    w.ListeProtocol->addItems({"a", "b"});
    w.ListeCharset->addItems({"a", "b"});
    HandlerLog log;
    struct Case {
        const char* handler;
        std::function<void()> change;
    };
    const Case cases[] = {
        {"TexteServer_Change", [&] { w.TexteServer->setText("smtp.example.com"); }},
        {"TexteFrom_Change", [&] { w.TexteFrom->setText("a@example.com"); }},
        {"TextePW_Change", [&] { w.TextePW->setText("secret"); }},
        {"TexteDossier_Change", [&] { w.TexteDossier[0]->setText("C:\\Jobs\\"); }},
        {"CheckBoxAuth_Click", [&] { w.CheckBoxAuth->setChecked(true); }},
        {"CheckBoxSSL_Click", [&] { w.CheckBoxSSL->setChecked(true); }},
        {"CheckBoxSign_Click", [&] { w.CheckBoxSign->setChecked(true); }},
        {"CheckBoxEncrypt_Click", [&] { w.CheckBoxEncrypt->setChecked(true); }},
        {"CheckSousDossiers_Click", [&] { w.CheckSousDossiers->setChecked(true); }},
        {"ListeProtocol_Click", [&] { w.ListeProtocol->setCurrentIndex(1); }},
        {"ListePort_Click", [&] { w.ListePort->setCurrentIndex(2); }},
        {"ListeCharset_Click", [&] { w.ListeCharset->setCurrentIndex(1); }},
        {"ButtonSend_Click", [&] { w.ButtonSend->click(); }},
        {"ButtonAdd_Click", [&] { w.ButtonAdd->click(); }},
        {"ButtonClear_Click", [&] { w.ButtonClear->click(); }},
        {"CommandPW_Click", [&] { w.CommandPW->click(); }},
        {"CommandDossier_Click", [&] { w.CommandDossier[0]->click(); }},
        {"CommandSave_Click", [&] { w.CommandSave->click(); }},
        {"CommandIncidentsPurge_Click", [&] { w.CommandIncidentsPurge[0]->click(); }},
        {"CommandMiseEnVeille_Click", [&] { w.CommandMiseEnVeille->click(); }},
        {"CommandQuitter_Click", [&] { w.CommandQuitter->click(); }},
        {"MnuVeille_Click", [&] { w.MnuVeille->trigger(); }},
        {"MnuQuitter_Click", [&] { w.MnuQuitter->trigger(); }},
        {"MnuWhatNews_Click", [&] { w.MnuWhatNews[0]->trigger(); }},
        {"Mnu99APropos_Click", [&] { w.Mnu99APropos->trigger(); }},
        {"TimerFlash_Timer",
         [&] {
             w.TimerFlash->start(0);
             QCoreApplication::processEvents();
             w.TimerFlash->stop();
         }},
        {"TimerSendEmail_Timer",
         [&] {
             w.TimerSendEmail->start(0);
             QCoreApplication::processEvents();
             w.TimerSendEmail->stop();
         }},
    };
    for (const Case& c : cases) {
        log.names.clear();
        c.change();
        EXPECT_TRUE(log.names.contains(QString::fromUtf8(c.handler)))
            << c.handler << " got " << log.names.join(',').toStdString();
    }
    // The two check boxes without handlers of their own raise nothing.
    log.names.clear();
    w.CheckBloquer->setChecked(true);
    EXPECT_TRUE(log.names.isEmpty());
}

TEST(Frm_Main, KeyUpHandlersFollowKeyReleasesOnly) {
    Frm_Main w;
    HandlerLog log;
    w.TexteServer->setText("x");
    w.TexteUser->setText("y");
    EXPECT_FALSE(log.names.contains("TexteServer_KeyUp"));
    EXPECT_FALSE(log.names.contains("TexteUser_KeyUp"));

    struct Case {
        QLineEdit* field;
        const char* handler;
    };
    for (const Case& c :
         {Case{w.TexteServer, "TexteServer_KeyUp"}, Case{w.TexteUser, "TexteUser_KeyUp"}}) {
        log.names.clear();
        QKeyEvent press(QEvent::KeyPress, Qt::Key_A, Qt::NoModifier, "a");
        QCoreApplication::sendEvent(c.field, &press);
        EXPECT_FALSE(log.names.contains(c.handler)) << "not on the key press";
        QKeyEvent release(QEvent::KeyRelease, Qt::Key_A, Qt::NoModifier, "a");
        QCoreApplication::sendEvent(c.field, &release);
        EXPECT_EQ(log.names.count(c.handler), 1) << c.handler;
    }
}

// Keyboard: Tab leaves the attachment field without typing a tab into it; Escape and Return
// close the About box.
TEST(Frm_Main, KeyboardTabLeavesAttachmentsEscapeClosesTheAboutBox) {
    Frm_Main w;
    w.TexteAttachments->setPlainText("a.txt");
    QKeyEvent tab(QEvent::KeyPress, Qt::Key_Tab, Qt::NoModifier, "\t");
    QCoreApplication::sendEvent(w.TexteAttachments, &tab);
    EXPECT_EQ(w.TexteAttachments->toPlainText(), "a.txt");

    for (Qt::Key key : {Qt::Key_Escape, Qt::Key_Return}) {
        SCOPED_TRACE(key);
        FrmAbout* about = FrmAbout::Load(&w);
        about->show();
        QCoreApplication::processEvents();
        QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
        QCoreApplication::sendEvent(about, &press);
        EXPECT_FALSE(about->isVisible());
        delete FrmAbout::instance();
    }
}

TEST(SftTabs, AlertStateShowsOnTheTabAndSwitchesOff) {
    Frm_Main w;
    SftTabs* tabs = w.SftTabsMain;
    const QColor normal = tabs->tabBar()->tabTextColor(Frm_Main::IncidentsTab);
    EXPECT_FALSE(tabs->tabAlert(Frm_Main::IncidentsTab));

    tabs->setTabAlert(Frm_Main::IncidentsTab, true);
    EXPECT_TRUE(tabs->tabAlert(Frm_Main::IncidentsTab));
    EXPECT_EQ(tabs->tabBar()->tabTextColor(Frm_Main::IncidentsTab), QColor(Qt::red));
    EXPECT_FALSE(tabs->tabIcon(Frm_Main::IncidentsTab).isNull());
    EXPECT_FALSE(tabs->tabAlert(0)) << "other tabs keep their state";

    tabs->setTabAlert(Frm_Main::IncidentsTab, false);
    EXPECT_FALSE(tabs->tabAlert(Frm_Main::IncidentsTab));
    EXPECT_EQ(tabs->tabBar()->tabTextColor(Frm_Main::IncidentsTab), normal);
    EXPECT_TRUE(tabs->tabIcon(Frm_Main::IncidentsTab).isNull());

    tabs->setTabAlert(7, true); // outside the tabs: ignored
    EXPECT_FALSE(tabs->tabAlert(7));
}

TEST(Controls, TextByNameComesFromTheFormAsked) {
    Frm_Main w;
    Frm_MainBis* bis = Frm_MainBis::instance();
    struct Case {
        const char* name;
        const char* text;
    };
    const Case cases[] = {{"TexteTo", "a@example.com"},
                          {"TexteSubject", "Objet é"},
                          {"TexteBody", "ligne 1\r\nligne 2"},
                          {"TexteAttachments", "/tmp/a; "}};
    for (const Case& c : cases) {
        ASSERT_TRUE(Controls::SetText(bis, c.name, QString::fromUtf8(c.text))) << c.name;
        EXPECT_TRUE(Controls::SetText(&w, c.name, QStringLiteral("main")));
    }
    for (const Case& c : cases) {
        bool found = false;
        // A plain-text box keeps line breaks as "\n".
        QString expected = QString::fromUtf8(c.text);
        auto* field = qobject_cast<MailField*>(Controls::Find(bis, c.name));
        ASSERT_NE(field, nullptr) << c.name;
        if (field->isMultiLine())
            expected.replace("\r\n", "\n");
        EXPECT_EQ(Controls::Text(bis, c.name, &found), expected) << c.name;
        EXPECT_TRUE(found);
        EXPECT_EQ(Controls::Text(&w, c.name), "main") << c.name;
    }
    bool found = true;
    EXPECT_EQ(Controls::Text(bis, "NoSuchControl", &found), QString());
    EXPECT_FALSE(found);
    EXPECT_FALSE(Controls::SetText(bis, "NoSuchControl", "x"));

    w.ListePort->addItems({"25", "587"});
    EXPECT_TRUE(Controls::SetText(&w, "ListePort", "587"));
    EXPECT_EQ(w.ListePort->currentIndex(), 1);
    EXPECT_FALSE(Controls::SetText(&w, "ListePort", "2525")) << "not an item of the list";
}

TEST(CommonDialog, FilterAndScriptedPicks) {
    struct FilterCase {
        const char* filter;
        const char* expected;
    };
    const FilterCase filters[] = {
        {"Tous les fichiers (*.*) | *.*", "Tous les fichiers (*.*)"},
        {"Textes|*.txt;*.log|Tous|*.*", "Textes (*.txt *.log);;Tous (*.*)"},
        {"", ""},
    };
    for (const FilterCase& f : filters)
        EXPECT_EQ(CommonDialog::toNameFilters(f.filter), QString::fromUtf8(f.expected)) << f.filter;

    CommonDialog dialog;
    EXPECT_EQ(dialog.objectName(), "CMDialog");
    dialog.queueAnswer("/tmp/one.pdf");
    dialog.queueAnswer(QString());
    EXPECT_TRUE(dialog.ShowOpen());
    EXPECT_EQ(dialog.FileName, "/tmp/one.pdf");
    EXPECT_FALSE(dialog.ShowOpen()) << "a cancel";
    EXPECT_EQ(dialog.FileName, "/tmp/one.pdf") << "a cancel keeps the last name";
    EXPECT_FALSE(dialog.ShowOpen()) << "no display and no script: cancelled";
}

TEST(FrmMsg, TopmostAtTheTopCentreWithRoundedCorners) {
    FrmMsg msg;
    EXPECT_EQ(msg.LabelMsgInit->text(), "Velmora");
    EXPECT_EQ(msg.LabelPatientez[0]->text(), "Patientez S.V.P.");
    EXPECT_EQ(msg.LabelPatientez[1]->objectName(), "LabelPatientez_1");
    msg.Form_Load();
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    EXPECT_TRUE(msg.windowFlags() & Qt::WindowStaysOnTopHint);
    EXPECT_EQ(msg.y(), screen.top());
    EXPECT_EQ(msg.x(), screen.left() + screen.width() / 2 - msg.width() / 2);
    const QRegion mask = msg.mask();
    EXPECT_FALSE(mask.contains(QPoint(0, 0))) << "corner cut off";
    EXPECT_FALSE(mask.contains(QPoint(msg.width() - 1, msg.height() - 1)));
    EXPECT_TRUE(mask.contains(QPoint(msg.width() / 2, 0))) << "edges kept";
    EXPECT_TRUE(mask.contains(QPoint(msg.width() / 2, msg.height() / 2)));
}

TEST(Frm_Main, CloseRunsTheUnloadOnceAndEndsTheWindow) {
    Frm_Main w;
    w.show();
    HandlerLog log;
    EXPECT_TRUE(w.CloseFor(Frm_Main::AppWindows));
    EXPECT_EQ(log.names, QStringList({"Form_QueryUnload", "Form_Unload"}));
    EXPECT_TRUE(w.isUnloaded());
    log.names.clear();
    w.close();
    EXPECT_TRUE(log.names.isEmpty()) << "the unload runs once";
}
