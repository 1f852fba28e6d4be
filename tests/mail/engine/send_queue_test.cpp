// A job's sending worker against a real SMTP server: every mail goes out once over a few
// kept sessions, each outcome comes back under its ticket, refusals keep their code, and the
// mails not started can be withdrawn.
#include "mail/engine/send_queue.h"

#include "support/smtp_fixture.h"

#include <QCoreApplication>
#include <QDeadlineTimer>

#include <gtest/gtest.h>

#include <map>

using namespace testsupport;

namespace {

std::shared_ptr<const mail::SendPlan> planFor(quint16 port, const QString& to, int n) {
    mail::MailMessage mail;
    mail.setServer(QStringLiteral("127.0.0.1"));
    mail.setPort(port);
    mail.setSenderAddress(QStringLiteral("regie@station.test"));
    mail.addRecipients(to, 0);
    mail.setSubject(QStringLiteral("Postique: n%1").arg(n));
    mail.setBody(QStringLiteral("corps %1").arg(n));
    mail.setTimeLimits({std::chrono::milliseconds(5000), std::chrono::milliseconds(5000)});
    return mail.detach();
}

// Waits, processing events, until `done`.
bool spin(const std::function<bool()>& done, int ms = 20000) {
    QDeadlineTimer deadline(ms);
    while (!done() && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    return done();
}

TEST(SendQueue, EveryMailOnceOverKeptSessionsWithItsOutcome) {
    SmtpServer server(SmtpServerOptions().reply("RCPT", "refuse", "550 5.1.1 no such user"));
    ASSERT_TRUE(server.isRunning()) << server.error().toStdString();
    mail::CloseIdleSessions();
    std::map<quint64, mail::SendOutcome> outcomes;
    {
        mail::SendQueue queue(3);
        EXPECT_EQ(queue.sessions(), 3);
        QObject::connect(&queue, &mail::SendQueue::sent,
                         [&](quint64 ticket, const mail::SendOutcome& o) {
                             outcomes[ticket] = o;
                             if (o.code != mail::Error::None)
                                 queue.resume(); // a refusal for good: the job goes on
                         });
        constexpr int kMails = 30;
        for (int i = 1; i <= kMails; ++i)
            queue.submit(quint64(i), planFor(server.port(),
                                             i == 7 ? QStringLiteral("refuse@dest.test")
                                                    : QStringLiteral("a%1@dest.test").arg(i),
                                             i));
        ASSERT_TRUE(spin([&] { return queue.pending() == 0; }));
        ASSERT_EQ(outcomes.size(), size_t(kMails));
        for (const auto& [ticket, o] : outcomes)
            EXPECT_EQ(o.code, ticket == 7 ? mail::Error::RecipientRefused : mail::Error::None)
                << ticket;
        ASSERT_TRUE(server.waitForMessages(kMails - 1));
        QStringList subjects;
        for (const auto& m : server.messages())
            subjects << m.recipients.join(',');
        subjects.removeDuplicates();
        EXPECT_EQ(subjects.size(), kMails - 1) << "each mail once";
        // A few sessions for the whole job, not one per mail (a refused transaction closes
        // its session).
        EXPECT_LE(server.connections(), 4) << "three sessions, and one anew after the refusal";
    }
    mail::CloseIdleSessions();
}

TEST(SendQueue, MailsNotStartedCanBeWithdrawn) {
    SmtpServer server(SmtpServerOptions().reply("RCPT", "", "451 4.3.0 try later"));
    ASSERT_TRUE(server.isRunning()) << server.error().toStdString();
    int delivered = 0;
    mail::SendQueue queue(1);
    QObject::connect(&queue, &mail::SendQueue::sent,
                     [&](quint64, const mail::SendOutcome&) { ++delivered; });
    for (int i = 1; i <= 20; ++i)
        queue.submit(quint64(i), planFor(server.port(), QStringLiteral("a%1@dest.test").arg(i), i));
    const int dropped = queue.dropQueued();
    EXPECT_GE(dropped, 18) << "one session takes one mail at a time";
    ASSERT_TRUE(spin([&] { return queue.pending() == 0; }));
    EXPECT_EQ(delivered + dropped, 20);
    mail::CloseIdleSessions();
}

// A refused mail holds the queue: what is queued behind it waits until the owner has seen the
// outcome and says whether the job goes on.
TEST(SendQueue, FailedMailHoldsWhatIsQueuedBehindIt) {
    SmtpServer server(SmtpServerOptions().reply("RCPT", "later", "451 4.3.0 try later"));
    ASSERT_TRUE(server.isRunning()) << server.error().toStdString();
    mail::CloseIdleSessions();
    std::map<quint64, qint32> outcomes;
    {
        mail::SendQueue queue(1);
        QObject::connect(
            &queue, &mail::SendQueue::sent,
            [&](quint64 ticket, const mail::SendOutcome& o) { outcomes[ticket] = o.code; });
        for (int i = 1; i <= 5; ++i)
            queue.submit(quint64(i), planFor(server.port(),
                                             i == 2 ? QStringLiteral("later@dest.test")
                                                    : QStringLiteral("a%1@dest.test").arg(i),
                                             i));
        ASSERT_TRUE(spin([&] { return outcomes.count(2) == 1; }));
        spin([] { return false; }, 300); // time enough for a worker that would go on
        EXPECT_EQ(outcomes.size(), size_t(2)) << "nothing after the refused mail";
        EXPECT_EQ(server.messages().size(), 1);
        EXPECT_EQ(queue.pending(), 3);
        queue.resume();
        ASSERT_TRUE(spin([&] { return queue.pending() == 0; }));
        EXPECT_EQ(outcomes.size(), size_t(5));
        EXPECT_TRUE(server.waitForMessages(4));
    }
    mail::CloseIdleSessions();
}

} // namespace
