// The real program, headless on a temporary prefix, sending jobs dropped into its job folder
// to a real SMTP server on loopback port 25.
#include "automation/job_file.h"
#include "mail/job_dispatch.h"
#include "support/job_corpus.h"
#include "support/program_run.h"
#include "support/smtp_fixture.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonObject>
#include <QRegularExpression>
#include <QThread>

#include <gtest/gtest.h>

#include <sys/xattr.h>

using testsupport::jobRow;

namespace {

constexpr int kTickMs = 10; // a cycle every 300 ms

class EndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(install.ok()) << install.error().toStdString();
        address = testsupport::privateLoopbackAddress();
        jobs = install.drivePath(QStringLiteral("C:\\Jobs\\"));
        ASSERT_TRUE(QDir().mkpath(jobs));
        ASSERT_TRUE(install.writeSettings(address, QStringLiteral("Station <station@example.org>"),
                                          QStringLiteral("C:\\Jobs\\")));
    }
    void TearDown() override {
        if (program)
            testsupport::killProgram(*program);
    }

    std::unique_ptr<testsupport::SmtpServer> startServer(const testsupport::SmtpServerOptions& base = {}) {
        testsupport::SmtpServerOptions options = base;
        options.host = address;
        options.port = 25;
        auto server = std::make_unique<testsupport::SmtpServer>(options);
        EXPECT_TRUE(server->isRunning()) << server->error().toStdString();
        return server;
    }
    void startProgram() {
        program = install.start(kTickMs);
        ASSERT_TRUE(program->waitForStarted(10000));
    }
    QString stderrText() {
        if (program)
            errors += QString::fromUtf8(program->readAllStandardError());
        return errors;
    }
    // Drops a job as another module would: written, then left alone (its time in the past).
    void drop(const QString& name, const QByteArray& bytes) {
        QFile f(jobs + name);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(bytes);
        f.setFileTime(QDateTime::currentDateTime().addSecs(-10), QFileDevice::FileModificationTime);
    }
    bool present(const QString& name) const { return QFileInfo::exists(jobs + name); }

    // The job mails received (the version notice of a first start left out), by subject.
    static QMap<QString, testsupport::ReceivedMessage> jobMails(const testsupport::SmtpServer& server) {
        QMap<QString, testsupport::ReceivedMessage> mails;
        for (const auto& m : server.messages()) {
            const QString subject =
                testsupport::ParseWithPython(m.data).value(QStringLiteral("subject")).toString();
            if (!subject.startsWith(QStringLiteral("Postique: MAJ Version")))
                mails.insert(subject, m);
        }
        return mails;
    }

    testsupport::ProgramInstall install;
    QString address;
    QString jobs;
    std::unique_ptr<QProcess> program;
    QString errors;
};

TEST_F(EndToEnd, JobsDroppedIntoTheFolderAreSent) {
    auto server = startServer();
    {
        QFile pdf(jobs + QStringLiteral("facture.pdf"));
        ASSERT_TRUE(pdf.open(QIODevice::WriteOnly));
        pdf.write("%PDF-1.4 facture");
    }
    drop(QStringLiteral("Email_1.ss8"), {});
    drop(QStringLiteral("Email_2.ss8"),
         jobRow("1", "to@example.org", "cc@example.org", "bcc@example.org", "avec PJ", "Corps", "facture.pdf") +
             jobRow("1", "to@example.org", {}, {}, "partenaire", "Corps", {}, "1") +
             jobRow("1", "", {}, {}, "support", "Corps"));
    drop(QStringLiteral("email_3.SS8"), jobRow("1", "three@example.org", {}, {}, "trois", "Corps"));
    drop(QStringLiteral("Email_4.txt"), jobRow("1", "four@example.org", {}, {}, "quatre", "Corps"));
    ASSERT_TRUE(QDir().mkpath(jobs + QStringLiteral("Email_5.ss8")));
    drop(QStringLiteral("Email_6.ss8"), jobRow("1", "six@example.org", {}, {}, "six", "Corps"));
    const bool hiddenWorks = ::setxattr(QFile::encodeName(jobs + QStringLiteral("Email_6.ss8")).constData(),
                                        "user.DOSATTRIB", "0x22", 4, 0) == 0;

    startProgram();
    ASSERT_TRUE(testsupport::waitUntil([&] { return jobMails(*server).size() >= 4; }, 60000))
        << stderrText().toStdString();
    ASSERT_TRUE(testsupport::waitUntil([&] { return !present(QStringLiteral("email_3.SS8")) &&
                                                    !present(QStringLiteral("Email_2.ss8")); }, 10000));
    // A few more cycles: nothing else may go out.
    QThread::msleep(1000);
    const auto mails = jobMails(*server);
    EXPECT_EQ(mails.keys(), (QStringList{"Postique: avec PJ", "Postique: partenaire", "Postique: support",
                                         "Postique: trois"}));

    const auto withAttachment = mails.value(QStringLiteral("Postique: avec PJ"));
    EXPECT_EQ(withAttachment.recipients,
              (QStringList{"to@example.org", "cc@example.org", "bcc@example.org"}));
    const QJsonObject parsed = testsupport::ParseWithPython(withAttachment.data);
    EXPECT_TRUE(parsed.value(QStringLiteral("cc")).toString().contains(QStringLiteral("cc@example.org")));
    EXPECT_FALSE(parsed.value(QStringLiteral("header_block")).toString().contains(QStringLiteral("bcc@example.org")));
    ASSERT_EQ(parsed.value(QStringLiteral("attachments")).toArray().size(), 1);
    EXPECT_EQ(mails.value(QStringLiteral("Postique: partenaire")).recipients,
              QStringList{JobDispatch::PartnerItMailbox()});
    EXPECT_EQ(mails.value(QStringLiteral("Postique: support")).recipients,
              QStringList{JobDispatch::SupportMailbox()});

    EXPECT_FALSE(present(QStringLiteral("facture.pdf")));
    EXPECT_TRUE(present(QStringLiteral("Email_1.ss8")));
    EXPECT_FALSE(present(QStringLiteral("Email_2.ss8")));
    EXPECT_FALSE(present(QStringLiteral("email_3.SS8")));
    EXPECT_TRUE(present(QStringLiteral("Email_4.txt")));
    EXPECT_TRUE(present(QStringLiteral("Email_5.ss8")));
    if (hiddenWorks)
        EXPECT_TRUE(present(QStringLiteral("Email_6.ss8")));
}

