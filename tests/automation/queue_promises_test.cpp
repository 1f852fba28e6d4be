// The real program, headless, against a real SMTP server under the faults a station meets:
// two installations sharing one job folder, rows refused for a while or for good, a job
// rewritten while it is sent, a writer whose clock lags, and a stop request mid-transfer.
#include "automation/jobs/job_journal.h"
#include "station/job_loop.h"
#include "support/job_corpus.h"
#include "support/program_run.h"
#include "support/smtp_fixture.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <cstdio>

#include <sys/stat.h>

using namespace testsupport;

namespace {

// Writes `bytes` under a temporary name and renames it into place, as module writers do.
bool dropJob(const QString& path, const QByteArray& bytes) {
    const QString temporary = path + QStringLiteral(".part");
    return writeFile(temporary, bytes) && ::rename(QFile::encodeName(temporary).constData(),
                                                   QFile::encodeName(path).constData()) == 0;
}

// How many times each subject arrived, over every server given.
QMap<QString, int> subjectCounts(const QList<const SmtpServer*>& servers) {
    QMap<QString, int> counts;
    for (const SmtpServer* server : servers)
        for (const ReceivedMessage& m : server->messages()) {
            const qsizetype at = m.data.indexOf("Subject: Postique: ");
            if (at < 0)
                continue;
            const qsizetype end = m.data.indexOf("\r\n", at);
            const QString subject = QString::fromUtf8(m.data.mid(at + 19, end - at - 19));
            if (!subject.startsWith(
                    QStringLiteral("MAJ Version"))) // each installation's first-run notice
                ++counts[subject];
        }
    return counts;
}

QStringList twice(const QMap<QString, int>& counts) {
    QStringList out;
    for (auto it = counts.cbegin(); it != counts.cend(); ++it)
        if (it.value() > 1)
            out << QStringLiteral("%1 x%2").arg(it.key()).arg(it.value());
    return out;
}

QByteArray rows(const QString& prefix, int from, int to) {
    QByteArray job;
    for (int i = from; i <= to; ++i)
        job += jobRow(QStringLiteral("1"), QStringLiteral("r%1@example.org").arg(i), {}, {},
                      QStringLiteral("%1 %2").arg(prefix).arg(i), QStringLiteral("B"));
    return job;
}

// The Windows text of a native folder (through drive Z:, the root).
QString zText(const QString& native) {
    QString text = QStringLiteral("Z:") + native;
    text.replace(u'/', u'\\');
    return text.endsWith(u'\\') ? text : text + u'\\';
}

QStringList journals(const QString& folder) {
    return QDir(folder).entryList({QStringLiteral(".*postique-journal*")},
                                  QDir::Files | QDir::Hidden);
}

class QueuePromises : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(shared.isValid());
        folder = shared.filePath(QStringLiteral("jobs"));
        ASSERT_TRUE(QDir().mkpath(folder));
        address = privateLoopbackAddress();
    }
    // An installation of its own (own prefix, own settings folder) polling `folder`.
    std::unique_ptr<ProgramInstall> install() {
        auto one = std::make_unique<ProgramInstall>();
        EXPECT_TRUE(one->ok()) << one->error().toStdString();
        EXPECT_TRUE(
            one->writeSettings(address, QStringLiteral("postique@station.test"), zText(folder)));
        return one;
    }
    SmtpServerOptions serverOptions() const {
        SmtpServerOptions options;
        options.host = address;
        options.port = 25; // the settings page offers the standard ports only
        return options;
    }

    QTemporaryDir shared;
    QString folder;
    QString address;
};

