// Path translation for the mail component, through the POSIX layer.
#include "mail/native_path.h"

#include "system/globals.h"
#include "system/winpath.h"

#include <QDir>

namespace mail::detail {

QString NativePath(const QString& path) {
    if (path.isEmpty() || path.startsWith(u'/'))
        return path;
    return WinPath::nativePath(path);
}

QString TrustedCaFolder() {
    const QString settings = Lib_Public::DossierSettingsProgramme;
    if (settings.isEmpty())
        return {};
    const QString native = NativePath(settings + QStringLiteral("CA"));
    return native.isEmpty() ? QString() : QDir::cleanPath(native);
}

} // namespace mail::detail
