// Translation of Windows path texts into native paths, and the DOS view of native files.
#include "system/winpath.h"

#include <QDir>
#include <QFile>
#include <QStringList>

#include <algorithm>
#include <cerrno>

#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace WinPath {

namespace {

constexpr char kDosAttribName[] = "user.DOSATTRIB";

bool isSeparator(QChar c) {
    return c == u'\\' || c == u'/';
}

QByteArray encoded(const QString& native) {
    return QFile::encodeName(native);
}

bool lexists(const QString& native) {
    struct stat st {};
    return ::lstat(encoded(native).constData(), &st) == 0;
}

QStringList splitComponents(QStringView text) {
    QStringList parts;
    QString current;
    for (QChar c : text) {
        if (isSeparator(c)) {
            if (!current.isEmpty())
                parts << current;
            current.clear();
        } else {
            current += c;
        }
    }
    if (!current.isEmpty())
        parts << current;
    return parts;
}

// Applies "." and ".." on the text; ".." never climbs above the first `floor` components.
QStringList normalise(const QStringList& parts, qsizetype floor) {
    QStringList out;
    for (qsizetype i = 0; i < parts.size(); ++i) {
        const QString& p = parts[i];
        if (i >= floor && p == u".")
            continue;
        if (i >= floor && p == u"..") {
            if (out.size() > floor)
                out.removeLast();
            continue;
        }
        out << p;
    }
    return out;
}

QString joinNative(const QString& base, const QStringList& parts) {
    QString out = base;
    for (const QString& p : parts) {
        if (!out.endsWith(u'/'))
            out += u'/';
        out += p;
    }
    return out;
}

// Makes sure the link of a drive letter exists; c: and z: are created on first use.
bool ensureDriveLink(QChar letter, QString& linkPath) {
    const QString dosdevices = prefix() + QStringLiteral("/dosdevices");
    linkPath = dosdevices + u'/' + letter.toLower() + u':';
    if (lexists(linkPath))
        return true;
    QString target;
    if (letter.toLower() == u'c') {
        QDir().mkpath(prefix() + QStringLiteral("/drive_c"));
        target = QStringLiteral("../drive_c");
    } else if (letter.toLower() == u'z') {
        target = QStringLiteral("/");
    } else {
        return false;
    }
    QDir().mkpath(dosdevices);
    if (::symlink(encoded(target).constData(), encoded(linkPath).constData()) != 0 &&
        errno != EEXIST)
        return false;
    return true;
}

// Finds the existing spelling of `base`/`parts`, component by component, ignoring case.
QString resolveCase(const QString& base, const QStringList& parts) {
    const QString exact = joinNative(base, parts);
    if (lexists(exact))
        return exact;
    QString current = base;
    for (qsizetype i = 0; i < parts.size(); ++i) {
        const QString candidate = joinNative(current, {parts[i]});
        if (lexists(candidate)) {
            current = candidate;
            continue;
        }
        QString match;
        const QStringList names = QDir(current).entryList(
            QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
        for (const QString& name : names) {
            if (name.compare(parts[i], Qt::CaseInsensitive) == 0) {
                match = name;
                break;
            }
        }
        if (match.isEmpty())
            return joinNative(current, parts.mid(i));
        current = joinNative(current, {match});
    }
    return current;
}

Translation failure(qint32 error, const QString& message) {
    Translation t;
    t.error = error;
    t.message = message;
    return t;
}

Translation success(const QString& native) {
    Translation t;
    t.ok = true;
    t.native = native;
    return t;
}

quint32 readLe(const QByteArray& b, qsizetype off, int bytes) {
    quint32 v = 0;
    for (int i = bytes - 1; i >= 0; --i)
        v = (v << 8) | static_cast<quint8>(b[off + i]);
    return v;
}

} // namespace

QString prefix() {
    QString p = qEnvironmentVariable("VELMORA_PREFIX");
    if (p.isEmpty()) {
        QString data = qEnvironmentVariable("XDG_DATA_HOME");
        if (data.isEmpty())
            data = QDir::homePath() + QStringLiteral("/.local/share");
        p = data + QStringLiteral("/velmora");
    }
    while (p.size() > 1 && p.endsWith(u'/'))
        p.chop(1);
    return p;
}

Translation toNative(const QString& windowsText) {
    QString text = windowsText;
    if (text.isEmpty())
        return failure(ErrorInvalidName, QStringLiteral("empty path"));
    if (text.contains(QChar(0)))
        return failure(ErrorInvalidName, QStringLiteral("NUL character in path"));

    // Native absolute path: every "\" is a separator too.
    if (text.startsWith(u'/'))
        return success(resolveCase(QStringLiteral("/"), normalise(splitComponents(text), 0)));

    // Long-path forms "\\?\C:\x", "\\.\C:\x" and "\\?\UNC\srv\share".
    if (text.startsWith(QLatin1String("\\\\?\\")) || text.startsWith(QLatin1String("\\\\.\\"))) {
        text = text.mid(4);
        if (text.startsWith(QLatin1String("UNC\\"), Qt::CaseInsensitive))
            text = QStringLiteral("\\\\") + text.mid(4);
    }

    if (text.size() >= 2 && isSeparator(text[0]) && isSeparator(text[1])) {
        const QStringList parts = splitComponents(text);
        if (parts.size() < 2)
            return failure(ErrorPathNotFound,
                           QStringLiteral("UNC path without share: %1").arg(windowsText));
        const QString base = prefix() + QStringLiteral("/dosdevices/unc");
        return success(resolveCase(base, normalise(parts, 2)));
    }

    if (text.size() >= 2 && text[1] == u':') {
        const QChar letter = text[0];
        if (!(letter.isLetter() && letter.unicode() < 128))
            return failure(ErrorInvalidName, QStringLiteral("bad drive: %1").arg(windowsText));
        QString link;
        if (!ensureDriveLink(letter, link))
            return failure(ErrorPathNotFound,
                           QStringLiteral("drive %1: is not defined").arg(letter.toUpper()));
        return success(resolveCase(link, normalise(splitComponents(QStringView(text).mid(2)), 0)));
    }

    // "\x" names the root of the current drive, which is the native root here.
    if (isSeparator(text[0]))
        return success(resolveCase(QStringLiteral("/"), normalise(splitComponents(text), 0)));

    // Relative text: from the current folder.
    const QStringList cwd = splitComponents(QDir::currentPath());
    return success(resolveCase(QStringLiteral("/"), normalise(cwd + splitComponents(text), 0)));
}

QString nativePath(const QString& windowsText) {
    return toNative(windowsText).native;
}

QString toWindows(const QString& nativePathText) {
    const QString clean = QDir::cleanPath(nativePathText);
    const QString driveC = QDir::cleanPath(prefix() + QStringLiteral("/drive_c"));
    const QString linkC = QDir::cleanPath(prefix() + QStringLiteral("/dosdevices/c:"));
    for (const QString& root : {driveC, linkC}) {
        if (clean == root)
            return QStringLiteral("C:\\");
        if (clean.startsWith(root + u'/')) {
            QString rest = clean.mid(root.size() + 1);
            rest.replace(u'/', u'\\');
            return QStringLiteral("C:\\") + rest;
        }
    }
    QString rest = clean;
    while (rest.startsWith(u'/'))
        rest.remove(0, 1);
    rest.replace(u'/', u'\\');
    return QStringLiteral("Z:\\") + rest;
}

QString forScreen(const QString& windowsText) {
    const bool onZ = windowsText.size() >= 3 && windowsText[0].toLower() == u'z' &&
                     windowsText[1] == u':' && windowsText[2] == u'\\';
    if (!onZ)
        return windowsText;
    QString native = windowsText.mid(2);
    native.replace(u'\\', u'/');
    return native;
}

QString fromScreen(const QString& shown) {
    if (!shown.startsWith(u'/'))
        return shown;
    QString windows = toWindows(shown);
    if (shown.endsWith(u'/') && !windows.endsWith(u'\\'))
        windows += u'\\';
    return windows;
}

bool hasWildcards(const QString& text) {
    return text.contains(u'*') || text.contains(u'?');
}

bool wildcardMatch(const QString& pattern, const QString& name) {
    if (pattern == QLatin1String("*.*") || pattern == QLatin1String("*"))
        return true;
    const QString p = pattern.toCaseFolded();
    const QString n = name.toCaseFolded();
    qsizetype pi = 0, ni = 0, starP = -1, starN = 0;
    while (ni < n.size()) {
        if (pi < p.size() && (p[pi] == u'?' || p[pi] == n[ni])) {
            ++pi;
            ++ni;
        } else if (pi < p.size() && p[pi] == u'*') {
            starP = pi++;
            starN = ni;
        } else if (starP >= 0) {
            pi = starP + 1;
            ni = ++starN;
        } else {
            return false;
        }
    }
    while (pi < p.size() && p[pi] == u'*')
        ++pi;
    return pi == p.size();
}

SearchResult findFiles(const QString& windowsPattern) {
    SearchResult result;
    if (windowsPattern.isEmpty() || isSeparator(windowsPattern.back())) {
        result.error = ErrorFileNotFound;
        return result;
    }
    qsizetype cut = windowsPattern.size() - 1;
    while (cut >= 0 && !isSeparator(windowsPattern[cut]))
        --cut;
    QString folderText = windowsPattern.left(cut + 1);
    const QString last = windowsPattern.mid(cut + 1);
    if (hasWildcards(folderText)) {
        result.error = ErrorInvalidName;
        return result;
    }

    auto addEntry = [&result](const QString& native, const QString& name) {
        struct stat st {};
        if (::stat(encoded(native).constData(), &st) != 0)
            return;
        if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode))
            return;
        FoundEntry e;
        e.name = name;
        e.nativePath = native;
        e.size = S_ISREG(st.st_mode) ? static_cast<qint64>(st.st_size) : 0;
        e.attributes = readAttributes(native).value_or(AttrNormal);
        result.entries.push_back(e);
    };

    if (!hasWildcards(last)) {
        const Translation t = toNative(windowsPattern);
        if (!t.ok) {
            result.error = t.error;
            return result;
        }
        addEntry(t.native, QFileInfo(t.native).fileName());
    } else {
        // "C:x*" style: the folder part is the drive itself.
        if (folderText.isEmpty() && windowsPattern.size() >= 2 && windowsPattern[1] == u':')
            folderText = windowsPattern.left(2) + u'\\';
        const Translation t = toNative(folderText.isEmpty() ? QStringLiteral(".") : folderText);
        if (!t.ok) {
            result.error = t.error;
            return result;
        }
        QDir dir(t.native);
        if (!dir.exists()) {
            result.error = ErrorPathNotFound;
            return result;
        }
        const QStringList names = dir.entryList(
            QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
        for (const QString& name : names)
            if (wildcardMatch(last, name))
                addEntry(joinNative(t.native, {name}), name);
    }
    result.ok = !result.entries.empty();
    if (!result.ok && result.error == 0)
        result.error = ErrorFileNotFound;
    return result;
}

