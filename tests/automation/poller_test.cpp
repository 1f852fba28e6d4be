// The job folder poller's schedule and settings checks, the incidents purge and the
// shared-folder frame, on a real main window.
#include "automation/jobs/incidents.h"
#include "poller_fixture.h"
#include "system/supervision.h"
#include "ui/sft_tabs.h"
#include "ui/shell.h"
#include "ui/systray.h"

#include <QCheckBox>
#include <QComboBox>
#include <QRegularExpression>
#include <QTimer>

using namespace automation_tests;

namespace {

TEST_F(PollerTest, CycleSchedule) {
    // Blank sender: every cycle writes one line, which makes the cycles visible.
    form->TexteFrom->clear();
    EXPECT_EQ(cycle(), 1) << "the first tick after start-up starts a cycle";
    EXPECT_EQ(form->ListeIncidents->count(), 1);
    EXPECT_EQ(cycle(), 30);
    EXPECT_EQ(cycle(), 30);
    EXPECT_EQ(form->ListeIncidents->count(), 3);

    // Blocked: the counter is held at 30; the first tick after unchecking starts a cycle.
    for (int i = 0; i < 5; ++i)
        tick();
    form->CheckBloquer->setChecked(true);
    for (int i = 0; i < 100; ++i)
        tick();
    EXPECT_EQ(form->ListeIncidents->count(), 3);
    EXPECT_EQ(station::pollCounter(), 30);
    form->CheckBloquer->setChecked(false);
    EXPECT_EQ(cycle(), 1);
    EXPECT_EQ(form->ListeIncidents->count(), 4);

    // Before start-up has finished nothing happens; once quitting, the timer stops.
    Lib_Public::DemarrageTermine = false;
    for (int i = 0; i < 60; ++i)
        tick();
    EXPECT_EQ(form->ListeIncidents->count(), 4);
    Lib_Public::DemarrageTermine = true;
    form->TimerSendEmail->start();
    Lib_Public::QuitterDemande = true;
    tick();
    EXPECT_FALSE(form->TimerSendEmail->isActive());
}

// Asleep, the tray icon's tip says when the next cycle comes.
TEST_F(PollerTest, TheTrayIconTellsWhenTheNextCycleIsDue) {
    Lib_SysTray::SetTrayAvailableForTests(true);
    form->show();
    form->MiseEnVeilleForcee();
    ASSERT_EQ(cycle(), 1);
    const QRegularExpressionMatch due =
        QRegularExpression(QStringLiteral("prochain passage à (\\d\\d:\\d\\d:\\d\\d)"))
            .match(Lib_SysTray::IconTip());
    Lib_SysTray::RemoveIconFromTray();
    Lib_SysTray::SetTrayAvailableForTests(std::nullopt);
    ASSERT_TRUE(due.hasMatch()) << Lib_SysTray::IconTip().toStdString();
    const int ahead = Clock::Now().time().secsTo(QTime::fromString(due.captured(1), "HH:mm:ss"));
    const int expected = station::TicksPerCycle * form->TimerSendEmail->interval() / 1000;
    EXPECT_NEAR(ahead, expected, 2);
}

TEST_F(PollerTest, SettingsChecksAndTheirPlaces) {
    struct Case {
        const char* what;
        QString from;
        bool auth;
        QString user, password;
        QString line;       // expected text, "" for none
        bool atTop;         // inserted at the top (alert on) or appended at the bottom
        bool oauth = false; // OAuth 2.0 chosen: a token, no password
    };
    const std::vector<Case> cases = {
        {"blank sender", QStringLiteral("  "), false, {}, {}, kNotSent, true},
        {"blank sender wins over login", {}, true, {}, {}, kNotSent, true},
        {"login without user", QStringLiteral("a@example.org"), true, QStringLiteral(" "),
         QStringLiteral("pw"), kNoLogin, false},
        {"login without password", QStringLiteral("a@example.org"), true, QStringLiteral("u"),
         QStringLiteral("  "), kNoLogin, false},
        {"login complete",
         QStringLiteral("a@example.org"),
         true,
         QStringLiteral("u"),
         QStringLiteral("pw"),
         {},
         false},
        {"no login", QStringLiteral("a@example.org"), false, {}, {}, {}, false},
        {"OAuth 2.0 needs no password",
         QStringLiteral("a@example.org"),
         true,
         QStringLiteral("u"),
         QStringLiteral(" "),
         {},
         false,
         true},
        {"OAuth 2.0 still needs the user",
         QStringLiteral("a@example.org"),
         true,
         QStringLiteral(" "),
         {},
         kNoLogin,
         false,
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        form->ListeIncidents->clear();
        form->ListeIncidents->addItem(QStringLiteral("older line"));
        form->SftTabsMain->setTabAlert(automation::IncidentsTabIndex, false);
        form->TexteFrom->setText(c.from);
        form->CheckBoxAuth->setChecked(c.auth);
        form->TexteUser->setText(c.user);
        form->TextePW->setText(c.password);
        form->ListeAuthMethode->setCurrentIndex(c.oauth ? 1 : 0);
        station::resetPoller();
        ASSERT_EQ(cycle(), 1);
        if (c.line.isEmpty()) {
            EXPECT_EQ(incidents(), QStringList{QStringLiteral("older line")});
            continue;
        }
        ASSERT_EQ(form->ListeIncidents->count(), 2);
        const QString line = form->ListeIncidents->item(c.atTop ? 0 : 1)->text();
        EXPECT_TRUE(line.endsWith(QStringLiteral(": ") + c.line)) << line.toStdString();
        EXPECT_EQ(line.size(), 21 + c.line.size()); // "yyyy/MM/dd hh:mm:ss: "
        EXPECT_EQ(form->SftTabsMain->tabAlert(automation::IncidentsTabIndex), c.atTop);
    }
}

// A field typed after the last save shows the page as unsaved, whether or not its own
// handler sets the settings flag (the sender has none): the background sending ignores it.
TEST_F(PollerTest, AFieldThatDiffersFromTheSavedSettingsShowsAsUnsaved) {
    form->TexteFrom->clear();
    form->KeepSavedSettings();
    form->ParametresModifies = false;
    const auto shown = [&] {
        tick();
        return !form->LabelNonEnregistre->isHidden();
    };
    EXPECT_FALSE(shown());
    form->TexteFrom->setText(QStringLiteral("a@example.org"));
    EXPECT_FALSE(form->ParametresModifies) << "the flag's own rules are unchanged";
    EXPECT_TRUE(shown());
    form->TexteFrom->clear();
    EXPECT_FALSE(shown()) << "typed back to what was saved";
    form->TexteFrom->setText(QStringLiteral("a@example.org"));
    form->KeepSavedSettings();
    EXPECT_FALSE(shown());
}

// A missing job folder is said once when it goes and once when it is back, not at every
// cycle; meanwhile the station counts as unhealthy.
TEST_F(PollerTest, MissingJobFolderIsNamedOnceAndWhenBack) {
    const struct {
        const char* folder;
        int lines;
    } cases[] = {{"C:\\Jobs\\", 0}, {"C:\\Nulle\\Part\\", 1}, {"Q:\\Jobs\\", 1}};
    form->TexteFrom->setText(QStringLiteral("a@example.org"));
    form->CheckBoxAuth->setChecked(false);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.folder);
        const QString folder = QString::fromLatin1(c.folder);
        form->TexteDossier[0]->setText(folder);
        form->ListeIncidents->clear();
        station::resetPoller();
        cycle();
        cycle();
        EXPECT_EQ(incidents().filter(station::missingJobFolderText(folder)).size(), c.lines)
            << incidents().join(u'\n').toStdString();
        EXPECT_EQ(Supervision::Take().jobFolderMissing.isEmpty(), c.lines == 0);
    }
    ASSERT_TRUE(prefix.write(QStringLiteral("C:\\Nulle\\Part\\x.txt"), "x"));
    form->TexteDossier[0]->setText(QStringLiteral("C:\\Nulle\\Part\\"));
    station::resetPoller();
    cycle();
    cycle();
    form->ListeIncidents->clear();
    ASSERT_TRUE(QDir(prefix.native(QStringLiteral("C:\\Nulle\\Part"))).removeRecursively());
    cycle();
    ASSERT_TRUE(prefix.write(QStringLiteral("C:\\Nulle\\Part\\x.txt"), "x"));
    cycle();
    cycle();
    EXPECT_EQ(incidents().size(), 2) << incidents().join(u'\n').toStdString();
    EXPECT_EQ(incidents().filter(QStringLiteral("de nouveau accessible")).size(), 1);
    EXPECT_TRUE(Supervision::Take().jobFolderMissing.isEmpty());
}