TEST_F(QueuePromises, TwoInstallationsShareOneFolderAndDeadLettersAreKept) {
    // Row 5 is refused for a while (4xx), row 8 for good (5xx). Two installations poll the
    // same folder: every row arrives once, the job behind waits only while row 5 waits, and
    // the job ends in the dead-letter folder with a note naming row 8.
    auto first = install();
    auto second = install();
    SmtpServerOptions refusing = serverOptions();
    refusing.reply(QStringLiteral("RCPT"), QStringLiteral("r5@"),
                   QStringLiteral("451 4.3.0 later"));
    refusing.reply(QStringLiteral("RCPT"), QStringLiteral("r8@"),
                   QStringLiteral("550 5.1.1 no such user"));
    auto server = std::make_unique<SmtpServer>(refusing);
    ASSERT_TRUE(server->isRunning()) << server->error().toStdString();

    const QByteArray job = rows(QStringLiteral("row"), 1, 12);
    ASSERT_TRUE(dropJob(folder + QStringLiteral("/Email_1.ss8"), job));
    ASSERT_TRUE(
        dropJob(folder + QStringLiteral("/Email_2.ss8"), rows(QStringLiteral("behind"), 1, 2)));

    auto a = first->start(40);
    auto b = second->start(40);
    ASSERT_TRUE(a->waitForStarted(10000) && b->waitForStarted(10000));
    // Rows 1 to 4 go, row 5 waits: both copies try it again cycle after cycle.
    ASSERT_TRUE(waitUntil([&] { return server->messages().size() >= 4; }, 60000));
    QThread::msleep(4000); // several cycles of both copies meet the refusal
    QCoreApplication::processEvents();
    {
        const QMap<QString, int> waiting = subjectCounts({server.get()});
        EXPECT_TRUE(twice(waiting).isEmpty()) << twice(waiting).join(u' ').toStdString();
        // Rows before the refused one went; rows sent beside it on the other sessions may
        // have gone too; the refused one waits.
        for (int i = 1; i <= 4; ++i)
            EXPECT_TRUE(waiting.contains(QStringLiteral("row %1").arg(i))) << i;
        EXPECT_FALSE(waiting.contains(QStringLiteral("row 5")));
    }
    EXPECT_TRUE(QFileInfo::exists(folder + QStringLiteral("/Email_1.ss8")));
    EXPECT_EQ(journals(folder).size(), 1) << "one journal, beside the job, for both copies";

    // The server takes row 5 again.
    const QMap<QString, int> before = subjectCounts({server.get()});
    server.reset();
    SmtpServerOptions fixed = serverOptions();
    fixed.reply(QStringLiteral("RCPT"), QStringLiteral("r8@"),
                QStringLiteral("550 5.1.1 no such user"));
    SmtpServer again(fixed);
    ASSERT_TRUE(again.isRunning()) << again.error().toStdString();
    const QString dead = folder + u'/' + station::DeadLetterFolder;
    const bool done = waitUntil(
        [&] {
            QMap<QString, int> all = subjectCounts({&again});
            all.insert(before);
            return all.size() >= 13 &&
                   !QFileInfo::exists(folder + QStringLiteral("/Email_1.ss8")) &&
                   !QFileInfo::exists(folder + QStringLiteral("/Email_2.ss8"));
        },
        60000);
    QThread::msleep(1500); // a late duplicate would show now
    QCoreApplication::processEvents();
    killProgram(*a);
    killProgram(*b);
    ASSERT_TRUE(done) << a->readAllStandardError().toStdString()
                      << b->readAllStandardError().toStdString();

    QMap<QString, int> counts = subjectCounts({&again});
    for (auto it = before.cbegin(); it != before.cend(); ++it)
        counts[it.key()] += it.value();
    EXPECT_TRUE(twice(counts).isEmpty()) << twice(counts).join(u' ').toStdString();
    EXPECT_EQ(counts.size(), 13) << "11 rows of the first job and 2 behind it";
    EXPECT_FALSE(counts.contains(QStringLiteral("row 8")));
    EXPECT_EQ(QFile(dead + QStringLiteral("/Email_1.ss8")).size(), job.size());
    QFile note(dead + QStringLiteral("/Email_1.ss8.txt"));
    ASSERT_TRUE(note.open(QIODevice::ReadOnly));
    const QString text = QString::fromUtf8(note.readAll());
    EXPECT_TRUE(text.contains(QStringLiteral("Ligne 8 : ")) &&
                text.contains(QStringLiteral("no such user")))
        << text.toStdString();
    EXPECT_TRUE(journals(folder).isEmpty());
    const QString stderrText =
        QString::fromUtf8(a->readAllStandardError() + b->readAllStandardError());
    EXPECT_TRUE(stderrText.contains(QStringLiteral("Ligne 8 de Email_1.ss8")))
        << stderrText.toStdString();
}

