// How a destination's rate follows the refusals of a busy relay: trimmed a little by a lone
// one, cut deep by a run, back within a minute of successes, and named when held low.
#include "mail/engine/destinations.h"

#include <QDateTime>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <atomic>

namespace {

using mail::Throttle;

TEST(Destinations, RateFollowsRefusalsAndComesBack) {
    const QString host = QStringLiteral("relay.test"), key = QStringLiteral("relay.test:25");
    // Simulated time: the real clock a hundred times faster (the waits for the rate take a
    // moment), plus what the test skips.
    std::atomic<qint64> ahead{0};
    const qint64 start = QDateTime::currentMSecsSinceEpoch();
    mail::SetDestinationClock(
        [&] { return start + (QDateTime::currentMSecsSinceEpoch() - start) * 100 + ahead.load(); });
    // One mail, as soon as the rate lets it go; its notice, if any.
    int inARow = 0;
    const auto mail = [&](Throttle refusal) {
        ahead += 60'000 / std::max(1, mail::DestinationRate(key)) + 1;
        mail::DestinationSlot slot = mail::AcquireDestination(host, key, 1);
        EXPECT_TRUE(slot.granted()) << slot.refusal.toStdString();
        slot.report(refusal == Throttle::None, refusal, false);
        inARow = refusal == Throttle::None ? 0 : inARow + 1;
        if (inARow > 0)
            ahead += inARow == 1 ? 1000 : 30'000; // past the pause the refusal asked for
        return slot.notice;
    };
    const struct {
        const char* story;
        int refusalsInARow;
        int lowestAfter; // the rate right after the refusals, at least
        int highestAfter;
    } cases[] = {{"lone", 1, 100, 119}, {"run", 3, 1, 30}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.story);
        mail::ResetDestinations();
        mail::SetConfiguredDestinations({{host, {4, 120, 0}}});
        for (int i = 0; i < 60; ++i)
            mail(Throttle::None);
        for (int i = 0; i < c.refusalsInARow; ++i)
            mail(Throttle::Rate);
        EXPECT_GE(mail::DestinationRate(key), c.lowestAfter);
        EXPECT_LE(mail::DestinationRate(key), c.highestAfter);
        const qint64 back = ahead + 60'000;
        while (ahead < back)
            mail(Throttle::None);
        EXPECT_EQ(mail::DestinationRate(key), 120) << "back within a minute";
    }

    // A relay refusing one mail in fifty keeps most of the rate; one refusing everything is
    // named once, after ten minutes.
    mail::ResetDestinations();
    mail::SetConfiguredDestinations({{host, {4, 120, 0}}});
    int lowest = 120;
    for (int i = 1; i <= 500; ++i) {
        EXPECT_TRUE(mail(i % 50 == 0 ? Throttle::Rate : Throttle::None).isEmpty());
        lowest = std::min(lowest, mail::DestinationRate(key));
    }
    EXPECT_GE(lowest, 90);
    QStringList notices;
    for (int i = 0; i < 30; ++i)
        if (const QString n = mail(Throttle::Rate); !n.isEmpty())
            notices << n;
    ASSERT_EQ(notices.size(), 1);
    EXPECT_TRUE(notices[0].contains(host)) << notices[0].toStdString();
    mail::SetDestinationClock(nullptr);
    mail::ResetDestinations();
}

TEST(Destinations, DayBudgetCountsAcceptedRecipientsAcrossRestarts) {
    // A budget of 3 recipients: a refused transaction and a recipient the server refused give
    // their share back; what was taken outlives a restart (or is seen by a second copy).
    QTemporaryDir settings;
    mail::SetDestinationBudgetFolder(settings.path());
    const QString host = QStringLiteral("relay.test"), key = QStringLiteral("relay.test:25");
    const auto send = [&](int recipients, int accepted) {
        mail::DestinationSlot slot = mail::AcquireDestination(host, key, recipients);
        if (slot.granted())
            slot.report(accepted > 0, Throttle::None, false, accepted);
        else
            EXPECT_TRUE(slot.budgetSpent && slot.retryAtMs > QDateTime::currentMSecsSinceEpoch());
        return slot.granted();
    };
    mail::ResetDestinations();
    mail::SetConfiguredDestinations({{host, {4, 0, 3}}});
    EXPECT_TRUE(send(2, 0)) << "refused: counts nothing";
    EXPECT_TRUE(send(2, 1)) << "one of two taken";
    EXPECT_TRUE(send(1, 1));
    mail::ResetDestinations(); // a restart
    mail::SetConfiguredDestinations({{host, {4, 0, 3}}});
    EXPECT_TRUE(send(1, 1));
    EXPECT_FALSE(send(1, 1)) << "the fourth recipient of the day waits";
    mail::SetDestinationBudgetFolder(QString());
    mail::ResetDestinations();
}

} // namespace
