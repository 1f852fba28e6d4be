// The register of mails sent and the operator's notices, with jobs sent to a real SMTP
// server: one line per recipient and outcome with the server's answer, the delivery status
// notifications asked only of a server that offers them, one notice per row and state.
#include "automation/jobs/job_run.h"
#include "automation/jobs/ledger.h"
#include "mail/engine/destinations.h"
#include "mail/transport/smtp_conversation.h"
#include "sending_fixture.h"
#include "station/notices.h"
#include "support/job_corpus.h"
#include "system/globals.h"
#include "system/ini.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

using namespace automation_tests;
using testsupport::jobRow;
using testsupport::SmtpServer;
using testsupport::SmtpServerOptions;

namespace {

const QString kConfig = QStringLiteral("C:\\Velmora\\Config\\");

class Ledger : public SendingTest {
protected:
    void SetUp() override {
        SendingTest::SetUp();
        savedConfig_ = Lib_Public::DossierConfigGlobal[0];
        Lib_Public::DossierConfigGlobal[0] = kConfig;
        mail::ResetDestinations();
        // A row that waits may go again at once.
        automation::setRetryPolicyOverride(automation::RetryPolicy{0, 0});
    }
    void TearDown() override {
        Notices::WaitIdle();
        automation::setRowNotices({}, 0);
        automation::setRetryPolicyOverride(std::nullopt);
        Lib_Public::DossierConfigGlobal[0] = savedConfig_;
        mail::ResetDestinations();
        SendingTest::TearDown();
    }
    static bool setting(const QString& section, const QString& key, const QString& value) {
        return Lib_Systeme::EcritureIni(kConfig + QStringLiteral("VL3_Postique.ini"), section, key,
                                        value);
    }
    // Every line of the register, oldest first.
    QList<QJsonObject> lines() const {
        QList<QJsonObject> out;
        const QDir dir(prefix.native(kConfig + QStringLiteral("Historique")));
        for (const QString& name :
             dir.entryList({QStringLiteral("envois-*.jsonl")}, QDir::Files, QDir::Name)) {
            QFile file(dir.filePath(name));
            if (file.open(QIODevice::ReadOnly))
                for (const QByteArray& line : file.readAll().split('\n'))
                    if (!line.isEmpty())
                        out << QJsonDocument::fromJson(line).object();
        }
        return out;
    }

private:
    QString savedConfig_;
};

TEST_F(Ledger, OneLinePerRecipientWithTheServersAnswer) {
    // Through a server that offers DSN or not: a row taken for both recipients, one whose
    // second recipient is refused for a while, one whose message is refused for good.
    const struct {
        const char* name;
        const char* command;
        const char* reply;
        const char* outcomeA;
        const char* outcomeB;
        int codeB;
        const char* enhancedB;
    } cases[] = {
        {"sent", "", "", "sent", "sent", 250, "2.0.0"},
        {"waiting", "RCPT", "451 4.7.1 Greylisted, try later", "sent", "waiting", 451, "4.7.1"},
        {"failed", "EOD", "554 5.6.0 Content refused", "failed", "failed", 554, "5.6.0"},
    };
    for (const bool dsn : {true, false}) {
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(c.name) + (dsn ? " with DSN" : " without DSN"));
            SmtpServerOptions options;
            options.dsn = dsn;
            if (*c.command)
                options.reply(QString::fromLatin1(c.command),
                              *c.command == 'R' ? QStringLiteral("b@example.org") : QString(),
                              QString::fromLatin1(c.reply));
            SmtpServer server(options);
            useServer(server);
            const qsizetype before = lines().size();
            ASSERT_TRUE(writeJob(QStringLiteral("Email_1.ss8"),
                                 jobRow("1", QStringLiteral("a@example.org, b@example.org"), {}, {},
                                        QStringLiteral("row"), "B")));
            ASSERT_GE(cycle(), 1);
            const QList<QJsonObject> all = lines().mid(before);
            ASSERT_EQ(all.size(), 2) << incidents().join(u'\n').toStdString();
            for (const QJsonObject& line : all) {
                const bool isA = line.value(u"recipient").toString() == u"a@example.org";
                EXPECT_EQ(line.value(u"outcome").toString(),
                          QString::fromLatin1(isA ? c.outcomeA : c.outcomeB));
                EXPECT_EQ(line.value(u"job").toString(), QStringLiteral("Email_1.ss8"));
                EXPECT_EQ(line.value(u"row").toInt(), 1);
                EXPECT_EQ(line.value(u"destination").toString(), QStringLiteral("127.0.0.1"));
                EXPECT_EQ(line.value(u"transport").toString(), QStringLiteral("smtp"));
                EXPECT_TRUE(
                    QDateTime::fromString(line.value(u"time").toString(), Qt::ISODate).isValid());
                if (!isA) {
                    EXPECT_EQ(line.value(u"code").toInt(), c.codeB);
                    EXPECT_EQ(line.value(u"enhanced").toString(), QString::fromLatin1(c.enhancedB));
                }
                // The queue id of a mail the server took is the one its answer named.
                if (line.value(u"outcome").toString() == u"sent") {
                    ASSERT_EQ(server.messages().size(), 1);
                    EXPECT_EQ(line.value(u"queue_id").toString(), server.messages()[0].queueId);
                }
            }
            // Delivery status notifications are asked of a server that offers them only.
            for (const auto& m : server.messages()) {
                EXPECT_EQ(m.mailArgument.contains(QStringLiteral(" ENVID=Email_1.ss8:1")), dsn)
                    << m.mailArgument.toStdString();
                for (const QString& rcpt : m.rcptArguments)
                    EXPECT_EQ(rcpt.endsWith(QStringLiteral(" NOTIFY=FAILURE,DELAY")), dsn)
                        << rcpt.toStdString();
            }
            station::resetPoller();
            QFile::remove(prefix.native(kJobs + QStringLiteral("Email_1.ss8")));
            QDir(prefix.native(kJobs)).removeRecursively();
            ASSERT_TRUE(QDir().mkpath(prefix.native(kJobs)));
        }
    }
}

