// Leaving the program, sleep behind the tray icon, the window hook, the look, the saved
// position and the About box, on a real main window (offscreen, scripted message boxes).
#include "app/look.h"
#include "automation/jobs/incidents.h"
#include "support/temp_prefix.h"
#include "system/clock.h"
#include "system/error_reporting.h"
#include "system/globals.h"
#include "system/ini.h"
#include "system/processes.h"
#include "system/registry.h"
#include "ui/frm_about.h"
#include "ui/frm_main.h"
#include "ui/frm_mainbis.h"
#include "ui/frm_systray.h"
#include "ui/msgbox.h"
#include "ui/sft_tabs.h"
#include "ui/systray.h"

#include <QApplication>
#include <QCheckBox>
#include <QDateTime>
#include <QFile>
#include <QGroupBox>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPushButton>
#include <QScreen>
#include <QSet>
#include <QSystemTrayIcon>
#include <QThread>
#include <QTimer>

#include <gtest/gtest.h>

#include <functional>
#include <memory>

namespace {

using MsgBox::Answer;

const QString kQuit = QStringLiteral("Voulez-vous quitter le programme ?");
const QString kSave = QStringLiteral("Voulez-vous sauvegarder les modifications ?");

// Collects the order in which windows are shown.
class ShowOrder : public QObject {
public:
    QStringList names;
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Show && qobject_cast<QWidget*>(watched) &&
            static_cast<QWidget*>(watched)->isWindow())
            names << watched->objectName();
        return false;
    }
};

class DesktopTest : public TempPrefixTest {
protected:
    void SetUp() override {
        MsgBox::reset();
        Lib_Public::QuitterDemande = false;
        Lib_Public::ArretEnCours = false;
        Lib_Public::DemarrageEnVeille = false;
        Lib_Public::DossierSettingsProgramme =
            QStringLiteral("C:\\Velmora\\Settings\\VL3_Postique\\");
        Lib_Public::DossierConfigGlobal[0] = QStringLiteral("C:\\Velmora\\Config\\");
        savedRecord_ = qgetenv(Lib_Systeme::ProcessRecordVariable);
        record_ = prefix.path() + QStringLiteral("/process-record.txt");
        qputenv(Lib_Systeme::ProcessRecordVariable, QFile::encodeName(record_));
        Lib_SysTray::SetTrayAvailableForTests(true);
        form = std::make_unique<Frm_Main>();
        form->show();
    }
    void TearDown() override {
        form.reset();
        Lib_SysTray::RemoveIconFromTray();
        Lib_SysTray::UnHook();
        Lib_SysTray::SetTrayAvailableForTests(std::nullopt);
        Lib_Public::QuitterDemande = false;
        Lib_Public::ArretEnCours = false;
        Lib_Public::DemarrageEnVeille = false;
        qputenv(Lib_Systeme::ProcessRecordVariable, savedRecord_);
        MsgBox::reset();
    }

    QStringList questions() const {
        QStringList texts;
        for (const MsgBox::Record& r : MsgBox::history())
            texts << r.text;
        return texts;
    }
    QString recorded() const {
        QFile f(record_);
        return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
    }
    QString savedPosition(const char* key) const {
        return Lib_Systeme::LectureIni(Lib_Public::PositionsFile(), QStringLiteral("FrmPos"),
                                       QLatin1String(key), QStringLiteral("none"));
    }

    std::unique_ptr<Frm_Main> form;
    QString record_;
    QByteArray savedRecord_;
};

