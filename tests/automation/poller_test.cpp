// The job folder poller and the job dispatch on a real main window, with jobs in a temporary
// prefix and a real SMTP server on loopback.
#include "app/globals.h"
#include "automation/fp_spread.h"
#include "automation/incidents.h"
#include "automation/folder_dialog.h"
#include "automation/job_guard.h"
#include "automation/poller.h"
#include "mail/job_dispatch.h"
#include "support/job_corpus.h"
#include "support/smtp_fixture.h"
#include "support/temp_prefix.h"
#include "system/winpath.h"
#include "ui/frm_main.h"
#include "ui/frm_mainbis.h"
#include "ui/msgbox.h"
#include "ui/sft_tabs.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QLineEdit>
#include <QListWidget>
#include <QTimer>

#include <gtest/gtest.h>

using testsupport::jobRow;
using testsupport::SmtpServer;
using testsupport::SmtpServerOptions;

namespace {

const QString kJobs = QStringLiteral("C:\\Jobs\\");
const QString kSettings = QStringLiteral("C:\\Velmora\\Settings\\VL3_Postique\\");
const QString kNotSent = QStringLiteral("Adresse Email d'envoi non renseignée");
const QString kNoLogin = QStringLiteral("Veuillez renseigner l'utilisateur et/ou le mot de passe");

class PollerTest : public TempPrefixTest {
protected:
    void SetUp() override {
        Lib_Public::DemarrageTermine = true;
        Lib_Public::QuitterDemande = false;
        Lib_Public::DossierSettingsProgramme = kSettings;
        automation::resetPoller();
        // Jobs written by the test are old enough to count as settled.
        automation::setPollerClock([] { return QDateTime::currentMSecsSinceEpoch() + 10'000; });
        MsgBox::reset();
        form = std::make_unique<Frm_Main>();
        ASSERT_TRUE(QDir().mkpath(prefix.native(kJobs)));
        form->TexteDossier[0]->setText(QStringLiteral("C:\\Jobs"));
    }
    void TearDown() override {
        form.reset();
        automation::setPollerClock({});
        automation::resetPoller();
        Lib_Public::DemarrageTermine = false;
        Lib_Public::QuitterDemande = false;
    }

    // Points the settings page at `server`.
    void useServer(const SmtpServer& server) {
        ASSERT_TRUE(server.isRunning()) << server.error().toStdString();
        form->TexteFrom->setText(QStringLiteral("Station <station@example.org>"));
        form->TexteServer->setText(QStringLiteral("127.0.0.1"));
        if (form->ListeProtocol->count() == 0)
            form->ListeProtocol->addItem(QStringLiteral("SMTP"));
        form->ListeProtocol->setCurrentIndex(0);
        const QString port = QString::number(server.port());
        if (form->ListePort->findText(port) < 0)
            form->ListePort->addItem(port);
        form->ListePort->setCurrentText(port);
        form->CheckBoxAuth->setChecked(false);
        form->CheckBoxSSL->setChecked(false);
    }

    // Ticks the timer until a cycle ran; returns the ticks it took.
    int cycle() {
        for (int tick = 1; tick <= 40; ++tick) {
            form->TimerSendEmail_Timer();
            if (automation::pollCounter() == 0 ||
                automation::pollCounter() == automation::TicksPerCycle - 3)
                return tick;
        }
        return -1;
    }

    bool writeJob(const QString& name, const QByteArray& bytes) { return prefix.write(kJobs + name, bytes); }
    bool jobExists(const QString& name) { return prefix.exists(kJobs + name); }
    QStringList incidents() const {
        QStringList lines;
        for (int i = 0; i < form->ListeIncidents->count(); ++i)
            lines << form->ListeIncidents->item(i)->text();
        return lines;
    }
    static QStringList subjects(const SmtpServer& server) {
        QStringList s;
        for (const auto& m : server.messages())
            s << testsupport::ParseWithPython(m.data).value(QStringLiteral("subject")).toString();
        return s;
    }

    std::unique_ptr<Frm_Main> form;
};

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
        form->TimerSendEmail_Timer();
    form->CheckBloquer->setChecked(true);
    for (int i = 0; i < 100; ++i)
        form->TimerSendEmail_Timer();
    EXPECT_EQ(form->ListeIncidents->count(), 3);
    EXPECT_EQ(automation::pollCounter(), 30);
    form->CheckBloquer->setChecked(false);
    EXPECT_EQ(cycle(), 1);
    EXPECT_EQ(form->ListeIncidents->count(), 4);

    // Before start-up has finished nothing happens; once quitting, the timer stops.
    Lib_Public::DemarrageTermine = false;
    for (int i = 0; i < 60; ++i)
        form->TimerSendEmail_Timer();
    EXPECT_EQ(form->ListeIncidents->count(), 4);
    Lib_Public::DemarrageTermine = true;
    form->TimerSendEmail->start();
    Lib_Public::QuitterDemande = true;
    form->TimerSendEmail_Timer();
    EXPECT_FALSE(form->TimerSendEmail->isActive());
}

TEST_F(PollerTest, SettingsChecksAndTheirPlaces) {
    struct Case {
        const char* what;
        QString from;
        bool auth;
        QString user, password;
        QString line;   // expected text, "" for none
        bool atTop;     // inserted at the top (alert on) or appended at the bottom
    };
    const std::vector<Case> cases = {
        {"blank sender", QStringLiteral("  "), false, {}, {}, kNotSent, true},
        {"blank sender wins over login", {}, true, {}, {}, kNotSent, true},
        {"login without user", QStringLiteral("a@example.org"), true, QStringLiteral(" "), QStringLiteral("pw"), kNoLogin, false},
        {"login without password", QStringLiteral("a@example.org"), true, QStringLiteral("u"), QStringLiteral("  "), kNoLogin, false},
        {"login complete", QStringLiteral("a@example.org"), true, QStringLiteral("u"), QStringLiteral("pw"), {}, false},
        {"no login", QStringLiteral("a@example.org"), false, {}, {}, {}, false},
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
        automation::resetPoller();
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

TEST_F(PollerTest, ClearsTheListAbove1000Lines) {
    form->TexteFrom->clear();
    for (int lines : {1000, 1001}) {
        form->ListeIncidents->clear();
        for (int i = 0; i < lines; ++i)
            form->ListeIncidents->addItem(QStringLiteral("x"));
        automation::resetPoller();
        cycle();
        EXPECT_EQ(form->ListeIncidents->count(), lines == 1000 ? 1001 : 1) << lines;
    }
}

TEST_F(PollerTest, ScansOnlyPlainNonEmptyJobFilesAndSendsThem) {
    SmtpServer server;
    useServer(server);
    const QByteArray twoRows = jobRow("1", "a@example.org", {}, {}, "two-1", "B") +
                               jobRow("1", "b@example.org", {}, {}, "two-2", "B");
    ASSERT_TRUE(writeJob(QStringLiteral("Email_1.ss8"), {}));
    ASSERT_TRUE(writeJob(QStringLiteral("Email_2.ss8"), twoRows));
    ASSERT_TRUE(writeJob(QStringLiteral("email_3.SS8"), jobRow("1", "c@example.org", {}, {}, "three", "B")));
    ASSERT_TRUE(writeJob(QStringLiteral("Email_4.txt"), jobRow("1", "d@example.org", {}, {}, "four", "B")));
    ASSERT_TRUE(QDir().mkpath(prefix.native(kJobs + QStringLiteral("Email_5.ss8"))));
    ASSERT_TRUE(writeJob(QStringLiteral("Email_6.ss8"), jobRow("1", "e@example.org", {}, {}, "six", "B")));
    ASSERT_TRUE(WinPath::writeAttributes(prefix.native(kJobs + QStringLiteral("Email_6.ss8")),
                                         WinPath::AttrHidden | WinPath::AttrArchive));
    ASSERT_TRUE(writeJob(QStringLiteral("Email_7.ss8"), jobRow("  ", "f@example.org", {}, {}, "blank mark", "B")));

    if (!(WinPath::readAttributes(prefix.native(kJobs + QStringLiteral("Email_6.ss8"))).value_or(0) &
          WinPath::AttrHidden))
        GTEST_SKIP() << "this file system keeps no DOS attributes";

    ASSERT_EQ(cycle(), 1);
    ASSERT_TRUE(server.waitForMessages(3));
    QStringList got = subjects(server);
    got.sort();
    EXPECT_EQ(got, (QStringList{"Postique: three", "Postique: two-1", "Postique: two-2"}));
    EXPECT_TRUE(jobExists(QStringLiteral("Email_1.ss8")));
    EXPECT_FALSE(jobExists(QStringLiteral("Email_2.ss8")));
    EXPECT_FALSE(jobExists(QStringLiteral("email_3.SS8")));
    EXPECT_TRUE(jobExists(QStringLiteral("Email_4.txt")));
    EXPECT_TRUE(jobExists(QStringLiteral("Email_5.ss8")));
    EXPECT_TRUE(jobExists(QStringLiteral("Email_6.ss8")));
    EXPECT_FALSE(jobExists(QStringLiteral("Email_7.ss8"))) << "a job without used rows is done";
    EXPECT_TRUE(incidents().isEmpty()) << incidents().join('\n').toStdString();
    // The grid shows the last job loaded.
    EXPECT_GT(form->fpSpreadData->MaxRows(), 0);
}

TEST_F(PollerTest, RoutingCopiesAndAttachments) {
    SmtpServer server;
    useServer(server);
    ASSERT_TRUE(prefix.write(kJobs + QStringLiteral("pj\\facture.pdf"), "%PDF-1.4 facture"));
    ASSERT_TRUE(prefix.write(QStringLiteral("C:\\secret.txt"), "secret"));
    QByteArray job;
    job += jobRow("1", "to@example.org", "cc@example.org", "bcc@example.org", "plain", "B", "pj\\facture.pdf");
    job += jobRow("1", "to@example.org", {}, "bcc2@example.org", "partner", "B", {}, "1");
    job += jobRow("1", " ", "cc3@example.org", {}, "support", "B");
    job += jobRow("1", {}, {}, {}, "space-one", "B", {}, " 1");
    job += jobRow("1", {}, {}, {}, "zero-one", "B", {}, "01");
    job += jobRow("1", "x@example.org", {}, {}, "escape", "B", "..\\secret.txt");
    job += jobRow("1", "y@example.org", {}, {}, "missing", "B", "absent.pdf");
    ASSERT_TRUE(writeJob(QStringLiteral("Email_1.ss8"), job));

    ASSERT_EQ(cycle(), 1);
    ASSERT_TRUE(server.waitForMessages(7));
    const auto messages = server.messages();
    ASSERT_EQ(messages.size(), 7);
    const QString partner = JobDispatch::PartnerItMailbox();
    const QString support = JobDispatch::SupportMailbox();
    struct Expect {
        QString subject;
        QStringList envelope;
        QString attachment;
    };
    const std::vector<Expect> expected = {
        {"Postique: plain", {"to@example.org", "cc@example.org", "bcc@example.org"}, "facture.pdf"},
        {"Postique: partner", {partner, "bcc2@example.org"}, {}},
        {"Postique: support", {support, "cc3@example.org"}, {}},
        {"Postique: space-one", {support}, {}},
        {"Postique: zero-one", {support}, {}},
        {"Postique: escape", {"x@example.org"}, {}},
        {"Postique: missing", {"y@example.org"}, {}},
    };
    for (size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE(expected[i].subject.toStdString());
        const QJsonObject parsed = testsupport::ParseWithPython(messages[static_cast<qsizetype>(i)].data);
        EXPECT_EQ(parsed.value(QStringLiteral("subject")).toString(), expected[i].subject);
        QStringList envelope = messages[static_cast<qsizetype>(i)].recipients;
        for (QString& r : envelope)
            r = r.toLower();
        EXPECT_EQ(envelope, expected[i].envelope);
        const QJsonArray attachments = parsed.value(QStringLiteral("attachments")).toArray();
        if (expected[i].attachment.isEmpty()) {
            EXPECT_TRUE(attachments.isEmpty());
        } else {
            ASSERT_EQ(attachments.size(), 1);
            EXPECT_EQ(attachments[0].toObject().value(QStringLiteral("filename")).toString(), expected[i].attachment);
        }
        EXPECT_FALSE(parsed.value(QStringLiteral("header_block")).toString().contains(QStringLiteral("bcc"), Qt::CaseInsensitive));
    }
    EXPECT_FALSE(prefix.exists(kJobs + QStringLiteral("pj\\facture.pdf"))) << "attachment deleted after the send";
    EXPECT_TRUE(prefix.exists(QStringLiteral("C:\\secret.txt"))) << "a name leaving the folder is never deleted";
    EXPECT_FALSE(jobExists(QStringLiteral("Email_1.ss8")));
    const QStringList lines = incidents();
    ASSERT_EQ(lines.size(), 1);
    EXPECT_TRUE(lines[0].contains(QStringLiteral("Pièce jointe refusée")));
    EXPECT_TRUE(lines[0].contains(QStringLiteral("..\\secret.txt")));
}

TEST_F(PollerTest, RefusedRowKeepsTheJobAndTheRetrySendsOnlyWhatIsMissing) {
    SmtpServerOptions refusing;
    refusing.reply(QStringLiteral("RCPT"), QStringLiteral("refuse@"), QStringLiteral("550 5.1.1 no such user"));
    SmtpServer first(refusing);
    useServer(first);
    ASSERT_TRUE(prefix.write(kJobs + QStringLiteral("a1.pdf"), "one"));
    ASSERT_TRUE(prefix.write(kJobs + QStringLiteral("a3.pdf"), "three"));
    const QByteArray job = jobRow("1", "ok1@example.org", {}, {}, "row1", "B", "a1.pdf") +
                           jobRow("1", "refuse@example.org", {}, {}, "row2", "B") +
                           jobRow("1", "ok3@example.org", {}, {}, "row3", "B", "a3.pdf");
    ASSERT_TRUE(writeJob(QStringLiteral("Email_1.ss8"), job));
    ASSERT_TRUE(writeJob(QStringLiteral("Email_2.ss8"), jobRow("1", "other@example.org", {}, {}, "other", "B")));

    ASSERT_EQ(cycle(), 1);
    ASSERT_TRUE(first.waitForMessages(1));
    EXPECT_EQ(subjects(first), QStringList{"Postique: row1"});
    EXPECT_FALSE(prefix.exists(kJobs + QStringLiteral("a1.pdf")));
    EXPECT_TRUE(prefix.exists(kJobs + QStringLiteral("a3.pdf")));
    EXPECT_TRUE(jobExists(QStringLiteral("Email_1.ss8")));
    EXPECT_TRUE(jobExists(QStringLiteral("Email_2.ss8"))) << "no further job after an abandoned one";
    EXPECT_FALSE(incidents().isEmpty());

    // The program restarts (a new window, the poller forgotten) and the server is fixed:
    // row 1 is not sent again, rows 2 and 3 go out, then the other job.
    form.reset();
    automation::resetPoller();
    form = std::make_unique<Frm_Main>();
    form->TexteDossier[0]->setText(kJobs);
    SmtpServer second;
    useServer(second);
    ASSERT_EQ(cycle(), 1);
    ASSERT_TRUE(second.waitForMessages(3));
    EXPECT_EQ(subjects(second), (QStringList{"Postique: row2", "Postique: row3", "Postique: other"}));
    EXPECT_FALSE(prefix.exists(kJobs + QStringLiteral("a3.pdf")));
    EXPECT_FALSE(jobExists(QStringLiteral("Email_1.ss8")));
    EXPECT_FALSE(jobExists(QStringLiteral("Email_2.ss8")));
    EXPECT_TRUE(QDir(automation::journalFolder()).entryList(QDir::Files).isEmpty()) << "journals go with their jobs";
}

TEST_F(PollerTest, JobStillBeingWrittenWaitsAndChangedJobIsKept) {
    SmtpServer server;
    useServer(server);
    qint64 now = QDateTime::currentMSecsSinceEpoch();
    automation::setPollerClock([&now] { return now; });
    ASSERT_TRUE(writeJob(QStringLiteral("Email_1.ss8"), jobRow("1", "a@example.org", {}, {}, "fresh", "B")));
    ASSERT_EQ(cycle(), 1);
    EXPECT_EQ(automation::pollCounter(), automation::TicksPerCycle - 3) << "looked at again soon";
    EXPECT_TRUE(server.messages().isEmpty());
    now += 2500;
    EXPECT_EQ(cycle(), 3);
    ASSERT_TRUE(server.waitForMessages(1));
    EXPECT_FALSE(jobExists(QStringLiteral("Email_1.ss8")));

    // A job appended to while its rows are sent is not deleted. The refused attachment's
    // incident line, written in the middle of the job, is the moment the writer strikes.
    now += 60'000;
    const QString native = prefix.native(kJobs + QStringLiteral("Email_2.ss8"));
    ASSERT_TRUE(writeJob(QStringLiteral("Email_2.ss8"),
                         jobRow("1", "b@example.org", {}, {}, "first", "B", "/etc/passwd") +
                             jobRow("1", "c@example.org", {}, {}, "second", "B")));
    automation::setIncidentEcho([&](const QString&) {
        QFile f(native);
        ASSERT_TRUE(f.open(QIODevice::Append));
        f.write(jobRow("1", "d@example.org", {}, {}, "appended", "B"));
    });
    EXPECT_EQ(cycle(), 30);
    automation::setIncidentEcho({});
    ASSERT_TRUE(server.waitForMessages(3));
    EXPECT_TRUE(jobExists(QStringLiteral("Email_2.ss8")));
}

TEST_F(PollerTest, JobHeldByAnotherCopyIsLeftToIt) {
    SmtpServer server;
    useServer(server);
    ASSERT_TRUE(writeJob(QStringLiteral("Email_1.ss8"), jobRow("1", "a@example.org", {}, {}, "held", "B")));
    automation::JobLock other;
    ASSERT_EQ(other.acquire(prefix.native(kJobs + QStringLiteral("Email_1.ss8"))), automation::JobLock::Outcome::Locked);
    ASSERT_EQ(cycle(), 1);
    EXPECT_TRUE(server.messages().isEmpty());
    EXPECT_TRUE(jobExists(QStringLiteral("Email_1.ss8")));
    other.release();
    ASSERT_EQ(cycle(), 30);
    ASSERT_TRUE(server.waitForMessages(1));
    EXPECT_FALSE(jobExists(QStringLiteral("Email_1.ss8")));
}

TEST_F(PollerTest, BadJobCorpusNeitherCrashesNorLosesAnything) {
    SmtpServer server;
    useServer(server);
    ASSERT_TRUE(prefix.write(QStringLiteral("C:\\Windows\\win.ini"), "[x]"));
    for (const auto& bad : testsupport::badJobCorpus()) {
        if (bad.rows > 1000 || bad.bytes.size() > 1024 * 1024)
            continue; // the reader's own test covers the giants; sending them takes minutes
        SCOPED_TRACE(bad.name.toStdString());
        const QString name = QStringLiteral("Email_bad.ss8");
        ASSERT_TRUE(writeJob(name, bad.bytes));
        const auto before = server.messages().size();
        const int linesBefore = form->ListeIncidents->count();
        automation::resetPoller();
        automation::setPollerClock([] { return QDateTime::currentMSecsSinceEpoch() + 10'000; });
        ASSERT_EQ(cycle(), 1);
        if (bad.bytes.isEmpty() || !bad.loads) {
            EXPECT_TRUE(jobExists(name)) << "kept in the folder";
            EXPECT_EQ(server.messages().size(), before);
        } else {
            // Sent and deleted, or kept with an incident line saying why.
            EXPECT_TRUE(!jobExists(name) || form->ListeIncidents->count() > linesBefore);
        }
        QFile::remove(prefix.native(kJobs + name));
    }
    for (const auto& m : server.messages())
        EXPECT_FALSE(m.recipients.contains(QStringLiteral("evil@example.org"))) << "no header injection";
    EXPECT_TRUE(prefix.exists(QStringLiteral("C:\\Windows\\win.ini")));
}

TEST_F(PollerTest, DispatchCalledDirectly) {
    SmtpServer server;
    useServer(server);
    FpSpread sheet;
    qint16 abandon = 0;

    sheet.setSheet(automation::readJobBytes(jobRow(" ", "a@example.org", {}, {}, "s", "b") + "\r\n;;;;b@example.org\r\n").sheet);
    EXPECT_EQ(form->EnvoiMailAutomation(sheet, kJobs, abandon), -1) << "no used row: nothing sent, True";
    EXPECT_EQ(abandon, 0);

    sheet.setSheet(automation::readJobBytes(jobRow("1", "a@example.org", {}, {}, "s", "b")).sheet);
    abandon = -1;
    EXPECT_EQ(form->EnvoiMailAutomation(sheet, kJobs, abandon), 0) << "already abandoned: nothing sent";
    EXPECT_TRUE(server.messages().isEmpty());

    // The mail fields of the hidden form keep the last row.
    EXPECT_EQ(Frm_MainBis::instance()->TexteTo->text(), QStringLiteral("a@example.org"));
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
        EXPECT_EQ(MsgBox::history().last().text, QStringLiteral("Voulez-vous purger la liste des incidents ?"));
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
    FolderDialog::queueAnswer(QStringLiteral("*"));
    form->CommandDossier_Click(0);
    EXPECT_EQ(form->TexteDossier[0]->text(), QStringLiteral("C:\\Jobs"));
    EXPECT_FALSE(form->ParametresModifies);
    EXPECT_EQ(FolderDialog::lastStartFolder(), prefix.native(kJobs).chopped(prefix.native(kJobs).endsWith('/') ? 1 : 0));

    const QString chosen = prefix.native(QStringLiteral("C:\\Autres"));
    ASSERT_TRUE(QDir().mkpath(chosen));
    FolderDialog::queueAnswer(chosen);
    form->CommandDossier_Click(0);
    EXPECT_EQ(form->TexteDossier[0]->text(), QStringLiteral("C:\\Autres\\"));
    EXPECT_TRUE(form->ParametresModifies);

    form->ParametresModifies = false;
    form->CheckSousDossiers->setChecked(!form->CheckSousDossiers->isChecked());
    EXPECT_TRUE(form->ParametresModifies);
}

} // namespace