TEST_F(EndToEnd, RefusedRowIsRetriedAloneAfterARestart) {
    testsupport::SmtpServerOptions refusing;
    refusing.reply(QStringLiteral("RCPT"), QStringLiteral("refuse@"), QStringLiteral("550 5.1.1 no such user"));
    auto server = startServer(refusing);
    drop(QStringLiteral("Email_8.ss8"), jobRow("1", "ok1@example.org", {}, {}, "un", "Corps") +
                                            jobRow("1", "refuse@example.org", {}, {}, "deux", "Corps") +
                                            jobRow("1", "ok3@example.org", {}, {}, "trois", "Corps"));
    startProgram();
    ASSERT_TRUE(testsupport::waitUntil([&] { return stderrText().contains(QStringLiteral("no such user")); }, 60000))
        << stderrText().toStdString();
    // The refusal is an incident line on standard error (no display).
    EXPECT_TRUE(stderrText().contains(QRegularExpression(QStringLiteral("\\d{4}/\\d\\d/\\d\\d \\d\\d:\\d\\d:\\d\\d: "))));
    EXPECT_EQ(jobMails(*server).keys(), QStringList{"Postique: un"});
    EXPECT_TRUE(present(QStringLiteral("Email_8.ss8")));

    // The program dies; the server is mended; the program starts again.
    testsupport::killProgram(*program);
    server.reset();
    auto mended = startServer();
    startProgram();
    ASSERT_TRUE(testsupport::waitUntil([&] { return !present(QStringLiteral("Email_8.ss8")); }, 60000))
        << stderrText().toStdString();
    EXPECT_EQ(jobMails(*mended).keys(), (QStringList{"Postique: deux", "Postique: trois"}));
}

TEST_F(EndToEnd, TwoCopiesOnOneFolderSendEachRowOnce) {
    auto server = startServer();
    testsupport::ProgramInstall second;
    ASSERT_TRUE(second.ok());
    // The second copy shares the first one's job folder through its C: drive.
    const QString secondDrive = second.prefix() + QStringLiteral("/drive_c");
    ASSERT_TRUE(QDir().mkpath(secondDrive));
    ASSERT_TRUE(QFile::link(jobs, secondDrive + QStringLiteral("/Jobs")));
    ASSERT_TRUE(second.writeSettings(address, QStringLiteral("Station <station@example.org>"),
                                     QStringLiteral("C:\\Jobs\\")));
    const int jobCount = 12;
    for (int i = 1; i <= jobCount; ++i) {
        QByteArray rows;
        for (int r = 1; r <= 3; ++r)
            rows += jobRow("1", QStringLiteral("r%1@example.org").arg(r), {}, {},
                           QStringLiteral("job %1 row %2").arg(i).arg(r), "Corps");
        drop(QStringLiteral("Email_%1.ss8").arg(i), rows);
    }
    startProgram();
    auto other = second.start(kTickMs);
    ASSERT_TRUE(other->waitForStarted(10000));
    const bool done = testsupport::waitUntil([&] { return QDir(jobs).entryList(QDir::Files).isEmpty(); }, 90000);
    testsupport::killProgram(*other);
    ASSERT_TRUE(done);
    QThread::msleep(500);
    QStringList subjects;
    for (const auto& m : server->messages()) {
        const QString s = testsupport::ParseWithPython(m.data).value(QStringLiteral("subject")).toString();
        if (!s.startsWith(QStringLiteral("Postique: MAJ Version")))
            subjects << s;
    }
    EXPECT_EQ(subjects.size(), jobCount * 3);
    subjects.removeDuplicates();
    EXPECT_EQ(subjects.size(), jobCount * 3) << "a row went out twice";
}

} // namespace
