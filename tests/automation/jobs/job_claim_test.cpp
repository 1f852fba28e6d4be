// Stations sharing one job folder: one rename wins a job, a lost answer to a rename that did
// happen still counts, a stopped station's jobs and journals are taken over by one station,
// journals that the folder cannot hold, and jobs that came by rename.
#include "automation/jobs/job_claim.h"
#include "automation/jobs/job_journal.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <functional>

#include <unistd.h>

using namespace automation;

namespace {

bool put(const QString& path, const QByteArray& bytes = "1;a@example.org\n") {
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
}

class JobClaimsTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        a.setFolder(dir.path(), QStringLiteral("a"), DeadMs);
        b.setFolder(dir.path(), QStringLiteral("b"), DeadMs);
        ASSERT_TRUE(a.beat(t0) && b.beat(t0));
    }
    QString job(const QString& name) const { return dir.filePath(name); }

    static constexpr qint64 DeadMs = 60'000;
    static constexpr qint64 t0 = 1'700'000'000'000;
    QTemporaryDir dir;
    JobClaims a;
    JobClaims b;
};

TEST_F(JobClaimsTest, OneStationWinsAJobAndANewVersionIsLeftToIt) {
    ASSERT_TRUE(put(job(QStringLiteral("Email_1.ss8"))));
    ASSERT_TRUE(put(dir.filePath(JobJournal::journalName(QStringLiteral("Email_1.ss8"))), "J\n"));
    FileStamp seen;
    ASSERT_TRUE(stampOf(job(QStringLiteral("Email_1.ss8")), seen));
    QString taken;
    EXPECT_EQ(a.claim(job(QStringLiteral("Email_1.ss8")), seen, &taken), JobClaims::Claim::Taken);
    EXPECT_EQ(taken, a.ownFolder() + QStringLiteral("/Email_1.ss8"));
    EXPECT_TRUE(QFileInfo::exists(a.ownFolder() + u'/' +
                                  JobJournal::journalName(QStringLiteral("Email_1.ss8"))))
        << "the journal follows its job";
    // b looked at the folder before a's rename: its own rename finds nothing.
    QString lost;
    EXPECT_EQ(b.claim(job(QStringLiteral("Email_1.ss8")), seen, &lost), JobClaims::Claim::Lost);
    EXPECT_EQ(a.ownJobs(), QStringList{taken});
    EXPECT_TRUE(a.isOwn(taken));
    EXPECT_FALSE(b.isOwn(taken));
    EXPECT_TRUE(b.heldByAnother(QStringLiteral("Email_1.ss8")));
    EXPECT_FALSE(a.heldByAnother(QStringLiteral("Email_1.ss8")));

    // The answer to a's rename of job 2 was lost; the retransmission finds no source.
    ASSERT_TRUE(put(job(QStringLiteral("Email_2.ss8"))));
    ASSERT_TRUE(stampOf(job(QStringLiteral("Email_2.ss8")), seen));
    ASSERT_TRUE(QFile::rename(job(QStringLiteral("Email_2.ss8")),
                              a.ownFolder() + QStringLiteral("/Email_2.ss8")));
    EXPECT_EQ(a.claim(job(QStringLiteral("Email_2.ss8")), seen, &taken), JobClaims::Claim::Taken);
    EXPECT_EQ(b.claim(job(QStringLiteral("Email_2.ss8")), seen, &lost), JobClaims::Claim::Lost);
}

