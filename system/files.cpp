// File and folder primitives on Windows path texts, through the POSIX layer.
#include "system/files.h"

#include "system/atomicfile.h"
#include "system/error_reporting.h"
#include "system/mounts.h"
#include "system/paths.h"
#include "system/unique_fd.h"
#include "system/winpath.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Lib_Systeme {

namespace {

FolderCreationMemory& memory() {
    static FolderCreationMemory m;
    return m;
}

bool existsOnce(const QString& name, bool nonEmpty) {
    if (!WinPath::findFiles(name).ok)
        return false;
    return !(nonEmpty && TailleDuFichier(name) == 0);
}

bool isFolder(const QString& windowsFolder) {
    const WinPath::Translation t = WinPath::toNative(windowsFolder);
    return t.ok && QFileInfo(t.native).isDir();
}

// One plain folder creation (no parents); the outcome is read from the disk afterwards.
void makeFolder(const QString& windowsFolder) {
    const WinPath::Translation t = WinPath::toNative(windowsFolder);
    if (t.ok)
        ::mkdir(QFile::encodeName(t.native).constData(), 0777);
}

// Copies one native file through a temporary beside the destination.
bool copyOne(const QString& sourceNative, const QString& destinationNative) {
    const QByteArray src = QFile::encodeName(sourceNative);
    struct stat st {};
    if (::stat(src.constData(), &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    QDir().mkpath(QFileInfo(destinationNative).absolutePath());
    if (QFileInfo(destinationNative).isDir())
        return false;
    return AtomicFile::replaceWith(
        destinationNative,
        [&src](int out, QString& error) {
            const Posix::UniqueFd source(::open(src.constData(), O_RDONLY | O_CLOEXEC));
            const int in = source.get();
            if (in < 0) {
                error = QStringLiteral("cannot open the source");
                return false;
            }
            char buffer[65536];
            bool ok = true;
            for (;;) {
                const ssize_t n = ::read(in, buffer, sizeof buffer);
                if (n < 0 && errno == EINTR)
                    continue;
                if (n <= 0) {
                    ok = n == 0;
                    break;
                }
                for (ssize_t done = 0; done < n && ok;) {
                    const ssize_t w = ::write(out, buffer + done, static_cast<size_t>(n - done));
                    if (w < 0 && errno == EINTR)
                        continue;
                    ok = w > 0;
                    done += w > 0 ? w : 0;
                }
                if (!ok)
                    break;
            }
            return ok;
        },
        nullptr, st.st_mode & 07777);
}

} // namespace

bool File_Exist(const QString& path, const QString& source, bool nonEmpty) {
    bool result = false;
    Lib_Public::Trap(source + QStringLiteral(">Lib_Systeme:File_Exist"), [&] {
        const QString unaltered = path.trimmed();
        if (unaltered.isEmpty())
            return;
        QString name = unaltered;
        if (name.contains(u' ')) {
            while (name.contains(QLatin1String(" .")))
                name.replace(QLatin1String(" ."), QLatin1String("."));
        }
        result = existsOnce(name, nonEmpty);
        if (!result && name != unaltered)
            result = existsOnce(unaltered, nonEmpty);
    });
    return result;
}

qint32 TailleDuFichier(const QString& path) {
    qint32 size = -1;
    Lib_Public::Trap(QStringLiteral("Lib_Systeme:TailleDuFichier"), [&] {
        const QString native = WinPath::nativePath(path);
        if (native.isEmpty())
            return;
        // Never blocks: a FIFO or a device answers at once (and has no size to give).
        const Posix::UniqueFd fd(::open(QFile::encodeName(native).constData(),
                                        O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
        if (!fd.valid())
            return;
        struct stat st {};
        if (::fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode))
            size = static_cast<qint32>(static_cast<quint32>(static_cast<quint64>(st.st_size)));
    });
    return size;
}

bool File_Delete(const QString& path, const QString& source, qint32 flags, qint32 ownerWindow) {
    Q_UNUSED(flags);
    Q_UNUSED(ownerWindow);
    bool result = false;
    Lib_Public::Trap(source + QStringLiteral(">Lib_Systeme:File_Delete"), [&] {
        if (path.trimmed().isEmpty())
            return;
        const WinPath::SearchResult found = WinPath::findFiles(path);
        bool allDeleted = true;
        bool any = false;
        for (const WinPath::FoundEntry& e : found.entries) {
            if (e.attributes & WinPath::AttrDirectory)
                continue;
            any = true;
            if (::unlink(QFile::encodeName(e.nativePath).constData()) != 0)
                allDeleted = false;
        }
        result = any && allDeleted;
    });
    return result;
}

bool File_Copy(const QString& source, const QString& destination, qint32 flags,
               qint32 ownerWindow) {
    Q_UNUSED(flags);
    Q_UNUSED(ownerWindow);
    bool result = false;
    Lib_Public::Trap(QStringLiteral("Lib_Systeme:File_Copy"), [&] {
        if (source.trimmed().isEmpty() ||
            !File_Exist(source, QStringLiteral("Lib_Systeme:File_Copy"), true))
            return;
        const WinPath::SearchResult found = WinPath::findFiles(source);
        const WinPath::Translation dest = WinPath::toNative(destination);
        if (!dest.ok)
            return;
        const bool intoFolder = QFileInfo(dest.native).isDir() || WinPath::hasWildcards(source) ||
                                destination.endsWith(u'\\');
        bool all = true;
        bool any = false;
        for (const WinPath::FoundEntry& e : found.entries) {
            if (e.attributes & WinPath::AttrDirectory)
                continue;
            any = true;
            const QString target = intoFolder ? dest.native + u'/' + e.name : dest.native;
            if (!copyOne(e.nativePath, target))
                all = false;
        }
        result = any && all;
    });
    return result;
}

void File_RemoveFlag(const QString& path, qint32 bits) {
    try {
        if (path.trimmed().isEmpty() ||
            !File_Exist(path, QStringLiteral("Lib_Systeme:File_RemoveFlag"), true))
            return;
        const QString native = WinPath::nativePath(path);
        const std::optional<quint32> attrs = WinPath::readAttributes(native);
        if (!attrs)
            return;
        quint32 sum = 0;
        for (quint32 bit : {64u, 32u, 16u, 8u, 4u, 2u, 1u})
            if ((*attrs & bit) && (static_cast<quint32>(bits) & bit))
                sum += bit;
        if (sum != 0 && *attrs != 0)
            WinPath::writeAttributes(native, *attrs - sum);
    } catch (...) {
        // Failures here are silent by contract.
    }
}

void VerificationEtCreationRepertoire(const QString& folder, bool create) {
    Q_UNUSED(create);
    Lib_Public::Trap(QStringLiteral("Lib_Systeme:VerificationEtCreationRepertoire"), [&] {
        FolderCreationMemory& m = memory();
        // A folder written the Linux way ("/srv/jobs") is the Z: drive's, as everywhere else:
        // cleaned as a Windows name, its slashes would make a folder "srv jobs" wherever the
        // program was started.
        const bool linuxPath = folder.startsWith(u'/') && !folder.startsWith(QLatin1String("//"));
        QString target =
            Lib_Public::NettoieNomDeDossier(linuxPath ? WinPath::toWindows(folder) : folder);
        if (target.trimmed().isEmpty())
            return;
        target = Lib_Public::CheckRep(target);
        if (m.known.trimmed().isEmpty())
            m.known = QStringLiteral(",");
        if (m.known.contains(target, Qt::CaseInsensitive) || target == m.last)
            return;
        // Beneath the empty mount point of a share that is not mounted, a folder would land
        // on the local disk and hide the share's own when it comes: nothing is created, and
        // the next check tries again.
        const WinPath::Translation whole = WinPath::toNative(target);
        if (whole.ok && !Posix::unmountedShareAbove(whole.native).isEmpty())
            return;

        QString prefixText;
        int counted = 0;
        for (QChar c : target) {
            prefixText += c;
            if (c != u'\\' || prefixText.size() <= 3)
                continue;
            ++counted;
            if (counted == 1 && prefixText.startsWith(QLatin1String("\\\\")))
                continue; // the server part of a UNC path
            if (isFolder(prefixText)) {
                m.known += prefixText + u',';
                continue;
            }
            makeFolder(prefixText);
            if (isFolder(prefixText))
                continue;
            makeFolder(prefixText);
            if (isFolder(prefixText)) {
                m.known += prefixText + u',';
                continue;
            }
            if (!prefixText.contains(u'$') && !m.failed.contains(prefixText, Qt::CaseInsensitive)) {
                m.failed += prefixText + u',';
                break;
            }
        }
        m.last = target;
    });
}

const FolderCreationMemory& FolderMemory() {
    return memory();
}

void ResetFolderMemory() {
    memory() = FolderCreationMemory();
}

} // namespace Lib_Systeme