TEST_F(PollerTest, ClearsTheListAbove1000Lines) {
    form->TexteFrom->clear();
    for (int lines : {1000, 1001}) {
        form->ListeIncidents->clear();
        for (int i = 0; i < lines; ++i)
            form->ListeIncidents->addItem(QStringLiteral("x"));
        station::resetPoller();
        cycle();
        EXPECT_EQ(form->ListeIncidents->count(), lines == 1000 ? 1001 : 1) << lines;
    }
}

TEST_F(PollerTest, PurgeAsksFirst) {
    form->setWindowTitle(QStringLiteral("flashing title"));
    for (MsgBox::Answer answer : {MsgBox::Answer::No, MsgBox::Answer::Yes}) {
        form->ListeIncidents->addItem(QStringLiteral("line"));
        form->SftTabsMain->setTabAlert(automation::IncidentsTabIndex, true);
        form->TimerFlash->start();
        form->SftTabsMain->setCurrentIndex(3);
        MsgBox::setNextAnswer(answer);
        form->CommandIncidentsPurge_Click(0);
        ASSERT_FALSE(MsgBox::history().isEmpty());
        EXPECT_EQ(MsgBox::history().last().text,
                  QStringLiteral("Voulez-vous purger la liste des incidents ?"));
        EXPECT_EQ(MsgBox::history().last().buttons, MsgBox::Buttons::YesNo);
        const bool yes = answer == MsgBox::Answer::Yes;
        EXPECT_EQ(form->ListeIncidents->count(), yes ? 0 : 1);
        EXPECT_EQ(form->SftTabsMain->tabAlert(automation::IncidentsTabIndex), !yes);
        EXPECT_EQ(form->TimerFlash->isActive(), !yes);
        EXPECT_EQ(form->windowTitle().startsWith(QStringLiteral("Velmora: Postique - ")), yes);
        EXPECT_EQ(form->SftTabsMain->currentIndex(), yes ? 0 : 3);
    }
}

