// Job safeguards: settling, the exclusive lock, change detection, attachment containment,
// and the journal that keeps a retried job from sending anything twice.
#include "automation/job_guard.h"
#include "automation/job_journal.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

using namespace automation;

namespace {

void writeFile(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    ASSERT_EQ(f.write(bytes), bytes.size());
}

TEST(StabilityTracker, SettlesAfterTwoQuietSeconds) {
    const qint64 t0 = 1'700'000'000'000;
    FileStamp writing{1, 2, 100, t0 * 1000000};
    FileStamp grown{1, 2, 200, (t0 + 1500) * 1000000};
    struct Step {
        const char* what;
        FileStamp stamp;
        qint64 now;
        bool settled;
    };
    StabilityTracker tracker;
    const std::vector<Step> steps = {
        {"just written", writing, t0 + 100, false},
        {"1.9 s later, unchanged", writing, t0 + 1900, false},
        {"grew meanwhile", grown, t0 + 1900, false},
        {"1.9 s after growing", grown, t0 + 3400, false},
        {"2 s after its last write", grown, t0 + 3500, true},
    };
    for (const Step& s : steps)
        EXPECT_EQ(tracker.isSettled(QStringLiteral("/j/Email_1.ss8"), s.stamp, s.now), s.settled) << s.what;
}

TEST(StabilityTracker, WriterClockAheadSettlesByObservation) {
    const qint64 now = 1'700'000'000'000;
    const FileStamp future{1, 2, 50, (now + 60'000) * 1000000}; // written by a machine 60 s ahead
    StabilityTracker tracker;
    EXPECT_FALSE(tracker.isSettled(QStringLiteral("a"), future, now));
    EXPECT_FALSE(tracker.isSettled(QStringLiteral("a"), future, now + 1999));
    EXPECT_TRUE(tracker.isSettled(QStringLiteral("a"), future, now + 2000));
    tracker.forget(QStringLiteral("a"));
    EXPECT_EQ(tracker.tracked(), 0);
    EXPECT_FALSE(tracker.isSettled(QStringLiteral("a"), future, now + 2001));
}

TEST(JobLock, SecondHolderIsRefusedAndDeletedJobIsGone) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("Email_1.ss8"));
    writeFile(path, "1;;;;a@example.org\r\n");

    JobLock first;
    ASSERT_EQ(first.acquire(path), JobLock::Outcome::Locked);
    JobLock second;
    EXPECT_EQ(second.acquire(path), JobLock::Outcome::Busy);

    // A forked copy of the program is refused too (flock is per open file, across processes).
    const pid_t child = fork();
    if (child == 0) {
        JobLock other;
        _exit(other.acquire(path) == JobLock::Outcome::Busy ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    QByteArray bytes;
    ASSERT_TRUE(first.readAll(bytes, 1 << 20));
    EXPECT_EQ(bytes, QByteArray("1;;;;a@example.org\r\n"));

    // The first holder sends the job and deletes it; the waiting copy must not send it again.
    QFile::remove(path);
    first.release();
    EXPECT_EQ(second.acquire(path), JobLock::Outcome::Gone);

    // A job replaced by a new file of the same name is a different file: the name is checked.
    writeFile(path, "new");
    EXPECT_EQ(second.acquire(path), JobLock::Outcome::Locked);
}

TEST(JobLock, ReadStopsJustPastTheLimit) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("big.ss8"));
    writeFile(path, QByteArray(300000, 'a'));
    JobLock lock;
    ASSERT_EQ(lock.acquire(path), JobLock::Outcome::Locked);
    QByteArray bytes;
    ASSERT_TRUE(lock.readAll(bytes, 1000));
    EXPECT_GT(bytes.size(), 1000);
    EXPECT_LT(bytes.size(), 300000);
}

TEST(JobLock, DetectsChangesSinceLoading) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("Email_1.ss8"));
    writeFile(path, "1;a\r\n");
    JobLock lock;
    ASSERT_EQ(lock.acquire(path), JobLock::Outcome::Locked);
    const FileStamp loaded = lock.stamp();
    EXPECT_TRUE(lock.unchangedSince(loaded));

    // Appended by its writer while it was being sent.
    {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::Append));
        f.write("2;b\r\n");
    }
    EXPECT_FALSE(lock.unchangedSince(loaded));

    // Replaced by another file under the same name.
    const FileStamp appended = lock.stamp();
    const QString other = dir.filePath(QStringLiteral("tmp"));
    writeFile(other, "1;a\r\n2;b\r\n");
    ASSERT_EQ(::rename(QFile::encodeName(other).constData(), QFile::encodeName(path).constData()), 0);
    EXPECT_FALSE(lock.unchangedSince(appended));

    // Removed.
    QFile::remove(path);
    EXPECT_FALSE(lock.unchangedSince(appended));
}

