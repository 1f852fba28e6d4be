// Workbook jobs written by independent writers go through the poller to a real SMTP server on
// loopback exactly as delimited jobs do: routing, attachment sent and deleted, job deleted.
#include "poller_fixture.h"
#include "station/job_dispatch.h"
#include "support/smtp_fixture.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>

using namespace automation_tests;
using testsupport::SmtpServer;

namespace {

class WorkbookSendingTest : public PollerTest {};

TEST_F(WorkbookSendingTest, WorkbookJobsAreSentLikeDelimitedJobs) {
    QTemporaryDir written;
    QProcess writer;
    writer.start(QStringLiteral("/usr/bin/python3"),
                 {QStringLiteral(POSTIQUE_SOURCE_DIR "/tests/workbooks/write_workbooks.py"),
                  written.path()});
    ASSERT_TRUE(writer.waitForFinished(120000));
    ASSERT_EQ(writer.exitCode(), 0) << writer.readAllStandardError().toStdString();
    auto bytesOf = [&](const char* name) {
        QFile f(written.filePath(QString::fromLatin1(name)));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    };

    SmtpServer server;
    ASSERT_TRUE(server.isRunning()) << server.error().toStdString();
    form->TexteFrom->setText(QStringLiteral("Station <station@example.org>"));
    form->TexteServer->setText(QStringLiteral("127.0.0.1"));
    form->ListeProtocol->addItem(QStringLiteral("SMTP"));
    form->ListeProtocol->setCurrentIndex(0);
    form->ListePort->addItem(QString::number(server.port()));
    form->ListePort->setCurrentText(QString::number(server.port()));
    form->CheckBoxAuth->setChecked(false);
    form->CheckBoxSSL->setChecked(false);
    form->InitGeneralCharset();

    // Both jobs name "pj.txt" on their first row; the first sent deletes it.
    ASSERT_TRUE(prefix.write(kJobs + QStringLiteral("pj.txt"), "pièce jointe"));
    ASSERT_TRUE(writeJob(QStringLiteral("Email_1.ss8"), bytesOf("job.xlsx")));
    ASSERT_TRUE(writeJob(QStringLiteral("Email_2.ss8"), bytesOf("job.ods")));

    ASSERT_EQ(cycle(), 1);
    ASSERT_TRUE(server.waitForMessages(6));
    const auto messages = server.messages();
    ASSERT_EQ(messages.size(), 6);
    QStringList got;
    for (const auto& m : messages) {
        const QJsonObject parsed = testsupport::ParseWithPython(m.data);
        got << parsed.value(QStringLiteral("subject")).toString() + QStringLiteral(" -> ") +
                   m.recipients.join(u',').toLower();
    }
    got.sort();
    const QString support = JobDispatch::SupportMailbox();
    const QString partner = JobDispatch::PartnerItMailbox();
    QStringList expected;
    for (int i = 0; i < 2; ++i)
        expected << QStringLiteral("Postique: Premier -> a@example.org")
                 << QStringLiteral("Postique: Support -> ") + support
                 << QStringLiteral("Postique: Partenaire -> ") + partner;
    expected.sort();
    EXPECT_EQ(got, expected);
    EXPECT_FALSE(jobExists(QStringLiteral("Email_1.ss8")));
    EXPECT_FALSE(jobExists(QStringLiteral("Email_2.ss8")));
    EXPECT_FALSE(prefix.exists(kJobs + QStringLiteral("pj.txt")));
    EXPECT_TRUE(incidents().isEmpty()) << incidents().join(u'\n').toStdString();
}

} // namespace
