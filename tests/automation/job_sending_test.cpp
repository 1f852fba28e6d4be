// Jobs sent by the poller and the dispatch to a real SMTP server on loopback: routing,
// copies, attachments, refusals and retries, settling, locking and the bad-job corpus.
// The tests need the real transmission routine; until it is part of the build they skip.
#if __has_include("ui/send_email.h")
#include "automation/jobs/incidents.h"
#include "automation/jobs/job_guard.h"
#include "automation/jobs/job_run.h"
#include "sending_fixture.h"
#include "station/charsets.h"
#include "station/job_dispatch.h"
#include "support/dns_fixture.h"
#include "support/forms/send_window.h"
#include "support/job_corpus.h"
#include "support/program_run.h"
#include "support/smtp_fixture.h"
#include "system/ini.h"
#include "system/supervision.h"
#include "system/winpath.h"
#include "ui/fp_spread.h"
#include "ui/frm_mainbis.h"
#include "ui/mail_field.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonObject>
#include <QPushButton>
#include <QRegularExpression>
#include <QStatusBar>
#include <QThread>
#include <QTimer>

#include <sys/stat.h>

using namespace automation_tests;
using testsupport::jobRow;
using testsupport::SmtpServer;
using testsupport::SmtpServerOptions;

namespace {

using JobSendingTest = SendingTest;

TEST_F(JobSendingTest, ScansOnlyPlainNonEmptyJobFilesAndSendsThem) {
    SmtpServer server;
    useServer(server);
    const QByteArray twoRows = jobRow("1", "a@example.org", {}, {}, "two-1", "B") +
                               jobRow("1", "b@example.org", {}, {}, "two-2", "B");
    ASSERT_TRUE(writeJob(QStringLiteral("Email_1.ss8"), {}));
    ASSERT_TRUE(writeJob(QStringLiteral("Email_2.ss8"), twoRows));
    ASSERT_TRUE(writeJob(QStringLiteral("email_3.SS8"),
                         jobRow("1", "c@example.org", {}, {}, "three", "B")));
    ASSERT_TRUE(
        writeJob(QStringLiteral("Email_4.txt"), jobRow("1", "d@example.org", {}, {}, "four", "B")));
    ASSERT_TRUE(QDir().mkpath(prefix.native(kJobs + QStringLiteral("Email_5.ss8"))));
    ASSERT_TRUE(
        writeJob(QStringLiteral("Email_6.ss8"), jobRow("1", "e@example.org", {}, {}, "six", "B")));
    ASSERT_TRUE(WinPath::writeAttributes(prefix.native(kJobs + QStringLiteral("Email_6.ss8")),
                                         WinPath::AttrHidden | WinPath::AttrArchive));
    ASSERT_TRUE(writeJob(QStringLiteral("Email_7.ss8"),
                         jobRow("  ", "f@example.org", {}, {}, "blank mark", "B")));

    if (!(WinPath::readAttributes(prefix.native(kJobs + QStringLiteral("Email_6.ss8")))
              .value_or(0) &
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

TEST_F(JobSendingTest, TheWindowAnswersWhileItsJobWaitsForTheServer) {
    // The server answers the final dot after two seconds: meanwhile the window's thread runs
    // its own events (a click, a timer) and no row of the job runs in the middle of them.
    SmtpServerOptions late;
    late.stall = QStringLiteral("EOD");
    late.stallSeconds = 2;
    SmtpServer server(late);
    ASSERT_TRUE(server.isRunning()) << server.error().toStdString();
    useServer(server);
    ASSERT_TRUE(
        writeJob(QStringLiteral("Email_1.ss8"), jobRow("1", "a@example.org", {}, {}, "late", "B")));
    form->KeepSavedSettings();
    ASSERT_TRUE(testsupport::waitUntil(
        [&] {
            form->TimerSendEmail_Timer();
            return server.connections() >= 1;
        },
        20000));
    QElapsedTimer clock;
    clock.start();
    bool answered = false;
    QTimer::singleShot(0, form.get(), [&] { answered = true; });
    while (!answered)
        QCoreApplication::processEvents();
    EXPECT_LT(clock.elapsed(), 1000);
    EXPECT_TRUE(form->JobLoop().busy()) << "the row still waits for its answer";
    form->JobLoop().waitIdle();
    EXPECT_FALSE(jobExists(QStringLiteral("Email_1.ss8")));
    EXPECT_EQ(server.messages().size(), 1);
}

TEST_F(JobSendingTest, RoutingCopiesAndAttachments) {
    SmtpServer server;
    useServer(server);
    ASSERT_TRUE(prefix.write(kJobs + QStringLiteral("pj\\facture.pdf"), "%PDF-1.4 facture"));
    ASSERT_TRUE(prefix.write(QStringLiteral("C:\\secret.txt"), "secret"));
    QByteArray job;
    job += jobRow("1", "to@example.org", "cc@example.org", "bcc@example.org", "plain", "B",
                  "pj\\facture.pdf");
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
    // The rows of a job go over a few sessions at once: they are matched by subject.
    QHash<QString, qsizetype> bySubject;
    std::vector<QJsonObject> parsedAll;
    for (qsizetype m = 0; m < messages.size(); ++m) {
        parsedAll.push_back(testsupport::ParseWithPython(messages[m].data));
        bySubject.insert(parsedAll.back().value(QStringLiteral("subject")).toString(), m);
    }
    for (size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE(expected[i].subject.toStdString());
        ASSERT_TRUE(bySubject.contains(expected[i].subject));
        const qsizetype at = bySubject.value(expected[i].subject);
        const QJsonObject& parsed = parsedAll[static_cast<size_t>(at)];
        QStringList envelope = messages[at].recipients;
        for (QString& r : envelope)
            r = r.toLower();
        EXPECT_EQ(envelope, expected[i].envelope);
        const QJsonArray attachments = parsed.value(QStringLiteral("attachments")).toArray();
        if (expected[i].attachment.isEmpty()) {
            EXPECT_TRUE(attachments.isEmpty());
        } else {
            ASSERT_EQ(attachments.size(), 1);
            EXPECT_EQ(attachments[0].toObject().value(QStringLiteral("filename")).toString(),
                      expected[i].attachment);
        }
        // No Bcc header line (a random Message-ID or boundary may well hold the letters "bcc").
        static const QRegularExpression bccHeader(QStringLiteral("^bcc:"),
                                                  QRegularExpression::CaseInsensitiveOption |
                                                      QRegularExpression::MultilineOption);
        EXPECT_FALSE(
            bccHeader.match(parsed.value(QStringLiteral("header_block")).toString()).hasMatch());
    }
    EXPECT_FALSE(prefix.exists(kJobs + QStringLiteral("pj\\facture.pdf")))
        << "attachment deleted after the send";
    EXPECT_TRUE(prefix.exists(QStringLiteral("C:\\secret.txt")))
        << "a name leaving the folder is never deleted";
    EXPECT_FALSE(jobExists(QStringLiteral("Email_1.ss8")));
    const QStringList lines = incidents();
    ASSERT_EQ(lines.size(), 1);
    EXPECT_TRUE(lines[0].contains(QStringLiteral("Pièce jointe refusée")));
    EXPECT_TRUE(lines[0].contains(QStringLiteral("..\\secret.txt")));
}

TEST_F(JobSendingTest, PermanentRefusalsGoToTheDeadLetterFolderAndNothingWaits) {
    // Rows that can never go (a 5xx for every recipient, an address refused before any
    // connection) are named in an incident line and recorded; the rest of the job and the
    // jobs after it go in the same cycle; the job lands in the dead-letter folder with a note.
    SmtpServerOptions refusing;
    refusing.reply(QStringLiteral("RCPT"), QStringLiteral("refuse@"),
                   QStringLiteral("550 5.1.1 no such user"));
    refusing.reply(QStringLiteral("RCPT"), QStringLiteral("partly@"),
                   QStringLiteral("550 5.1.1 unknown"));
    SmtpServer server(refusing);
    useServer(server);
    ASSERT_TRUE(prefix.write(kJobs + QStringLiteral("a1.pdf"), "one"));
    ASSERT_TRUE(prefix.write(kJobs + QStringLiteral("a2.pdf"), "two"));
    ASSERT_TRUE(prefix.write(kJobs + QStringLiteral("a3.pdf"), "three"));
    const QByteArray job =
        jobRow("1", "ok1@example.org", {}, {}, "row1", "B", "a1.pdf") +
        jobRow("1", "refuse@example.org", {}, {}, "row2", "B", "a2.pdf") +
        jobRow("1", "a\"b@example.org", {}, {}, "row3", "B") +
        jobRow("1", "ok4@example.org", "partly@example.org", {}, "row4", "B", "a3.pdf");
    ASSERT_TRUE(writeJob(QStringLiteral("Email_1.ss8"), job));
    ASSERT_TRUE(writeJob(QStringLiteral("Email_2.ss8"),
                         jobRow("1", "other@example.org", {}, {}, "other", "B")));

    ASSERT_EQ(cycle(), 1);
    ASSERT_TRUE(server.waitForMessages(3));
    QStringList got = subjects(server);
    got.sort();
    EXPECT_EQ(got, (QStringList{"Postique: other", "Postique: row1", "Postique: row4"}));
    EXPECT_FALSE(jobExists(QStringLiteral("Email_1.ss8")));
    EXPECT_FALSE(jobExists(QStringLiteral("Email_2.ss8"))) << "the job behind a poison row is sent";
    EXPECT_FALSE(prefix.exists(kJobs + QStringLiteral("a1.pdf")));
    EXPECT_TRUE(prefix.exists(kJobs + QStringLiteral("a2.pdf")))
        << "a failed row keeps its attachment";
    EXPECT_FALSE(prefix.exists(kJobs + QStringLiteral("a3.pdf")));

    const QString dead = prefix.native(kJobs) + u'/' + station::DeadLetterFolder;
    EXPECT_EQ(QFile(dead + QStringLiteral("/Email_1.ss8")).size(), job.size()) << "moved whole";
    QFile note(dead + QStringLiteral("/Email_1.ss8.txt"));
    ASSERT_TRUE(note.open(QIODevice::ReadOnly));
    const QString text = QString::fromUtf8(note.readAll());
    EXPECT_TRUE(text.contains(QStringLiteral("Ligne 2 : ")) &&
                text.contains(QStringLiteral("no such user")))
        << text.toStdString();
    EXPECT_TRUE(text.contains(QStringLiteral("Ligne 3 : "))) << text.toStdString();
    EXPECT_FALSE(text.contains(QStringLiteral("Ligne 1 "))) << text.toStdString();

    const QString all = incidents().join(u'\n');
    EXPECT_TRUE(all.contains(QStringLiteral("Ligne 2 de Email_1.ss8"))) << all.toStdString();
    EXPECT_TRUE(all.contains(QStringLiteral("Ligne 3 de Email_1.ss8"))) << all.toStdString();
    EXPECT_TRUE(all.contains(QStringLiteral("partly@example.org")))
        << "a refused copy is named: " << all.toStdString();
    EXPECT_TRUE(all.contains(station::DeadLetterFolder)) << all.toStdString();
    EXPECT_TRUE(QDir(prefix.native(kJobs))
                    .entryList({QStringLiteral(".*journal*")}, QDir::Files | QDir::Hidden)
                    .isEmpty());

    // The dead-letter folder is never scanned: another cycle sends nothing more.
    station::resetPoller();
    ASSERT_EQ(cycle(), 1);
    EXPECT_EQ(server.messages().size(), 3);
}

// A row refused for a while waits on its own: the rest of its job and the jobs behind it go
// on; it is named once, tried again on the retry schedule rather than at every cycle (also
// after a restart), and fails for good once its lifetime is over.
TEST_F(JobSendingTest, TransientRefusalWaitsAloneOnTheRetrySchedule) {
    const QByteArray savedSessions = qgetenv("POSTIQUE_SMTP_SESSIONS");
    const qint64 start = QDateTime::currentMSecsSinceEpoch();
    for (const int sessions : {1, 4}) {
        SCOPED_TRACE(sessions);
        qputenv("POSTIQUE_SMTP_SESSIONS", QByteArray::number(sessions));
        Clock::SetWallClock([start] { return start; });
        SmtpServerOptions refusing;
        refusing.reply(QStringLiteral("RCPT"), QStringLiteral("later@"),
                       QStringLiteral("451 4.3.0 try again later"));
        SmtpServer first(refusing);
        useServer(first);
        ASSERT_TRUE(prefix.write(kJobs + QStringLiteral("a1.pdf"), "one"));
        ASSERT_TRUE(prefix.write(kJobs + QStringLiteral("a3.pdf"), "three"));
        const QByteArray job = jobRow("1", "ok1@example.org", {}, {}, "row1", "B", "a1.pdf") +
                               jobRow("1", "later@example.org", {}, {}, "row2", "B") +
                               jobRow("1", "ok3@example.org", {}, {}, "row3", "B", "a3.pdf");
        ASSERT_TRUE(writeJob(QStringLiteral("Email_1.ss8"), job));
        ASSERT_TRUE(writeJob(QStringLiteral("Email_2.ss8"),
                             jobRow("1", "other@example.org", {}, {}, "other", "B")));

        ASSERT_EQ(cycle(), 1);
        ASSERT_TRUE(first.waitForMessages(3));
        QStringList sent = subjects(first);
        sent.sort();
        EXPECT_EQ(sent, (QStringList{"Postique: other", "Postique: row1", "Postique: row3"}));
        EXPECT_FALSE(prefix.exists(kJobs + QStringLiteral("a1.pdf")));
        EXPECT_FALSE(prefix.exists(kJobs + QStringLiteral("a3.pdf")));
        EXPECT_TRUE(jobExists(QStringLiteral("Email_1.ss8")));
        EXPECT_FALSE(jobExists(QStringLiteral("Email_2.ss8"))) << "the job behind is not held";
        const auto waiting = [&] {
            return incidents().filter(QStringLiteral("Ligne 2 de Email_1.ss8 en attente")).size();
        };
        EXPECT_EQ(waiting(), 1) << incidents().join(u'\n').toStdString();
        EXPECT_EQ(Supervision::Take().jobsDeferred, 1) << "the monitors see the row wait";

        // Inside the wait: not tried, not named again, also by a restarted program.
        form.reset();
        station::resetPoller();
        form = std::make_unique<Frm_Main>();
        form->TexteDossier[0]->setText(kJobs);
        SmtpServer second;
        useServer(second);
        Clock::SetWallClock([start] { return start + 30'000; });
        ASSERT_EQ(cycle(), 1);
        EXPECT_EQ(second.connections(), 0);
        EXPECT_TRUE(incidents().isEmpty()) << incidents().join(u'\n').toStdString();

        // Once the wait is over the row goes, once, and is said to have gone.
        Clock::SetWallClock([start] { return start + 61'000; });
        ASSERT_EQ(cycle(), 30);
        ASSERT_TRUE(second.waitForMessages(1));
        EXPECT_EQ(subjects(second), QStringList{"Postique: row2"});
        EXPECT_FALSE(jobExists(QStringLiteral("Email_1.ss8")));
        EXPECT_EQ(Supervision::Take().jobsDeferred, 0);
        EXPECT_EQ(incidents()
                      .filter(QStringLiteral("Ligne 2 de Email_1.ss8 envoyée après attente"))
                      .size(),
                  1)
            << incidents().join(u'\n').toStdString();
        EXPECT_TRUE(QDir(prefix.native(kJobs))
                        .entryList({QStringLiteral(".*journal*")}, QDir::Files | QDir::Hidden)
                        .isEmpty())
            << "journals go with their jobs";
        station::resetPoller();
        form->ListeIncidents->clear();
    }

    // A row still refused when its lifetime is over fails for good, with its reason.
    automation::setRetryPolicyOverride(automation::RetryPolicy{1000, 1000, 3'600'000});
    SmtpServerOptions refusing;
    refusing.reply(QStringLiteral("RCPT"), QStringLiteral("later@"),
                   QStringLiteral("451 4.3.0 try again later"));
    SmtpServer server(refusing);
    useServer(server);
    ASSERT_TRUE(writeJob(QStringLiteral("Email_3.ss8"),
                         jobRow("1", "later@example.org", {}, {}, "late", "B")));
    Clock::SetWallClock([start] { return start; });
    ASSERT_EQ(cycle(), 1);
    EXPECT_EQ(Supervision::Take().retryLifetimeSec, 3600) << "--status follows the lifetime";
    Clock::SetWallClock([start] { return start + 3'600'000; });
    ASSERT_EQ(cycle(), 30);
    automation::setRetryPolicyOverride(std::nullopt);
    EXPECT_FALSE(jobExists(QStringLiteral("Email_3.ss8")));
    QFile note(prefix.native(kJobs) + u'/' + station::DeadLetterFolder +
               QStringLiteral("/Email_3.ss8.txt"));
    ASSERT_TRUE(note.open(QIODevice::ReadOnly));
    EXPECT_TRUE(QString::fromUtf8(note.readAll()).contains(QStringLiteral("try again later")));
    if (savedSessions.isNull())
        qunsetenv("POSTIQUE_SMTP_SESSIONS");
    else
        qputenv("POSTIQUE_SMTP_SESSIONS", savedSessions);
}

// The background sending takes the character set and the server's name from the saved
// settings, never from what the page holds unsaved.
TEST_F(JobSendingTest, UnsavedCharsetAndServerStayOutOfTheJob) {
    SmtpServer server;
    useServer(server);
    const int saved = form->ListeCharset->currentIndex();
    const int latin1 = form->ListeCharset->findText(QStringLiteral("Western European(ISO)"));
    ASSERT_GE(latin1, 0);
    ASSERT_NE(latin1, saved);
    form->ListeCharset->setCurrentIndex(latin1);
    form->TexteServer->setText(QStringLiteral("pas.encore.enregistre.example"));
    ASSERT_TRUE(
        writeJob(QStringLiteral("Email_1.ss8"), jobRow("1", "a@example.org", {}, {}, "s", "é")));
    Supervision::Reset();
    ASSERT_EQ(cycleWithSavedSettings(), 1);
    ASSERT_TRUE(server.waitForMessages(1));
    EXPECT_EQ(
        testsupport::ParseWithPython(server.messages()[0].data).value("body_charset").toString(),
        CharsetIdentifier(saved).toLower());
    const Supervision::Snapshot figures = Supervision::Take();
    EXPECT_EQ(figures.mails.keys(), QStringList{QStringLiteral("127.0.0.1\tsmtp")});
}

// [Routage] of the settings file names the routing mailboxes; a blank key keeps the build's.
TEST_F(JobSendingTest, RoutingMailboxesFromTheSettingsFile) {
    const QString saved = Lib_Public::DossierConfigGlobal[0];
    Lib_Public::DossierConfigGlobal[0] = QStringLiteral("C:\\Velmora\\Config\\");
    const QString ini = Lib_Public::DossierConfigGlobal[0] + QStringLiteral("VL3_Postique.ini");
    const struct {
        const char *partner, *support, *routedPartner, *routedSupport;
    } cases[] = {
        {"it@reseau.example.org", " ", "it@reseau.example.org", POSTIQUE_SUPPORT_MAILBOX},
        {"", "aide@station.example.org", POSTIQUE_PARTNER_IT_MAILBOX, "aide@station.example.org"},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(Lib_Systeme::EcritureIni(ini, QStringLiteral("Routage"),
                                             QStringLiteral("Partenaire"), c.partner));
        ASSERT_TRUE(Lib_Systeme::EcritureIni(ini, QStringLiteral("Routage"),
                                             QStringLiteral("Support"), c.support));
        EXPECT_EQ(JobDispatch::RouteTo(QStringLiteral("a@example.org"), QStringLiteral("1")),
                  c.routedPartner);
        EXPECT_EQ(JobDispatch::RouteTo(QStringLiteral(" "), QString()), c.routedSupport);
    }
    Lib_Public::DossierConfigGlobal[0] = saved;
}

// A refused recipient is one line, naming the job and the row: refused for a while beside an
// accepted one (the row's waiting line), refused for good beside one, or alone.
TEST_F(JobSendingTest, ARefusedRecipientIsOneLineNamingTheJobAndRow) {
    const struct {
        const char* reply;
        const char* to;
        const char* line;
    } cases[] = {
        {"451 4.3.0 try again later", "ok@example.org, no@example.org",
         "Ligne 1 de Email_0.ss8 en attente"},
        {"550 5.1.1 unknown", "ok@example.org, no@example.org",
         "Ligne 1 de Email_1.ss8 envoyée, mais le serveur"},
        {"550 5.1.1 unknown", "no@example.org",
         "Ligne 1 de Email_2.ss8 non envoyée (refus définitif)"},
    };
    int job = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        SmtpServerOptions refusing;
        refusing.reply(QStringLiteral("RCPT"), QStringLiteral("no@"), QString::fromLatin1(c.reply));
        SmtpServer server(refusing);
        useServer(server);
        ASSERT_TRUE(writeJob(QStringLiteral("Email_%1.ss8").arg(job++),
                             jobRow("1", c.to, {}, {}, "s", "B")));
        form->ListeIncidents->clear();
        ASSERT_GE(cycle(), 1);
        const QStringList lines = incidents().filter(QStringLiteral("no@example.org"));
        ASSERT_EQ(lines.size(), 1) << incidents().join(u'\n').toStdString();
        EXPECT_TRUE(lines[0].contains(QString::fromUtf8(c.line))) << lines[0].toStdString();
        station::resetPoller();
    }
}

TEST_F(JobSendingTest, WildcardNamedJobReachesOnlyItself) {
    SmtpServer server;
    useServer(server);
    // The wildcard-named job is listed first or last depending on the folder: both orders
    // must leave the ordinary jobs to be sent, never deleted unsent.
    for (const QString& odd : {QStringLiteral("Email_*.ss8"), QStringLiteral("Email_?.ss8")}) {
        SCOPED_TRACE(odd.toStdString());
        const auto before = server.messages().size();
        {
            QFile f(prefix.native(kJobs) + u'/' + odd);
            ASSERT_TRUE(f.open(QIODevice::WriteOnly));
            f.write(jobRow("1", "odd@example.org", {}, {}, "odd", "B"));
        }
        ASSERT_TRUE(writeJob(QStringLiteral("Email_1.ss8"),
                             jobRow("1", "a@example.org", {}, {}, "one", "B")));
        ASSERT_TRUE(writeJob(QStringLiteral("Email_2.ss8"),
                             jobRow("1", "b@example.org", {}, {}, "two", "B")));
        station::resetPoller();
        // A writer holds Email_2 for the moment: the odd job's deletion must not touch it.
        automation::JobLock other;
        ASSERT_EQ(other.acquire(prefix.native(kJobs + QStringLiteral("Email_2.ss8"))),
                  automation::JobLock::Outcome::Locked);
        ASSERT_EQ(cycle(), 1);
        EXPECT_TRUE(jobExists(QStringLiteral("Email_2.ss8"))) << "never deleted unsent";
        other.release();
        station::resetPoller();
        ASSERT_EQ(cycle(), 1);
        ASSERT_TRUE(server.waitForMessages(static_cast<int>(before) + 3));
        EXPECT_EQ(server.messages().size(), before + 3);
        EXPECT_FALSE(jobExists(QStringLiteral("Email_1.ss8")));
        EXPECT_FALSE(jobExists(QStringLiteral("Email_2.ss8")));
        EXPECT_FALSE(QFileInfo::exists(prefix.native(kJobs) + u'/' + odd));
    }
}

TEST_F(JobSendingTest, AutomaticMailsCarryOnlyTheirRowsAttachment) {
    SmtpServer server;
    useServer(server);
    const QString picked = prefix.native(QStringLiteral("C:\\picked.txt"));
    ASSERT_TRUE(prefix.write(QStringLiteral("C:\\picked.txt"), "picked on the compose panel"));
    form->Attachments = {picked, QString()};
    ASSERT_TRUE(prefix.write(kJobs + QStringLiteral(" spaced.txt "), "x"));
    ASSERT_TRUE(prefix.write(kJobs + QStringLiteral("spaced.txt"), "row attachment"));
    ASSERT_TRUE(writeJob(QStringLiteral("Email_1.ss8"),
                         jobRow("1", "a@example.org", {}, {}, "row", "B", "  spaced.txt ")));
    ASSERT_EQ(cycle(), 1);
    ASSERT_TRUE(server.waitForMessages(1));
    const QJsonArray attachments = testsupport::ParseWithPython(server.messages()[0].data)
                                       .value(QStringLiteral("attachments"))
                                       .toArray();
    ASSERT_EQ(attachments.size(), 1);
    EXPECT_EQ(attachments[0].toObject().value(QStringLiteral("filename")).toString(),
              QStringLiteral("spaced.txt"));
    EXPECT_FALSE(prefix.exists(kJobs + QStringLiteral("spaced.txt")))
        << "the file attached is the file deleted";
    EXPECT_TRUE(QFileInfo::exists(picked));

    // Once the picked file is gone, jobs still go.
    QFile::remove(picked);
    ASSERT_TRUE(
        writeJob(QStringLiteral("Email_2.ss8"), jobRow("1", "b@example.org", {}, {}, "row2", "B")));
    station::resetPoller();
    ASSERT_EQ(cycle(), 1);
    ASSERT_TRUE(server.waitForMessages(2));
    EXPECT_FALSE(jobExists(QStringLiteral("Email_2.ss8")));
}

TEST_F(JobSendingTest, JobStillBeingWrittenWaitsAndChangedJobIsKept) {
    SmtpServer server;
    useServer(server);
    qint64 now = QDateTime::currentMSecsSinceEpoch();
    Clock::SetWallClock([&now] { return now; });
    station::setSettleMs(automation::StabilityTracker::SettleMs);
    ASSERT_TRUE(writeJob(QStringLiteral("Email_1.ss8"),
                         jobRow("1", "a@example.org", {}, {}, "fresh", "B")));
    ASSERT_EQ(cycle(), 1);
    EXPECT_EQ(station::pollCounter(), station::TicksPerCycle - 3) << "looked at again soon";
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
    EXPECT_EQ(cycle(), 30);
    EXPECT_EQ(server.messages().size(), 1) << "first sight: not read yet";
    now += 2500;
    bool appended = false;
    automation::setIncidentEcho([&](const automation::Incident&) {
        if (appended)
            return;
        appended = true;
        QFile f(native);
        ASSERT_TRUE(f.open(QIODevice::Append));
        f.write(jobRow("1", "d@example.org", {}, {}, "appended", "B"));
    });
    EXPECT_EQ(cycle(), 3);
    automation::setIncidentEcho({});
    ASSERT_TRUE(server.waitForMessages(3));
    EXPECT_TRUE(jobExists(QStringLiteral("Email_2.ss8"))) << "changed while sent: kept";
    // The next cycles send only the appended row, then the job goes.
    for (int i = 0; i < 3 && jobExists(QStringLiteral("Email_2.ss8")); ++i) {
        now += 2500;
        cycle();
    }
    EXPECT_FALSE(jobExists(QStringLiteral("Email_2.ss8")));
    // The rows of one job may arrive in any order (a few sessions); the jobs in turn.
    QStringList got = subjects(server);
    ASSERT_EQ(got.size(), 4);
    std::sort(got.begin() + 1, got.begin() + 3);
    EXPECT_EQ(got, (QStringList{"Postique: fresh", "Postique: first", "Postique: second",
                                "Postique: appended"}));
}

TEST_F(JobSendingTest, JobRenamedIntoPlaceGoesAtTheFirstCycle) {
    // Written under another name then renamed, a job is whole when it shows: no settling wait.
    SmtpServer server;
    useServer(server);
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    Clock::SetWallClock([now] { return now; });
    station::setSettleMs(automation::StabilityTracker::SettleMs);
    ASSERT_TRUE(writeJob(QStringLiteral("Email_1.part"),
                         jobRow("1", "a@example.org", {}, {}, "renamed", "B")));
    QThread::msleep(20); // the rename's change time is a later one than the write's
    ASSERT_TRUE(QFile::rename(prefix.native(kJobs + QStringLiteral("Email_1.part")),
                              prefix.native(kJobs + QStringLiteral("Email_1.ss8"))));
    cycle();
    ASSERT_TRUE(server.waitForMessages(1));
    EXPECT_FALSE(jobExists(QStringLiteral("Email_1.ss8")));
}

TEST_F(JobSendingTest, JobHeldByAnotherCopyIsLeftToIt) {
    SmtpServer server;
    useServer(server);
    ASSERT_TRUE(
        writeJob(QStringLiteral("Email_1.ss8"), jobRow("1", "a@example.org", {}, {}, "held", "B")));
    automation::JobLock other;
    ASSERT_EQ(other.acquire(prefix.native(kJobs + QStringLiteral("Email_1.ss8"))),
              automation::JobLock::Outcome::Locked);
    ASSERT_EQ(cycle(), 1);
    EXPECT_TRUE(server.messages().isEmpty());
    EXPECT_TRUE(jobExists(QStringLiteral("Email_1.ss8")));
    other.release();
    ASSERT_EQ(cycle(), 30);
    ASSERT_TRUE(server.waitForMessages(1));
    EXPECT_FALSE(jobExists(QStringLiteral("Email_1.ss8")));
}

TEST_F(JobSendingTest, BadJobCorpusNeitherCrashesNorLosesAnything) {
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
        station::resetPoller();
        Clock::SetWallClock([] { return QDateTime::currentMSecsSinceEpoch() + 10'000; });
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
        EXPECT_FALSE(m.recipients.contains(QStringLiteral("evil@example.org")))
            << "no header injection";
    EXPECT_TRUE(prefix.exists(QStringLiteral("C:\\Windows\\win.ini")));
}

TEST_F(JobSendingTest, UnreadableAndSpecialJobsAreNamedOnceAndLeftAlone) {
    SmtpServer server;
    useServer(server);
    const QString jobs = prefix.native(kJobs);
    ASSERT_TRUE(writeJob(QStringLiteral("Email_nul.ss8"),
                         QByteArray("1;;;;a@example.org;;;s;b\r\n\0x", 27)));
    ASSERT_TRUE(prefix.write(QStringLiteral("C:\\outside.ss8"),
                             jobRow("1", "out@example.org", {}, {}, "outside", "B")));
    ASSERT_TRUE(QFile::link(prefix.native(QStringLiteral("C:\\outside.ss8")),
                            jobs + QStringLiteral("/Email_link.ss8")));
    ASSERT_EQ(
        ::mkfifo(QFile::encodeName(jobs + QStringLiteral("/Email_fifo.ss8")).constData(), 0600), 0);
    ASSERT_EQ(::mkfifo(QFile::encodeName(jobs + QStringLiteral("/pipe.bin")).constData(), 0600), 0);
    ASSERT_TRUE(writeJob(QStringLiteral("Email_ok.ss8"),
                         jobRow("1", "ok@example.org", {}, {}, "fifo attached", "B", "pipe.bin")));

    ASSERT_EQ(cycle(), 1);
    ASSERT_TRUE(server.waitForMessages(1));
    EXPECT_EQ(subjects(server), QStringList{"Postique: fifo attached"});
    EXPECT_TRUE(testsupport::ParseWithPython(server.messages()[0].data)
                    .value(QStringLiteral("attachments"))
                    .toArray()
                    .isEmpty());
    const auto countOf = [&](const QString& what) {
        return static_cast<int>(incidents().filter(what).size());
    };
    EXPECT_EQ(countOf(QStringLiteral("Email_nul.ss8")), 1) << incidents().join('\n').toStdString();
    EXPECT_EQ(countOf(QStringLiteral("Email_link.ss8")), 1) << incidents().join('\n').toStdString();
    EXPECT_EQ(countOf(QStringLiteral("pipe.bin")), 1) << incidents().join('\n').toStdString();
    EXPECT_TRUE(jobExists(QStringLiteral("Email_nul.ss8")));
    EXPECT_TRUE(QFileInfo(jobs + QStringLiteral("/Email_link.ss8")).isSymLink());
    EXPECT_TRUE(prefix.exists(QStringLiteral("C:\\outside.ss8")));
    EXPECT_TRUE(QFileInfo::exists(jobs + QStringLiteral("/pipe.bin")));

    // The same states again: no new line. A changed unreadable file: one more line.
    ASSERT_EQ(cycle(), 30);
    EXPECT_EQ(countOf(QStringLiteral("Email_nul.ss8")), 1);
    EXPECT_EQ(countOf(QStringLiteral("Email_link.ss8")), 1);
    {
        QFile f(jobs + QStringLiteral("/Email_nul.ss8"));
        ASSERT_TRUE(f.open(QIODevice::Append));
        f.write("more");
    }
    ASSERT_EQ(cycle(), 30);
    EXPECT_EQ(countOf(QStringLiteral("Email_nul.ss8")), 2);
    EXPECT_EQ(server.messages().size(), 1);
}

TEST_F(JobSendingTest, WithoutServerARetriedRowSendsOnlyTheMissingCopies) {
    // One copy per recipient: the copy refused for a while is the only one sent again; a
    // domain that takes no mail is named once and does not hold the row.
    testsupport::DnsServerOptions zone;
    zone.mx = {{"alpha.test", "mx.alpha.test", 10}, {"beta.test", "mx.beta.test", 10}};
    zone.hosts = {{"mx.alpha.test", "127.0.0.1"}, {"mx.beta.test", "127.0.0.1"}};
    zone.nullMx = {"muet.test"};
    testsupport::DnsServer dns(zone);
    ASSERT_TRUE(dns.isRunning()) << dns.error().toStdString();
    SmtpServerOptions busy;
    busy.reply(QStringLiteral("RCPT"), QStringLiteral("later@"),
               QStringLiteral("451 4.3.0 try later"));
    SmtpServer first(busy);
    useServer(first);
    form->TexteServer->setText(QString());
    testsupport::EnvSetting dnsSetting("VELMORA_DNS", dns.address().toLatin1());
    testsupport::EnvSetting portSetting("VELMORA_MX_PORT", QByteArray::number(first.port()));
    ASSERT_TRUE(writeJob(QStringLiteral("Email_1.ss8"),
                         jobRow("1", "un@alpha.test; later@beta.test", "x@muet.test",
                                "deux@beta.test", "copies", "B")));

    ASSERT_EQ(cycle(), 1);
    ASSERT_TRUE(first.waitForMessages(2));
    EXPECT_TRUE(jobExists(QStringLiteral("Email_1.ss8"))) << "a copy waits";

    SmtpServer second;
    ASSERT_TRUE(second.isRunning());
    testsupport::EnvSetting again("VELMORA_MX_PORT", QByteArray::number(second.port()));
    Clock::SetWallClock([] { return QDateTime::currentMSecsSinceEpoch() + 80'000; }); // the wait
    ASSERT_EQ(cycle(), 30);
    ASSERT_TRUE(second.waitForMessages(1));
    EXPECT_FALSE(jobExists(QStringLiteral("Email_1.ss8")));
    QStringList envelopes;
    for (const auto& m : first.messages() + second.messages())
        envelopes << m.recipients.join(u',').toLower();
    envelopes.sort();
    EXPECT_EQ(envelopes, (QStringList{"deux@beta.test", "later@beta.test", "un@alpha.test"}));
    EXPECT_EQ(incidents().filter(QStringLiteral("x@muet.test")).size(), 1) << "named once";
}

TEST_F(JobSendingTest, RowWithFifteenHundredRecipientsGoesWhole) {
    // Over 50,000 characters of addresses in one cell: nothing cut on the way.
    SmtpServer server;
    useServer(server);
    QStringList to;
    for (int i = 0; i < 1500; ++i)
        to << QStringLiteral("recipient-number-%1@example.org").arg(i, 4, 10, QLatin1Char('0'));
    ASSERT_GT(to.join(u';').size(), 32767);
    ASSERT_TRUE(
        writeJob(QStringLiteral("Email_1.ss8"), jobRow("1", to.join(u';'), {}, {}, "many", "B")));
    ASSERT_EQ(cycle(), 1);
    ASSERT_TRUE(server.waitForMessages(1, 60000));
    QStringList got = server.messages()[0].recipients;
    for (QString& r : got)
        r = r.toLower();
    EXPECT_EQ(got, to);
    EXPECT_FALSE(jobExists(QStringLiteral("Email_1.ss8")));
}

TEST_F(JobSendingTest, DispatchCalledDirectly) {
    SmtpServer server;
    useServer(server);
    FpSpread sheet;
    qint16 abandon = 0;

    sheet.setSheet(automation::readJobBytes(jobRow(" ", "a@example.org", {}, {}, "s", "b") +
                                            "\r\n;;;;b@example.org\r\n")
                       .sheet);
    EXPECT_EQ(form->EnvoiMailAutomation(sheet, kJobs, abandon), -1)
        << "no used row: nothing sent, True";
    EXPECT_EQ(abandon, 0);

    sheet.setSheet(automation::readJobBytes(jobRow("1", "a@example.org", {}, {}, "s", "b")).sheet);
    abandon = -1;
    EXPECT_EQ(form->EnvoiMailAutomation(sheet, kJobs, abandon), 0)
        << "already abandoned: nothing sent";
    EXPECT_TRUE(server.messages().isEmpty());

    // The mail fields of the hidden form keep the last row.
    EXPECT_EQ(Frm_MainBis::instance()->TexteTo->text(), QStringLiteral("a@example.org"));
}

// Address lists far longer than a text box would hold (32,767 characters) go out whole:
// every recipient of a 1,500-address row is in the envelope and the row is sent once.
TEST_F(JobSendingTest, LongAddressListsAreNotCut) {
    SmtpServer server;
    useServer(server);
    QStringList to, cc;
    for (int i = 0; i < 1500; ++i)
        to << QStringLiteral("destinataire.numero%1@example.org").arg(i, 4, 10, QLatin1Char('0'));
    for (int i = 0; i < 300; ++i)
        cc << QStringLiteral("copie%1@example.org").arg(i);
    const QString toText = to.join(QStringLiteral("; "));
    ASSERT_GT(toText.size(), 40000);
    const QString body = QString(50000, u'b') + QStringLiteral("\nfin");
    ASSERT_TRUE(writeJob(QStringLiteral("Email_1.ss8"),
                         jobRow("1", toText, cc.join(u';'), {}, "long", body)));

    ASSERT_EQ(cycle(), 1);
    ASSERT_TRUE(server.waitForMessages(1, 30000));
    const auto messages = server.messages();
    ASSERT_EQ(messages.size(), 1);
    QStringList envelope = messages[0].recipients;
    for (QString& r : envelope)
        r = r.toLower();
    EXPECT_EQ(envelope, to + cc);
    EXPECT_FALSE(jobExists(QStringLiteral("Email_1.ss8")));
    EXPECT_TRUE(incidents().isEmpty()) << incidents().join('\n').toStdString();
    EXPECT_EQ(Frm_MainBis::instance()->TexteTo->text(), toText);
    EXPECT_TRUE(
        Frm_MainBis::instance()->TexteBody->toPlainText().endsWith(QStringLiteral("\nfin")));
}

// A long job leaves the visible window alone per row: the send button, the status line and
// the focus are not touched by each mail, and the progress (row, rows done, grid row) is shown
// from a timer a few times a second. Paint events on the window are counted while it runs.
TEST_F(JobSendingTest, LongJobShowsProgressWithoutRepaintingPerRow) {
    SmtpServer server;
    useServer(server);
    constexpr int rows = 1500;
    QByteArray job;
    for (int i = 1; i <= rows; ++i)
        job += jobRow("1", QStringLiteral("r%1@example.org").arg(i), {}, {},
                      QStringLiteral("row %1").arg(i), "B");
    ASSERT_TRUE(writeJob(QStringLiteral("Email_1.ss8"), job));

    struct PaintCounter : QObject {
        QWidget* window = nullptr;
        int paints = 0;
        bool eventFilter(QObject* watched, QEvent* event) override {
            auto* widget = qobject_cast<QWidget*>(watched);
            if (event->type() == QEvent::Paint && widget &&
                (widget == window || window->isAncestorOf(widget)))
                ++paints;
            return false;
        }
    } counter;
    counter.window = form.get();
    form->show();
    QCoreApplication::processEvents();
    QStringList statusTexts;
    QObject::connect(form->statusBar(), &QStatusBar::messageChanged, form.get(),
                     [&](const QString& text) { statusTexts << text; });
    int buttonToggles = 0;
    struct EnableWatch : QObject {
        int* toggles = nullptr;
        bool eventFilter(QObject*, QEvent* event) override {
            if (event->type() == QEvent::EnabledChange)
                ++*toggles;
            return false;
        }
    } enableWatch;
    enableWatch.toggles = &buttonToggles;
    form->ButtonSend->installEventFilter(&enableWatch);
    qApp->installEventFilter(&counter);
    ASSERT_EQ(cycle(), 1);
    qApp->removeEventFilter(&counter);
    form->ButtonSend->removeEventFilter(&enableWatch);

    ASSERT_TRUE(server.waitForMessages(rows));
    EXPECT_FALSE(jobExists(QStringLiteral("Email_1.ss8")));
    EXPECT_EQ(buttonToggles, 0) << "the send button is left alone by automatic mails";
    EXPECT_LT(counter.paints, rows / 5) << "the window was repainted per row";
    // Progress was shown, with the rows done, and not once per row.
    static const QRegularExpression progress(
        QStringLiteral("^Envoi (\\d+) / 1500 Email_1\\.ss8 \\((\\d+) traitées\\)$"));
    int shown = 0;
    for (const QString& text : statusTexts)
        shown += progress.match(text).hasMatch() ? 1 : 0;
    EXPECT_GE(shown, 1);
    EXPECT_LT(shown, rows / 5);
    EXPECT_TRUE(form->statusBar()->currentMessage().isEmpty()) << "cleared at the end";
}

} // namespace

#else
#include <gtest/gtest.h>
TEST(JobSendingTest, NeedsTheTransmissionRoutine) {
    GTEST_SKIP() << "ui/send_email.h not built yet";
}
#endif
