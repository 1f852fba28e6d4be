// Temporary file + rename replacement, and locked read-modify-write.
#include "system/atomicfile.h"

#include "system/unique_fd.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace AtomicFile {

namespace {

std::function<void(Stage)>& stageHook() {
    static std::function<void(Stage)> hook;
    return hook;
}

void reachStage(Stage s) {
    if (stageHook())
        stageHook()(s);
}

using Posix::UniqueFd;

void setError(QString* error, const QString& text) {
    if (error)
        *error = text;
}

QString errnoText(const QString& what, const QString& path) {
    return QStringLiteral("%1 %2: %3")
        .arg(what, path, QString::fromLocal8Bit(std::strerror(errno)));
}

bool writeAllFd(int fd, const char* data, qsizetype size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, static_cast<size_t>(size));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += n;
        size -= n;
    }
    return true;
}

std::optional<QByteArray> readFd(int fd) {
    QByteArray out;
    char buffer[65536];
    off_t pos = 0;
    for (;;) {
        const ssize_t n = ::pread(fd, buffer, sizeof buffer, pos);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return std::nullopt;
        }
        if (n == 0)
            break;
        out.append(buffer, n);
        pos += n;
    }
    return out;
}

unsigned currentUmask() {
    const mode_t old = ::umask(022);
    ::umask(old);
    return old;
}

void syncFolder(const QByteArray& folder) {
    const UniqueFd dir = UniqueFd(::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() >= 0)
        ::fsync(dir.get());
}

// Temporaries of replacements that died before their rename. Only called under the lock,
// when no other locked writer of this file can be half-way.
void removeStaleTemporaries(const QString& native) {
    const QFileInfo info(native);
    const QString pattern = u'.' + info.fileName() + QStringLiteral(".??????");
    QDir folder = info.absoluteDir();
    const QStringList names =
        folder.entryList({pattern}, QDir::Files | QDir::Hidden | QDir::System);
    for (const QString& name : names)
        folder.remove(name);
}

// The file a chain of symbolic links ends at: an administrator who links a settings file
// elsewhere keeps the link when the file is replaced.
QString finalTarget(const QString& native) {
    QString path = native;
    for (int hop = 0; hop < 40; ++hop) {
        const QFileInfo info(path);
        if (!info.isSymLink())
            break;
        path = info.symLinkTarget();
    }
    return path;
}

} // namespace

void setStageHookForTesting(std::function<void(Stage)> hook) {
    stageHook() = std::move(hook);
}

bool replaceWith(const QString& linkOrFile, const std::function<bool(int, QString&)>& writer,
                 QString* error, std::optional<unsigned> modeForNew) {
    const QString native = finalTarget(linkOrFile);
    const QFileInfo info(native);
    const QByteArray target = QFile::encodeName(native);
    const QByteArray folder = QFile::encodeName(info.absolutePath());
    QByteArray tmpl = QFile::encodeName(info.absolutePath() + QStringLiteral("/.") +
                                        info.fileName() + QStringLiteral(".XXXXXX"));
    const UniqueFd fd = UniqueFd(::mkostemp(tmpl.data(), O_CLOEXEC));
    if (fd.get() < 0) {
        setError(error, errnoText(QStringLiteral("cannot create a temporary file beside"), native));
        return false;
    }
    bool ok = false;
    QString failure;
    struct stat old {};
    const bool existed = ::stat(target.constData(), &old) == 0;
    if (existed && !S_ISREG(old.st_mode)) {
        failure = QStringLiteral("%1 is not a plain file").arg(native);
    } else {
        QString writeError;
        if (!writer(fd.get(), writeError)) {
            failure = writeError.isEmpty() ? errnoText(QStringLiteral("cannot write"), native)
                                           : writeError;
        } else if (::fsync(fd.get()) != 0) {
            failure = errnoText(QStringLiteral("cannot flush"), native);
        } else {
            if (existed) {
                ::fchmod(fd.get(), old.st_mode & 07777);
                if (::fchown(fd.get(), old.st_uid, old.st_gid) != 0) {
                    // Another owner cannot be given away by an ordinary user; the file
                    // then belongs to the writer, as with any new file.
                }
                char attrib[256];
                const ssize_t n =
                    ::getxattr(target.constData(), "user.DOSATTRIB", attrib, sizeof attrib);
                if (n > 0)
                    ::fsetxattr(fd.get(), "user.DOSATTRIB", attrib, static_cast<size_t>(n), 0);
            } else {
                ::fchmod(fd.get(), modeForNew.value_or(0666u & ~currentUmask()));
            }
            reachStage(Stage::BeforeRename);
            if (::rename(tmpl.constData(), target.constData()) != 0)
                failure = errnoText(QStringLiteral("cannot replace"), native);
            else
                ok = true;
        }
    }
    if (!ok) {
        ::unlink(tmpl.constData());
        setError(error, failure);
        return false;
    }
    syncFolder(folder);
    return true;
}

