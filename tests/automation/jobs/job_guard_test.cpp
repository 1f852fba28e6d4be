// Job safeguards: settling, the exclusive lock, change detection, attachment containment,
// and the journal that keeps a retried job from sending anything twice.
#include "automation/jobs/job_guard.h"
#include "automation/jobs/job_journal.h"
#include "automation/jobs/job_run.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
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

TEST(StabilityTracker, OnlyOwnObservationCounts) {
    // Whatever the writer's clock says, a job is read only once this program has seen it
    // unchanged for two seconds: a time stamp an hour old (a lagging file server) is no
    // reason to read a file that is still growing, nor one an hour ahead a reason to wait.
    const qint64 t0 = 1'700'000'000'000;
    const qint64 hourNs = 3'600'000LL * 1000000;
    const FileStamp lagging{1, 2, 100, t0 * 1000000 - hourNs};
    const FileStamp laggingGrown{1, 2, 200, t0 * 1000000 - hourNs};
    const FileStamp ahead{1, 3, 50, t0 * 1000000 + hourNs};
    struct Step {
        const char* what;
        QString path;
        FileStamp stamp;
        qint64 now;
        bool settled;
    };
    StabilityTracker tracker;
    const std::vector<Step> steps = {
        {"first sight, old stamp", "a", lagging, t0, false},
        {"1.9 s later, unchanged", "a", lagging, t0 + 1900, false},
        {"grew, stamp still old", "a", laggingGrown, t0 + 1950, false},
        {"1.9 s after growing", "a", laggingGrown, t0 + 3850, false},
        {"2 s after growing", "a", laggingGrown, t0 + 3950, true},
        {"stamp ahead, first sight", "b", ahead, t0, false},
        {"stamp ahead, 2 s later", "b", ahead, t0 + 2000, true},
    };
    for (const Step& s : steps)
        EXPECT_EQ(tracker.isSettled(s.path, s.stamp, s.now), s.settled) << s.what;
    tracker.forget(QStringLiteral("a"));
    EXPECT_EQ(tracker.tracked(), 1);
    EXPECT_FALSE(tracker.isSettled(QStringLiteral("a"), laggingGrown, t0 + 10'000))
        << "forgotten: seen anew";
    EXPECT_TRUE(tracker.isSettled(QStringLiteral("c"), lagging, t0, 0)) << "no wait asked";
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
    ASSERT_EQ(::rename(QFile::encodeName(other).constData(), QFile::encodeName(path).constData()),
              0);
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
    ASSERT_TRUE(QFile::link(dir.filePath(QStringLiteral("outside.txt")),
                            jobs + QStringLiteral("/link.txt")));
    ASSERT_TRUE(
        QFile::link(jobs + QStringLiteral("/pj/a.pdf"), jobs + QStringLiteral("/inner.pdf")));
    ASSERT_TRUE(
        QFile::link(dir.filePath(QStringLiteral("nothing")), jobs + QStringLiteral("/dangling")));

    EXPECT_TRUE(resolvesInside(jobs, jobs + QStringLiteral("/pj/a.pdf")));
    EXPECT_TRUE(resolvesInside(jobs, jobs + QStringLiteral("/inner.pdf")));
    EXPECT_TRUE(resolvesInside(jobs, jobs + QStringLiteral("/missing.pdf")));
    EXPECT_FALSE(resolvesInside(jobs, jobs + QStringLiteral("/link.txt")));
    EXPECT_FALSE(resolvesInside(jobs, jobs + QStringLiteral("/dangling")));
}

JobIdentity identityFor(const QString& path) {
    JobIdentity id;
    EXPECT_TRUE(identityOf(path, id));
    return id;
}

TEST(JobJournal, CountsIdenticalRowsAndSurvivesReopeningAndTornLines) {
    QTemporaryDir dir;
    const QString job = dir.filePath(QStringLiteral("Email_1.ss8"));
    writeFile(job, "job");
    FileStamp stamp;
    ASSERT_TRUE(stampOf(job, stamp));
    const JobIdentity id = identityFor(job);
    const QByteArray same = JobJournal::rowKey({"1", "", "", "", "a@example.org"});
    const QByteArray other = JobJournal::rowKey({"1", "", "", "", "b@example.org"});
    EXPECT_NE(same, other);
    {
        JobJournal j;
        ASSERT_EQ(j.open(dir.path(), QStringLiteral("Email_1.ss8"), id, stamp),
                  JobJournal::State::Fresh);
        ASSERT_TRUE(j.markRowSent(same, 0, false));
        ASSERT_TRUE(j.markRowSent(same, 1, true));
        ASSERT_TRUE(j.markRowFailed(other, 0, 3, QStringLiteral("550 no such user")));
        ASSERT_TRUE(j.markCopySent(other, 1, QStringLiteral("Bob@Example.org")));
    }
    const QString path = dir.filePath(JobJournal::journalName(QStringLiteral("Email_1.ss8")));
    EXPECT_TRUE(QFileInfo(path).fileName().startsWith(u'.')) << "hidden";
    EXPECT_EQ(JobJournal::jobNameOf(QFileInfo(path).fileName()), QStringLiteral("Email_1.ss8"));
    {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::Append));
        f.write("R " + same); // torn: no line end
    }
    JobJournal j;
    ASSERT_EQ(j.open(dir.path(), QStringLiteral("Email_1.ss8"), id, stamp),
              JobJournal::State::Resumed);
    EXPECT_TRUE(j.rowSent(same, 0) && j.rowSent(same, 1));
    EXPECT_FALSE(j.rowDone(same, 2));
    EXPECT_TRUE(j.rowDone(other, 0));
    EXPECT_FALSE(j.rowSent(other, 0));
    EXPECT_TRUE(j.copySent(other, 1, QStringLiteral("bob@example.org")));
    EXPECT_FALSE(j.copySent(other, 0, QStringLiteral("bob@example.org")));
    EXPECT_EQ(j.failures(), QStringList{QStringLiteral("Ligne 3 : 550 no such user")});
    // The first record after the torn line is a line of its own.
    ASSERT_TRUE(j.markRowSent(same, 2, true));
    JobJournal again;
    ASSERT_EQ(again.open(dir.path(), QStringLiteral("Email_1.ss8"), id, stamp),
              JobJournal::State::Resumed);
    EXPECT_TRUE(again.rowSent(same, 2));
}

