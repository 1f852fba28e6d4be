// Path translation for the mail component, through the POSIX layer.
#include "mail/engine/native_path.h"

#include "system/winpath.h"

namespace mail::detail {

QString NativePath(const QString& path) {
    if (path.isEmpty() || path.startsWith(u'/'))
        return path;
    return WinPath::nativePath(path);
}

} // namespace mail::detail
