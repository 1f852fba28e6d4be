// Which station sends a job when several poll one share. Locks do not cross machines there, so
// a station takes a job by renaming it into a folder of its own on the share: the server lets
// one rename win. A station that stops renewing its heartbeat is taken over by another one,
// jobs and journals together. Also: whether a job came whole, by a rename.
#pragma once

#include "automation/jobs/job_guard.h"

#include <QString>
#include <QStringList>

namespace automation {

// True when the native path was renamed shortly after it was last written, as a writer does
// once the job is whole: its change time is later than its modification time, by less than
// RenameGapMs. Writing in place moves both times together; a writer that stamps its chunks
// with other times (a lagging clock, a copy keeping the source's date) leaves a wide gap and
// waits to settle, as do jobs on share clients that show no change time of their own.
inline constexpr qint64 RenameGapMs = 10'000;
bool arrivedWhole(const QString& nativePath);

// The share's folder holding one folder per station (hidden, never matched by the scan).
inline const QString StationsFolder = QStringLiteral(".postique-stations");

// This installation's name on a share: its host name and a short hash of its settings folder,
// so that two installations of one machine are two stations. Letters, digits, '-' and '_' only.
QString stationName(const QString& hostName, const QString& settingsFolder);

// Whether the native folder `folder`, on a file system of type `type`, can hold journals: a
// file there can be appended to once reopened, locked and flushed. A client known to fail
// every later operation of the mount once a file is opened for appending (smbnetfs) is not
// tried. `why` says what failed.
bool folderHoldsJournals(const QString& folder, const QString& type, QString* why = nullptr);

// Where the journals of the jobs of the native folder `jobFolder` go when its share cannot
// hold them: a folder of the installation's native settings folder named after the job folder.
QString localJournalFolder(const QString& settingsFolder, const QString& jobFolder);

class JobClaims {
public:
    // The heartbeat is rewritten at most this often (more often when the dead time is short).
    static constexpr qint64 HeartbeatMs = 10'000;
    // A station whose heartbeat has not moved for this long is taken for stopped.
    static constexpr qint64 DeadAfterMs = 10LL * 60'000;

    enum class Claim {
        Taken, // the job is this station's now, at the path given
        Lost,  // another station took it (or it went away)
        Failed // the share refused the rename for another reason (see error)
    };

    // The share's native job folder and this station's name. A new folder or name forgets
    // what was seen of the other stations. `deadAfterMs` 0 keeps DeadAfterMs, or
    // $POSTIQUE_STATION_DEAD_MS when set.
    void setFolder(const QString& nativeFolder, const QString& station, qint64 deadAfterMs = 0);
    const QString& jobFolder() const { return folder_; }
    QString ownFolder() const;

    // A poll cycle's start on the share: the heartbeat, the take-over of stopped stations and
    // the choice of where journals go (checked once per folder: this station's folder, else
    // a folder of `settingsFolder`). Lines for the operator, each said once, go to `said`.
    void startCycle(qint64 nowMs, const QString& mountType, const QString& settingsFolder,
                    QStringList* said);
    // Where the journals of this station's jobs go.
    QString journalFolder() const { return journalFolder_; }

    // Makes sure this station's folder exists and renews its heartbeat when a beat is due
    // (`nowMs` from the caller's clock). False with `error` when the share refused.
    bool beat(qint64 nowMs, QString* error = nullptr);

    // Takes the job `nativeJob` of the job folder, `seen` being its stamp as looked at, into
    // this station's folder, with the journal lying beside it. A rename whose answer was lost
    // and came again (NFS answers ENOENT or EEXIST to the retransmission) counts as taken
    // when this station's folder holds a file of that size and date.
    Claim claim(const QString& nativeJob, const FileStamp& seen, QString* taken,
                QString* error = nullptr);

    // True when the folder of another station holds a job of this name: a new version of it
    // is that station's to take, so that its journal keeps what already went out.
    bool heldByAnother(const QString& fileName) const;

    // The jobs lying in this station's folder (taken earlier, or from a stopped station).
    QStringList ownJobs() const;
    // True when `nativePath` lies in this station's folder.
    bool isOwn(const QString& nativePath) const;

    // Takes over every other station whose heartbeat has shown the same state for the dead
    // time, by the caller's clock (a server's clock may lag): its folder is renamed into this
    // station's (one station only wins that rename), then its journals and jobs move in. Also
    // finishes such a move that an earlier run left half done. Returns the stations taken.
    QStringList recoverStopped(qint64 nowMs);

private:
    QString stationsPath() const;
    // Moves the journals, then the jobs, of a taken-over folder into this station's folder.
    void adoptFrom(const QString& takenFolder);

    QString folder_;
    QString station_;
    qint64 deadAfterMs_ = DeadAfterMs;
    qint64 lastBeatMs_ = -1;
    quint64 beats_ = 0;
    StabilityTracker others_;
    QString probedFolder_;
    QString journalFolder_;
    QStringList said_;
};

} // namespace automation