TEST_F(JobClaimsTest, AStationThatStoppedBeatingIsTakenOverByOneStationOnly) {
    // Station "c" stopped with a job half sent; a and b go on beating.
    JobClaims c;
    c.setFolder(dir.path(), QStringLiteral("c"), DeadMs);
    ASSERT_TRUE(c.beat(t0));
    ASSERT_TRUE(put(c.ownFolder() + QStringLiteral("/Email_9.ss8")));
    ASSERT_TRUE(
        put(c.ownFolder() + u'/' + JobJournal::journalName(QStringLiteral("Email_9.ss8")), "J\n"));
    struct Step {
        qint64 at;
        bool cTaken;
    };
    for (const Step& step :
         {Step{t0, false}, Step{t0 + DeadMs - 1, false}, Step{t0 + DeadMs, true}}) {
        SCOPED_TRACE(step.at - t0);
        ASSERT_TRUE(a.beat(step.at) && b.beat(step.at));
        EXPECT_EQ(a.recoverStopped(step.at),
                  step.cTaken ? QStringList{QStringLiteral("c")} : QStringList{});
        EXPECT_TRUE(b.recoverStopped(step.at).isEmpty()) << "b saw c beating later, or a won";
    }
    EXPECT_EQ(a.ownJobs(), QStringList{a.ownFolder() + QStringLiteral("/Email_9.ss8")});
    EXPECT_TRUE(QFileInfo::exists(a.ownFolder() + u'/' +
                                  JobJournal::journalName(QStringLiteral("Email_9.ss8"))));
    EXPECT_FALSE(QFileInfo::exists(c.ownFolder()));
    EXPECT_EQ(QDir(a.ownFolder()).entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden),
              QStringList{})
        << "the taken folder is gone once emptied";
    // Two stations that beat see no stop of each other however long they run.
    for (qint64 later = 1; later <= 5; ++later) {
        const qint64 at = t0 + later * DeadMs;
        ASSERT_TRUE(a.beat(at) && b.beat(at));
        EXPECT_TRUE(a.recoverStopped(at).isEmpty() && b.recoverStopped(at).isEmpty());
    }
}

TEST(JournalPlace, AFolderThatCannotHoldJournalsIsToldAndAvoided) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    QString why;
    EXPECT_TRUE(folderHoldsJournals(dir.path(), QStringLiteral("ext4"), &why)) << why.toStdString();
    EXPECT_TRUE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).isEmpty())
        << "the probe leaves nothing";
    // Never tried on a client that fails every later operation once a file is appended to.
    EXPECT_FALSE(folderHoldsJournals(dir.path() + QStringLiteral("/missing"),
                                     QStringLiteral("fuse.smbnetfs"), &why));
    EXPECT_TRUE(why.contains(QStringLiteral("fuse.smbnetfs")));
    EXPECT_FALSE(folderHoldsJournals(dir.path() + QStringLiteral("/missing"),
                                     QStringLiteral("fuse.rclone"), &why));
    // One folder per share folder, inside the settings folder.
    const QString one = localJournalFolder(QStringLiteral("/s"), QStringLiteral("/mnt/x/"));
    EXPECT_TRUE(one.startsWith(QStringLiteral("/s/Journaux/")));
    EXPECT_EQ(one, localJournalFolder(QStringLiteral("/s"), QStringLiteral("/mnt/x")));
    EXPECT_NE(one, localJournalFolder(QStringLiteral("/s"), QStringLiteral("/mnt/y")));
}

TEST(ArrivedWhole, ARenameRightAfterTheWriteIsTakenAtOnce) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString job = dir.filePath(QStringLiteral("Email_1.ss8"));
    const QString part = dir.filePath(QStringLiteral("Email_1.part"));
    struct Case {
        const char* what;
        std::function<bool()> write;
        bool whole;
    } cases[] = {
        {"written in place", [&] { return put(job); }, false},
        {"renamed into place",
         [&] { return put(part) && (::usleep(20'000), QFile::rename(part, job)); }, true},
        {"chunk stamped an hour back (a lagging clock)",
         [&] {
             QFile f(job);
             return put(job) && f.open(QIODevice::Append) &&
                    f.setFileTime(QDateTime::currentDateTime().addSecs(-3600),
                                  QFileDevice::FileModificationTime);
         },
         false},
    };
    for (const Case& c : cases) {
        QFile::remove(job);
        ASSERT_TRUE(c.write()) << c.what;
        EXPECT_EQ(arrivedWhole(job), c.whole) << c.what;
    }
}

} // namespace