bool replace(const QString& native, const QByteArray& data, QString* error,
             std::optional<unsigned> modeForNew) {
    return replaceWith(
        native,
        [&data](int fd, QString&) {
            const qsizetype half = data.size() / 2;
            if (!writeAllFd(fd, data.constData(), half))
                return false;
            reachStage(Stage::HalfWritten);
            return writeAllFd(fd, data.constData() + half, data.size() - half);
        },
        error, modeForNew);
}

std::optional<QByteArray> readAll(const QString& native) {
    // Opening never blocks (a FIFO in place of the file answers at once) and only a plain
    // file of a sane size is read.
    const UniqueFd fd = UniqueFd(::open(QFile::encodeName(native).constData(),
                                        O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (fd.get() < 0)
        return std::nullopt;
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0)
        return std::nullopt;
    if (!S_ISREG(st.st_mode) || st.st_size > MaxReadBytes) {
        if (!S_ISDIR(st.st_mode))
            std::fprintf(
                stderr, "Postique: %s ignored: %s\n", QFile::encodeName(native).constData(),
                S_ISREG(st.st_mode) ? "too large" : "not a plain file (FIFO, device or socket)");
        return std::nullopt;
    }
    return readFd(fd.get());
}

bool update(const QString& linkOrFile, const Transform& transform, QString* error) {
    const QString native = finalTarget(linkOrFile);
    const QByteArray path = QFile::encodeName(native);
    for (int attempt = 0; attempt < 1000; ++attempt) {
        bool created = false;
        UniqueFd fd =
            UniqueFd(::open(path.constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
        if (fd.get() < 0 && errno == ENOENT) {
            fd = UniqueFd(::open(path.constData(),
                                 O_RDONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NONBLOCK, 0666));
            created = fd.get() >= 0;
            if (fd.get() < 0 && errno == EEXIST)
                continue;
        }
        if (fd.get() < 0) {
            setError(error, errnoText(QStringLiteral("cannot open"), native));
            return false;
        }
        struct stat opened {};
        if (::fstat(fd.get(), &opened) != 0 || !S_ISREG(opened.st_mode) ||
            opened.st_size > MaxReadBytes) {
            setError(error, QStringLiteral("%1 is not a plain file of a sane size").arg(native));
            return false;
        }
        while (::flock(fd.get(), LOCK_EX) != 0) {
            if (errno != EINTR) {
                setError(error, errnoText(QStringLiteral("cannot lock"), native));
                return false;
            }
        }
        // Another writer may have replaced the file while we waited: lock the new one.
        struct stat locked {
        }, current{};
        if (::fstat(fd.get(), &locked) != 0 || ::stat(path.constData(), &current) != 0 ||
            locked.st_ino != current.st_ino || locked.st_dev != current.st_dev)
            continue;
        if (!S_ISREG(locked.st_mode)) {
            setError(error, QStringLiteral("%1 is not a plain file").arg(native));
            return false;
        }
        removeStaleTemporaries(native);
        std::optional<QByteArray> content;
        if (!created || locked.st_size > 0) {
            content = readFd(fd.get());
            if (!content) {
                setError(error, errnoText(QStringLiteral("cannot read"), native));
                return false;
            }
        }
        const std::optional<QByteArray> next = transform(content);
        if (!next) {
            if (created)
                ::unlink(path.constData());
            return true;
        }
        const bool written = replace(native, *next, error);
        if (!written && created)
            ::unlink(path.constData());
        return written;
    }
    setError(error, QStringLiteral("%1 keeps changing; gave up").arg(native));
    return false;
}

} // namespace AtomicFile