TEST_F(DesktopTest, QuitAsksToSaveOnlyChangedSettingsThenToQuit) {
    struct Case {
        const char* name;
        bool changed;
        QList<Answer> answers;
        QStringList expectedQuestions;
        bool saved;
        bool closed;
    };
    const QList<Case> cases = {
        {"unchanged, yes", false, {Answer::Yes}, {kQuit}, false, true},
        {"unchanged, no", false, {Answer::No}, {kQuit}, false, false},
        {"changed, cancel", true, {Answer::Cancel}, {kSave}, false, false},
        {"changed, save then stay", true, {Answer::Yes, Answer::No}, {kSave, kQuit}, true, false},
        {"changed, no save then quit",
         true,
         {Answer::No, Answer::Yes},
         {kSave, kQuit},
         false,
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        QFile::remove(record_);
        QFile::remove(prefix.native(QStringLiteral("C:\\Velmora\\Config\\VL3_Postique.ini")));
        SetUp();
        form->TexteFrom->setText(QStringLiteral("station@example.org"));
        form->ParametresModifies = c.changed;
        for (Answer a : c.answers)
            MsgBox::setNextAnswer(a);
        form->CommandQuitter->click();
        EXPECT_EQ(questions(), c.expectedQuestions);
        for (const MsgBox::Record& r : MsgBox::history()) {
            EXPECT_EQ(r.icon, MsgBox::Icon::Question);
            EXPECT_EQ(r.buttons,
                      r.text == kSave ? MsgBox::Buttons::YesNoCancel : MsgBox::Buttons::YesNo);
        }
        const bool settingsWritten =
            prefix.exists(QStringLiteral("C:\\Velmora\\Config\\VL3_Postique.ini"));
        EXPECT_EQ(settingsWritten, c.saved);
        if (c.saved) {
            EXPECT_FALSE(form->ParametresModifies);
        }
        EXPECT_EQ(form->isUnloaded(), c.closed);
        EXPECT_EQ(Lib_Public::QuitterDemande, c.closed);
        EXPECT_EQ(recorded().startsWith(QStringLiteral("EndAllCopies VL3_Postique")), c.closed)
            << recorded().toStdString();
    }
}

TEST_F(DesktopTest, CloseBoxAsksTheMenuToo_SessionEndDoesNot) {
    // The close box goes through the questions: "No" keeps the window.
    MsgBox::setNextAnswer(Answer::No);
    EXPECT_FALSE(form->CloseFor(Frm_Main::FormControlMenu));
    EXPECT_EQ(questions(), QStringList{kQuit});
    EXPECT_FALSE(form->isUnloaded());
    EXPECT_TRUE(form->isVisible());

    MsgBox::setNextAnswer(Answer::No);
    form->MnuQuitter->trigger();
    EXPECT_EQ(questions(), QStringList({kQuit, kQuit}));
    EXPECT_FALSE(form->isUnloaded());

    // A session end asks nothing, stops the work and saves the position.
    form->move(120, 80);
    const QPoint at = form->geometry().topLeft();
    EXPECT_TRUE(form->CloseFor(Frm_Main::AppWindows));
    EXPECT_EQ(questions().size(), 2);
    EXPECT_TRUE(form->isUnloaded());
    EXPECT_TRUE(Lib_Public::ArretEnCours);
    EXPECT_TRUE(Lib_Public::QuitterDemande);
    EXPECT_FALSE(form->TimerSendEmail->isActive());
    EXPECT_EQ(savedPosition("Frm_Main_Left"), QString::number(at.x() * 15));
    EXPECT_EQ(savedPosition("Frm_Main_Top"), QString::number(at.y() * 15));
    EXPECT_TRUE(recorded().startsWith(QStringLiteral("EndAllCopies VL3_Postique")));
}

TEST_F(DesktopTest, MinimisedOrMaximisedWindowKeepsTheSavedPosition) {
    for (Qt::WindowState state : {Qt::WindowMinimized, Qt::WindowMaximized}) {
        TearDown();
        SetUp();
        form->setWindowState(state);
        EXPECT_TRUE(form->CloseFor(Frm_Main::AppWindows));
        EXPECT_EQ(savedPosition("Frm_Main_Left"), QStringLiteral("none")) << state;
    }
}

TEST_F(DesktopTest, SavedPositionComesBackCorrected) {
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    const int height = form->frameGeometry().height() * 15;
    // Positions are those of the window's inside; its title bar stays on the screen.
    const QPoint m = form->geometry().topLeft() - form->frameGeometry().topLeft();
    struct Case {
        const char* name;
        QString left, top; // as stored; empty = no file
        QPoint expected;   // pixels, the window's inside
    };
    const QList<Case> cases = {
        {"no positions file", {}, {}, m},
        {"round trip", "1500", "3000", {100, 200}},
        {"below the screen: mid-height",
         "0",
         QString::number(screen.height() * 15 + 15),
         {m.x(), screen.height() * 15 / 2 / 15}},
        {"above the top edge", "0", QString::number(-height - 200), m},
        {"far left", "-20001", "0", m},
        {"left of every screen", "-19999", "0", m},
        {"right of every screen",
         QString::number((screen.right() + 500) * 15),
         "1500",
         {screen.right() - form->frameGeometry().width() + 1, 100}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QFile::remove(prefix.native(Lib_Public::PositionsFile()));
        if (!c.left.isEmpty()) {
            Lib_Systeme::EcritureIni(Lib_Public::PositionsFile(), QStringLiteral("FrmPos"),
                                     QStringLiteral("Frm_Main_Left"), c.left);
            Lib_Systeme::EcritureIni(Lib_Public::PositionsFile(), QStringLiteral("FrmPos"),
                                     QStringLiteral("Frm_Main_Top"), c.top);
        }
        Lib_Public::PositionFeuille(form.get(), QString());
        EXPECT_EQ(form->geometry().topLeft(), c.expected);
    }
    EXPECT_TRUE(Lib_Public::PositionsFile().endsWith(QStringLiteral("VL3_Postique_Positions.Ini")));
}

TEST_F(DesktopTest, SleepHidesVisibleWindowsAndWakingShowsTheMainWindowFirst) {
    form->Mnu99APropos->trigger();
    ASSERT_NE(FrmAbout::instance(), nullptr);
    ASSERT_TRUE(FrmAbout::instance()->isVisible());

    form->CommandMiseEnVeille->click();
    EXPECT_FALSE(form->isVisible());
    EXPECT_FALSE(FrmAbout::instance()->isVisible());
    QStringList listed;
    for (int i = 0; i < FrmSysTray::instance()->ListeFrm->count(); ++i)
        listed << FrmSysTray::instance()->ListeFrm->item(i)->text();
    // Walked from the last loaded form; the never-shown forms are not listed.
    EXPECT_EQ(listed, QStringList({"FrmAbout", "Frm_Main"}));
    ASSERT_NE(Lib_SysTray::TrayIcon(), nullptr);
    EXPECT_TRUE(Lib_SysTray::IconTip().startsWith(QStringLiteral("Velmora: Postique\nEn attente")))
        << Lib_SysTray::IconTip().toStdString();
    EXPECT_TRUE(Lib_SysTray::Hooked());

    ShowOrder order;
    qApp->installEventFilter(&order);
    FrmSysTray::instance()->MnuAfficher->trigger();
    qApp->removeEventFilter(&order);
    EXPECT_EQ(order.names, QStringList({"Frm_Main", "FrmAbout"}));
    EXPECT_EQ(FrmSysTray::instance()->ListeFrm->count(), 0);
    EXPECT_EQ(Lib_SysTray::TrayIcon(), nullptr);
    EXPECT_FALSE(Lib_SysTray::Hooked());
    EXPECT_FALSE(Frm_MainBis::instance()->isVisible());
    EXPECT_FALSE(FrmSysTray::instance()->isVisible());
}

TEST_F(DesktopTest, ClosingWhileAsleepBringsTheWindowsBackAndRemovesTheIcon) {
    form->MnuVeille->trigger();
    ASSERT_FALSE(form->isVisible());
    ASSERT_NE(Lib_SysTray::TrayIcon(), nullptr);
    ShowOrder order;
    qApp->installEventFilter(&order);
    EXPECT_TRUE(form->CloseFor(Frm_Main::AppWindows));
    qApp->removeEventFilter(&order);
    EXPECT_TRUE(order.names.contains(QStringLiteral("Frm_Main")));
    EXPECT_EQ(FrmSysTray::instance()->ListeFrm->count(), 0);
    EXPECT_EQ(Lib_SysTray::TrayIcon(), nullptr);
    EXPECT_FALSE(Lib_SysTray::Hooked());
}

TEST_F(DesktopTest, WithoutANotificationAreaSleepHidesNothing) {
    Lib_SysTray::SetTrayAvailableForTests(false);
    form->CommandMiseEnVeille->click();
    EXPECT_TRUE(form->isVisible()) << "nothing could bring a hidden window back";
    EXPECT_TRUE(form->windowState() & Qt::WindowMinimized);
    EXPECT_EQ(FrmSysTray::instance()->ListeFrm->count(), 0);
    EXPECT_EQ(Lib_SysTray::TrayIcon(), nullptr);
}

TEST_F(DesktopTest, ARightPressOpensTheMenuALeftClickWakes) {
    // The window's own procedure before the hook answers 7 to everything.
    Lib_SysTray::SetWindowProcedure(form.get(), [](QWidget*, qint32, qint64, qint64) { return 7; });
    struct Case {
        qint64 mouse;
        qint32 result;
        bool menu;
    };
    const QList<Case> cases = {
        {Lib_SysTray::RightButtonDown, -1, true},
        {Lib_SysTray::MiddleButtonDown, 7, false},
    };
    EXPECT_EQ(Lib_SysTray::WindowProc(form.get(), Lib_SysTray::CallbackMessage, 0,
                                      Lib_SysTray::RightButtonDown),
              0)
        << "not hooked";
    Lib_SysTray::Hook(form.get());
    Lib_SysTray::Hook(form.get());
    QMenu* menu = FrmSysTray::instance()->MnuFlottant;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.mouse);
        menu->hide();
        EXPECT_EQ(Lib_SysTray::GetWindowProcedure(form.get())(
                      form.get(), Lib_SysTray::CallbackMessage, 0, c.mouse),
                  c.result);
        EXPECT_EQ(menu->isVisible(), c.menu);
    }
    menu->hide();
    Lib_SysTray::UnHook();
    EXPECT_EQ(Lib_SysTray::GetWindowProcedure(form.get())(form.get(), Lib_SysTray::CallbackMessage,
                                                          0, Lib_SysTray::RightButtonDown),
              7)
        << "two hooks and one unhook give back the first procedure";
    EXPECT_FALSE(menu->isVisible());
    Lib_SysTray::SetWindowProcedure(form.get(), {});

    // The icon's own notifications reach the hooked window the same way: the right button
    // opens the menu, which ends with "Quitter"; a click or double click wakes the program.
    form->MiseEnVeilleForcee();
    ASSERT_NE(Lib_SysTray::TrayIcon(), nullptr);
    Q_EMIT Lib_SysTray::TrayIcon()->activated(QSystemTrayIcon::Context);
    EXPECT_TRUE(menu->isVisible());
    EXPECT_EQ(menu->actions().last()->text(), QStringLiteral("Quitter"));
    menu->hide();
    for (auto reason : {QSystemTrayIcon::Trigger, QSystemTrayIcon::DoubleClick}) {
        SCOPED_TRACE(reason);
        form->show();
        form->MiseEnVeilleForcee();
        ASSERT_TRUE(Lib_SysTray::IconShown());
        ASSERT_FALSE(form->isVisible());
        Q_EMIT Lib_SysTray::TrayIcon()->activated(reason);
        EXPECT_TRUE(form->isVisible());
        EXPECT_FALSE(Lib_SysTray::IconShown());
        EXPECT_FALSE(menu->isVisible());
    }
}

