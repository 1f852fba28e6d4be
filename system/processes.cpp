// Start-up entry and computer restart on a freedesktop system.
#include "system/processes.h"

#include "app/error_reporting.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSaveFile>
#include <QStandardPaths>

namespace Lib_Systeme {

namespace {

QString autostartFolder() {
    QString base = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (base.isEmpty())
        base = QDir::homePath() + QStringLiteral("/.config");
    return base + QStringLiteral("/autostart");
}

QString shortcutPath() {
    return autostartFolder() + QStringLiteral("/Velmora - Postique.desktop");
}

} // namespace

void CreateShortCutStartUp(bool create, qint32& waitMs, const QString& source) {
    const QString label = source + QStringLiteral(">Lib_Systeme:CreateShortCutStartUp");
    if (waitMs < 1000)
        waitMs = 1000;
    if (waitMs > 120000)
        waitMs = 120000;
    const QString path = shortcutPath();
    if (!create) {
        if (QFileInfo::exists(path) && !QFile::remove(path))
            Lib_Public::ReportError(label, 75,
                                    QStringLiteral("Suppression impossible: ") + path);
        return;
    }
    QDir().mkpath(autostartFolder());
    const QString exe = QCoreApplication::instance() ? QCoreApplication::applicationFilePath()
                                                      : QStringLiteral("VL3_Postique");
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        Lib_Public::ReportError(label, 75, file.errorString());
        return;
    }
    const QString quoted = QStringLiteral("\"") + exe + QStringLiteral("\"");
    const QString text = QStringLiteral("[Desktop Entry]\n"
                                        "Type=Application\n"
                                        "Name=Velmora - Postique\n"
                                        "Comment=Lancer le Postique Velmora\n"
                                        "Exec=%1 /Wait=%2\n"
                                        "Path=%3\n"
                                        "Terminal=false\n")
                             .arg(quoted)
                             .arg(waitMs)
                             .arg(QFileInfo(exe).absolutePath());
    file.write(text.toUtf8());
    if (!file.commit())
        Lib_Public::ReportError(label, 75, file.errorString());
}

void ShutdownWindows(qint32 mode) {
    // Applications are closed without asking (force), so inhibitors are ignored.
    const QString verb = (mode & 2) ? QStringLiteral("reboot") : QStringLiteral("poweroff");
    QProcess::startDetached(QStringLiteral("systemctl"), {verb, QStringLiteral("-i")});
}

} // namespace Lib_Systeme