TEST(AttachmentName, OnlyNamesInsideTheJobFolderPass) {
    struct Case {
        const char* name;
        AttachmentName verdict;
    };
    const std::vector<Case> cases = {
        {"", AttachmentName::Blank},
        {"   ", AttachmentName::Blank},
        {"facture.pdf", AttachmentName::Inside},
        {" facture 2.pdf ", AttachmentName::Inside},
        {"pj\\facture.pdf", AttachmentName::Inside},
        {"pj/facture.pdf", AttachmentName::Inside},
        {"a..b.pdf", AttachmentName::Inside},
        {"..\\secret.txt", AttachmentName::Refused},
        {"pj\\..\\..\\x", AttachmentName::Refused},
        {"../x", AttachmentName::Refused},
        {"..", AttachmentName::Refused},
        {".", AttachmentName::Refused},
        {"pj\\...\\x", AttachmentName::Refused},
        {"pj\\\\x", AttachmentName::Refused},
        {"pj\\", AttachmentName::Refused},
        {"/etc/passwd", AttachmentName::Refused},
        {"\\Windows\\win.ini", AttachmentName::Refused},
        {"C:\\Windows\\win.ini", AttachmentName::Refused},
        {"c:win.ini", AttachmentName::Refused},
        {"\\\\srv\\share\\x.pdf", AttachmentName::Refused},
        {"a.pdf;/etc/passwd", AttachmentName::Refused},
        {"*.ss8", AttachmentName::Refused},
        {"a?.pdf", AttachmentName::Refused},
        {"a\nb.pdf", AttachmentName::Refused},
        {"a|b", AttachmentName::Refused},
        {"file.txt:stream", AttachmentName::Refused},
    };
    for (const Case& c : cases)
        EXPECT_EQ(checkAttachmentName(QString::fromUtf8(c.name)), c.verdict) << c.name;
}

TEST(AttachmentName, LinksLeavingTheFolderAreCaught) {
    QTemporaryDir dir;
    const QString jobs = dir.filePath(QStringLiteral("jobs"));
    ASSERT_TRUE(QDir().mkpath(jobs + QStringLiteral("/pj")));
    writeFile(jobs + QStringLiteral("/pj/a.pdf"), "pdf");
    writeFile(dir.filePath(QStringLiteral("outside.txt")), "secret");
    ASSERT_TRUE(QFile::link(dir.filePath(QStringLiteral("outside.txt")), jobs + QStringLiteral("/link.txt")));
    ASSERT_TRUE(QFile::link(jobs + QStringLiteral("/pj/a.pdf"), jobs + QStringLiteral("/inner.pdf")));
    ASSERT_TRUE(QFile::link(dir.filePath(QStringLiteral("nothing")), jobs + QStringLiteral("/dangling")));

    EXPECT_TRUE(resolvesInside(jobs, jobs + QStringLiteral("/pj/a.pdf")));
    EXPECT_TRUE(resolvesInside(jobs, jobs + QStringLiteral("/inner.pdf")));
    EXPECT_TRUE(resolvesInside(jobs, jobs + QStringLiteral("/missing.pdf")));
    EXPECT_FALSE(resolvesInside(jobs, jobs + QStringLiteral("/link.txt")));
    EXPECT_FALSE(resolvesInside(jobs, jobs + QStringLiteral("/dangling")));
}

