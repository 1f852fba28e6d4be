// Path translation for the mail component, through the POSIX layer.
#include "mail/native_path.h"

#include "app/globals.h"
#include "system/winpath.h"

#include <QDeadlineTimer>
#include <QDir>

#include <mutex>

namespace mail::detail {

QString NativePath(const QString& path) {
    if (path.isEmpty() || path.startsWith(u'/'))
        return path;
    return WinPath::nativePath(path);
}

QString TrustedCaFolder() {
    // Finding the folder goes through the case-insensitive path search; a job of thousands
    // of mails looks it up once, and a folder created meanwhile is seen within seconds.
    static std::mutex mutex;
    static QString lastSettings;
    static QString lastFolder;
    static QDeadlineTimer fresh(0);
    const QString settings = Lib_Public::DossierSettingsProgramme;
    std::lock_guard lock(mutex);
    if (settings == lastSettings && !fresh.hasExpired())
        return lastFolder;
    QString folder;
    if (!settings.isEmpty()) {
        const QString native = NativePath(settings + QStringLiteral("CA"));
        folder = native.isEmpty() ? QString() : QDir::cleanPath(native);
    }
    lastSettings = settings;
    lastFolder = folder;
    fresh.setRemainingTime(5000);
    return folder;
}

} // namespace mail::detail