std::optional<quint32> parseDosAttrib(const QByteArray& blob) {
    const qsizetype nul = blob.indexOf('\0');
    const QByteArray hex = nul < 0 ? blob : blob.left(nul);
    if (hex.size() > 2 && hex[0] == '0' && (hex[1] == 'x' || hex[1] == 'X')) {
        quint32 value = 0;
        bool any = false;
        for (qsizetype i = 2; i < hex.size(); ++i) {
            const int d = QChar::fromLatin1(hex[i]).isDigit() ? hex[i] - '0'
                          : (hex[i] >= 'a' && hex[i] <= 'f')  ? hex[i] - 'a' + 10
                          : (hex[i] >= 'A' && hex[i] <= 'F')  ? hex[i] - 'A' + 10
                                                              : -1;
            if (d < 0)
                break;
            value = (value << 4) | static_cast<quint32>(d);
            any = true;
        }
        if (!any)
            return std::nullopt;
        return value;
    }
    if (!hex.isEmpty() || nul < 0)
        return std::nullopt;
    // Binary form: empty hex text, then version, union level and the version's record.
    qsizetype off = (nul + 1 + 1) & ~qsizetype(1);
    if (off + 4 > blob.size())
        return std::nullopt;
    const quint32 version = readLe(blob, off, 2);
    off += 2;
    const quint32 level = readLe(blob, off, 2);
    if (level != version)
        return std::nullopt;
    off = (off + 2 + 3) & ~qsizetype(3);
    if (version == 1) {
        if (off + 4 > blob.size())
            return std::nullopt;
        return readLe(blob, off, 4);
    }
    if (version >= 2 && version <= 5) {
        if (off + 8 > blob.size())
            return std::nullopt;
        const quint32 validFlags = readLe(blob, off, 4);
        if (version >= 3 && !(validFlags & 1))
            return std::nullopt;
        return readLe(blob, off + 4, 4);
    }
    return std::nullopt;
}