TEST_F(PollerTest, FolderChooserAndSettingsFlag) {
    form->ParametresModifies = false;
    // The chooser starts in the folder part of the field: "C:\Jobs" has no trailing "\",
    // so it opens on the drive, with its default title.
    Lib_Systeme::FolderSelectQueueAnswer(QStringLiteral("*"));
    form->CommandDossier_Click(0);
    EXPECT_EQ(form->TexteDossier[0]->text(), QStringLiteral("C:\\Jobs"));
    EXPECT_FALSE(form->ParametresModifies);
    EXPECT_EQ(Lib_Systeme::FolderSelectLastStart(), QStringLiteral("C:"));
    EXPECT_EQ(Lib_Systeme::FolderSelectLastTitle(), QStringLiteral("Sélectionnez un dossier: "));

    // A chosen folder that does not exist yet is created.
    const QString chosen = prefix.native(QStringLiteral("C:\\Autres"));
    ASSERT_FALSE(QDir(chosen).exists());
    Lib_Systeme::FolderSelectQueueAnswer(chosen);
    form->CommandDossier_Click(0);
    EXPECT_EQ(form->TexteDossier[0]->text(), QStringLiteral("C:\\Autres\\"));
    EXPECT_TRUE(form->ParametresModifies);
    EXPECT_TRUE(QDir(chosen).exists());

    form->ParametresModifies = false;
    form->CheckSousDossiers->setChecked(!form->CheckSousDossiers->isChecked());
    EXPECT_TRUE(form->ParametresModifies);
}

} // namespace
