// The station's job loop: every 30 ticks, checks the saved sending settings, lists the job
// files of the job folder and sends each one through the job dispatch its host gives.
#include "station/job_loop.h"

#include "automation/jobs/incidents.h"
#include "automation/jobs/job_claim.h"
#include "automation/jobs/job_context.h"
#include "automation/jobs/job_guard.h"
#include "automation/jobs/job_journal.h"
#include "automation/jobs/job_run.h"
#include "automation/jobs/pending_records.h"
#include "station/operator_queue.h"
#include "system/beside_event_loop.h"
#include "system/clock.h"
#include "system/error_reporting.h"
#include "system/files.h"
#include "system/globals.h"
#include "system/mounts.h"
#include "system/paths.h"
#include "system/supervision.h"
#include "system/untrusted_text.h"
#include "system/winpath.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QSet>
#include <QSysInfo>
#include <QThreadPool>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

namespace station {

using namespace automation;

namespace {

struct PollerState {
    qint16 counter = 0;
    bool initialised = false;
    int cycles = 0;
    int tickMs = 0; // 0: not chosen yet
    qint64 settleMs = StabilityTracker::SettleMs;
    StabilityTracker settling;
    QSet<QString> reported; // "path|size|mtime" of job states already reported as kept
    // Sends of a job (by its native path), whole rows or single copies, that went out while its
    // journal could not be written; kept beside the settings until the journal has them.
    PendingRecords unrecorded;
    QString missingFolder; // the job folder said to be missing, "" while it is there
    // Where the job folder lies this cycle: on a network file system a file still open here
    // cannot be deleted or moved by this client.
    bool networkFolder = false;
    // How long a job of the folder must look unchanged: on a share, longer than the time its
    // client may show an out-of-date size and date.
    qint64 folderSettleMs = StabilityTracker::SettleMs;
    // On a share, the jobs this station took into its own folder there, one station per job.
    JobClaims claims;
};

PollerState& state() {
    static PollerState s;
    return s;
}

// The sends still to record, from the file in the settings folder when the program starts.
PendingRecords& pendingRecords() {
    static QString file;
    const QString native = WinPath::nativePath(Lib_Public::DossierConfigGlobal[0] +
                                               QStringLiteral("VL3_Postique.unrecorded"));
    if (native != file) {
        file = native;
        state().unrecorded.setFile(native);
    }
    return state().unrecorded;
}

// Ticks left before the next cycle when a job was still being written: soon, not 30 s later.
constexpr qint16 SettleRetryTicks = 3;

} // namespace

int pollTickMs() {
    PollerState& s = state();
    if (s.tickMs == 0) {
        bool ok = false;
        const int env = qEnvironmentVariableIntValue("POSTIQUE_POLL_TICK_MS", &ok);
        s.tickMs = ok && env >= 1 && env <= 1000 ? env : 1000;
    }
    return s.tickMs;
}

void setPollTickMs(int ms) {
    state().tickMs = std::clamp(ms, 1, 1000);
}

qint64 pollerNow() {
    return Clock::WallMs();
}

qint64 settleMs() {
    return state().settleMs;
}
void setSettleMs(qint64 ms) {
    state().settleMs = std::max<qint64>(0, ms);
}

void resetPoller() {
    PollerState& s = state();
    s.counter = 0;
    s.initialised = false;
    s.cycles = 0;
    s.settling = StabilityTracker();
    s.reported.clear();
    s.unrecorded.forget();
    s.missingFolder.clear();
    s.networkFolder = false;
    s.folderSettleMs = StabilityTracker::SettleMs;
    s.claims = JobClaims();
}

qint16 pollCounter() {
    return state().counter;
}
bool pollCounterInitialised() {
    return state().initialised;
}
int pollCycles() {
    return state().cycles;
}

bool jobFolderExists(const QString& folder) {
    const QString native = WinPath::nativePath(folder);
    return !native.isEmpty() && QFileInfo(native).isDir();
}

QString missingJobFolderText(const QString& folder) {
    return Untrusted::Clean(
        QStringLiteral("Dossier partagé introuvable, aucun mail automatique ne part : %1")
            .arg(folder));
}

QString unmountedShareText(const QString& folder, const QString& mountPoint) {
    return Untrusted::Clean(
        QStringLiteral("Partage non monté, aucun mail automatique ne part : %1 (point de "
                       "montage %2 vide)")
            .arg(folder, mountPoint));
}

QString unreachableJobFolderText(const QString& folder, const QString& why) {
    return Untrusted::Clean(
        QStringLiteral("Dossier partagé inaccessible (%1), aucun mail automatique ne part : %2")
            .arg(why, folder));
}

// The settings page's line under the job folder `shown` (as the page shows it): the file
// system it lies on, "" for a blank folder.
QString folderFileSystemText(const QString& shown) {
    const QString native = WinPath::nativePath(WinPath::fromScreen(shown));
    if (shown.trimmed().isEmpty() || native.isEmpty())
        return {};
    return Untrusted::Clean(QStringLiteral("Système de fichiers : ") +
                            Posix::describeMount(Posix::mountOf(native)));
}

QString jobFolderBackText(const QString& folder) {
    return Untrusted::Clean(
        QStringLiteral(
            "Dossier partagé de nouveau accessible, les mails automatiques repartent : %1")
            .arg(folder));
}

namespace {

const QString kTimerLabel = QStringLiteral("Frm_Main:TimerSendEmail_Timer");

// What became of one job of the cycle.
enum class JobOutcome { Sent, Kept, Waiting, Unsettled };

// An incident line for a job that stays in the folder, once per state of the file (name,
// size, time), so that an operator sees it without a line at every cycle. True when said now.
bool reportKeptJob(const QString& native, const QString& where, const FileStamp& stamp,
                   const QString& why) {
    const QString key = QStringLiteral("%1|%2|%3").arg(native).arg(stamp.size).arg(stamp.mtimeNs);
    if (state().reported.contains(key))
        return false;
    state().reported.insert(key);
    QString text = QStringLiteral("Fichier de mail non traité, laissé dans le dossier : %1")
                       .arg(QFileInfo(native).fileName());
    if (stamp.size >= 0)
        text += QStringLiteral(" (%1 octets)").arg(stamp.size);
    text += QStringLiteral(" : %1 (dossier %2)").arg(why, where);
    postIncident(Untrusted::Clean(text));
    return true;
}

// Deletes the held job file only when the name still leads to the very file held, unchanged.
// On a network file system the job is let go first: the server refuses to delete a file that
// a client still holds open. `error` says why a delete failed (empty when the job changed).
bool deleteHeldJob(JobLock& lock, const QString& native, const FileStamp& loaded, QString* error) {
    error->clear();
    if (!lock.unchangedSince(loaded))
        return false;
    if (state().networkFolder)
        lock.release();
    if (::unlink(QFile::encodeName(native).constData()) == 0 || errno == ENOENT)
        return true;
    *error = QString::fromLocal8Bit(std::strerror(errno));
    return false;
}

// A sent job that stays in the folder because it could not be deleted or moved: said once
// per state of the file; every later cycle tries again.
void reportStuckJob(const QString& native, const FileStamp& stamp, const QString& why) {
    const QString key =
        QStringLiteral("stuck|%1|%2|%3").arg(native).arg(stamp.size).arg(stamp.mtimeNs);
    if (state().reported.contains(key))
        return;
    state().reported.insert(key);
    postIncident(Untrusted::Clean(QStringLiteral("Fichier de mail envoyé mais resté dans le "
                                                 "dossier partagé : %1 (%2), nouvel essai "
                                                 "à chaque cycle")
                                      .arg(QFileInfo(native).fileName(), why)));
}

// Moves a finished job with failed rows into the dead-letter folder beside a note saying
// which rows failed and why. False (and the job stays) when it could not be moved.
bool moveToDeadLetter(const QString& native, const QString& jobFolder, const QStringList& failures,
                      QString& movedAs, QString* error) {
    const QFileInfo job(native);
    const QString folder = QDir(jobFolder).filePath(DeadLetterFolder);
    if (!QDir().mkpath(folder)) {
        *error = QStringLiteral("cannot create %1").arg(folder);
        return false;
    }
    const QString base = job.completeBaseName();
    const QString suffix = job.suffix().isEmpty() ? QString() : u'.' + job.suffix();
    for (int n = 1; n < 1000; ++n) {
        const QString name =
            n == 1 ? job.fileName() : QStringLiteral("%1 (%2)%3").arg(base).arg(n).arg(suffix);
        const QString target = QDir(folder).filePath(name);
        if (::renameat2(AT_FDCWD, QFile::encodeName(native).constData(), AT_FDCWD,
                        QFile::encodeName(target).constData(), RENAME_NOREPLACE) != 0) {
            if (errno == EEXIST)
                continue;
            *error = QStringLiteral("cannot move %1 to %2: %3")
                         .arg(native, target, QString::fromLocal8Bit(std::strerror(errno)));
            return false;
        }
        movedAs = target;
        syncFolder(folder); // the job's new place is durable before it is told
        QFile note(target + QStringLiteral(".txt"));
        if (note.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
            QString text =
                QStringLiteral(
                    "Postique n'a pas pu envoyer certaines lignes du fichier %1 (%2).\r\n"
                    "Les autres lignes ont été envoyées : avant de redéposer ce fichier "
                    "dans le dossier partagé, corrigez les lignes ci-dessous et retirez les "
                    "autres.\r\n\r\n")
                    .arg(job.fileName(), QDateTime::currentDateTime().toString(
                                             QStringLiteral("yyyy/MM/dd hh:mm:ss")));
            for (const QString& line : failures)
                text += Untrusted::Clean(line) + QStringLiteral("\r\n");
            note.write("\xEF\xBB\xBF" + text.toUtf8());
        }
        return true;
    }
    *error = QStringLiteral("no free name in %1").arg(folder);
    return false;
}

} // namespace

namespace {

// Runs `work` on a pool thread while the window goes on processing its events; returns once
// it is done. `work` must not touch widgets.
template <class Work> void besideTheWindow(Work work) {
    Posix::RunBesideEventLoop(*QThreadPool::globalInstance(), work);
}

} // namespace

// One job: settled, held exclusively, read, dispatched, then deleted when every row went
// out (or moved to the dead-letter folder when some failed for good) and nobody changed it.
static JobOutcome processJob(const QString& listed, const QString& folder, const LoopHost& host,
                             qint16& abandon) {
    PollerState& s = state();
    QString native = listed;
    FileStamp seen;
    if (native.isEmpty() || !stampOf(native, seen))
        return JobOutcome::Kept; // gone meanwhile
    const QString nativeFolder = QFileInfo(native).absolutePath();
    const QString journalFolder = s.networkFolder && !s.claims.journalFolder().isEmpty()
                                      ? s.claims.journalFolder()
                                      : nativeFolder;
    // A job reached through a link must stay in the job folder.
    if (QFileInfo(native).isSymLink() && !resolvesInside(nativeFolder, native)) {
        reportKeptJob(native, folder, seen,
                      QStringLiteral("lien vers un fichier hors du dossier partagé, refusé"));
        return JobOutcome::Kept;
    }
    // A job renamed into place was whole before it came; one this station took is too.
    const bool taken = s.networkFolder && s.claims.isOwn(native);
    if (!taken && !arrivedWhole(native) &&
        !state().settling.isSettled(native, seen, pollerNow(), s.folderSettleMs))
        return JobOutcome::Unsettled;
    bool claimedNow = false;
    if (s.networkFolder && !taken) {
        // Other stations may poll this share: the job is this station's once renamed into its
        // own folder there. A new version of a job another station holds is left to it.
        if (s.claims.heldByAnother(QFileInfo(native).fileName()))
            return JobOutcome::Kept;
        QString error;
        QString claimed;
        switch (s.claims.claim(native, seen, &claimed, &error)) {
        case JobClaims::Claim::Taken:
            state().settling.forget(listed);
            native = claimed;
            claimedNow = true;
            break;
        case JobClaims::Claim::Lost:
            return JobOutcome::Kept;
        case JobClaims::Claim::Failed:
            reportKeptJob(native, folder, seen, error);
            return JobOutcome::Kept;
        }
    }

    JobLock lock;
    QString error;
    switch (lock.acquire(native, &error)) {
    case JobLock::Outcome::Locked:
        break;
    case JobLock::Outcome::Busy: // another copy of the program is sending it
    case JobLock::Outcome::Gone:
        return JobOutcome::Kept;
    case JobLock::Outcome::Failed:
        reportKeptJob(native, folder, seen, error);
        return JobOutcome::Kept;
    }
    const FileStamp loaded = lock.stamp();
    // Written again between the look and the lock? A FUSE client may number a file it has
    // just renamed anew, more than once: the job just taken is the one seen when its size and
    // date are, and it goes in this cycle rather than the next.
    if (claimedNow ? loaded.size != seen.size || loaded.mtimeNs != seen.mtimeNs : !(loaded == seen))
        return JobOutcome::Unsettled;

    // Reading and splitting a large job takes a while: it happens beside the window, which
    // keeps answering meanwhile.
    bool readOk = false;
    JobReadResult read;
    besideTheWindow([&] {
        QByteArray bytes;
        readOk = lock.readAll(bytes, MaxJobBytes, &error);
        if (readOk)
            read = readJobBytes(bytes);
    });
    if (!readOk) {
        reportKeptJob(native, folder, loaded, error);
        return JobOutcome::Kept;
    }
    if (!read.ok) {
        reportKeptJob(native, folder, loaded, QStringLiteral("illisible (%1)").arg(read.error));
        return JobOutcome::Kept;
    }

    const QString fileName = QFileInfo(native).fileName();
    JobIdentity identity;
    identityOfFd(lock.fd(), identity);
    JobJournal journal;
    const JobJournal::State journalState =
        journal.open(journalFolder, fileName, identity, loaded, &error);
    // Without a journal that can be written, nothing of the job goes out: every row would
    // go again at every cycle. Sends that went out while it failed are recorded first.
    bool journalReady = journalState != JobJournal::State::Failed && journal.prepare(&error);
    for (const UnrecordedSend& send : pendingRecords().of(native)) {
        if (!journalReady)
            break;
        journalReady = journal.record(send, &error);
    }
    if (!journalReady) {
        // Said once for as long as the job stays the same, in the trace as in the incidents.
        if (reportKeptJob(native, folder, loaded,
                          JobRun::journalText(fileName, journalFolder, error)))
            Lib_Public::ReportError(kTimerLabel, 75, error);
        return JobOutcome::Kept;
    }
    pendingRecords().remove(native);
    if (journalState == JobJournal::State::Finished) {
        // Every row went out before the program stopped, just short of deleting the job.
        if (deleteHeldJob(lock, native, loaded, &error))
            journal.remove();
        else if (!error.isEmpty())
            reportStuckJob(native, loaded, error);
        state().settling.forget(native);
        return JobOutcome::Sent;
    }
    JobContext job;
    job.journal = journal.isOpen() ? &journal : nullptr;
    job.fileName = fileName;
    // A new version renamed over the job while it is sent is the same job: its journal
    // follows it, so that what went out is not sent again from the new file.
    job.afterRow = [&] {
        JobIdentity now;
        if (job.journal && identityOf(native, now) && !(now == identity))
            job.journal->adopt(now);
        if (s.networkFolder)
            s.claims.beat(pollerNow()); // a long job is no stop of this station
    };
    qint16 result = 0;
    {
        const JobScope scope(job);
        const auto tell = [&host](const QString& name) {
            if (host.tellSending)
                host.tellSending(name);
        };
        tell(fileName);
        Lib_Public::Trap(kTimerLabel, [&] { result = host.sendJob(read.sheet, folder, abandon); });
        tell(QString());
    }
    job.afterRow();
    pendingRecords().add(native, job.unrecorded);

    if (result == 0 || abandon != 0)
        return Lib_Public::QuitterDemande ? JobOutcome::Kept
                                          : JobOutcome::Waiting; // a row waits for later
    // A job rewritten while it was being sent stays for the next cycle, which sends only
    // the rows the journal does not know.
    if (!lock.unchangedSince(loaded))
        return JobOutcome::Kept;
    const QStringList failures = journal.isOpen() ? journal.failures() : job.failures;
    if (!failures.isEmpty()) {
        QString movedAs;
        if (s.networkFolder)
            lock.release(); // a file held open cannot be moved on a share
        // A job this station took on a share goes back to the operators' sight.
        const QString jobFolder = s.networkFolder && s.claims.isOwn(native)
                                      ? s.claims.jobFolder()
                                      : QFileInfo(native).absolutePath();
        if (!moveToDeadLetter(native, jobFolder, failures, movedAs, &error)) {
            Lib_Public::ReportError(kTimerLabel, 75, error);
            reportStuckJob(native, loaded, error);
            return JobOutcome::Kept;
        }
        postIncident(Untrusted::Clean(
            QStringLiteral(
                "%1 déplacé dans le dossier « %2 » : %3 ligne(s) non envoyée(s), voir %4")
                .arg(fileName, DeadLetterFolder)
                .arg(failures.size())
                .arg(QFileInfo(movedAs).fileName() + QStringLiteral(".txt"))));
        journal.remove();
        state().settling.forget(native);
        return JobOutcome::Sent;
    }
    // The journal says "finished" before the job goes, so that a crash in between neither
    // sends the job again nor lets the journal meet a later job.
    // Syncing the journal and deleting a large file take a while: beside the window too.
    bool finished = true;
    bool deleted = false;
    QString deleteError;
    besideTheWindow([&] {
        finished = !journal.isOpen() || journal.markFinished(loaded, &error);
        if (!finished)
            return;
        deleted = deleteHeldJob(lock, native, loaded, &deleteError);
        if (deleted)
            journal.remove();
    });
    if (!finished) {
        Lib_Public::ReportError(kTimerLabel, 75, error);
        return JobOutcome::Kept;
    }
    if (deleted)
        state().settling.forget(native);
    else if (!deleteError.isEmpty())
        reportStuckJob(native, loaded, deleteError);
    return JobOutcome::Sent;
}

void Tick(const SendingSettings& saved, bool blocked, const LoopHost& host) {
    PollerState& s = state();
    if (!Lib_Public::DemarrageTermine || Lib_Public::QuitterDemande)
        return;
    if (blocked) {
        s.counter = TicksPerCycle;
        return;
    }
    if (!s.initialised) {
        s.initialised = true;
        s.counter = TicksPerCycle;
    } else {
        ++s.counter;
    }
    // An operator's queue command is acted on at once, not at the end of the period.
    if (QueueControl::instance().takeCycleRequest())
        s.counter = TicksPerCycle;
    if (s.counter < TicksPerCycle)
        return;
    ++s.cycles;

    qint16 abandon = 0;
    bool unsettled = false;

    // The background sending works with the saved settings, whatever the page holds unsaved.
    if (saved.from.trimmed().isEmpty()) {
        postIncident(QStringLiteral("Adresse Email d'envoi non renseignée"));
    } else if (saved.auth && (saved.user.trimmed().isEmpty() ||
                              // OAuth 2.0 logs in with a token: no password to ask for.
                              (!saved.oauth && saved.password.trimmed().isEmpty()))) {
        postIncident(QStringLiteral("Veuillez renseigner l'utilisateur et/ou le mot de passe"),
                     IncidentKind::Reminder);
    } else {
        const QString folder = Lib_Public::CheckRep(saved.jobFolder);
        // A folder that is not there (a share not mounted, a typing error) is said once when
        // it goes and once when it is back; meanwhile the station reports itself unhealthy.
        // A share that is not mounted leaves its empty mount point on the local disk: that is
        // no job folder. A share that went away answers with an I/O error rather than "no
        // such folder": said as such, once, like a missing folder.
        const QString nativeFolder = WinPath::nativePath(folder);
        const QString unmounted =
            nativeFolder.isEmpty() ? QString() : Posix::unmountedShareAbove(nativeFolder);
        const bool present = unmounted.isEmpty() && jobFolderExists(folder);
        if (!present && s.missingFolder != folder) {
            const int lost = Posix::folderError(nativeFolder);
            postIncident(
                !unmounted.isEmpty() ? unmountedShareText(folder, unmounted)
                : lost == EIO || lost == ENOTCONN || lost == ESTALE
                    ? unreachableJobFolderText(folder, QString::fromLocal8Bit(std::strerror(lost)))
                    : missingJobFolderText(folder));
        } else if (present && !s.missingFolder.isEmpty()) {
            postIncident(jobFolderBackText(s.missingFolder));
        }
        s.missingFolder = present ? QString() : folder;
        Supervision::SetJobFolderMissing(s.missingFolder);
        const Posix::MountEntry mount = Posix::mountOf(nativeFolder);
        s.networkFolder = present && Posix::isNetworkType(mount.type);
        // A share's client may show a size and date out of date for as long as it caches
        // them: a job still being written there would look settled too soon.
        s.folderSettleMs = settleMs() == 0 || !s.networkFolder
                               ? settleMs()
                               : std::max(settleMs(), Posix::attributeCacheMs(mount) + 1000);
        Supervision::SetJobFolderFileSystem(
            QStringLiteral("%1, %2").arg(folder, Posix::describeMount(mount)));
        if (s.networkFolder) {
            const QString settings = WinPath::nativePath(Lib_Public::DossierSettingsProgramme);
            s.claims.setFolder(nativeFolder, stationName(QSysInfo::machineHostName(), settings));
            QStringList said;
            s.claims.startCycle(pollerNow(), mount.type, settings, &said);
            for (const QString& line : said)
                postIncident(Untrusted::Clean(line));
        }
        const QStringList subFolders = present ? QStringList{folder} : QStringList();
        bool leave = false;
        for (const QString& sub : subFolders) {
            if (leave)
                break;
            QStringList listed; // native paths of the job files found, in listing order
            const WinPath::SearchResult found =
                WinPath::findFiles(sub + QStringLiteral("Email_*.ss8"));
            for (const WinPath::FoundEntry& entry : found.entries) {
                const bool plainFile =
                    (entry.attributes &
                     (WinPath::AttrDirectory | WinPath::AttrHidden | WinPath::AttrSystem)) == 0;
                // The listing's own path, never the name as a pattern: a job named
                // "Email_*.ss8" is an ordinary name and reaches that file only.
                if (plainFile && entry.name != QStringLiteral(".") &&
                    entry.name != QStringLiteral("..") && nonEmptyFile(entry.nativePath))
                    listed << entry.nativePath;
                if (Lib_Public::QuitterDemande)
                    break;
            }
            // Jobs this station took earlier on the share come first.
            if (s.networkFolder && sub == subFolders.front())
                listed = s.claims.ownJobs() + listed;
            Supervision::NoteJobsListed(listed);
            if (!found.entries.empty())
                JobJournal::prune(QFileInfo(found.entries.front().nativePath).absolutePath(),
                                  pollerNow());
            for (const QString& native : listed) {
                if (!nonEmptyFile(native)) {
                    Supervision::NoteJobGone(native);
                } else {
                    const JobOutcome outcome = processJob(native, folder, host, abandon);
                    unsettled = unsettled || outcome == JobOutcome::Unsettled;
                    if (outcome == JobOutcome::Sent && !QFileInfo::exists(native))
                        Supervision::NoteJobGone(native);
                    else if (abandon != 0 || outcome == JobOutcome::Waiting)
                        Supervision::NoteJobDeferred(native);
                }
                if (Lib_Public::QuitterDemande || abandon != 0) {
                    leave = true;
                    break;
                }
            }
        }
    }
    // A job still being written is looked at again in a few ticks rather than a whole cycle.
    s.counter = unsettled ? static_cast<qint16>(TicksPerCycle - SettleRetryTicks) : 0;
    if (host.tellNextPoll)
        host.tellNextPoll(Clock::Now().addMSecs(qint64(TicksPerCycle - s.counter) * pollTickMs()));
}

} // namespace station