namespace {

std::optional<QByteArray> readDosAttribBlob(const QString& native) {
    char buffer[256];
    const ssize_t n =
        ::getxattr(encoded(native).constData(), kDosAttribName, buffer, sizeof buffer);
    if (n < 0)
        return std::nullopt;
    return QByteArray(buffer, static_cast<qsizetype>(n));
}

bool isDotName(const QString& native) {
    const QString name = QFileInfo(native).fileName();
    return name.startsWith(u'.') && name != u"." && name != u"..";
}

} // namespace

std::optional<quint32> readAttributes(const QString& native) {
    struct stat st {};
    if (native.isEmpty() || ::stat(encoded(native).constData(), &st) != 0)
        return std::nullopt;
    const bool isDir = S_ISDIR(st.st_mode);
    quint32 attrs = isDir ? AttrDirectory : 0;
    if (!(st.st_mode & S_IWUSR))
        attrs |= AttrReadOnly;
    if (isDotName(native))
        attrs |= AttrHidden;
    std::optional<quint32> dos;
    if (const auto blob = readDosAttribBlob(native))
        dos = parseDosAttrib(*blob);
    if (dos)
        attrs |= *dos & ~(AttrDirectory | AttrNormal);
    else if (!isDir)
        attrs |= AttrArchive;
    return attrs == 0 ? AttrNormal : attrs;
}

