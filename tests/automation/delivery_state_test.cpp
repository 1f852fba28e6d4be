// What the job's run state promises where several mechanisms meet: every recipient exactly
// once, nothing lost, a journal that cannot be written stopping the job, and a server's
// session and rate limits respected.
#include "automation/jobs/job_run.h"
#include "mail/engine/destinations.h"
#include "sending_fixture.h"
#include "support/dns_fixture.h"
#include "support/forms/send_window.h"
#include "support/job_corpus.h"
#include "support/program_run.h"
#include "system/error_reporting.h"
#include "system/globals.h"
#include "system/ini.h"
#include "system/stop_points.h"

#include <QAbstractItemModel>
#include <QDir>
#include <QJsonArray>
#include <QJsonObject>
#include <QListWidget>
#include <QMap>
#include <QThread>

#include <cstring>
#include <fcntl.h>
#include <functional>
#include <linux/capability.h>
#include <optional>
#include <sys/syscall.h>
#include <unistd.h>

using namespace automation_tests;
using testsupport::jobRow;
using testsupport::SmtpServer;
using testsupport::SmtpServerOptions;
using testsupport::waitUntil;

namespace {

using DeliveryState = SendingTest;

// "subject recipient" for each envelope recipient, with whether the mail had an attachment.
QMap<QString, int> deliveries(const QList<const SmtpServer*>& servers, QStringList* bare) {
    QMap<QString, int> counts;
    for (const SmtpServer* server : servers)
        for (const auto& m : server->messages()) {
            const QJsonObject parsed = testsupport::ParseWithPython(m.data);
            const QString subject = parsed.value(QStringLiteral("subject")).toString();
            const bool attached = !parsed.value(QStringLiteral("attachments")).toArray().isEmpty();
            for (const QString& r : m.recipients) {
                ++counts[subject + u' ' + r.toLower()];
                if (!attached && subject.contains(QStringLiteral("shared")))
                    *bare << subject + u' ' + r.toLower();
            }
        }
    return counts;
}

// Points every open descriptor of the journal of `job` at /dev/full: from now on each record
// fails as on a full disk, in the middle of the run.
void fillDiskUnderJournal(const QString& job) {
    const int full = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
    ASSERT_GE(full, 0);
    int replaced = 0;
    const QDir fds(QStringLiteral("/proc/self/fd"));
    for (const QString& fd : fds.entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot))
        if (QFile::symLinkTarget(fds.filePath(fd))
                .endsWith(u'.' + job + QStringLiteral(".postique-journal")))
            replaced += ::dup2(full, fd.toInt()) >= 0 ? 1 : 0;
    ::close(full);
    EXPECT_GE(replaced, 1) << "the journal was open";
}

// Root reads any file whatever its mode: while it lives, this thread gives up that right, so
// that a file of mode 000 cannot be read, as for the station's own user.
class WithoutReadOverride {
public:
    WithoutReadOverride() {
        header_.version = _LINUX_CAPABILITY_VERSION_3;
        if (::syscall(SYS_capget, &header_, saved_) != 0)
            return;
        __user_cap_data_struct lowered[2] = {saved_[0], saved_[1]};
        lowered[0].effective &= ~((1U << CAP_DAC_OVERRIDE) | (1U << CAP_DAC_READ_SEARCH));
        active_ = ::syscall(SYS_capset, &header_, lowered) == 0;
    }
    ~WithoutReadOverride() {
        if (active_)
            ::syscall(SYS_capset, &header_, saved_);
    }
    WithoutReadOverride(const WithoutReadOverride&) = delete;
    WithoutReadOverride& operator=(const WithoutReadOverride&) = delete;

private:
    __user_cap_header_struct header_{};
    __user_cap_data_struct saved_[2]{};
    bool active_ = false;
};

