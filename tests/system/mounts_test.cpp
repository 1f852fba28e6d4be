// The mount table as the kernel writes it: which mount holds a path, which are remote, and a
// share listed in fstab that is not mounted.
#include "system/mounts.h"

#include <QDir>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

using namespace Posix;

const QByteArray kMountInfo =
    "22 1 8:1 / / rw,relatime shared:1 - ext4 /dev/sda1 rw,errors=remount-ro\n"
    "40 22 0:35 / /mnt/radio rw,relatime shared:9 - cifs //pc/radio rw,vers=3.1.1,actimeo=1\n"
    "41 22 0:36 / /mnt/radio/sub rw - nfs4 srv:/export rw,acregmax=60\n"
    "42 22 0:37 / /tmp/netfs/smb/mnt rw,nosuid,nodev - fuse.smbnetfs smbnetfs rw,user_id=0\n"
    "43 22 0:38 / /srv/with\\040space rw - fuse.sshfs root@h:/x rw\n"
    "44 22 0:39 / /mnt/usb rw - fuseblk /dev/sdb1 rw\n"
    "garbage line\n"
    "45 22 0:40 / /mnt/radio rw - smb3 //pc/other rw\n";

TEST(Mounts, ThePathIsJudgedByTheDeepestMountThatHoldsIt) {
    const QList<MountEntry> mounts = parseMountInfo(kMountInfo);
    ASSERT_EQ(mounts.size(), 7);
    EXPECT_EQ(mounts[1].options, QStringLiteral("rw,relatime,rw,vers=3.1.1,actimeo=1"));
    struct Case {
        const char* path;
        const char* type;
        const char* point;
        bool network;
    } cases[] = {
        {"/home/a", "ext4", "/", false},
        {"/mnt/radiox/jobs", "ext4", "/", false},        // a prefix by whole components only
        {"/mnt/radio/jobs", "smb3", "/mnt/radio", true}, // the later mount is on top
        {"/mnt/radio/sub/", "nfs4", "/mnt/radio/sub", true},
        {"/tmp/netfs/smb/mnt/127.0.0.150/jobs", "fuse.smbnetfs", "/tmp/netfs/smb/mnt", true},
        {"/srv/with space/a", "fuse.sshfs", "/srv/with space", true},
        {"/mnt/usb/jobs", "fuseblk", "/mnt/usb", false},
    };
    for (const Case& c : cases) {
        const MountEntry m = mountHolding(QString::fromUtf8(c.path), mounts);
        EXPECT_EQ(m.type, QString::fromUtf8(c.type)) << c.path;
        EXPECT_EQ(m.mountPoint, QString::fromUtf8(c.point)) << c.path;
        EXPECT_EQ(isNetworkType(m.type), c.network) << c.path;
    }
    EXPECT_TRUE(isNetworkType(QStringLiteral("cifs")));
    EXPECT_TRUE(isNetworkType(QStringLiteral("nfs")));
}

TEST(Mounts, TheAttributeCacheComesFromTheOptionsOrTheClientsDefault) {
    struct Case {
        const char* type;
        const char* options;
        qint64 ms;
    } cases[] = {
        {"ext4", "rw,relatime", 0},
        {"cifs", "rw,vers=3.1.1", 1000},
        {"cifs", "rw,actimeo=30", 30000},
        {"smb3", "rw,acregmax=5", 5000},
        {"nfs4", "rw,vers=4.2", 60000},
        {"nfs", "rw,acregmin=3,acregmax=10,acdirmax=60", 10000},
        {"nfs", "rw,noac", 0},
        {"fuse.sshfs", "rw,user_id=0", UnknownClientCacheMs},
    };
    for (const Case& c : cases)
        EXPECT_EQ(attributeCacheMs({QStringLiteral("/m"),
                                    QString::fromUtf8(c.type),
                                    {},
                                    QString::fromUtf8(c.options)}),
                  c.ms)
            << c.type << " " << c.options;
}

TEST(Mounts, AShareListedInFstabButNotMountedIsNamed) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString share = dir.filePath(QStringLiteral("share"));
    ASSERT_TRUE(QDir().mkpath(share));
    const QStringList fstab =
        parseFstabMountPoints("# comment\nUUID=1 / ext4 defaults 0 1\n/dev/sda2 none swap sw 0 0\n"
                              "//pc/radio " +
                              QFile::encodeName(share) + " cifs credentials=/x,_netdev 0 0\n");
    ASSERT_EQ(fstab, (QStringList{QStringLiteral("/"), share}));
    const QString jobs = share + QStringLiteral("/Postique/Jobs");
    const QList<MountEntry> local = parseMountInfo("22 1 8:1 / / rw - ext4 /dev/sda1 rw\n");
    EXPECT_EQ(unmountedShareAbove(jobs, fstab, local), share);
    EXPECT_EQ(unmountedShareAbove(share, fstab, local), share);
    QList<MountEntry> mounted = local;
    mounted << MountEntry{share, QStringLiteral("cifs"), QStringLiteral("//pc/radio"), {}};
    EXPECT_EQ(unmountedShareAbove(jobs, fstab, mounted), QString());
    // A folder that already exists under the mount point is not the mount point.
    ASSERT_TRUE(QDir().mkpath(share + QStringLiteral("/Postique")));
    EXPECT_EQ(unmountedShareAbove(jobs, fstab, local), QString());
    EXPECT_EQ(unmountedShareAbove(dir.filePath(QStringLiteral("elsewhere/x")), fstab, local),
              QString());
}

} // namespace
