// Job safeguards: settling, exclusive flock, change detection and attachment containment.
#include "automation/jobs/job_guard.h"

#include "automation/jobs/job_file.h"
#include "system/atomicfile.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/file.h>
#include <sys/stat.h>

namespace automation {

namespace {

FileStamp fromStat(const struct stat& st) {
    FileStamp s;
    s.device = st.st_dev;
    s.inode = st.st_ino;
    s.size = static_cast<qint64>(st.st_size);
    s.mtimeNs = static_cast<qint64>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
    return s;
}

QString errnoText(const QString& what) {
    return QStringLiteral("%1: %2").arg(what, QString::fromLocal8Bit(std::strerror(errno)));
}

} // namespace

bool stampOf(const QString& nativePath, FileStamp& stamp) {
    struct stat st {};
    if (::stat(QFile::encodeName(nativePath).constData(), &st) != 0)
        return false;
    stamp = fromStat(st);
    return true;
}

bool nonEmptyFile(const QString& nativePath) {
    struct stat st {};
    return !nativePath.isEmpty() && ::stat(QFile::encodeName(nativePath).constData(), &st) == 0 &&
           S_ISREG(st.st_mode) && st.st_size > 0;
}

bool StabilityTracker::isSettled(const QString& path, const FileStamp& stamp, qint64 nowMs,
                                 qint64 settleMs) {
    auto it = seen_.find(path);
    if (it == seen_.end() || !(it->stamp == stamp))
        it = seen_.insert(path, Seen{stamp, nowMs});
    return nowMs - it->sinceMs >= settleMs;
}

JobLock::Outcome JobLock::acquire(const QString& nativePath, QString* error) {
    release();
    path_ = nativePath;
    UniqueFd fd = UniqueFd::open(nativePath, O_RDONLY | O_NOCTTY | O_NONBLOCK);
    if (!fd.valid()) {
        if (errno == ENOENT)
            return Outcome::Gone;
        if (error)
            *error = errnoText(QStringLiteral("cannot open %1").arg(nativePath));
        return Outcome::Failed;
    }
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK)
            return Outcome::Busy;
        if (error)
            *error = errnoText(QStringLiteral("cannot lock %1").arg(nativePath));
        return Outcome::Failed;
    }
    // The lock is ours; make sure the name still leads to the file we hold.
    struct stat held {};
    struct stat named {};
    if (::fstat(fd.get(), &held) != 0 || !S_ISREG(held.st_mode)) {
        if (error)
            *error = QStringLiteral("%1 is not a plain file").arg(nativePath);
        return Outcome::Failed;
    }
    if (::stat(QFile::encodeName(nativePath).constData(), &named) != 0 ||
        named.st_dev != held.st_dev || named.st_ino != held.st_ino)
        return Outcome::Gone;
    fd_ = std::move(fd);
    return Outcome::Locked;
}

bool JobLock::readAll(QByteArray& bytes, qint64 limit, QString* error) const {
    bytes.clear();
    if (!fd_.valid()) {
        if (error)
            *error = QStringLiteral("job not held");
        return false;
    }
    if (::lseek(fd_.get(), 0, SEEK_SET) < 0) {
        if (error)
            *error = errnoText(QStringLiteral("cannot rewind %1").arg(path_));
        return false;
    }
    // Room for the whole file at once: a job of many megabytes is not copied at every growth.
    struct stat held {};
    if (::fstat(fd_.get(), &held) == 0 && held.st_size > 0)
        bytes.reserve(qsizetype(std::min<qint64>(qint64(held.st_size), limit + 1)));
    char buffer[65536];
    while (bytes.size() <= limit) {
        const ssize_t n = ::read(fd_.get(), buffer, sizeof buffer);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n < 0) {
            if (error)
                *error = errnoText(QStringLiteral("cannot read %1").arg(path_));
            return false;
        }
        if (n == 0)
            break;
        bytes.append(buffer, n);
    }
    return true;
}

FileStamp JobLock::stamp() const {
    struct stat st {};
    if (!fd_.valid() || ::fstat(fd_.get(), &st) != 0)
        return {};
    return fromStat(st);
}

bool JobLock::unchangedSince(const FileStamp& loaded) const {
    FileStamp now;
    return fd_.valid() && stampOf(path_, now) && now == loaded && stamp() == loaded;
}

AttachmentName checkAttachmentName(const QString& name) {
    const QString trimmed = name.trimmed();
    if (trimmed.isEmpty())
        return AttachmentName::Blank;
    for (const QChar c : trimmed) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7F || c.category() == QChar::Other_Control)
            return AttachmentName::Refused;
        switch (c.unicode()) {
        case u':': // drive letter or alternate data stream
        case u';': // the attachment list separator
        case u'*':
        case u'?':
        case u'"':
        case u'<':
        case u'>':
        case u'|':
            return AttachmentName::Refused;
        default:
            break;
        }
    }
    if (trimmed.startsWith(u'\\') || trimmed.startsWith(u'/'))
        return AttachmentName::Refused;
    static const QRegularExpression separators(QStringLiteral("[\\\\/]"));
    for (const QString& part : trimmed.split(separators)) {
        const QString p = part.trimmed();
        // Empty parts ("a\\b", "a\") and names made only of dots ("..", "...") are refused.
        if (p.isEmpty() || p.count(u'.') == p.size())
            return AttachmentName::Refused;
    }
    return AttachmentName::Inside;
}

bool resolvesInside(const QString& nativeFolder, const QString& nativeFile) {
    const QFileInfo file(nativeFile);
    if (!file.exists() && !file.isSymLink())
        return true;
    const QString target = file.canonicalFilePath();
    const QString folder = QFileInfo(nativeFolder).canonicalFilePath();
    if (target.isEmpty() || folder.isEmpty()) // a dangling link, or no folder
        return false;
    return target.startsWith(folder + u'/');
}

QStringList jobsNamingAttachment(const QString& nativeFolder, const QString& nativeFile,
                                 const QString& ownJob) {
    const QDir folder(nativeFolder);
    const QString wanted = folder.relativeFilePath(nativeFile).toLower();
    static const QRegularExpression jobName(QStringLiteral("^email_.*\\.ss8$"),
                                            QRegularExpression::CaseInsensitiveOption);
    QStringList naming;
    for (const QString& name : folder.entryList(QDir::Files | QDir::Hidden)) {
        if (!jobName.match(name).hasMatch() || name.compare(ownJob, Qt::CaseInsensitive) == 0)
            continue;
        const std::optional<QByteArray> bytes = AtomicFile::readAll(folder.filePath(name));
        if (!bytes)
            continue;
        const JobReadResult read = readJobBytes(*bytes);
        if (!read.ok || !read.sheet)
            continue;
        for (int row = 1; row <= read.sheet->rowCount(); ++row) {
            if (read.sheet->cell(row, 1).trimmed().isEmpty())
                continue; // a row not in use sends nothing
            QString named = read.sheet->cell(row, 10).trimmed();
            if (checkAttachmentName(named) != AttachmentName::Inside)
                continue;
            named.replace(u'\\', u'/');
            if (named.toLower() == wanted) {
                naming << name;
                break;
            }
        }
    }
    return naming;
}

} // namespace automation
