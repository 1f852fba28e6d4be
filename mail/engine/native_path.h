// Where a path text from the settings or a job reaches the file system: Windows texts
// ("C:\...", "Z:\...") go through the POSIX layer, native paths pass unchanged.
#pragma once

#include <QString>

namespace mail::detail {

// The native form of `path` (a Windows text or a native path); empty for an empty text.
QString NativePath(const QString& path);

} // namespace mail::detail
