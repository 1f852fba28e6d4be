// Where a path text from the settings or a job reaches the file system: Windows texts
// ("C:\...", "Z:\...") go through the POSIX layer, native paths pass unchanged.
#pragma once

#include <QString>

namespace mail::detail {

// The native form of `path` (a Windows text or a native path); empty for an empty text.
QString NativePath(const QString& path);

// The native folder of extra trusted CA certificates: "CA" in the program's settings folder.
QString TrustedCaFolder();

} // namespace mail::detail
