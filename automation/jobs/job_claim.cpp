// Jobs that came whole by a rename; jobs taken by a rename into the station's own folder of
// the share, heartbeats, and the take-over of a stopped station.
#include "automation/jobs/job_claim.h"

#include "automation/jobs/job_journal.h"
#include "system/unique_fd.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace automation {

namespace {

const QString kHeartbeat = QStringLiteral(".heartbeat");
const QString kTakenPrefix = QStringLiteral(".taken-");

QByteArray encoded(const QString& path) {
    return QFile::encodeName(path);
}

bool renamePath(const QString& from, const QString& to) {
    return ::rename(encoded(from).constData(), encoded(to).constData()) == 0;
}

bool exists(const QString& path) {
    struct stat st {};
    return ::lstat(encoded(path).constData(), &st) == 0;
}

QStringList jobsIn(const QString& folder) {
    return QDir(folder).entryList({QStringLiteral("Email_*.ss8")}, QDir::Files | QDir::Hidden,
                                  QDir::Name | QDir::IgnoreCase);
}

QString errnoText(const QString& what) {
    return QStringLiteral("%1 : %2").arg(what, QString::fromLocal8Bit(std::strerror(errno)));
}

} // namespace

bool arrivedWhole(const QString& nativePath) {
    struct stat st {};
    if (::stat(QFile::encodeName(nativePath).constData(), &st) != 0)
        return false;
    const qint64 gapNs =
        (static_cast<qint64>(st.st_ctim.tv_sec) - static_cast<qint64>(st.st_mtim.tv_sec)) *
            1'000'000'000LL +
        (static_cast<qint64>(st.st_ctim.tv_nsec) - static_cast<qint64>(st.st_mtim.tv_nsec));
    return gapNs > 0 && gapNs < RenameGapMs * 1'000'000LL;
}

QString stationName(const QString& hostName, const QString& settingsFolder) {
    QString host;
    for (const QChar c : hostName.left(40))
        host += c.isLetterOrNumber() && c.unicode() < 0x80 ? c : u'_';
    if (host.isEmpty())
        host = QStringLiteral("poste");
    const QByteArray hash =
        QCryptographicHash::hash(settingsFolder.toLower().toUtf8(), QCryptographicHash::Sha1);
    return host + u'-' + QString::fromLatin1(hash.toHex().left(8));
}

bool folderHoldsJournals(const QString& folder, const QString& type, QString* why) {
    if (type == u"fuse.smbnetfs") {
        if (why)
            *why = QStringLiteral("le client %1 ne sait pas ajouter à un fichier").arg(type);
        return false;
    }
    const QString probe = folder + QStringLiteral("/.postique-probe");
    const QByteArray path = encoded(probe);
    bool ok = false;
    QString failed;
    {
        UniqueFd created = UniqueFd::open(probe, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW, 0644);
        ok = created.valid() && ::write(created.get(), "a\n", 2) == 2;
        failed = ok ? QString() : errnoText(QStringLiteral("création"));
    }
    if (ok) {
        UniqueFd again = UniqueFd::open(probe, O_WRONLY | O_APPEND | O_NOFOLLOW);
        ok = again.valid() && ::write(again.get(), "b\n", 2) == 2;
        failed = ok ? QString() : errnoText(QStringLiteral("ajout"));
        if (ok && ::flock(again.get(), LOCK_EX | LOCK_NB) != 0) {
            ok = false;
            failed = errnoText(QStringLiteral("verrou"));
        }
        if (ok && ::fsync(again.get()) != 0) {
            ok = false;
            failed = errnoText(QStringLiteral("écriture sur disque"));
        }
    }
    if (ok) {
        QFile back(probe);
        ok = back.open(QIODevice::ReadOnly) && back.readAll() == "a\nb\n";
        failed = ok ? QString() : QStringLiteral("ajout perdu");
    }
    ::unlink(path.constData());
    if (!ok && why)
        *why = failed;
    return ok;
}

