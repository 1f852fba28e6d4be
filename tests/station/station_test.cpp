// The station core on its own, with no window and no widget library linked: the job loop, the
// dispatch of the rows and the mail builder send a job to a real SMTP server on loopback.
#include "automation/jobs/incidents.h"
#include "automation/jobs/job_guard.h"
#include "station/charsets.h"
#include "station/job_dispatch.h"
#include "station/job_loop.h"
#include "station/loop_runner.h"
#include "support/job_corpus.h"
#include "support/smtp_fixture.h"
#include "support/temp_prefix.h"
#include "system/globals.h"

#include <QDir>

#include <future>
#include <thread>

#include <gtest/gtest.h>

namespace {

class StationCoreTest : public TempPrefixTest {
protected:
    void SetUp() override {
        Lib_Public::DemarrageTermine = true;
        Lib_Public::DossierSettingsProgramme =
            QStringLiteral("C:\\Velmora\\Settings\\VL3_Postique\\");
        station::resetPoller();
        station::setSettleMs(0);
        ASSERT_TRUE(QDir().mkpath(prefix.native(QStringLiteral("C:\\Jobs\\"))));
        automation::setIncidentView(
            [this](const automation::Incident& incident) { incidents << incident.line(); });
        host.sendJob = [](std::shared_ptr<const automation::JobSheet> sheet, const QString& folder,
                          qint16& abandon) {
            return JobDispatch::SendJob(std::move(sheet), folder, settings(), {}, abandon != 0);
        };
        host.tellSending = [this](const QString& job) { told << job; };
    }
    void TearDown() override {
        automation::setIncidentView({});
        station::resetPoller();
        station::setSettleMs(automation::StabilityTracker::SettleMs);
        Lib_Public::DemarrageTermine = false;
    }
    static station::SendingSettings& settings() {
        static station::SendingSettings s;
        return s;
    }
    // Ticks on the loop's own thread, as the station runs it, until a cycle ran.
    void cycle() {
        const int before = station::pollCycles();
        for (int tick = 0; tick < 40 && station::pollCycles() == before; ++tick) {
            ASSERT_TRUE(loop.start([this] { station::Tick(settings(), false, host); }));
            loop.waitIdle();
        }
    }
    station::LoopRunner loop;
    station::LoopHost host;
    QStringList incidents, told;
};

TEST_F(StationCoreTest, AJobGoesOutWithoutAWindowAndAMissingSenderIsSaid) {
    testsupport::SmtpServer server;
    ASSERT_TRUE(server.isRunning()) << server.error().toStdString();
    settings() = {};
    settings().server = QStringLiteral("127.0.0.1");
    settings().port = QString::number(server.port());
    settings().jobFolder = QStringLiteral("C:\\Jobs");
    settings().charset = CharsetDefaultRow;
    ASSERT_TRUE(prefix.write(QStringLiteral("C:\\Jobs\\Email_1.ss8"),
                             testsupport::jobRow("1", "a@example.org", {}, {}, "one", "B") +
                                 testsupport::jobRow("1", "b@example.org", {}, {}, "two", "B")));

    cycle(); // no sender saved: said, nothing goes
    EXPECT_EQ(incidents.size(), 1);
    EXPECT_TRUE(
        incidents.value(0).endsWith(QStringLiteral("Adresse Email d'envoi non renseignée")));
    EXPECT_TRUE(prefix.exists(QStringLiteral("C:\\Jobs\\Email_1.ss8")));

    settings().from = QStringLiteral("Station <station@example.org>");
    cycle();
    ASSERT_TRUE(server.waitForMessages(2));
    EXPECT_FALSE(prefix.exists(QStringLiteral("C:\\Jobs\\Email_1.ss8")));
    EXPECT_EQ(told, (QStringList{QStringLiteral("Email_1.ss8"), QString()}));
    EXPECT_EQ(incidents.size(), 1) << incidents.join('\n').toStdString();
}

TEST(LoopRunnerTest, OneWorkAtATimeOnItsOwnThreadAndItsEndOnTheCallers) {
    station::LoopRunner loop;
    std::promise<void> release;
    const std::shared_future<void> released = release.get_future().share();
    std::thread::id workThread, doneThread;
    ASSERT_TRUE(loop.start(
        [&] {
            workThread = std::this_thread::get_id();
            released.wait();
        },
        [&] { doneThread = std::this_thread::get_id(); }));
    EXPECT_FALSE(loop.start([] {})) << "one piece of work at a time";
    EXPECT_FALSE(loop.waitIdle(50));
    release.set_value();
    EXPECT_TRUE(loop.waitIdle(5000));
    EXPECT_NE(workThread, std::this_thread::get_id());
    EXPECT_EQ(doneThread, std::this_thread::get_id());
    EXPECT_TRUE(loop.start([] {}));
    EXPECT_TRUE(loop.waitIdle(5000));
}

} // namespace