TEST_F(DeliveryState, EveryRecipientOnceWhateverMeets) {
    // A greylisted one-recipient row, a row with a recipient refused for a while beside
    // accepted ones, and three rows sharing an attachment, through a server or directly
    // (copy by copy), with one session or four. At the first refusal the operator may quit,
    // or the disk under the journal fill up. The server then comes back without refusals,
    // on a new port or restarted on the same one (its pooled sessions dropped).
    testsupport::DnsServerOptions zone;
    zone.mx = {{"alpha.test", "mx.alpha.test", 10}, {"beta.test", "mx.beta.test", 10}};
    zone.hosts = {{"mx.alpha.test", "127.0.0.1"}, {"mx.beta.test", "127.0.0.1"}};
    testsupport::DnsServer dns(zone);
    ASSERT_TRUE(dns.isRunning()) << dns.error().toStdString();
    testsupport::EnvSetting dnsSetting("VELMORA_DNS", dns.address().toLatin1());
    const qint64 start = QDateTime::currentMSecsSinceEpoch();
    enum Meets { Nothing = 0, Restart = 1, Quit = 2, DiskFull = 4 };
    const struct {
        int sessions;
        bool direct;
        int meets;
    } cases[] = {{1, false, Nothing},
                 {4, false, Nothing},
                 {1, true, Nothing},
                 {4, true, Nothing},
                 {4, false, Restart},
                 {1, true, Restart},
                 {4, false, Quit},
                 {1, true, Quit},
                 {4, false, DiskFull},
                 {1, true, DiskFull},
                 {4, true, Restart | Quit | DiskFull}};
    for (const auto& c : cases) {
        SCOPED_TRACE(QStringLiteral("%1 session(s), %2, meets %3")
                         .arg(c.sessions)
                         .arg(c.direct ? "direct" : "server")
                         .arg(c.meets)
                         .toStdString());
        testsupport::EnvSetting sessions("POSTIQUE_SMTP_SESSIONS", QByteArray::number(c.sessions));
        Clock::SetWallClock([start] { return start; });
        SmtpServerOptions refusing;
        refusing.reply(QStringLiteral("RCPT"), QStringLiteral("grey@"),
                       QStringLiteral("451 4.7.1 Greylisted, try again later"));
        refusing.reply(QStringLiteral("RCPT"), QStringLiteral("later@"),
                       QStringLiteral("452 4.2.2 Mailbox full"));
        SmtpServer first(refusing);
        useServer(first);
        auto mxPort = std::make_unique<testsupport::EnvSetting>("VELMORA_MX_PORT",
                                                                QByteArray::number(first.port()));
        if (c.direct)
            form->TexteServer->setText(QString());
        ASSERT_TRUE(prefix.write(kJobs + QStringLiteral("shared.pdf"), "%PDF shared"));
        QByteArray job = jobRow("1", "grey@alpha.test", {}, {}, "shared grey", "B", "shared.pdf") +
                         jobRow("1", "a@alpha.test; later@beta.test", "b@beta.test", {},
                                "shared split", "B", "shared.pdf") +
                         jobRow("1", "c@alpha.test", {}, {}, "shared plain", "B", "shared.pdf");
        for (int i = 4; i <= 8; ++i)
            job += jobRow("1", QStringLiteral("d%1@alpha.test").arg(i), {}, {},
                          QStringLiteral("row %1").arg(i), "B");
        ASSERT_TRUE(writeJob(QStringLiteral("Email_1.ss8"), job));

        // The first incident of the run (a refusal) is when the operator quits or the disk
        // fills up, with other rows in flight.
        bool struck = false;
        const auto strike = QObject::connect(
            form->ListeIncidents->model(), &QAbstractItemModel::rowsInserted, form.get(), [&] {
                if (struck)
                    return;
                struck = true;
                if (c.meets & Quit)
                    Lib_Public::QuitterDemande = true;
                if (c.meets & DiskFull)
                    fillDiskUnderJournal(QStringLiteral("Email_1.ss8"));
            });
        ASSERT_EQ(cycle(), 1);
        QObject::disconnect(strike);
        // A quit at the same moment may stop every send before one more record is tried:
        // then nothing failed to be written and there is nothing to tell.
        const auto journalIncidents = incidents().filter(QStringLiteral("journal d'envoi")).size();
        if ((c.meets & (DiskFull | Quit)) == (DiskFull | Quit))
            EXPECT_LE(journalIncidents, 1) << incidents().join(u'\n').toStdString();
        else
            EXPECT_EQ(journalIncidents, c.meets & DiskFull ? 1 : 0)
                << incidents().join(u'\n').toStdString();
        if ((c.meets & (Quit | DiskFull)) == 0) {
            EXPECT_TRUE(first.waitForMessages(c.direct ? 8 : 7, 20000));
        }
        EXPECT_TRUE(jobExists(QStringLiteral("Email_1.ss8"))) << "two recipients are owed";
        EXPECT_TRUE(prefix.exists(kJobs + QStringLiteral("shared.pdf"))) << "a row still needs it";
        Lib_Public::QuitterDemande = false;

        std::unique_ptr<SmtpServer> second;
        if (c.meets & Restart) {
            first.stop();
            SmtpServerOptions samePort;
            samePort.port = first.port();
            second = std::make_unique<SmtpServer>(samePort);
        } else {
            second = std::make_unique<SmtpServer>();
        }
        ASSERT_TRUE(second->isRunning()) << second->error().toStdString();
        mxPort.reset(); // restores the variable before it is set again
        if (c.direct)
            mxPort = std::make_unique<testsupport::EnvSetting>("VELMORA_MX_PORT",
                                                               QByteArray::number(second->port()));
        else
            useServer(*second);
        Clock::SetWallClock([start] { return start + 61'000; });
        ASSERT_EQ(cycle(), 30);
        EXPECT_TRUE(waitUntil([&] { return !jobExists(QStringLiteral("Email_1.ss8")); }, 20000))
            << incidents().join(u'\n').toStdString();
        EXPECT_FALSE(prefix.exists(kJobs + QStringLiteral("shared.pdf")));
        EXPECT_TRUE(incidents().filter(QStringLiteral("a échoué")).isEmpty())
            << incidents().join(u'\n').toStdString();

        QStringList bare;
        const QMap<QString, int> got = deliveries({&first, second.get()}, &bare);
        QStringList expected = {
            "Postique: shared grey grey@alpha.test", "Postique: shared split a@alpha.test",
            "Postique: shared split later@beta.test", "Postique: shared split b@beta.test",
            "Postique: shared plain c@alpha.test"};
        for (int i = 4; i <= 8; ++i)
            expected << QStringLiteral("Postique: row %1 d%1@alpha.test").arg(i);
        expected.sort();
        QStringList keys = got.keys();
        keys.sort();
        EXPECT_EQ(keys, expected);
        for (auto it = got.cbegin(); it != got.cend(); ++it)
            EXPECT_EQ(it.value(), 1) << it.key().toStdString();
        EXPECT_TRUE(bare.isEmpty()) << bare.join(u',').toStdString();
        station::resetPoller();
        form->ListeIncidents->clear();
    }
}

TEST_F(DeliveryState, JournalThatCannotBeWrittenStopsTheJobOnce) {
    // The journal's place is taken by a folder: nothing goes out, one incident names the job
    // and the folder, later cycles neither send nor repeat it; once the place is free the
    // job goes, every row once.
    SmtpServer server;
    useServer(server);
    const QString blocker = prefix.native(kJobs) + QStringLiteral("/.Email_1.ss8.postique-journal");
    ASSERT_TRUE(QDir().mkpath(blocker + QStringLiteral("/x")));
    ASSERT_TRUE(writeJob(QStringLiteral("Email_1.ss8"),
                         jobRow("1", "a@example.org", {}, {}, "one", "B") +
                             jobRow("1", "b@example.org", {}, {}, "two", "B")));
    QStringList trace;
    Lib_Public::SetTraceHook([&](const QString& line) { trace << line; });
    for (int i = 0; i < 3; ++i)
        EXPECT_GE(cycle(), 1);
    Lib_Public::SetTraceHook({});
    EXPECT_EQ(trace.size(), 1) << trace.join(u'\n').toStdString();
    EXPECT_EQ(server.connections(), 0);
    EXPECT_TRUE(jobExists(QStringLiteral("Email_1.ss8")));
    const QStringList named = incidents().filter(QStringLiteral("journal d'envoi"));
    ASSERT_EQ(named.size(), 1) << incidents().join(u'\n').toStdString();
    EXPECT_TRUE(named[0].contains(QStringLiteral("Email_1.ss8")) &&
                named[0].contains(prefix.native(kJobs).section(u'/', -1)))
        << named[0].toStdString();

    ASSERT_TRUE(QDir(blocker).removeRecursively());
    ASSERT_EQ(cycle(), 30);
    ASSERT_TRUE(server.waitForMessages(2));
    EXPECT_FALSE(jobExists(QStringLiteral("Email_1.ss8")));
    EXPECT_EQ(server.messages().size(), 2);
}

TEST_F(DeliveryState, DirectCopiesStopAtAFailedRecordAndARestartSendsNoneAgain) {
    // Without a server each recipient gets a copy of their own. The disk under the journal
    // fills as the first copy is taken: no further copy starts, and after a restart (all the
    // run held in memory gone) that copy is recorded first and only the two others go.
    testsupport::DnsServerOptions zone;
    zone.mx = {{"alpha.test", "mx.alpha.test", 10}};
    zone.hosts = {{"mx.alpha.test", "127.0.0.1"}};
    testsupport::DnsServer dns(zone);
    ASSERT_TRUE(dns.isRunning()) << dns.error().toStdString();
    testsupport::EnvSetting dnsSetting("VELMORA_DNS", dns.address().toLatin1());
    SmtpServer server;
    useServer(server);
    testsupport::EnvSetting mxPort("VELMORA_MX_PORT", QByteArray::number(server.port()));
    form->TexteServer->setText(QString());
    ASSERT_TRUE(
        writeJob(QStringLiteral("Email_1.ss8"),
                 jobRow("1", "a@alpha.test; b@alpha.test; c@alpha.test", {}, {}, "copies", "B")));
    bool filled = false;
    StopPoints::setHookForTesting([&](const char* point) {
        if (!filled && std::strcmp(point, "answered") == 0) {
            filled = true;
            fillDiskUnderJournal(QStringLiteral("Email_1.ss8"));
        }
    });
    cycle();
    StopPoints::setHookForTesting({});
    ASSERT_TRUE(filled);
    EXPECT_EQ(server.messages().size(), 1) << "a copy started after the failed record";
    EXPECT_TRUE(jobExists(QStringLiteral("Email_1.ss8")));

    station::resetPoller();
    EXPECT_GE(cycle(), 1);
    EXPECT_TRUE(waitUntil([&] { return !jobExists(QStringLiteral("Email_1.ss8")); }, 20000))
        << incidents().join(u'\n').toStdString();
    QStringList bare;
    const QMap<QString, int> got = deliveries({&server}, &bare);
    EXPECT_EQ(got.keys(),
              QStringList({"Postique: copies a@alpha.test", "Postique: copies b@alpha.test",
                           "Postique: copies c@alpha.test"}));
    for (auto it = got.cbegin(); it != got.cend(); ++it)
        EXPECT_EQ(it.value(), 1) << it.key().toStdString();
}

TEST_F(DeliveryState, AttachmentsGoWithEveryRowNamingThem) {
    // Two jobs name shared.pdf: each mail carries it and the last job deletes it. A row whose
    // attachment cannot be read waits with a line naming it, and the file stays.
    SmtpServer server;
    useServer(server);
    ASSERT_TRUE(prefix.write(kJobs + QStringLiteral("shared.pdf"), "%PDF shared"));
    ASSERT_TRUE(prefix.write(kJobs + QStringLiteral("locked.pdf"), "%PDF locked"));
    const QString locked = prefix.native(kJobs) + QStringLiteral("/locked.pdf");
    ASSERT_TRUE(QFile::setPermissions(locked, QFileDevice::Permissions()));
    ASSERT_TRUE(writeJob(QStringLiteral("Email_1.ss8"),
                         jobRow("1", "a@example.org", {}, {}, "shared a", "B", "shared.pdf")));
    ASSERT_TRUE(writeJob(QStringLiteral("Email_2.ss8"),
                         jobRow("1", "b@example.org", {}, {}, "shared b", "B", "shared.pdf") +
                             jobRow("1", "c@example.org", {}, {}, "locked c", "B", "locked.pdf")));
    {
        // Capabilities belong to a thread: the job loop's own reads the attachments.
        std::optional<WithoutReadOverride> unreadable;
        const auto onLoopThread = [&](std::function<void()> step) {
            ASSERT_TRUE(form->JobLoop().start(std::move(step)));
            form->JobLoop().waitIdle();
        };
        onLoopThread([&] { unreadable.emplace(); });
        EXPECT_GE(cycle(), 1);
        EXPECT_TRUE(waitUntil([&] { return !jobExists(QStringLiteral("Email_1.ss8")); }, 20000));
        onLoopThread([&] { unreadable.reset(); });
    }
    QStringList bare;
    const QMap<QString, int> got = deliveries({&server}, &bare);
    EXPECT_EQ(got.keys(), QStringList({"Postique: shared a a@example.org",
                                       "Postique: shared b b@example.org"}));
    EXPECT_TRUE(bare.isEmpty()) << bare.join(u',').toStdString();
    EXPECT_FALSE(prefix.exists(kJobs + QStringLiteral("shared.pdf")));
    EXPECT_TRUE(prefix.exists(kJobs + QStringLiteral("locked.pdf")));
    EXPECT_TRUE(jobExists(QStringLiteral("Email_2.ss8")));
    const QStringList waits = incidents().filter(QStringLiteral("locked.pdf"));
    ASSERT_EQ(waits.size(), 1) << incidents().join(u'\n').toStdString();
    EXPECT_TRUE(waits[0].contains(QStringLiteral("en attente"))) << waits[0].toStdString();
    QFile::setPermissions(locked, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
}

TEST_F(DeliveryState, SpentQuotaOfTheDayHoldsTheRowsUntilItsWindowEnds) {
    // A relay answering 550 5.4.5: the row waits 24 hours, not the first retry's minute, and
    // fails nothing; the row behind it does not knock at the relay again meanwhile.
    testsupport::EnvSetting sessions("POSTIQUE_SMTP_SESSIONS", "1");
    SmtpServerOptions quota;
    quota.reply(QStringLiteral("RCPT"), QString(),
                QStringLiteral("550 5.4.5 Daily user sending quota exceeded"));
    SmtpServer server(quota);
    useServer(server);
    ASSERT_TRUE(writeJob(QStringLiteral("Email_1.ss8"),
                         jobRow("1", "a@example.org", {}, {}, "one", "B") +
                             jobRow("1", "b@example.org", {}, {}, "two", "B")));
    const QDateTime tomorrow = QDateTime::currentDateTime().addDays(1);
    EXPECT_GE(cycle(), 1);
    EXPECT_TRUE(jobExists(QStringLiteral("Email_1.ss8")));
    EXPECT_TRUE(incidents().filter(QStringLiteral("non envoyée")).isEmpty())
        << incidents().join(u'\n').toStdString();
    const QStringList waits = incidents().filter(QStringLiteral("en attente"));
    ASSERT_EQ(waits.size(), 2) << incidents().join(u'\n').toStdString();
    for (const QString& line : waits)
        EXPECT_TRUE(line.contains(tomorrow.toString(QStringLiteral("dd/MM"))))
            << line.toStdString();
    EXPECT_EQ(server.connections(), 1);
}

TEST_F(DeliveryState, ServerLimitsAreRespected) {
    // A server that takes three sessions at once: with its limit in the settings file no
    // session is refused; left to the default of four, the refusals slow the job down and
    // every row still arrives once.
    const QString savedConfig = Lib_Public::DossierConfigGlobal[0];
    Lib_Public::DossierConfigGlobal[0] = QStringLiteral("C:\\Velmora\\Config\\");
    for (const bool configured : {true, false}) {
        SCOPED_TRACE(configured ? "configured" : "learnt");
        mail::ResetDestinations();
        SmtpServerOptions capped;
        capped.maxSessions = 3;
        SmtpServer server(capped);
        useServer(server);
        const QString ini = Lib_Public::DossierConfigGlobal[0] + QStringLiteral("VL3_Postique.ini");
        ASSERT_TRUE(Lib_Systeme::EcritureIni(
            ini, QStringLiteral("Destination 127.0.0.1"), QStringLiteral("Sessions"),
            configured ? QStringLiteral("3") : QStringLiteral("4")));
        QByteArray job;
        for (int i = 1; i <= 40; ++i)
            job += jobRow("1", QStringLiteral("r%1@example.org").arg(i), {}, {},
                          QStringLiteral("row %1").arg(i), "B");
        ASSERT_TRUE(writeJob(QStringLiteral("Email_1.ss8"), job));
        ASSERT_GE(cycle(), 1);
        ASSERT_FALSE(jobExists(QStringLiteral("Email_1.ss8")))
            << server.messages().size() << incidents().join(u'\n').toStdString();
        QStringList got = subjects(server);
        got.removeDuplicates();
        EXPECT_EQ(got.size(), 40);
        EXPECT_EQ(server.messages().size(), 40) << "every row once";
        if (configured)
            EXPECT_EQ(server.throttled(), 0);
        else
            EXPECT_LE(server.throttled(), 4) << "the sessions are cut at the first refusal";
        station::resetPoller();
    }
    Lib_Public::DossierConfigGlobal[0] = savedConfig;
    mail::ResetDestinations();
}

TEST_F(DeliveryState, OwnServerBackFromAnOutageTakesItsRowsAtOnce) {
    // The settings page's server rests at most one poll period after it could not be reached,
    // and so does a row tried meanwhile: both jobs go at the first cycle once it is back.
    const int savedTick = station::pollTickMs();
    station::setPollTickMs(1); // a poll period of 30 ms
    Clock::SetWallClock([] { return QDateTime::currentMSecsSinceEpoch(); });
    quint16 port = 0;
    {
        SmtpServer gone;
        port = gone.port();
        useServer(gone);
    }
    ASSERT_TRUE(writeJob(QStringLiteral("Email_1.ss8"),
                         jobRow("1", "a@example.org", {}, {}, "during", "B")));
    ASSERT_GE(cycle(), 1);
    EXPECT_TRUE(jobExists(QStringLiteral("Email_1.ss8")));
    SmtpServerOptions same;
    same.port = port;
    SmtpServer back(same);
    ASSERT_TRUE(back.isRunning()) << back.error().toStdString();
    ASSERT_TRUE(writeJob(QStringLiteral("Email_2.ss8"),
                         jobRow("1", "b@example.org", {}, {}, "after", "B")));
    QThread::msleep(100);
    ASSERT_GE(cycle(), 1);
    EXPECT_TRUE(back.waitForMessages(2)) << incidents().join(u'\n').toStdString();
    EXPECT_FALSE(jobExists(QStringLiteral("Email_1.ss8")));
    EXPECT_FALSE(jobExists(QStringLiteral("Email_2.ss8")));
    station::setPollTickMs(savedTick);
}

TEST_F(DeliveryState, NoLifetimeKeepsARefusedRowWaiting) {
    // DureeDeVie=0: a row refused for a while never fails for good, whatever time passes.
    const QString savedConfig = Lib_Public::DossierConfigGlobal[0];
    Lib_Public::DossierConfigGlobal[0] = QStringLiteral("C:\\Velmora\\Config\\");
    const QString ini = Lib_Public::DossierConfigGlobal[0] + QStringLiteral("VL3_Postique.ini");
    ASSERT_TRUE(Lib_Systeme::EcritureIni(ini, QStringLiteral("Relances"),
                                         QStringLiteral("DureeDeVie"), QStringLiteral("0")));
    SmtpServerOptions refusing;
    refusing.reply(QStringLiteral("RCPT"), QStringLiteral("later@"),
                   QStringLiteral("451 4.3.0 try again later"));
    SmtpServer server(refusing);
    useServer(server);
    ASSERT_TRUE(writeJob(QStringLiteral("Email_1.ss8"),
                         jobRow("1", "later@example.org", {}, {}, "late", "B")));
    const qint64 start = QDateTime::currentMSecsSinceEpoch();
    for (const qint64 later : {qint64{0}, qint64{400} * 24 * 3'600'000}) {
        Clock::SetWallClock([=] { return start + later; });
        ASSERT_GE(cycle(), 1);
        EXPECT_TRUE(jobExists(QStringLiteral("Email_1.ss8"))) << later;
        EXPECT_FALSE(QDir(prefix.native(kJobs) + u'/' + station::DeadLetterFolder).exists())
            << incidents().join(u'\n').toStdString();
    }
    Lib_Public::DossierConfigGlobal[0] = savedConfig;
}

TEST(RetryPolicy, WaitsDoubleUpToTheLongest) {
    const automation::RetryPolicy policy{60'000, 3'600'000, 0};
    const struct {
        int attempts;
        qint64 waitMs;
    } cases[] = {{1, 60'000}, {2, 120'000}, {6, 1'920'000}, {7, 3'600'000}, {40, 3'600'000}};
    for (const auto& c : cases)
        EXPECT_EQ(policy.delayAfter(c.attempts), c.waitMs) << c.attempts;
}

TEST(Destinations, ThrottlingRepliesAndPublishedLimits) {
    const struct {
        int code;
        const char* text;
        bool throttling;
    } replies[] = {
        {421, "421 4.7.0 Try again later, closing connection", true},
        {432, "432 4.3.2 Concurrent connections limit exceeded", true},
        {451, "451 4.7.0 Rate limit exceeded", true},
        {452, "452 4.7.1 too many messages", true},
        {450, "450 4.2.1 Too many connections from your host", true},
        {451, "451 4.3.0 Mail server temporarily rejected message", false},
        {550, "550 5.7.1 too many recipients", false},
        {250, "250 2.0.0 OK", false},
    };
    for (const auto& r : replies)
        EXPECT_EQ(mail::IsThrottlingReply(r.code, QString::fromLatin1(r.text)), r.throttling)
            << r.text;
    EXPECT_EQ(mail::DefaultDestinationLimits(QStringLiteral("SMTP.Office365.com")),
              (mail::DestinationLimits{3, 30, 10000, 0}));
    // Google's relay: 10,000 recipients a day, 100 a transaction.
    const mail::DestinationLimits relay =
        mail::DefaultDestinationLimits(QStringLiteral("smtp-relay.gmail.com"));
    EXPECT_EQ(relay.recipientsPerDay, 10000);
    EXPECT_EQ(relay.recipientsPerTransaction, 100);
    EXPECT_EQ(mail::DefaultDestinationLimits(QStringLiteral("mail.station.test")),
              mail::DestinationLimits{});
}

} // namespace