QString localJournalFolder(const QString& settingsFolder, const QString& jobFolder) {
    const QByteArray hash =
        QCryptographicHash::hash(QDir::cleanPath(jobFolder).toUtf8(), QCryptographicHash::Sha1);
    return QDir::cleanPath(settingsFolder) + QStringLiteral("/Journaux/") +
           QString::fromLatin1(hash.toHex().left(16));
}

void JobClaims::setFolder(const QString& nativeFolder, const QString& station, qint64 deadAfterMs) {
    const QString folder = QDir::cleanPath(nativeFolder);
    if (folder != folder_ || station != station_) {
        folder_ = folder;
        station_ = station;
        lastBeatMs_ = -1;
        others_ = StabilityTracker();
    }
    bool ok = false;
    const qint64 fromEnvironment = qEnvironmentVariable("POSTIQUE_STATION_DEAD_MS").toLongLong(&ok);
    deadAfterMs_ = deadAfterMs > 0             ? deadAfterMs
                   : ok && fromEnvironment > 0 ? fromEnvironment
                                               : DeadAfterMs;
}

QString JobClaims::stationsPath() const {
    return folder_ + u'/' + StationsFolder;
}

QString JobClaims::ownFolder() const {
    return stationsPath() + u'/' + station_;
}

void JobClaims::startCycle(qint64 nowMs, const QString& mountType, const QString& settingsFolder,
                           QStringList* said) {
    const auto sayOnce = [&](const QString& line) {
        if (!said_.contains(line)) {
            said_ << line;
            *said << line;
        }
    };
    QString error;
    if (!beat(nowMs, &error)) {
        sayOnce(QStringLiteral("Ce poste ne peut pas se signaler sur le partage, il n'y prend "
                               "aucun fichier de mail : %1")
                    .arg(error));
        return;
    }
    if (probedFolder_ != ownFolder()) {
        probedFolder_ = ownFolder();
        QString why;
        journalFolder_ = ownFolder();
        if (!folderHoldsJournals(ownFolder(), mountType, &why)) {
            journalFolder_ = localJournalFolder(settingsFolder, ownFolder());
            QDir().mkpath(journalFolder_);
            sayOnce(QStringLiteral("Le partage ne peut pas tenir le journal des envois (%1) : "
                                   "il est tenu dans %2")
                        .arg(why, journalFolder_));
        }
    }
    for (const QString& other : recoverStopped(nowMs))
        sayOnce(QStringLiteral("Fichiers de mail repris du poste %1, qui ne se signale plus "
                               "sur le partage depuis %2 s")
                    .arg(other)
                    .arg(deadAfterMs_ / 1000));
}

bool JobClaims::beat(qint64 nowMs, QString* error) {
    // A few beats within the dead time, so that a slow cycle is never taken for a stop.
    const qint64 every = std::min(HeartbeatMs, deadAfterMs_ / 4);
    if (lastBeatMs_ >= 0 && nowMs - lastBeatMs_ < every && exists(ownFolder()))
        return true;
    // mkdir answers EEXIST to a retransmitted request that did create the folder.
    for (const QString& path : {stationsPath(), ownFolder()}) {
        if (::mkdir(encoded(path).constData(), 0777) != 0 && errno != EEXIST) {
            if (error)
                *error = errnoText(QStringLiteral("impossible de créer %1").arg(path));
            return false;
        }
    }
    // Rewritten whole rather than appended to: some share clients cannot append.
    QFile heartbeat(ownFolder() + u'/' + kHeartbeat);
    const QByteArray text = QByteArray::number(++beats_) + ' ' + QByteArray::number(nowMs) + '\n';
    if (!heartbeat.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        heartbeat.write(text) != text.size()) {
        if (error)
            *error = QStringLiteral("impossible d'écrire %1 : %2")
                         .arg(heartbeat.fileName(), heartbeat.errorString());
        return false;
    }
    heartbeat.close();
    lastBeatMs_ = nowMs;
    JobJournal::prune(ownFolder(), nowMs);
    return true;
}

