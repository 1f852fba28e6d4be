// Incident lines: time stamp, cleaning, the two positions in the list, the lines on disk.
#include "automation/jobs/incidents.h"

#include "automation/jobs/incident_log.h"
#include "automation/jobs/job_context.h"
#include "system/clock.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace automation;

namespace {

class IncidentsTest : public ::testing::Test {
protected:
    void SetUp() override {
        Clock::SetWallClock(
            [] { return QDateTime(QDate(2024, 3, 5), QTime(14, 7, 9)).toMSecsSinceEpoch(); });
        setIncidentEcho([this](const Incident& incident) { echoed.push_back(incident); });
    }
    void TearDown() override {
        Clock::Set({});
        setIncidentEcho({});
    }
    std::vector<Incident> echoed;
};

TEST_F(IncidentsTest, LineShapeAndCleaning) {
    struct Case {
        QString text;
        QString line;
    };
    const std::vector<Case> cases = {
        {QStringLiteral("Adresse Email d'envoi non renseignée"),
         QStringLiteral("2024/03/05 14:07:09: Adresse Email d'envoi non renseignée")},
        {QStringLiteral("550 refused\r\nBcc: x@y"),
         QStringLiteral("2024/03/05 14:07:09: 550 refused Bcc: x@y")},
        {QStringLiteral("a\tb\x1b[31mc"), QStringLiteral("2024/03/05 14:07:09: a b [31mc")},
        {QStringLiteral("x\u2028y\u202Ez"), QStringLiteral("2024/03/05 14:07:09: x y z")},
        {QString(), QStringLiteral("2024/03/05 14:07:09: ")},
    };
    for (const Case& c : cases)
        EXPECT_EQ(incidentLine(c.text), c.line);
}

TEST_F(IncidentsTest, AfternoonHoursUseTheDayClock) {
    Clock::SetWallClock(
        [] { return QDateTime(QDate(2024, 12, 31), QTime(23, 59, 58)).toMSecsSinceEpoch(); });
    EXPECT_EQ(incidentLine(QStringLiteral("x")), QStringLiteral("2024/12/31 23:59:58: x"));
}

TEST_F(IncidentsTest, EachIncidentReachesTheViewWithItsKindAndWhatItIsAbout) {
    std::vector<std::pair<QString, IncidentKind>> shown;
    setIncidentView([&](const Incident& i) { shown.emplace_back(i.line(), i.kind); });
    postIncident(QStringLiteral("first"));
    {
        JobContext job;
        job.fileName = QStringLiteral("Email_\x1b"
                                      "1.ss8");
        const JobScope scope(job);
        const IncidentAbout row(3);
        const IncidentAbout recipient(3, QStringLiteral("b@example.org\r\nX: y"));
        postIncident(QStringLiteral("mot de passe"), IncidentKind::Reminder);
    }
    setIncidentView({});
    postIncident(QStringLiteral("nobody shows it"));
    ASSERT_EQ(shown.size(), 2u);
    EXPECT_EQ(shown[0],
              std::make_pair(QStringLiteral("2024/03/05 14:07:09: first"), IncidentKind::Problem));
    EXPECT_EQ(shown[1].second, IncidentKind::Reminder);
    ASSERT_EQ(echoed.size(), 3u); // echoed even without a view
    EXPECT_EQ(echoed[0].line(), shown[0].first);
    // Fields, not wording: the job, the innermost row and recipient, cleaned; none outside.
    EXPECT_EQ(echoed[0].row, 0);
    EXPECT_EQ(echoed[1].job, QStringLiteral("Email_ 1.ss8"));
    EXPECT_EQ(echoed[1].row, 3);
    EXPECT_EQ(echoed[1].recipient, QStringLiteral("b@example.org X: y"));
    EXPECT_TRUE(echoed[2].job.isEmpty() && echoed[2].recipient.isEmpty() && echoed[2].row == 0);
}

} // namespace

// The incident lines on disk: read back oldest first across days, the newest kept when
// there are too many, a full day file closed by one note, old day files removed, and
// nothing written where the folder went away.
TEST(IncidentLog, DayFilesSurviveARestartWithinTheirLimits) {
    QTemporaryDir dir;
    const QString folder = dir.path();
    const QDate monday(2026, 12, 7);
    ASSERT_TRUE(automation::appendIncidentLog(folder, "a", monday));
    ASSERT_TRUE(automation::appendIncidentLog(folder, "b", monday));
    ASSERT_TRUE(automation::appendIncidentLog(folder, "c", monday.addDays(1)));
    EXPECT_EQ(automation::readIncidentLog(folder, 10), (QStringList{"a", "b", "c"}));
    EXPECT_EQ(automation::readIncidentLog(folder, 2), (QStringList{"b", "c"}));

    // Full: the line that would pass the cap becomes the note, later lines are dropped.
    const QDate full = monday.addDays(2);
    {
        QFile f(QDir(folder).filePath(automation::incidentLogName(full)));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(QByteArray(automation::MaxIncidentLogBytes - 10, 'x') + '\n');
    }
    ASSERT_TRUE(automation::appendIncidentLog(folder, "too much", full));
    ASSERT_TRUE(automation::appendIncidentLog(folder, "still too much", full));
    const QStringList last = automation::readIncidentLog(folder, 1);
    ASSERT_EQ(last.size(), 1);
    EXPECT_TRUE(last.first().contains("journal du jour plein")) << last.first().toStdString();
    EXPECT_LE(QFileInfo(QDir(folder).filePath(automation::incidentLogName(full))).size(),
              automation::MaxIncidentLogBytes + 200);

    // A new day keeps only the newest day files.
    for (int d = 3; d < 12; ++d)
        ASSERT_TRUE(automation::appendIncidentLog(folder, "later", monday.addDays(d)));
    const QStringList files = QDir(folder).entryList({"Incidents_*.log"}, QDir::Files, QDir::Name);
    EXPECT_EQ(files.size(), automation::IncidentLogDays);
    EXPECT_EQ(files.last(), automation::incidentLogName(monday.addDays(11)));

    // A purge sticks: only the lines after it come back, across days and after a full file.
    const QDateTime later(monday.addDays(11), QTime(10, 0));
    ASSERT_TRUE(automation::appendIncidentPurge(folder, later));
    EXPECT_TRUE(automation::readIncidentLog(folder, 10).isEmpty());
    ASSERT_TRUE(automation::appendIncidentLog(folder, "after", monday.addDays(12)));
    EXPECT_EQ(automation::readIncidentLog(folder, 10), QStringList{"after"});

    const QString gone = folder + "/gone";
    EXPECT_FALSE(automation::appendIncidentLog(gone, "x", monday));
    EXPECT_FALSE(QFileInfo::exists(gone));
}