TEST(JobJournal, RecordsSurviveReopeningAndTornLines) {
    QTemporaryDir dir;
    const QString folder = dir.filePath(QStringLiteral("Settings/Journal"));
    const QByteArray key = JobJournal::jobKey(QStringLiteral("Email_7.ss8"), "content");
    {
        JobJournal j;
        ASSERT_TRUE(j.open(folder, key));
        ASSERT_TRUE(j.markRowSent(1, true));
        ASSERT_TRUE(j.markCopySent(3, QStringLiteral(" Bob@Example.org ")));
    }
    // A crash in the middle of a record leaves a line without its end.
    {
        QFile f(QDir(folder).filePath(QString::fromLatin1(key) + QStringLiteral(".journal")));
        ASSERT_TRUE(f.open(QIODevice::Append));
        f.write("R 2");
    }
    JobJournal j;
    ASSERT_TRUE(j.open(folder, key));
    EXPECT_TRUE(j.rowSent(1));
    EXPECT_FALSE(j.rowSent(2));
    EXPECT_FALSE(j.rowSent(3));
    EXPECT_TRUE(j.copySent(3, QStringLiteral("bob@example.org")));
    EXPECT_FALSE(j.copySent(3, QStringLiteral("carol@example.org")));
    EXPECT_TRUE(j.copySent(1, QStringLiteral("anyone@example.org"))); // whole row sent
    ASSERT_TRUE(j.remove());

    JobJournal fresh;
    ASSERT_TRUE(fresh.open(folder, key));
    EXPECT_FALSE(fresh.rowSent(1));
}

TEST(JobJournal, KeyFollowsNameAndContent) {
    const QByteArray k = JobJournal::jobKey(QStringLiteral("Email_1.ss8"), "a");
    EXPECT_EQ(k, JobJournal::jobKey(QStringLiteral("EMAIL_1.SS8"), "a"));
    EXPECT_NE(k, JobJournal::jobKey(QStringLiteral("Email_2.ss8"), "a"));
    EXPECT_NE(k, JobJournal::jobKey(QStringLiteral("Email_1.ss8"), "b"));
    EXPECT_EQ(k.size(), 64);
}

TEST(JobJournal, ActiveRowServesPerRecipientCopies) {
    QTemporaryDir dir;
    JobJournal j;
    ASSERT_TRUE(j.open(dir.path(), "k"));
    EXPECT_FALSE(copyAlreadySent(QStringLiteral("a@example.org")));
    noteCopySent(QStringLiteral("a@example.org")); // no active row: nothing recorded
    setActiveJobRow(&j, 2);
    EXPECT_FALSE(copyAlreadySent(QStringLiteral("a@example.org")));
    noteCopySent(QStringLiteral("a@example.org"));
    EXPECT_TRUE(copyAlreadySent(QStringLiteral("A@example.org")));
    setActiveJobRow(&j, 3);
    EXPECT_FALSE(copyAlreadySent(QStringLiteral("a@example.org")));
    clearActiveJobRow();
    EXPECT_FALSE(copyAlreadySent(QStringLiteral("a@example.org")));
}

TEST(JobJournal, PruneRemovesOnlyOldJournals) {
    QTemporaryDir dir;
    writeFile(dir.filePath(QStringLiteral("old.journal")), "R 1\n");
    writeFile(dir.filePath(QStringLiteral("new.journal")), "R 1\n");
    writeFile(dir.filePath(QStringLiteral("other.txt")), "x");
    QFile old(dir.filePath(QStringLiteral("old.journal")));
    ASSERT_TRUE(old.open(QIODevice::ReadWrite));
    ASSERT_TRUE(old.setFileTime(QDateTime::currentDateTime().addDays(-40), QFileDevice::FileModificationTime));
    old.close();
    JobJournal::pruneOlderThan(dir.path(), QDateTime::currentDateTime().addDays(-30));
    EXPECT_FALSE(QFile::exists(dir.filePath(QStringLiteral("old.journal"))));
    EXPECT_TRUE(QFile::exists(dir.filePath(QStringLiteral("new.journal"))));
    EXPECT_TRUE(QFile::exists(dir.filePath(QStringLiteral("other.txt"))));
}

} // namespace
