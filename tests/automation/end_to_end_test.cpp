// The real program, headless on a private prefix, sending the jobs dropped into its job
// folder to a real SMTP server: what the server receives and what the folder keeps.
#include "support/job_corpus.h"
#include "support/program_run.h"
#include "support/smtp_fixture.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <gtest/gtest.h>

using namespace testsupport;

namespace {

bool anyMessageFor(const SmtpServer& server, const QString& recipient, const QString& subject) {
    for (const ReceivedMessage& m : server.messages())
        if (m.recipients.contains(recipient) && m.data.contains(subject.toUtf8()))
            return true;
    return false;
}

} // namespace

TEST(EndToEnd, DroppedJobsAreSentAndDeletedOthersAreLeft) {
    ProgramInstall install;
    ASSERT_TRUE(install.ok()) << install.error().toStdString();
    SmtpServerOptions options;
    options.host = privateLoopbackAddress();
    options.port = 25; // the settings page offers the standard ports only
    SmtpServer server(options);
    ASSERT_TRUE(server.isRunning()) << server.error().toStdString();

    const QString jobs = QStringLiteral("C:\\Jobs\\");
    ASSERT_TRUE(install.writeSettings(options.host, QStringLiteral("postique@station.test"), jobs));
    const QString folder = install.drivePath(jobs);
    ASSERT_TRUE(QDir().mkpath(folder));

    ASSERT_TRUE(writeFile(folder + QStringLiteral("/piece.txt"), "attached bytes"));
    QByteArray job = jobRow(QStringLiteral("1"), QStringLiteral("a@example.org"),
                            QStringLiteral("c@example.org"), QStringLiteral("b@example.org"),
                            QStringLiteral("first row"), QStringLiteral("Body one"),
                            QStringLiteral("piece.txt"));
    job += jobRow(QStringLiteral("1"), QStringLiteral("d@example.org"), {}, {},
                  QStringLiteral("second row"), QStringLiteral("Body two"));
    ASSERT_TRUE(writeFile(folder + QStringLiteral("/Email_1.ss8"), job));
    ASSERT_TRUE(writeFile(folder + QStringLiteral("/email_3.SS8"),
                          jobRow(QStringLiteral("1"), QStringLiteral("e@example.org"), {}, {},
                                 QStringLiteral("lower case name"), QStringLiteral("B"))));
    ASSERT_TRUE(writeFile(folder + QStringLiteral("/Email_0.ss8"), QByteArray()));
    ASSERT_TRUE(writeFile(folder + QStringLiteral("/Email_4.txt"),
                          jobRow(QStringLiteral("1"), QStringLiteral("f@example.org"), {}, {},
                                 QStringLiteral("not a job"), QStringLiteral("B"))));
    ASSERT_TRUE(QDir().mkpath(folder + QStringLiteral("/Email_5.ss8")));

    std::unique_ptr<QProcess> program = install.start(50);
    ASSERT_TRUE(program->waitForStarted(10000));
    const bool sent = waitUntil(
        [&] {
            return anyMessageFor(server, QStringLiteral("a@example.org"),
                                 QStringLiteral("first row")) &&
                   anyMessageFor(server, QStringLiteral("d@example.org"),
                                 QStringLiteral("second row")) &&
                   anyMessageFor(server, QStringLiteral("e@example.org"),
                                 QStringLiteral("lower case name")) &&
                   !QFileInfo::exists(folder + QStringLiteral("/Email_1.ss8")) &&
                   !QFileInfo::exists(folder + QStringLiteral("/email_3.SS8"));
        },
        60000);
    killProgram(*program);
    ASSERT_TRUE(sent) << program->readAllStandardError().toStdString();

    for (const ReceivedMessage& m : server.messages()) {
        if (!m.data.contains("first row"))
            continue;
        EXPECT_TRUE(m.data.contains("Subject: Postique: first row"));
        EXPECT_TRUE(m.recipients.contains(QStringLiteral("b@example.org")))
            << "Bcc in the envelope";
        EXPECT_FALSE(m.data.contains("b@example.org")) << "Bcc never in a header";
        EXPECT_TRUE(m.data.contains("piece.txt"));
    }
    EXPECT_FALSE(QFileInfo::exists(folder + QStringLiteral("/piece.txt")))
        << "a sent row's attachment is deleted";
    EXPECT_TRUE(QFileInfo::exists(folder + QStringLiteral("/Email_0.ss8")));
    EXPECT_TRUE(QFileInfo::exists(folder + QStringLiteral("/Email_4.txt")));
    EXPECT_TRUE(QFileInfo(folder + QStringLiteral("/Email_5.ss8")).isDir());
    EXPECT_FALSE(
        anyMessageFor(server, QStringLiteral("f@example.org"), QStringLiteral("not a job")));
}