TEST_F(QueuePromises, JobChangedWhileBeingSentSendsNoRowTwice) {
    // While the rows go out, a new version (the same rows and more) is renamed over the
    // job, then rows are appended to it in place: every row arrives exactly once.
    auto one = install();
    SmtpServer server(serverOptions());
    ASSERT_TRUE(server.isRunning()) << server.error().toStdString();
    const QString path = folder + QStringLiteral("/Email_1.ss8");
    ASSERT_TRUE(dropJob(path, rows(QStringLiteral("row"), 1, 400)));
    auto program = one->start(40);
    ASSERT_TRUE(program->waitForStarted(10000));
    ASSERT_TRUE(waitUntil([&] { return server.messages().size() >= 20; }, 60000));
    ASSERT_TRUE(dropJob(path, rows(QStringLiteral("row"), 1, 450)));
    ASSERT_TRUE(waitUntil([&] { return server.messages().size() >= 100; }, 60000));
    {
        QFile f(path);
        if (f.open(QIODevice::Append)) // the job may be done already on a fast machine
            f.write(rows(QStringLiteral("row"), 451, 460));
    }
    const bool done = waitUntil(
        [&] { return server.messages().size() >= 460 && !QFileInfo::exists(path); }, 120000);
    QThread::msleep(1000);
    QCoreApplication::processEvents();
    killProgram(*program);
    ASSERT_TRUE(done) << server.messages().size() << program->readAllStandardError().toStdString();
    const QMap<QString, int> counts = subjectCounts({&server});
    EXPECT_TRUE(twice(counts).isEmpty()) << twice(counts).join(u' ').toStdString();
    EXPECT_EQ(counts.size(), 460);
}

TEST_F(QueuePromises, WriterWithALaggingClockIsWaitedFor) {
    // The writer's file server stamps every chunk an hour in the past and writes the job in
    // chunks over five seconds: the job is read once, whole.
    auto one = install();
    SmtpServer server(serverOptions());
    ASSERT_TRUE(server.isRunning()) << server.error().toStdString();
    auto program = one->start(40);
    ASSERT_TRUE(program->waitForStarted(10000));
    const QString path = folder + QStringLiteral("/Email_1.ss8");
    const QDateTime past = QDateTime::currentDateTime().addSecs(-3600);
    for (int chunk = 0; chunk < 5; ++chunk) {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::Append));
        f.write(rows(QStringLiteral("row"), chunk * 40 + 1, chunk * 40 + 40));
        f.setFileTime(past, QFileDevice::FileModificationTime);
        f.close();
        QThread::msleep(1000);
        QCoreApplication::processEvents();
    }
    const bool done = waitUntil(
        [&] { return !QFileInfo::exists(path) && server.messages().size() >= 200; }, 60000);
    QThread::msleep(500);
    QCoreApplication::processEvents();
    killProgram(*program);
    ASSERT_TRUE(done) << server.messages().size() << program->readAllStandardError().toStdString();
    const QMap<QString, int> counts = subjectCounts({&server});
    EXPECT_TRUE(twice(counts).isEmpty()) << twice(counts).join(u' ').toStdString();
    EXPECT_EQ(counts.size(), 200);
}

TEST_F(QueuePromises, StopRequestEndsTheProgramWithinSecondsWhateverTheServerDoes) {
    // A server that never greets: SIGTERM ends the program within five seconds, and the row
    // in flight is sent again later, once. A server that answers the final dot late: the
    // answer is awaited, and that row is not sent again.
    for (const QString& stall : {QStringLiteral("CONNECT"), QStringLiteral("EOD")}) {
        SCOPED_TRACE(stall.toStdString());
        auto one = install();
        const QString path = folder + QStringLiteral("/Email_%1.ss8").arg(stall);
        ASSERT_TRUE(dropJob(path, rows(stall, 1, 3)));
        SmtpServerOptions silent = serverOptions();
        silent.stall = stall;
        if (stall == u"EOD")
            silent.stallSeconds = 3;
        auto server = std::make_unique<SmtpServer>(silent);
        ASSERT_TRUE(server->isRunning()) << server->error().toStdString();
        auto program = one->start(40);
        ASSERT_TRUE(program->waitForStarted(10000));
        ASSERT_TRUE(waitUntil([&] { return server->connections() >= 1; }, 30000));
        QThread::msleep(1000); // well inside the wait for the server
        QElapsedTimer clock;
        clock.start();
        program->terminate();
        const bool ended = program->waitForFinished(5000);
        const qint64 took = clock.elapsed();
        if (!ended)
            killProgram(*program);
        EXPECT_TRUE(ended) << "still running after " << took << " ms";
        EXPECT_TRUE(QFileInfo::exists(path)) << "the job waits for the next run";

        server->stop();
        SmtpServer working(serverOptions());
        ASSERT_TRUE(working.isRunning()) << working.error().toStdString();
        auto next = one->start(40);
        ASSERT_TRUE(next->waitForStarted(10000));
        const bool done = waitUntil(
            [&] {
                return !QFileInfo::exists(path) &&
                       server->messages().size() + working.messages().size() >= 3;
            },
            60000);
        killProgram(*next);
        ASSERT_TRUE(done);
        const QMap<QString, int> counts = subjectCounts({server.get(), &working});
        EXPECT_EQ(counts.size(), 3);
        EXPECT_EQ(server->messages().isEmpty(), stall != u"EOD");
        EXPECT_TRUE(twice(counts).isEmpty());
    }
}