TEST_F(DesktopTest, AsleepTheIconTellsEachNewIncident) {
    form->MiseEnVeilleForcee();
    ASSERT_TRUE(Lib_SysTray::IconShown());
    const QString tip = Lib_SysTray::IconTip();
    automation::postIncident(QStringLiteral("Connexion impossible"));
    automation::postIncident(QStringLiteral("Relais refusé"));
    EXPECT_TRUE(Lib_SysTray::IconTip().startsWith(tip));
    EXPECT_TRUE(Lib_SysTray::IconTip().contains(QStringLiteral("2 incident(s)")))
        << Lib_SysTray::IconTip().toStdString();
    EXPECT_EQ(Lib_SysTray::LastBalloon(), QStringLiteral("Relais refusé"));
    // The same condition said again (a 30-second repeat) is counted but raises no balloon.
    const int balloons = Lib_SysTray::BalloonsShown();
    automation::postIncident(QStringLiteral("Relais refusé"));
    EXPECT_EQ(Lib_SysTray::BalloonsShown(), balloons);
    EXPECT_TRUE(Lib_SysTray::IconTip().contains(QStringLiteral("3 incident(s)")));
}

// The icon and its tip say what the program does: waiting for the next poll, sending a job,
// or failed since the window was last seen; the failure wins until the window is seen.
TEST_F(DesktopTest, TheIconTellsWaitingSendingAndFailed) {
    using Lib_SysTray::IconState;
    form->MiseEnVeilleForcee();
    ASSERT_TRUE(Lib_SysTray::IconShown());
    const auto picture = [] { return Lib_SysTray::TrayIcon()->icon().pixmap(32, 32).toImage(); };
    const QImage waiting = picture();
    QImage sending;
    const QDateTime next = Clock::Now().addSecs(25);
    struct Step {
        const char* what;
        std::function<void()> act;
        IconState state;
        QStringList tipHas;
    };
    const QList<Step> steps = {
        {"next poll known",
         [&] { Lib_SysTray::TellNextPoll(next); },
         IconState::Waiting,
         {QStringLiteral("En attente, prochain passage à ") + next.toString("HH:mm:ss")}},
        {"blocked",
         [&] {
             form->CheckBloquer->setChecked(true);
             Lib_SysTray::TellNextPoll(next);
         },
         IconState::Waiting,
         {QStringLiteral("envoi automatique bloqué")}},
        {"a job in hand, its name cleaned",
         [&] {
             form->CheckBloquer->setChecked(false);
             Lib_SysTray::TellSending(QStringLiteral("Email_\x1b[31m1.ss8"));
         },
         IconState::Sending,
         {QStringLiteral("Envoi en cours : Email_")}},
        {"a failure during the job",
         [&] { automation::postIncident(QStringLiteral("x")); },
         IconState::Failed,
         {QStringLiteral("Envoi en cours"), QStringLiteral("1 incident(s)")}},
        {"the job over, the failure stays",
         [&] { Lib_SysTray::TellSending(QString()); },
         IconState::Failed,
         {QStringLiteral("En attente"), QStringLiteral("1 incident(s)")}},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.what);
        step.act();
        EXPECT_EQ(Lib_SysTray::ShownState(), step.state);
        const QString tip = Lib_SysTray::IconTip();
        for (const QString& part : step.tipHas)
            EXPECT_TRUE(tip.contains(part)) << tip.toStdString();
        EXPECT_FALSE(tip.contains(QChar(0x1b)));
        const QImage now = picture();
        EXPECT_EQ(now == waiting, step.state == IconState::Waiting);
        if (step.state == IconState::Sending)
            sending = now;
        else
            EXPECT_NE(now, sending);
    }
    // Seen again, then asleep: the count starts over.
    FrmSysTray::instance()->MnuAfficher->trigger();
    form->MiseEnVeilleForcee();
    EXPECT_EQ(Lib_SysTray::ShownState(), IconState::Waiting);
    EXPECT_FALSE(Lib_SysTray::IconTip().contains(QStringLiteral("incident")));
    EXPECT_EQ(picture(), waiting);
    Lib_SysTray::TellNextPoll({});
}

