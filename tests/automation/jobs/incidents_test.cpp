// Incident lines: time stamp, cleaning and the two positions in the list.
#include "automation/jobs/incidents.h"

#include "system/clock.h"

#include <QListWidget>

#include <gtest/gtest.h>

using namespace automation;

namespace {

class IncidentsTest : public ::testing::Test {
protected:
    void SetUp() override {
        Clock::SetWallClock(
            [] { return QDateTime(QDate(2024, 3, 5), QTime(14, 7, 9)).toMSecsSinceEpoch(); });
        setIncidentEcho([this](const QString& line) { echoed.push_back(line); });
    }
    void TearDown() override {
        Clock::Set({});
        setIncidentEcho({});
    }
    std::vector<QString> echoed;
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

TEST_F(IncidentsTest, TopInsertionAlertsBottomAppendDoesNot) {
    QListWidget list;
    int alerts = 0;
    insertIncident(list, QStringLiteral("first"), [&] { ++alerts; });
    insertIncident(list, QStringLiteral("second"), [&] { ++alerts; });
    appendIncident(list, QStringLiteral("Veuillez renseigner l'utilisateur et/ou le mot de passe"));
    ASSERT_EQ(list.count(), 3);
    EXPECT_TRUE(list.item(0)->text().endsWith(QStringLiteral(": second")));
    EXPECT_TRUE(list.item(1)->text().endsWith(QStringLiteral(": first")));
    EXPECT_TRUE(list.item(2)->text().endsWith(QStringLiteral("mot de passe")));
    EXPECT_EQ(alerts, 2);
    ASSERT_EQ(echoed.size(), 3u);
    EXPECT_EQ(echoed[0], list.item(1)->text());
}

} // namespace