TEST_F(QueuePromises, StoppedAtEveryStepOfASendNothingIsLost) {
    // The program stops itself at a step of a send (after the server took a mail and before
    // its record, halfway through a record, after a row's record, after the job's), then runs
    // again. A kill may send again only the mails whose final dot had left (one per session at
    // most); a SIGTERM sends nothing twice. Nothing is ever lost.
    const struct {
        const char* point;
        int nth;
        const char* signal;
    } stops[] = {{"answered", 1, "KILL"},  {"answered", 6, "KILL"}, {"recording", 4, "KILL"},
                 {"recording", 9, "KILL"}, {"recorded", 2, "KILL"}, {"recorded", 7, "KILL"},
                 {"finishing", 1, "KILL"}, {"answered", 3, "TERM"}, {"recording", 5, "TERM"},
                 {"recorded", 3, "TERM"},  {"finishing", 1, "TERM"}};
    constexpr int kRows = 12;
    constexpr int kSessions = 4;
    int lost = 0;
    int killExtra = 0;
    int termExtra = 0;
    for (const auto& stop : stops) {
        const QString name =
            QStringLiteral("%1-%2-%3").arg(stop.point).arg(stop.nth).arg(stop.signal);
        SCOPED_TRACE(name.toStdString());
        auto one = install();
        SmtpServer server(serverOptions());
        ASSERT_TRUE(server.isRunning()) << server.error().toStdString();
        const QString path = folder + QStringLiteral("/Email_stop.ss8");
        ASSERT_TRUE(dropJob(path, rows(name, 1, kRows)));
        auto program = one->start(40, {}, {},
                                  {QStringLiteral("POSTIQUE_SMTP_SESSIONS=%1").arg(kSessions),
                                   QStringLiteral("POSTIQUE_STOP_AT=%1:%2:%3")
                                       .arg(stop.point)
                                       .arg(stop.nth)
                                       .arg(stop.signal)});
        ASSERT_TRUE(program->waitForStarted(10000));
        const bool stopped =
            waitUntil([&] { return program->state() == QProcess::NotRunning; }, 60000);
        if (!stopped)
            killProgram(*program);
        EXPECT_TRUE(stopped) << "never reached " << name.toStdString();
        auto next =
            one->start(40, {}, {}, {QStringLiteral("POSTIQUE_SMTP_SESSIONS=%1").arg(kSessions)});
        ASSERT_TRUE(next->waitForStarted(10000));
        const bool done = waitUntil(
            [&] { return !QFileInfo::exists(path) && subjectCounts({&server}).size() >= kRows; },
            60000);
        killProgram(*next);
        EXPECT_TRUE(done) << next->readAllStandardError().toStdString();
        const QMap<QString, int> counts = subjectCounts({&server});
        int extra = 0;
        for (const int times : counts)
            extra += times - 1;
        lost += kRows - int(counts.size());
        EXPECT_EQ(counts.size(), kRows);
        if (QByteArray(stop.signal) == "KILL") {
            EXPECT_LE(extra, kSessions) << twice(counts).join(u' ').toStdString();
            killExtra += extra;
        } else {
            EXPECT_EQ(extra, 0) << twice(counts).join(u' ').toStdString();
            termExtra += extra;
        }
    }
    RecordProperty("lost", lost);
    RecordProperty("extra_after_kills", killExtra);
    RecordProperty("extra_after_sigterm", termExtra);
    std::printf("stops: %d lost, %d extra after 7 kills, %d extra after 4 SIGTERM\n", lost,
                killExtra, termExtra);
}

} // namespace