TEST_F(DesktopTest, StartAsleepWaitsForTheWindowThenStops) {
    QTimer* timer = Frm_MainBis::instance()->TimerVeille;
    form->hide();
    Lib_Public::DemarrageEnVeille = true;
    timer->start();
    Frm_MainBis::instance()->TimerVeille_Timer();
    EXPECT_TRUE(timer->isActive()) << "waits while the window is not shown";
    EXPECT_TRUE(Lib_Public::DemarrageEnVeille);
    form->show();
    Frm_MainBis::instance()->TimerVeille_Timer();
    EXPECT_FALSE(timer->isActive());
    EXPECT_FALSE(Lib_Public::DemarrageEnVeille);
    EXPECT_FALSE(form->isVisible());
    EXPECT_EQ(FrmSysTray::instance()->ListeFrm->count(), 1);
}

TEST_F(DesktopTest, StyleComesFromTheRegistryAndDecidesTheLook) {
    const QString key = QString::fromUtf16(Lib_Look::LookKey);
    auto stored = [&] {
        QString v;
        Lib_Systeme::Reg_GetValue(Lib_Systeme::HKEY_LOCAL_MACHINE, key, QStringLiteral("Style"), v);
        return v;
    };
    qint32 style = -1;
    Lib_Look::InitGeneralLook(style);
    EXPECT_EQ(style, 15);
    EXPECT_EQ(stored(), QStringLiteral("15")) << "the default is written back";
    EXPECT_EQ(Lib_Look::CurrentStyle(), 15);
    EXPECT_EQ(QApplication::style()->name().toLower(), QStringLiteral("fusion"));
    EXPECT_EQ(QApplication::palette().color(QPalette::Window), QColor(182, 182, 182));

    Lib_Systeme::Reg_SetValue(Lib_Systeme::HKEY_LOCAL_MACHINE, key, QStringLiteral("Style"),
                              QStringLiteral("25"), Lib_Systeme::REG_SZ);
    style = -1;
    Lib_Look::InitGeneralLook(style);
    EXPECT_EQ(style, 25);
    EXPECT_EQ(Lib_Look::CurrentStyle(), 15) << "an unknown style loads nothing";

    Lib_Systeme::Reg_SetValue(Lib_Systeme::HKEY_LOCAL_MACHINE, key, QStringLiteral("Style"),
                              QStringLiteral(" 20 "), Lib_Systeme::REG_SZ);
    style = -1;
    Lib_Look::InitGeneralLook(style);
    EXPECT_EQ(Lib_Look::CurrentStyle(), 20);
    EXPECT_EQ(QApplication::palette().color(QPalette::Button), Lib_Look::ButtonFace());

    // Every style looks its own way.
    QSet<QString> sheets;
    for (qint32 s = 0; s <= Lib_Look::LastStyle; ++s)
        sheets.insert(Lib_Look::StyleSheetFor(s));
    EXPECT_EQ(sheets.size(), Lib_Look::LastStyle + 1);
    EXPECT_TRUE(Lib_Look::StyleSheetFor(20).isEmpty());
    EXPECT_TRUE(Lib_Look::StyleSheetFor(15).contains(QStringLiteral("#ffefb2"))) << "edit fields";
    EXPECT_EQ(Lib_Look::ColoursFor(17).border, QColor(154, 170, 187));
    EXPECT_EQ(Lib_Look::ColoursFor(4).panel, QColor(240, 240, 240));
    EXPECT_EQ(Lib_Look::StyleTable(15).styleFile, QStringLiteral("\\iTunes"));

    style = 15;
    Lib_Look::InitGeneralLook(style);
    form->SftTabsMain->setCurrentIndex(2);
    Lib_Look::LookFenetre(form.get());
    EXPECT_EQ(form->SftTabsMain->currentIndex(), 0);
    EXPECT_EQ(form->MyFrameEmail[0]->font().family(), QStringLiteral("Arial"));
    EXPECT_TRUE(form->MyFrameEmail[0]->font().bold());
    EXPECT_EQ(form->styleSheet(), Lib_Look::StyleSheetFor(15));
    // Only the frames' headers are bold, not the labels, fields and boxes inside them.
    for (QGroupBox* frame : form->findChildren<QGroupBox*>())
        for (QWidget* inside : frame->findChildren<QWidget*>()) {
            inside->ensurePolished();
            EXPECT_TRUE(qobject_cast<QGroupBox*>(inside) || !inside->font().bold())
                << inside->objectName().toStdString();
        }
}

