// Which file system a folder lies on, and whether a share that should hold it is mounted:
// read from the kernel's mount table (/proc/self/mountinfo) and /etc/fstab.
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

namespace Posix {

// One line of the mount table.
struct MountEntry {
    QString mountPoint; // native path, escapes undone
    QString type;       // "ext4", "cifs", "fuse.rclone" ...
    QString source;     // "//srv/share", "srv:/export", "smbnetfs" ...
    QString options;    // the mount's options then the file system's own, comma-separated
    bool valid() const { return !mountPoint.isEmpty(); }
};

// Parses the text of /proc/PID/mountinfo. Malformed lines are skipped.
QList<MountEntry> parseMountInfo(const QByteArray& text);
// Mount points listed in the text of an fstab (comments, swap and "none" skipped).
QStringList parseFstabMountPoints(const QByteArray& text);

// The mount that holds the native absolute path `nativePath` (the longest mount point that
// is a prefix of it, by whole components); an invalid entry when none is.
MountEntry mountHolding(const QString& nativePath, const QList<MountEntry>& mounts);

// True for the file systems whose files live on another machine: the kernel's SMB and NFS
// clients and every FUSE client ("fuse.*", which is how userspace SMB, NFS and SSH clients
// show).
bool isNetworkType(const QString& type);

// How long this client may show a file's size and time out of date, in milliseconds: the
// attribute cache from the mount's options ("actimeo", "acregmax", "noac"), else the client's
// own default (1 s for the kernel's SMB client, 60 s for NFS), UnknownClientCacheMs for a
// FUSE client (its caches do not show in the mount table), 0 for a local file system.
inline constexpr qint64 UnknownClientCacheMs = 20'000;
qint64 attributeCacheMs(const MountEntry& mount);

// The mount holding `nativePath` as seen by this process now: the path is made canonical as
// far as it exists (links followed), so a folder reached through a drive link is judged by
// where it really is.
MountEntry mountOf(const QString& nativePath);

// The errno of a stat() of `nativePath` (0 when it answers): ENOENT for a missing folder,
// EIO, ENOTCONN or ESTALE for a share that went away.
int folderError(const QString& nativePath);

// A short text for an operator: "fuse.rclone (réseau) sur /mnt/share", "ext4 sur /".
QString describeMount(const MountEntry& mount);

// When the nearest existing folder above `nativePath` (or the path itself) is a mount point
// listed in the fstab text `fstab` that the mount table `mounts` does not hold, returns that
// mount point: the share meant to hold the path is not mounted, and a folder created there
// would land on the local disk. Empty otherwise.
QString unmountedShareAbove(const QString& nativePath, const QStringList& fstabMountPoints,
                            const QList<MountEntry>& mounts);
// The same with this system's /etc/fstab and this process's mount table.
QString unmountedShareAbove(const QString& nativePath);

// The fstab read by unmountedShareAbove(path); tests point it at a file of their own
// (empty: /etc/fstab again).
void setFstabPath(const QString& path);

} // namespace Posix
