// Path translation for the mail component.
#include "mail/native_path.h"

#include "app/globals.h"

#include <QDir>

namespace mail::detail {

QString NativePath(const QString& path) {
    if (path.isEmpty() || path.startsWith(u'/'))
        return path;
    QString text = path;
    // "Z:\" is the root of the native file system; other drives live in the prefix and are
    // resolved by the POSIX layer.
    if (text.size() >= 2 && text.at(1) == u':' && text.at(0).toLower() == u'z') {
        text = text.mid(2);
        text.replace(u'\\', u'/');
        return text.isEmpty() ? QStringLiteral("/") : text;
    }
    text.replace(u'\\', u'/');
    return text;
}

QString TrustedCaFolder() {
    const QString settings = Lib_Public::DossierSettingsProgramme;
    if (settings.isEmpty())
        return {};
    return QDir::cleanPath(NativePath(settings + QStringLiteral("CA")));
}

} // namespace mail::detail
