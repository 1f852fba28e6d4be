// The supervision figures and the journal's wire format: rows counted where they belong,
// label values that cannot break the exposition, the state surviving its file, binary-safe
// journal fields.
#include "system/clock.h"
#include "system/service_manager.h"
#include "system/supervision.h"

#include <QJsonDocument>

#include <functional>

#include <gtest/gtest.h>

using namespace Supervision;

namespace {

struct FiguresTest : ::testing::Test {
    void SetUp() override {
        Clock::SetWallClock([] { return now; });
        Reset();
    }
    void TearDown() override {
        Reset();
        Clock::Set({});
    }
    static inline qint64 now = 1'800'000'000'000;
};

} // namespace

TEST_F(FiguresTest, RowsAreCountedPerDestinationAndTransport) {
    CountRow(RowOutcome::Sent, QStringLiteral("Smtp.Example.org"), 0);
    CountRow(RowOutcome::Sent, QStringLiteral("smtp.example.org"), 0);
    CountRow(RowOutcome::Deferred, QStringLiteral("smtp.example.org"), 0);
    CountRow(RowOutcome::Failed, QStringLiteral("ews.example.org"), 1);
    CountRow(RowOutcome::Sent, QString(), 2); // no server: direct delivery whatever the protocol
    const QByteArray text = PrometheusText(Take());
    for (const char* line : {
             "postique_mails_sent_total{destination=\"smtp.example.org\",transport=\"smtp\"} 2\n",
             "postique_mails_deferred_total{destination=\"smtp.example.org\",transport=\"smtp\"} "
             "1\n",
             "postique_mails_failed_total{destination=\"ews.example.org\",transport=\"ews\"} 1\n",
             "postique_mails_sent_total{destination=\"mx\",transport=\"mx\"} 1\n",
             "postique_last_success_timestamp_seconds{destination=\"smtp.example.org\"} "
             "1800000000\n",
         })
        EXPECT_TRUE(text.contains(line)) << line;
    EXPECT_FALSE(text.contains("ews.example.org\"} 18")) << "a failure is no success";
}

TEST_F(FiguresTest, LabelValuesCannotBreakTheExposition) {
    CountRow(RowOutcome::Sent, QStringLiteral("a\"b\\c\nd\re"), 0);
    EXPECT_TRUE(PrometheusText(Take()).contains("{destination=\"a\\\"b\\\\c\\nde\",transport="));
}

TEST_F(FiguresTest, StateSurvivesItsFileAndTellsAStuckStation) {
    NoteJobsListed({QStringLiteral("/nonexistent/Email_1.ss8")});
    CountIncident(QStringLiteral("Ligne 3 de Email_1.ss8 non envoyée (refus définitif) : x"));
    SetTokenExpiry(QDateTime::fromSecsSinceEpoch(1'800'003'600, Qt::UTC));
    Snapshot back;
    ASSERT_TRUE(
        FromJson(QJsonDocument::fromJson(QJsonDocument(ToJson(Take())).toJson()).object(), back));
    EXPECT_EQ(back.jobsWaiting, 1);
    EXPECT_EQ(back.incidents.value(QStringLiteral("row_failed")), 1u);
    EXPECT_EQ(back.tokenExpiryMs, 1'800'003'600'000);
    EXPECT_EQ(StuckReason(back, now + DefaultRetryLifetimeSec * 1000), QString());
    EXPECT_NE(StuckReason(back, now + DefaultRetryLifetimeSec * 1000 + 1000), QString());
    NoteJobGone(QStringLiteral("/nonexistent/Email_1.ss8"));
    EXPECT_EQ(StuckReason(Take(), now + 10 * DefaultRetryLifetimeSec * 1000), QString());
    EXPECT_FALSE(FromJson(QJsonObject{{QStringLiteral("pid"), 1}}, back)) << "not a state";
}

// Nothing can go: the job folder gone, the sign-in refused, the server taking nothing for an
// hour. Each survives the state file and ends with its cause.
TEST_F(FiguresTest, AStationThatCanSendNothingIsUnhealthy) {
    const auto reasonAt = [](qint64 at) {
        Snapshot back;
        EXPECT_TRUE(FromJson(QJsonDocument(ToJson(Take())).object(), back));
        return StuckReason(back, at);
    };
    const qint64 hour = DestinationDownSec * 1000;
    const struct {
        const char* what;
        std::function<void()> begin, end;
        qint64 after; // how long after the start it counts
    } cases[] = {
        {"job folder", [] { SetJobFolderMissing(QStringLiteral("C:\\Jobs\\")); },
         [] { SetJobFolderMissing({}); }, 0},
        {"sign-in", [] { SetSignInProblem(QStringLiteral("jeton révoqué")); },
         [] { SetTokenExpiry(QDateTime::fromSecsSinceEpoch(1'800'003'600, Qt::UTC)); }, 0},
        {"server down",
         [] { CountRow(RowOutcome::Deferred, QStringLiteral("smtp.example.org"), 0); },
         [] { CountRow(RowOutcome::Sent, QStringLiteral("smtp.example.org"), 0); }, hour + 1000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        c.begin();
        if (c.after > 0) {
            EXPECT_EQ(reasonAt(now + c.after - 2000), QString()) << "not yet";
        }
        EXPECT_NE(reasonAt(now + c.after), QString());
        c.end();
        EXPECT_EQ(reasonAt(now + c.after), QString());
    }
}

TEST(ServiceManager, JournalFieldsAreBinarySafe) {
    using ServiceManager::JournalEntry;
    const struct {
        ServiceManager::Fields fields;
        QByteArray entry;
    } cases[] = {
        {{{"MESSAGE", "one line"}, {"PRIORITY", "3"}}, "MESSAGE=one line\nPRIORITY=3\n"},
        {{{"MESSAGE", "a\nb"}}, QByteArray("MESSAGE\n\x03\0\0\0\0\0\0\0a\nb\n", 20)},
        // Names the journal would refuse are left out rather than spoil the entry.
        {{{"lower", "x"}, {"_TRUSTED", "x"}, {"A=B", "x"}, {"OK_1", "y"}}, "OK_1=y\n"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(JournalEntry(c.fields), c.entry);
}
