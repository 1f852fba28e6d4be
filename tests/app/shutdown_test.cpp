// Stopping the real program in the middle of a long job: it ends promptly, sends no
// further row, keeps the job for the next run, and records (never does) the end of every copy.
#include "support/job_corpus.h"
#include "support/program_run.h"
#include "support/smtp_fixture.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QThread>

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>

using namespace testsupport;

TEST(Shutdown, StopDuringALongJobSendsNoFurtherRow) {
    ProgramInstall install;
    ASSERT_TRUE(install.ok()) << install.error().toStdString();
    SmtpServerOptions options;
    options.host = privateLoopbackAddress();
    options.port = 25;
    SmtpServer server(options);
    ASSERT_TRUE(server.isRunning()) << server.error().toStdString();
    const QString jobs = QStringLiteral("C:\\Jobs\\");
    ASSERT_TRUE(install.writeSettings(options.host, QStringLiteral("postique@station.test"), jobs));
    const QString folder = install.drivePath(jobs);
    ASSERT_TRUE(QDir().mkpath(folder));

    constexpr int rows = 1000;
    QByteArray job;
    for (int i = 0; i < rows; ++i)
        job += jobRow(QStringLiteral("1"), QStringLiteral("r%1@example.org").arg(i), {}, {},
                      QStringLiteral("row %1").arg(i), QStringLiteral("Body"));
    const QString jobPath = folder + QStringLiteral("/Email_1.ss8");
    {
        QFile f(jobPath);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        ASSERT_EQ(f.write(job), job.size());
    }

    std::unique_ptr<QProcess> program = install.start(50);
    ASSERT_TRUE(program->waitForStarted(10000));
    ASSERT_TRUE(waitUntil([&] { return server.messages().size() >= 3; }, 60000))
        << program->readAllStandardError().toStdString();

    const double stoppedAt =
        std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    ::kill(static_cast<pid_t>(program->processId()), SIGTERM);
    ASSERT_TRUE(program->waitForFinished(20000)) << "the program did not stop during the job";
    EXPECT_EQ(program->exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(program->exitCode(), 0);

    // Only what was already on its way when the signal came went out (one mail per session
    // may finish): no mail was started, its MAIL command sent, once the signal had come,
    // beyond a moment's scheduling slack. The server has had every chance to receive a late
    // row by now.
    QThread::msleep(500);
    const auto messages = server.messages();
    EXPECT_LT(messages.size(), rows);
    int startedAfter = 0;
    for (const auto& m : messages)
        startedAfter += m.mailAt > stoppedAt + 0.05 ? 1 : 0;
    EXPECT_EQ(startedAfter, 0) << "rows kept going out after the stop";
    EXPECT_TRUE(QFileInfo::exists(jobPath)) << "the unfinished job stays for the next run";

    const QStringList recorded = install.recordedActions();
    ASSERT_EQ(recorded.size(), 1);
    EXPECT_TRUE(recorded.first().startsWith(QStringLiteral("EndAllCopies VL3_Postique")));
}

// A stop request (SIGTERM) or the session going away (SIGHUP) ends the program normally with
// its shutdown steps, and the end of the copies names only the copies of its own
// installation, never those of another one on the same account.
TEST(Shutdown, SignalEndsOnlyTheCopiesOfTheSameInstallation) {
    for (int signalNumber : {SIGTERM, SIGHUP}) {
        SCOPED_TRACE(signalNumber);
        ProgramInstall mine;
        ProgramInstall other;
        ASSERT_TRUE(mine.ok() && other.ok());
        for (const ProgramInstall* install : {&mine, &other})
            ASSERT_TRUE(install->writeSettings(QStringLiteral("127.0.0.1"),
                                               QStringLiteral("postique@station.test"),
                                               QStringLiteral("C:\\Jobs\\")));
        std::unique_ptr<QProcess> programs[] = {mine.start(1000), mine.start(1000),
                                                other.start(1000)};
        QByteArray errors[3];
        for (int i = 0; i < 3; ++i)
            ASSERT_TRUE(waitUntil(
                [&] {
                    errors[i] += programs[i]->readAllStandardError();
                    return errors[i].contains("started without a display");
                },
                30000))
                << errors[i].toStdString();
        // Without a display the station runs alone: no window, so no platform plugin.
        QFile maps(QStringLiteral("/proc/%1/maps").arg(programs[0]->processId()));
        ASSERT_TRUE(maps.open(QIODevice::ReadOnly));
        EXPECT_FALSE(maps.readAll().contains("/platforms/"));

        ::kill(static_cast<pid_t>(programs[0]->processId()), signalNumber);
        ASSERT_TRUE(programs[0]->waitForFinished(20000));
        EXPECT_EQ(programs[0]->exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(programs[0]->exitCode(), 0);

        const QStringList recorded = mine.recordedActions();
        ASSERT_EQ(recorded.size(), 1);
        const QStringList words = recorded.first().split(u' ');
        EXPECT_EQ(words.mid(0, 2),
                  (QStringList{QStringLiteral("EndAllCopies"), QStringLiteral("VL3_Postique")}));
        EXPECT_EQ(words.mid(2), QStringList{QString::number(programs[1]->processId())});
        for (auto& program : programs)
            killProgram(*program);
    }
}