TEST_F(Ledger, OneNoticePerRowAndStateAcrossRuns) {
    // Row 1 is refused for a while, row 2 for good: one notice each to the operator, and
    // none again when the waiting row is refused again at the next run.
    SmtpServerOptions options;
    options.reply(QStringLiteral("RCPT"), QStringLiteral("slow@example.org"),
                  QStringLiteral("451 4.7.1 Greylisted"));
    options.reply(QStringLiteral("RCPT"), QStringLiteral("gone@example.org"),
                  QStringLiteral("550 5.1.1 No such user"));
    SmtpServer server(options);
    useServer(server);
    ASSERT_TRUE(setting(QStringLiteral("Avis"), QStringLiteral("Adresse"),
                        QStringLiteral("ops@example.org")));
    ASSERT_TRUE(
        setting(QStringLiteral("Avis"), QStringLiteral("AttenteAvant"), QStringLiteral("0")));
    ASSERT_TRUE(writeJob(
        QStringLiteral("Email_2.ss8"),
        jobRow("1", QStringLiteral("slow@example.org"), {}, {}, QStringLiteral("slow row"), "B") +
            jobRow("1", QStringLiteral("gone@example.org"), {}, {}, QStringLiteral("gone row"),
                   "B")));
    const auto notices = [&] {
        Notices::WaitIdle();
        QList<testsupport::ReceivedMessage> out;
        for (const auto& m : server.messages())
            if (m.recipients.contains(QStringLiteral("ops@example.org")))
                out << m;
        return out;
    };
    for (int run = 1; run <= 2; ++run) {
        SCOPED_TRACE(run);
        ASSERT_GE(cycle(), 1);
        ASSERT_EQ(notices().size(), 2) << incidents().join(u'\n').toStdString();
    }
    QStringList actions;
    for (const auto& m : notices()) {
        EXPECT_TRUE(m.data.contains("Content-Type: multipart/report"));
        EXPECT_TRUE(m.data.contains("report-type=delivery-status"));
        EXPECT_TRUE(m.data.contains("Content-Type: message/delivery-status"));
        EXPECT_TRUE(m.data.contains("X-Postique-Job: Email_2.ss8"));
        actions << QString::fromLatin1(m.data.contains("Action: delayed") ? "delayed" : "failed");
        const QByteArray recipient = m.data.contains("Action: delayed")
                                         ? "Final-Recipient: rfc822; slow@example.org"
                                         : "Final-Recipient: rfc822; gone@example.org";
        EXPECT_TRUE(m.data.contains(recipient)) << m.data.toStdString();
        EXPECT_TRUE(m.data.contains(m.data.contains("Action: delayed") ? "Status: 4.7.1"
                                                                       : "Status: 5.1.1"));
    }
    actions.sort();
    EXPECT_EQ(actions, (QStringList{QStringLiteral("delayed"), QStringLiteral("failed")}));
}

TEST(LedgerFiles, OldDayFilesArePruned) {
    QTemporaryDir dir;
    const QDate today(2026, 12, 9);
    const struct {
        QString name;
        bool kept;
    } files[] = {
        {automation::Ledger::fileName(today), true},
        {automation::Ledger::fileName(today.addDays(-2)), true},
        {automation::Ledger::fileName(today.addDays(-3)), false},
        {automation::Ledger::fileName(today.addDays(-40)), false},
        {QStringLiteral("envois-notes.jsonl"), true},
        {QStringLiteral("Incidents_20200101.log"), true},
    };
    for (const auto& f : files) {
        QFile file(dir.filePath(f.name));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    }
    automation::Ledger::prune(dir.path(), today, 3);
    for (const auto& f : files)
        EXPECT_EQ(QFile::exists(dir.filePath(f.name)), f.kept) << f.name.toStdString();
}

TEST(LedgerFiles, XtextEncodesWhatAParameterCannotHold) {
    const struct {
        const char* in;
        const char* out;
    } cases[] = {
        {"Email_1.ss8:3", "Email_1.ss8:3"},
        {"a+b=c d", "a+2Bb+3Dc+20d"},
        {"é", "+C3+A9"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(mail::detail::Xtext(QString::fromUtf8(c.in)), QByteArray(c.out));
}

} // namespace
