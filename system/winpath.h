// Where Windows path texts meet the Linux file system: the prefix, drive and UNC translation,
// case-insensitive look-up, the directory search with wildcards, and DOS file attributes.
#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <optional>
#include <vector>

namespace WinPath {

// Attribute bits with their Windows values.
inline constexpr quint32 AttrReadOnly = 0x1;
inline constexpr quint32 AttrHidden = 0x2;
inline constexpr quint32 AttrSystem = 0x4;
inline constexpr quint32 AttrDirectory = 0x10;
inline constexpr quint32 AttrArchive = 0x20;
inline constexpr quint32 AttrNormal = 0x80;

// Windows status numbers this layer reports.
inline constexpr qint32 ErrorFileNotFound = 2;
inline constexpr qint32 ErrorPathNotFound = 3;
inline constexpr qint32 ErrorInvalidName = 123;

// The native folder that holds dosdevices/, drive_c/ and the registry hives:
// $VELMORA_PREFIX, else $XDG_DATA_HOME/velmora, else ~/.local/share/velmora.
// Read on every call (tests move it); never ends with "/".
QString prefix();

// Outcome of turning a Windows text into a native path.
struct Translation {
    bool ok = false;
    QString native;   // the native path; missing components keep the case given
    qint32 error = 0; // ErrorPathNotFound (missing drive, bad UNC), ErrorInvalidName
    QString message;  // what went wrong, for an incident line
};

// Turns a Windows path text into the native path it names.
// "X:\rest" goes to <prefix>/dosdevices/x:/rest (links c: -> ../drive_c and z: -> / are
// created on first use; another letter without a link is a missing drive);
// "\\server\share\rest" to <prefix>/dosdevices/unc/server/share/rest; a text starting with
// "/" is native already. "\" and "/" both separate components; "." and ".." are resolved on
// the text and never climb above the drive root or the share. When the exact path does not
// exist, each existing component is matched without regard to case. A relative text is
// taken from the current folder. Fails on an empty text, a missing drive, a UNC text
// without share, or a NUL character.
Translation toNative(const QString& windowsText);

// Shorthand for toNative(text).native; the empty text when the translation fails.
QString nativePath(const QString& windowsText);

// The Windows text for a native absolute path: inside the C: drive's folder "C:\...",
// anything else "Z:\..." (every "/" becomes "\").
QString toWindows(const QString& nativePath);

// How a folder text is shown to the operator: a text on the Z: drive (a native folder in the
// suite's form, "Z:\\home\\op\\jobs\\") as the Linux path it is ("/home/op/jobs/"); every
// other text (drives of the prefix, UNC shares) as it is.
QString forScreen(const QString& windowsText);

// The reverse of forScreen, for what the operator typed or was shown: a native absolute path
// becomes the suite's form (toWindows, keeping a trailing separator); anything else stays.
QString fromScreen(const QString& shown);

// One entry found by the directory search.
struct FoundEntry {
    QString name;       // the name on disk
    QString nativePath; // full native path
    quint32 attributes = 0;
    qint64 size = 0; // 0 for a folder
};

// Outcome of a directory search.
struct SearchResult {
    bool ok = false;  // at least one entry found
    qint32 error = 0; // ErrorFileNotFound, ErrorPathNotFound, ErrorInvalidName
    std::vector<FoundEntry> entries;
};

// The stand-in for FindFirstFile/FindNextFile: "*" and "?" may appear in the last component
// and match without regard to case ("*.*" matches every name); without wildcards the one
// entry of that name is returned. Only plain files and folders are returned, never "." and
// "..". A text ending with "\" finds nothing. Entries come sorted by name.
SearchResult findFiles(const QString& windowsPattern);

// True when `name` fits the pattern ("*" any run, "?" one character), case-insensitively.
bool wildcardMatch(const QString& pattern, const QString& name);

// True when the text holds "*" or "?".
bool hasWildcards(const QString& text);

// Attributes of a native path (following links): directory from the file type, read-only
// when the owner has no write bit, hidden for a dot name, and user.DOSATTRIB when present;
// AttrNormal when nothing else is set. Empty when the path does not exist.
std::optional<quint32> readAttributes(const QString& nativePath);

// Writes attributes back: read-only through the owner write bit, the other bits into
// user.DOSATTRIB (hex-string form) where the file system allows extended attributes.
// The directory and dot-name hidden bits cannot be changed. False when the path is missing
// or its mode cannot be changed.
bool writeAttributes(const QString& nativePath, quint32 attributes);

// The attribute value held in a user.DOSATTRIB blob: the "0x.." hex text, or the binary
// forms of versions 1 to 5 after an empty hex text. Empty when the blob is not understood.
std::optional<quint32> parseDosAttrib(const QByteArray& blob);

} // namespace WinPath