JobClaims::Claim JobClaims::claim(const QString& nativeJob, const FileStamp& seen, QString* taken,
                                  QString* error) {
    const QString name = QFileInfo(nativeJob).fileName();
    const QString target = ownFolder() + u'/' + name;
    if (!renamePath(nativeJob, target)) {
        const int why = errno;
        FileStamp there;
        // The answer to a rename that did happen may be lost; its retransmission then finds
        // no source (ENOENT) or, with some servers, the target (EEXIST).
        if ((why == ENOENT || why == EEXIST) && stampOf(target, there) && there.size == seen.size &&
            there.mtimeNs == seen.mtimeNs) {
            *taken = target;
        } else if (why == ENOENT || why == ESTALE) {
            return Claim::Lost;
        } else {
            errno = why;
            if (error)
                *error = errnoText(QStringLiteral("impossible de prendre %1").arg(name));
            return Claim::Failed;
        }
    }
    *taken = target;
    // The journal of a job that an earlier run left waiting follows it, unless this station
    // already keeps one for that name (the job it replaces).
    const QString journal = JobJournal::journalName(name);
    const QString besideJob = folder_ + u'/' + journal;
    if (exists(besideJob) && !exists(ownFolder() + u'/' + journal))
        renamePath(besideJob, ownFolder() + u'/' + journal);
    return Claim::Taken;
}

bool JobClaims::heldByAnother(const QString& fileName) const {
    const QDir stations(stationsPath());
    for (const QString& other :
         stations.entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden)) {
        if (other != station_ && exists(stations.filePath(other) + u'/' + fileName))
            return true;
    }
    return false;
}

QStringList JobClaims::ownJobs() const {
    QStringList paths;
    for (const QString& name : jobsIn(ownFolder()))
        paths << ownFolder() + u'/' + name;
    return paths;
}

bool JobClaims::isOwn(const QString& nativePath) const {
    return !station_.isEmpty() && QFileInfo(nativePath).absolutePath() == ownFolder();
}

QStringList JobClaims::recoverStopped(qint64 nowMs) {
    QStringList taken;
    const QDir stations(stationsPath());
    for (const QString& other :
         stations.entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden)) {
        if (other == station_)
            continue;
        const QString folder = stations.filePath(other);
        FileStamp heartbeat; // no heartbeat file: a state that never changes either
        stampOf(folder + u'/' + kHeartbeat, heartbeat);
        if (!others_.isSettled(folder, heartbeat, nowMs, deadAfterMs_))
            continue;
        others_.forget(folder);
        // One station wins this rename; for the others the folder is gone.
        if (!renamePath(folder, ownFolder() + u'/' + kTakenPrefix + other))
            continue;
        taken << other;
    }
    for (const QString& left :
         QDir(ownFolder()).entryList({kTakenPrefix + u'*'}, QDir::Dirs | QDir::Hidden))
        adoptFrom(ownFolder() + u'/' + left);
    return taken;
}

void JobClaims::adoptFrom(const QString& takenFolder) {
    const QDir from(takenFolder);
    bool left = false;
    for (const QString& job : jobsIn(takenFolder)) {
        const QString target = ownFolder() + u'/' + job;
        // A job of that name of this station's own goes first; this one waits its turn.
        if (exists(target)) {
            left = true;
            continue;
        }
        // The journal first: a job never lies in this station's folder without it.
        const QString journal = JobJournal::journalName(job);
        if (exists(from.filePath(journal)))
            renamePath(from.filePath(journal), ownFolder() + u'/' + journal);
        left = !renamePath(from.filePath(job), target) || left;
    }
    if (left)
        return;
    for (const QString& rest : from.entryList(QDir::Files | QDir::Hidden | QDir::System))
        QFile::remove(from.filePath(rest));
    ::rmdir(encoded(takenFolder).constData());
}

} // namespace automation