bool writeAttributes(const QString& native, quint32 attributes) {
    struct stat st {};
    const QByteArray path = encoded(native);
    if (native.isEmpty() || ::stat(path.constData(), &st) != 0)
        return false;
    const bool isDir = S_ISDIR(st.st_mode);
    mode_t mode = st.st_mode & 07777;
    if (attributes & AttrReadOnly)
        mode &= ~mode_t(S_IWUSR | S_IWGRP | S_IWOTH);
    else
        mode |= S_IWUSR;
    if (mode != (st.st_mode & 07777) && ::chmod(path.constData(), mode) != 0)
        return false;

    quint32 wanted = attributes & ~(AttrNormal | AttrDirectory);
    if (isDir)
        wanted |= AttrDirectory;
    quint32 beyondMode = wanted & ~(AttrReadOnly | AttrDirectory);
    if (isDotName(native))
        beyondMode &= ~AttrHidden;
    const quint32 usual = isDir ? 0 : AttrArchive;
    if (readDosAttribBlob(native) || beyondMode != usual) {
        const QByteArray hex = "0x" + QByteArray::number(wanted, 16) + '\0';
        // A file system without user attributes simply keeps the mode bits.
        ::setxattr(path.constData(), kDosAttribName, hex.constData(),
                   static_cast<size_t>(hex.size()), 0);
    }
    return true;
}

} // namespace WinPath
