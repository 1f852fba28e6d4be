// The mount table and fstab, read as text so that tests can hand in their own.
#include "system/mounts.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <sys/stat.h>

namespace Posix {

namespace {

QString& fstabPath() {
    static QString path;
    return path;
}

// Undoes the octal escapes ("\040" for a space) of the mount table and fstab.
QString unescape(const QByteArray& field) {
    QByteArray out;
    out.reserve(field.size());
    for (qsizetype i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size()) {
            bool ok = false;
            const int value = field.mid(i + 1, 3).toInt(&ok, 8);
            if (ok) {
                out += char(value);
                i += 3;
                continue;
            }
        }
        out += field[i];
    }
    return QFile::decodeName(out);
}

QByteArray readSmall(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.read(qint64{4} * 1024 * 1024);
}

// True when `path` is `mountPoint` or lies below it.
bool under(const QString& path, const QString& mountPoint) {
    if (mountPoint == u"/")
        return path.startsWith(u'/');
    return path == mountPoint || path.startsWith(mountPoint + u'/');
}

// The path made canonical as far as it exists; the rest appended as written.
QString canonicalAsFarAsItExists(const QString& nativePath) {
    QString head = QDir::cleanPath(nativePath);
    QString tail;
    while (!head.isEmpty()) {
        const QString real = QFileInfo(head).canonicalFilePath();
        if (!real.isEmpty())
            return QDir::cleanPath(real + tail);
        const qsizetype cut = head.lastIndexOf(u'/');
        if (cut < 0)
            break;
        tail = head.mid(cut) + tail;
        head = cut == 0 ? QStringLiteral("/") : head.left(cut);
        if (head == u"/" && QFileInfo(head).canonicalFilePath().isEmpty())
            break;
    }
    return QDir::cleanPath(nativePath);
}

QList<MountEntry> currentMounts() {
    return parseMountInfo(readSmall(QStringLiteral("/proc/self/mountinfo")));
}

} // namespace

QList<MountEntry> parseMountInfo(const QByteArray& text) {
    QList<MountEntry> mounts;
    for (const QByteArray& line : text.split('\n')) {
        const QList<QByteArray> f = line.simplified().split(' ');
        // id parent major:minor root mountpoint options [optional...] - type source super
        const qsizetype dash = f.indexOf("-");
        if (dash < 6 || dash + 2 >= f.size())
            continue;
        MountEntry m;
        m.mountPoint = unescape(f[4]);
        m.type = QString::fromLatin1(f[dash + 1]);
        m.source = unescape(f[dash + 2]);
        m.options = QString::fromLatin1(f[5]);
        if (dash + 3 < f.size())
            m.options += u',' + QString::fromLatin1(f[dash + 3]);
        if (m.mountPoint.startsWith(u'/'))
            mounts << m;
    }
    return mounts;
}

QStringList parseFstabMountPoints(const QByteArray& text) {
    QStringList points;
    for (const QByteArray& line : text.split('\n')) {
        const QByteArray t = line.simplified();
        if (t.isEmpty() || t.startsWith('#'))
            continue;
        const QList<QByteArray> f = t.split(' ');
        if (f.size() < 3 || f[2] == "swap")
            continue;
        const QString point = unescape(f[1]);
        if (point.startsWith(u'/'))
            points << QDir::cleanPath(point);
    }
    return points;
}

MountEntry mountHolding(const QString& nativePath, const QList<MountEntry>& mounts) {
    const QString path = QDir::cleanPath(nativePath);
    MountEntry best;
    for (const MountEntry& m : mounts) {
        // The later of two mounts on one point is the one on top.
        if (under(path, m.mountPoint) && m.mountPoint.size() >= best.mountPoint.size())
            best = m;
    }
    return best;
}

bool isNetworkType(const QString& type) {
    static const QStringList kernel{QStringLiteral("cifs"), QStringLiteral("smb3"),
                                    QStringLiteral("smbfs"), QStringLiteral("nfs"),
                                    QStringLiteral("nfs4")};
    return kernel.contains(type) || type.startsWith(QLatin1String("fuse."));
}

qint64 attributeCacheMs(const MountEntry& mount) {
    if (!isNetworkType(mount.type))
        return 0;
    qint64 seconds = -1;
    for (const QString& option : mount.options.split(u',')) {
        const QString key = option.section(u'=', 0, 0);
        bool ok = false;
        const qint64 value = option.section(u'=', 1).toLongLong(&ok);
        if (key == u"noac")
            return 0;
        // The longest a regular file's attributes are kept wins; "actimeo" sets them all.
        if (ok && value >= 0 && (key == u"actimeo" || key == u"acregmax"))
            seconds = std::max(seconds, value);
    }
    if (seconds >= 0)
        return seconds * 1000;
    if (mount.type.startsWith(QLatin1String("fuse.")))
        return UnknownClientCacheMs;
    return mount.type.startsWith(QLatin1String("nfs")) ? 60'000 : 1'000;
}

MountEntry mountOf(const QString& nativePath) {
    return mountHolding(canonicalAsFarAsItExists(nativePath), currentMounts());
}

int folderError(const QString& nativePath) {
    struct stat st {};
    if (nativePath.isEmpty())
        return ENOENT;
    return ::stat(QFile::encodeName(nativePath).constData(), &st) == 0 ? 0 : errno;
}

QString describeMount(const MountEntry& mount) {
    if (!mount.valid())
        return QStringLiteral("inconnu");
    return QStringLiteral("%1%2 sur %3")
        .arg(mount.type, isNetworkType(mount.type) ? QStringLiteral(" (réseau)") : QString(),
             mount.mountPoint);
}

QString unmountedShareAbove(const QString& nativePath, const QStringList& fstabMountPoints,
                            const QList<MountEntry>& mounts) {
    // The nearest folder that exists, the path itself included.
    QString existing = QDir::cleanPath(nativePath);
    while (!QFileInfo(existing).isDir()) {
        const qsizetype cut = existing.lastIndexOf(u'/');
        if (cut <= 0)
            return {};
        existing = existing.left(cut);
    }
    const QString real = QFileInfo(existing).canonicalFilePath();
    for (const QString& listed : fstabMountPoints) {
        const QString listedReal = QFileInfo(listed).canonicalFilePath();
        if (listed != existing && listed != real && listedReal != real)
            continue;
        for (const MountEntry& m : mounts) {
            if (m.mountPoint == listed || m.mountPoint == real)
                return {};
        }
        return listed;
    }
    return {};
}

QString unmountedShareAbove(const QString& nativePath) {
    const QString fstab = fstabPath().isEmpty() ? QStringLiteral("/etc/fstab") : fstabPath();
    return unmountedShareAbove(nativePath, parseFstabMountPoints(readSmall(fstab)),
                               currentMounts());
}

void setFstabPath(const QString& path) {
    fstabPath() = path;
}

} // namespace Posix