TEST_F(DesktopTest, AboutBoxTextsRegistryValuesAndSystemInformation) {
    FrmAbout* about = FrmAbout::Load(form.get());
    EXPECT_EQ(about->lblTitle->text(), QStringLiteral("Velmora Postique"));
    EXPECT_TRUE(about->lblVersion->text().startsWith(QStringLiteral("Version 2")));
    EXPECT_EQ(FrmAbout::NoticeText(2026), QStringLiteral("Copyright © 2026 Halvaro"));
    EXPECT_EQ(about->cmdSysInfo->text(), QStringLiteral("&Infos système..."));

    const QString key = QStringLiteral("SOFTWARE\\Microsoft\\Shared Tools\\MSINFO");
    Lib_Systeme::Reg_SetValue(Lib_Systeme::HKEY_LOCAL_MACHINE, key, QStringLiteral("Number"),
                              QString::number(0x00010A0B), Lib_Systeme::REG_DWORD);
    QString value = QStringLiteral("x");
    EXPECT_TRUE(
        about->GetKeyValue(Lib_Systeme::HKEY_LOCAL_MACHINE, key, QStringLiteral("Number"), value));
    EXPECT_EQ(value, QStringLiteral("&h01AB"));
    EXPECT_FALSE(
        about->GetKeyValue(Lib_Systeme::HKEY_LOCAL_MACHINE, key, QStringLiteral("PATH"), value));
    EXPECT_EQ(value, QString());

    // No program named: the message, nothing started.
    about->cmdSysInfo->click();
    ASSERT_EQ(MsgBox::history().size(), 1);
    EXPECT_EQ(MsgBox::history().last().text,
              QStringLiteral("Les informations système ne sont pas disponibles actuellement"));

    // A program named by the hive is started.
    const QString marker = prefix.path() + QStringLiteral("/sysinfo-ran");
    const QString script = prefix.path() + QStringLiteral("/sysinfo.sh");
    {
        QFile f(script);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(QStringLiteral("#!/bin/sh\ntouch '%1'\n").arg(marker).toUtf8());
    }
    QFile::setPermissions(script, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    Lib_Systeme::Reg_SetValue(Lib_Systeme::HKEY_LOCAL_MACHINE, key, QStringLiteral("PATH"),
                              QStringLiteral("Z:") + QString(script).replace(u'/', u'\\'),
                              Lib_Systeme::REG_SZ);
    about->StartSysInfo();
    EXPECT_EQ(MsgBox::history().size(), 1);
    for (int i = 0; i < 100 && !QFile::exists(marker); ++i)
        QThread::msleep(50);
    EXPECT_TRUE(QFile::exists(marker));

    about->cmdOK->click();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_EQ(FrmAbout::instance(), nullptr);
}

} // namespace

namespace {

TEST_F(DesktopTest, AnIncidentAsksForAttentionUntilThePurge) {
    EXPECT_FALSE(form->TimerFlash->isActive());
    automation::postIncident(QStringLiteral("Serveur injoignable"));
    EXPECT_TRUE(form->TimerFlash->isActive());
    form->TimerFlash_Timer();
    MsgBox::setNextAnswer(Answer::Yes);
    form->CommandIncidentsPurge_Click(0);
    EXPECT_FALSE(form->TimerFlash->isActive());
}

} // namespace

// The toolkit's own texts (standard buttons of the message boxes, file dialogs) are French.
TEST(Translations, ToolkitTextsAreFrench) {
    const auto french = Lib_Look::InstallFrenchTranslations();
    ASSERT_TRUE(french) << "Qt's French translations are missing (tools/install-deps.sh)";
    EXPECT_EQ(QCoreApplication::translate("QPlatformTheme", "Cancel"), QStringLiteral("Annuler"));
}
