// Safeguards around one job file: wait until its writer has finished, hold it exclusively
// while it is sent, delete it only if unchanged, and keep its attachment names in its folder.
#pragma once

#include "system/unique_fd.h"

#include <QByteArray>
#include <QHash>
#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <sys/types.h>

namespace automation {

using Posix::UniqueFd;

// What identifies one state of a file on disk.
struct FileStamp {
    dev_t device = 0;
    ino_t inode = 0;
    qint64 size = -1;
    qint64 mtimeNs = 0; // modification time, nanoseconds since the epoch
    friend bool operator==(const FileStamp&, const FileStamp&) = default;
};

// Reads the stamp of a native path (following links). False when it cannot be read.
bool stampOf(const QString& nativePath, FileStamp& stamp);

// True when the native path (links followed) is a regular file of at least one byte. Looks
// at the directory entry only: never opens it, so a FIFO or a device cannot block the caller.
bool nonEmptyFile(const QString& nativePath);

// Decides when a job has been left alone long enough by its writer: its size and
// modification time seen unchanged for a while by this program's own clock. The time stamp's
// age never counts (a file server's clock may lag or run ahead). Times are milliseconds from
// the caller's clock, so tests need not wait.
class StabilityTracker {
public:
    static constexpr qint64 SettleMs = 2000;

    // True when `path` has shown the stamp `stamp` since at least `settleMs` before `nowMs`.
    // Remembers what it saw for the next call; a new stamp starts the wait again.
    bool isSettled(const QString& path, const FileStamp& stamp, qint64 nowMs,
                   qint64 settleMs = SettleMs);
    // Drops what was seen of `path` (the job is gone).
    void forget(const QString& path) { seen_.remove(path); }
    int tracked() const { return static_cast<int>(seen_.size()); }

private:
    struct Seen {
        FileStamp stamp;
        qint64 sinceMs = 0;
    };
    QHash<QString, Seen> seen_;
};

// Exclusive hold on one job file for the length of its processing: an advisory flock that
// every copy of the program takes, so two copies polling the same folder never send the
// same job. Released when the object goes away.
class JobLock {
public:
    enum class Outcome {
        Locked, // held; the path still names the opened file
        Busy,   // another process holds it
        Gone,   // the file vanished or was replaced meanwhile
        Failed  // could not be opened or locked for another reason (see error)
    };

    // Opens `nativePath` for reading and takes the lock without waiting. After taking it,
    // checks that the path still names the same file (another copy may have sent and
    // deleted it meanwhile). `error` is filled for Failed.
    Outcome acquire(const QString& nativePath, QString* error = nullptr);
    bool held() const { return fd_.valid(); }
    // The descriptor of the held file (-1 when none); owned by this object.
    int fd() const { return fd_.get(); }
    void release() { fd_.reset(); }

    // Reads the whole held file from its start, at most `limit` + 1 bytes (so the caller can
    // tell an oversized job). False with `error` on a read failure.
    bool readAll(QByteArray& bytes, qint64 limit, QString* error = nullptr) const;
    // Stamp of the held file (the descriptor, not the path).
    FileStamp stamp() const;
    // True when the path still names the held file with the stamp `loaded` (not rewritten,
    // replaced or removed since it was read).
    bool unchangedSince(const FileStamp& loaded) const;

private:
    QString path_;
    UniqueFd fd_;
};

// Verdict on the attachment name of a job row (column 10).
enum class AttachmentName {
    Blank,  // no attachment
    Inside, // a relative name that stays in the job folder
    Refused // leaves the folder or could name something else (absolute, "..", ";", wildcards)
};

// Checks the text of column 10 without touching the disk: blank after trimming is Blank; a
// drive, root or UNC path, a "." or ".." component, ";" (the attachment list separator),
// wildcards, characters Windows forbids in names, or control characters make it Refused.
AttachmentName checkAttachmentName(const QString& name);

// True when the native file `nativeFile`, if it exists, resolves (links followed) to a path
// inside the native folder `nativeFolder`; a missing file counts as inside.
bool resolvesInside(const QString& nativeFolder, const QString& nativeFile);

// The other jobs of the native folder `nativeFolder` (file names, `ownJob` left out) with a
// row naming the file `nativeFile` in column 10: a file several jobs name is deleted by the
// last of them to send it. Names are compared without regard to case, as Windows does.
QStringList jobsNamingAttachment(const QString& nativeFolder, const QString& nativeFile,
                                 const QString& ownJob);

} // namespace automation
