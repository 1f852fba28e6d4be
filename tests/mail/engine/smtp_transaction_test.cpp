// The mail transaction on an open session: what the message and the envelope become on the
// wire, and the bytes a real server (with and without PIPELINING) receives.
#include "mail/engine/destinations.h"
#include "mail/transport/smtp_transaction.h"
#include "mail/transport/smtp_transport.h"

#include "support/smtp_fixture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <memory>
#include <thread>
#include <vector>

using namespace testsupport;
using mail::detail::DotStuffed;
using mail::detail::SmtpPath;

TEST(SmtpTransaction, MessageEndsAndLeadingDotsOnTheWire) {
    const struct {
        QByteArray message;
        QByteArray wire;
    } cases[] = {
        {"a\r\nb\r\n", "a\r\nb\r\n.\r\n"},
        {"no end of line", "no end of line\r\n.\r\n"},
        {".first\r\n", "..first\r\n.\r\n"},
        {"a\r\n.\r\nb\r\n", "a\r\n..\r\nb\r\n.\r\n"},
        {"a\r\n..\r\n.b", "a\r\n...\r\n..b\r\n.\r\n"},
        {"a\n.b\r\n", "a\n.b\r\n.\r\n"}, // a bare LF ends no line
        {"", ".\r\n"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(DotStuffed(c.message), c.wire) << c.message.toStdString();
}

TEST(SmtpTransaction, EnvelopePathsInAscii) {
    const struct {
        const char* address;
        const char* path;
    } cases[] = {
        {"antenne@station.test", "antenne@station.test"},
        {"régie@station.test", "régie@station.test"}, // the local part is the server's business
        {"a@bücher.example", "a@xn--bcher-kva.example"},
        {"\"a@b\"@station.test", "\"a@b\"@station.test"},
        {"postmaster", "postmaster"},
        {"", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(SmtpPath(QString::fromUtf8(c.address)), QByteArray(c.path)) << c.address;
}

// The exact bytes arrive, whether the envelope goes in one group or command by command, and
// one session carries every message.
TEST(SmtpTransaction, ServerReceivesTheExactMessage) {
    const QByteArray messages[] = {
        "Subject: a\r\n\r\n.\r\n..\r\n.point\r\nfin\r\n",
        "Subject: b\r\n\r\n.",
        QByteArray("Subject: c\r\n\r\n") + (QByteArray(76, 'x') + "\r\n.y\r\n").repeated(4000),
    };
    for (const bool pipelining : {false, true}) {
        SCOPED_TRACE(pipelining ? "pipelining" : "lockstep");
        SmtpServerOptions options;
        options.pipelining = pipelining;
        SmtpServer server(options);
        ASSERT_TRUE(server.isRunning()) << server.error().toStdString();
        mail::detail::SmtpTarget target;
        target.server.host = QStringLiteral("127.0.0.1");
        target.server.port = server.port();
        const int before = mail::detail::ConnectionsOpened();
        for (const QByteArray& message : messages) {
            const auto report = mail::detail::SendSmtp(
                target, {}, QString(), QStringLiteral("regie@station.test"),
                {QStringLiteral("a@station.test"), QStringLiteral("b@station.test")}, message);
            EXPECT_EQ(report.code, 0) << report.description.toStdString();
        }
        ASSERT_TRUE(server.waitForMessages(3));
        for (int i = 0; i < 3; ++i) {
            const QByteArray sent =
                messages[i].endsWith("\r\n") ? messages[i] : messages[i] + "\r\n";
            EXPECT_EQ(server.messages().at(i).data, sent) << i;
            EXPECT_EQ(server.messages().at(i).recipients.size(), 2);
            // One group for the envelope only where the server offers it.
            EXPECT_EQ(server.messages().at(i).grouped, pipelining);
        }
        EXPECT_EQ(mail::detail::ConnectionsOpened() - before, 1);
        mail::CloseIdleSessions();
    }
}

// Pooled sessions that the server dropped (it restarted) cost nothing: the mail goes on a
// fresh session, once, never on another dropped one from the pool.
TEST(SmtpTransaction, SessionDroppedByTheServerIsReplaced) {
    const struct {
        bool pipelining;
        int pooled; // sessions left in the pool before the restart
    } cases[] = {{false, 1}, {true, 1}, {false, 3}, {true, 3}};
    for (const auto& c : cases) {
        SCOPED_TRACE(QStringLiteral("pipelining %1, %2 pooled")
                         .arg(c.pipelining)
                         .arg(c.pooled)
                         .toStdString());
        SmtpServerOptions options;
        options.pipelining = c.pipelining;
        auto first = std::make_unique<SmtpServer>(options);
        ASSERT_TRUE(first->isRunning()) << first->error().toStdString();
        options.port = first->port();
        mail::detail::SmtpTarget target;
        target.server.host = QStringLiteral("127.0.0.1");
        target.server.port = options.port;
        const auto send = [&] {
            return mail::detail::SendSmtp(target, {}, QString(), QStringLiteral("a@station.test"),
                                          {QStringLiteral("b@station.test")},
                                          "Subject: x\r\n\r\nbody\r\n");
        };
        // Sessions opened at the same time all go back to the pool.
        std::vector<std::thread> senders;
        for (int i = 0; i < c.pooled; ++i)
            senders.emplace_back([&] { EXPECT_EQ(send().code, 0); });
        for (std::thread& t : senders)
            t.join();
        ASSERT_TRUE(first->waitForMessages(c.pooled));
        first.reset();
        SmtpServer second(options);
        ASSERT_TRUE(second.isRunning()) << second.error().toStdString();
        const auto report = send();
        EXPECT_EQ(report.code, 0) << report.description.toStdString();
        ASSERT_TRUE(second.waitForMessages(1));
        EXPECT_EQ(second.messages().size(), 1);
        mail::CloseIdleSessions();
    }
}

// A stop while the server holds the whole message but has not answered its end: the answer
// is awaited, and a mail whose answer never comes counts as sent (the operator is told). A
// stop before the message went out still cuts the transfer at once.
TEST(SmtpTransaction, StopAfterTheFinalDotWaitsForTheAnswer) {
    const struct {
        const char* stall;
        double seconds;
        qint32 code;
        bool unconfirmed;
        int received;
    } cases[] = {{"EOD", 1.5, mail::Error::None, false, 1},
                 {"EOD", 3600, mail::Error::None, true, 0},
                 {"DATA", 3600, mail::Error::Aborted, false, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(QStringLiteral("%1 %2 s").arg(c.stall).arg(c.seconds).toStdString());
        SmtpServerOptions options;
        options.stall = QString::fromLatin1(c.stall);
        options.stallSeconds = c.seconds;
        SmtpServer server(options);
        ASSERT_TRUE(server.isRunning()) << server.error().toStdString();
        mail::detail::SmtpTarget target;
        target.server.host = QStringLiteral("127.0.0.1");
        target.server.port = server.port();
        std::atomic<bool> stop{false};
        mail::SetAbortFlag(&stop);
        auto sending = std::async(std::launch::async, [&] {
            return mail::detail::SendSmtp(
                target, {std::chrono::seconds(5), std::chrono::seconds(3)}, QString(),
                QStringLiteral("a@station.test"), {QStringLiteral("b@station.test")},
                "Subject: x\r\n\r\nbody\r\n");
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        stop = true;
        const auto report = sending.get();
        mail::SetAbortFlag(nullptr);
        EXPECT_EQ(report.code, c.code) << report.description.toStdString();
        EXPECT_EQ(report.unconfirmed, c.unconfirmed);
        EXPECT_EQ(server.waitForMessages(1, 1000), c.received == 1);
        EXPECT_EQ(server.messages().size(), c.received);
    }
}

// A relay that takes only so many recipients a transaction ("452 4.5.3"): the others go at
// once in further transactions, or the transactions are cut to the configured size ahead.
TEST(SmtpTransaction, RecipientsBeyondTheRelaysLimitGoInFurtherTransactions) {
    const struct {
        int serverLimit;
        int configured;
        QList<int> transactions;
    } cases[] = {{3, 0, {3, 3, 1}}, {3, 2, {2, 2, 2, 1}}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.configured);
        SmtpServerOptions options;
        options.maxRecipients = c.serverLimit;
        SmtpServer server(options);
        ASSERT_TRUE(server.isRunning()) << server.error().toStdString();
        mail::ResetDestinations();
        mail::SetConfiguredDestinations({{QStringLiteral("127.0.0.1"), {4, 0, 0, c.configured}}});
        mail::detail::SmtpTarget target;
        target.server.host = QStringLiteral("127.0.0.1");
        target.server.port = server.port();
        QStringList recipients;
        for (int i = 1; i <= 7; ++i)
            recipients << QStringLiteral("r%1@station.test").arg(i);
        const auto report =
            mail::detail::SendSmtp(target, {}, QString(), QStringLiteral("a@station.test"),
                                   recipients, "Subject: x\r\n\r\nbody\r\n");
        EXPECT_EQ(report.code, 0) << report.description.toStdString();
        EXPECT_TRUE(report.deferred.isEmpty() && report.refused.isEmpty())
            << report.description.toStdString();
        ASSERT_TRUE(server.waitForMessages(int(c.transactions.size())));
        QList<int> sizes;
        QStringList got;
        for (const auto& m : server.messages()) {
            sizes << int(m.recipients.size());
            got << m.recipients;
        }
        EXPECT_EQ(sizes, c.transactions);
        EXPECT_EQ(got, recipients);
        mail::CloseIdleSessions();
    }
    mail::ResetDestinations();
}