TEST(JobJournal, RecordedTextsComeBackWhole) {
    // A reason or an address starting with U+FEFF reads back with it after a reopening.
    QTemporaryDir dir;
    const QString name = QStringLiteral("Email_1.ss8");
    const QString job = dir.filePath(name);
    writeFile(job, "job");
    FileStamp stamp;
    ASSERT_TRUE(stampOf(job, stamp));
    const QByteArray key = JobJournal::rowKey({"1"});
    const QString reason = QStringLiteral("\uFEFF550 refus");
    const QString copy = QStringLiteral("\uFEFFa@example.org");
    {
        JobJournal j;
        ASSERT_EQ(j.open(dir.path(), name, identityFor(job), stamp), JobJournal::State::Fresh);
        ASSERT_TRUE(j.markRowFailed(key, 0, 2, reason));
        ASSERT_TRUE(j.markCopySent(key, 0, copy));
    }
    JobJournal j;
    ASSERT_EQ(j.open(dir.path(), name, identityFor(job), stamp), JobJournal::State::Resumed);
    EXPECT_EQ(j.failures(), QStringList{QStringLiteral("Ligne 2 : ") + reason});
    EXPECT_TRUE(j.copySent(key, 0, copy));
}

TEST(JobJournal, RowKeysAreTheOnesJournalsOnDiskHold) {
    // A journal written by an earlier run must still recognise its rows.
    const struct {
        QStringList cells;
        const char* key;
    } cases[] = {
        {{QStringLiteral("1"), QString(), QStringLiteral("a")},
         "0ab263608d7ad667a68d04f8939707b8f213e362"},
        {{QStringLiteral("\u00e9")}, "3eae9d57bd79c2fa323421e7a265c291b710aca7"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(JobJournal::rowKey(c.cells), QByteArray(c.key))
            << c.cells.join(u'|').toStdString();
}

TEST(JobJournal, BoundToItsJobFile) {
    // The journal of a job never speaks for a later file of the same name, identical or
    // not; a version renamed over the job while it was sent is adopted; a finished job is
    // recognised only in the very state it was finished in.
    QTemporaryDir dir;
    const QString name = QStringLiteral("Email_1.ss8");
    const QString job = dir.filePath(name);
    const QByteArray key = JobJournal::rowKey({"1"});
    writeFile(job, "same content");
    FileStamp stamp;
    ASSERT_TRUE(stampOf(job, stamp));
    {
        JobJournal j;
        ASSERT_EQ(j.open(dir.path(), name, identityFor(job), stamp), JobJournal::State::Fresh);
        ASSERT_TRUE(j.markRowSent(key, 0, true));
        // A new version is renamed over the job while it is being sent.
        writeFile(dir.filePath(QStringLiteral("tmp")), "new version");
        ASSERT_EQ(::rename(QFile::encodeName(dir.filePath(QStringLiteral("tmp"))).constData(),
                           QFile::encodeName(job).constData()),
                  0);
        ASSERT_TRUE(j.adopt(identityFor(job)));
    }
    ASSERT_TRUE(stampOf(job, stamp));
    {
        JobJournal j;
        ASSERT_EQ(j.open(dir.path(), name, identityFor(job), stamp), JobJournal::State::Resumed);
        EXPECT_TRUE(j.rowDone(key, 0));
        ASSERT_TRUE(j.markFinished(stamp));
    }
    {
        JobJournal j;
        EXPECT_EQ(j.open(dir.path(), name, identityFor(job), stamp), JobJournal::State::Finished)
            << "the program stopped between the journal's last word and the deletion";
    }
    // The job is deleted; the same job is dropped again (its journal was left behind).
    writeFile(dir.filePath(QStringLiteral("again")), "same content");
    ASSERT_TRUE(QFile::remove(job));
    ASSERT_TRUE(QFile::rename(dir.filePath(QStringLiteral("again")), job));
    ASSERT_TRUE(stampOf(job, stamp));
    JobJournal j;
    EXPECT_EQ(j.open(dir.path(), name, identityFor(job), stamp), JobJournal::State::Fresh);
    EXPECT_FALSE(j.rowDone(key, 0));
    EXPECT_FALSE(QFile::exists(dir.filePath(JobJournal::journalName(name))))
        << "the old journal is gone";
}

TEST(JobJournal, WaitingJobReplacedByACopyKeepsItsJournal) {
    // A job with one row sent and one waiting is replaced by an identical copy renamed over
    // it between two runs: the journal follows the new file, with what went out and since
    // when the other row waits, and the operator hears of it once.
    QTemporaryDir dir;
    const QString name = QStringLiteral("Email_1.ss8");
    const QString job = dir.filePath(name);
    const QByteArray sent = JobJournal::rowKey({"1"}), waiting = JobJournal::rowKey({"2"});
    writeFile(job, "content");
    FileStamp stamp;
    ASSERT_TRUE(stampOf(job, stamp));
    {
        JobJournal j;
        ASSERT_EQ(j.open(dir.path(), name, identityFor(job), stamp), JobJournal::State::Fresh);
        ASSERT_TRUE(j.markRowSent(sent, 0, true));
        ASSERT_TRUE(j.markDeferred(waiting, 0, {1000, 2000, 1, QStringLiteral("451")}));
    }
    writeFile(dir.filePath(QStringLiteral("tmp")), "content");
    ASSERT_EQ(::rename(QFile::encodeName(dir.filePath(QStringLiteral("tmp"))).constData(),
                       QFile::encodeName(job).constData()),
              0);
    ASSERT_TRUE(stampOf(job, stamp));
    for (const int told : {1, 0}) {
        JobJournal j;
        ASSERT_EQ(j.open(dir.path(), name, identityFor(job), stamp), JobJournal::State::Resumed);
        EXPECT_TRUE(j.rowSent(sent, 0));
        ASSERT_NE(j.deferral(waiting, 0), nullptr);
        EXPECT_EQ(j.deferral(waiting, 0)->firstMs, 1000);
        QStringList incidents;
        JobRun run(&j, name, dir.path(), {}, [&](const QString& t) { incidents << t; });
        EXPECT_EQ(incidents.filter(QStringLiteral("remplacé")).size(), told);
    }
}

TEST(JobRun, IdenticalRowsAreToldApartByRank) {
    // Two identical rows. The first reached one recipient and waits for another beside a
    // second that went out whole; or the first went out and its record was written again
    // later (its flush had failed). After a reopening each row is what it was.
    enum Story { PartlyThenWhole, RecordedTwice };
    for (const Story story : {PartlyThenWhole, RecordedTwice}) {
        SCOPED_TRACE(int(story));
        QTemporaryDir dir;
        const QString name = QStringLiteral("Email_1.ss8");
        writeFile(dir.filePath(name), "job");
        FileStamp stamp;
        ASSERT_TRUE(stampOf(dir.filePath(name), stamp));
        const JobIdentity id = identityFor(dir.filePath(name));
        const RetryPolicy now{0, 0, 3'600'000};
        const auto unit = [](int occurrence) {
            RowUnit u;
            u.row = occurrence + 1;
            u.key = JobJournal::rowKey({"1", "a@x.org; b@x.org"});
            u.occurrence = occurrence;
            return u;
        };
        {
            JobJournal j;
            ASSERT_EQ(j.open(dir.path(), name, id, stamp), JobJournal::State::Fresh);
            JobRun run(&j, name, dir.path(), now, [](const QString&) {});
            RowUnit first = unit(0), second = unit(1);
            ASSERT_EQ(run.begin(first), JobRun::Start::Send);
            if (story == PartlyThenWhole) {
                run.partlySent(first, {QStringLiteral("a@x.org")}, {QStringLiteral("b@x.org")},
                               QStringLiteral("451"));
                ASSERT_EQ(run.begin(second), JobRun::Start::Send);
                run.sent(second);
            } else {
                run.sent(first);
                ASSERT_TRUE(j.record(UnrecordedSend{first.key, 0, {}}));
            }
        }
        JobJournal j;
        ASSERT_EQ(j.open(dir.path(), name, id, stamp), JobJournal::State::Resumed);
        JobRun run(&j, name, dir.path(), now, [](const QString&) {});
        RowUnit first = unit(0), second = unit(1);
        EXPECT_EQ(run.begin(first),
                  story == PartlyThenWhole ? JobRun::Start::Send : JobRun::Start::Done);
        EXPECT_EQ(run.begin(second),
                  story == PartlyThenWhole ? JobRun::Start::Done : JobRun::Start::Send);
        EXPECT_EQ(run.copyAlreadySent(first, QStringLiteral("A@x.org")), story == PartlyThenWhole);
    }
}

TEST(JobJournal, PruneRemovesOrphansAndStaleOnes) {
    QTemporaryDir dir;
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    const QString longName = QStringLiteral("Email_%1.ss8").arg(QString(300, u'x'));
    struct Case {
        QString journal;
        bool jobThere;
        qint64 idleMs;
        bool kept;
    };
    const std::vector<Case> cases = {
        {JobJournal::journalName(QStringLiteral("Email_a.ss8")), true, JobJournal::StaleAfterMs * 2,
         true},
        {JobJournal::journalName(QStringLiteral("Email_b.ss8")), false,
         JobJournal::OrphanGraceMs + 1000, false},
        {JobJournal::journalName(QStringLiteral("Email_c.ss8")), false, 1000, true},
        {JobJournal::journalName(longName), false, JobJournal::StaleAfterMs - 60'000, true},
        {JobJournal::journalName(longName + "2"), false, JobJournal::StaleAfterMs + 60'000, false},
        {QStringLiteral("Email_d.ss8"), false, JobJournal::StaleAfterMs * 2, true},
    };
    for (const Case& c : cases) {
        const QString path = dir.filePath(c.journal);
        writeFile(path, "POSTIQUE-JOURNAL 1\n");
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::ReadWrite));
        ASSERT_TRUE(f.setFileTime(QDateTime::fromMSecsSinceEpoch(now - c.idleMs),
                                  QFileDevice::FileModificationTime));
        const QString job = JobJournal::jobNameOf(c.journal);
        if (c.jobThere)
            writeFile(dir.filePath(job), "job");
    }
    JobJournal::prune(dir.path(), now);
    for (const Case& c : cases)
        EXPECT_EQ(QFile::exists(dir.filePath(c.journal)), c.kept)
            << c.journal.left(40).toStdString();
}

} // namespace
