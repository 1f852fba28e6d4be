// A real SMB share on loopback for tests: a Samba server and a FUSE client of it
// (tests/servers/smb_share.sh), in a temporary folder, stopped and removed at the end.
#pragma once

#include <QString>
#include <QTemporaryDir>

namespace testsupport {

class SmbShare {
public:
    // Starts the server and mounts the share. skipReason() says why it could not be (no
    // /dev/fuse, not root, a package missing), for GTEST_SKIP.
    SmbShare();
    ~SmbShare();
    SmbShare(const SmbShare&) = delete;
    SmbShare& operator=(const SmbShare&) = delete;

    bool ok() const { return skipReason_.isEmpty(); }
    QString skipReason() const { return skipReason_; }
    // The exported folder as the server sees it (where the "other PC" writes).
    QString serverDir() const { return dir_.filePath(QStringLiteral("export")); }
    // The share as this machine sees it, through the FUSE mount.
    QString mountDir() const { return dir_.filePath(QStringLiteral("mnt")); }

    // One more client of the share, at "<folder>/<name>" (a name starting with "mnt"), as
    // another station mounts it; without `canAppend` it has no write cache and a file there
    // cannot be reopened for appending. The mount's path, "" when it failed.
    QString mountAnother(const QString& name, bool canAppend = true);

    bool unmount() { return run(QStringLiteral("umount")); }
    bool mount() { return run(QStringLiteral("mount")); }
    // Stops the client abruptly: the mount stays and answers "not connected".
    bool killClient() { return run(QStringLiteral("kill")); }

private:
    bool run(const QString& command, QString* output = nullptr, const QString& name = {},
             const QStringList& environment = {});

    QTemporaryDir dir_;
    QString address_;
    QString skipReason_;
};

} // namespace testsupport
