// Documents and addresses opened through xdg-open, and the folder chooser.
#include "ui/shell.h"

#include "system/error_reporting.h"
#include "system/files.h"
#include "system/globals.h"
#include "system/paths.h"
#include "system/sysinfo.h"
#include "system/winpath.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QGuiApplication>
#include <QProcess>
#include <QQueue>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QThread>
#include <QUrl>

namespace Lib_Systeme {

namespace {

constexpr int kVerdictWaitMs = 2000;

QQueue<QString>& folderAnswers() {
    static QQueue<QString> answers;
    return answers;
}
QString lastFolderStart;
QString lastFolderTitle;

// True for "https://...", "mailto:...": a scheme of two letters or more (so that a drive
// letter "C:" stays a path).
bool isAddress(const QString& text) {
    static const QRegularExpression scheme(QStringLiteral("^[A-Za-z][A-Za-z0-9+.-]+:"));
    return scheme.match(text).hasMatch();
}

// xdg-open's exit status as a shell result.
qint32 resultOfExit(int status) {
    switch (status) {
    case 0:
        return ShellOk;
    case 2:
        return ShellFileNotFound;
    case 3: // a tool it needs is missing
    case 4: // no application could open it
        return ShellNoAssociation;
    default:
        return 1;
    }
}

bool noDisplay() {
    const QString platform = QGuiApplication::platformName();
    return !qobject_cast<QGuiApplication*>(QCoreApplication::instance()) ||
           platform == QLatin1String("offscreen") || platform == QLatin1String("minimal");
}

// Starts xdg-open detached and waits a little for its verdict, which a small shell wrapper
// writes into a status file. A launcher still running after the wait has found an
// application (xdg-open often stays until the application ends): success.
qint32 launch(const QString& opener, const QString& target, const QString& workingFolder) {
    static int counter = 0;
    const QString status = QDir(QDir::tempPath())
                               .filePath(QStringLiteral("postique-open-%1-%2")
                                             .arg(QCoreApplication::applicationPid())
                                             .arg(++counter));
    {
        QFile f(status);
        if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return 0;
    }
    // The status is written only while the file is still there, so a verdict that comes
    // after the wait leaves nothing behind.
    const QString script = QStringLiteral(
        "\"$0\" \"$1\" >/dev/null 2>&1; s=$?; [ -e \"$2\" ] && echo \"$s\" > \"$2\"");
    QProcess process;
    process.setProgram(QStringLiteral("/bin/sh"));
    process.setArguments({QStringLiteral("-c"), script, opener, target, status});
    if (!workingFolder.isEmpty())
        process.setWorkingDirectory(workingFolder);
    process.setStandardInputFile(QProcess::nullDevice());
    if (!process.startDetached()) {
        QFile::remove(status);
        return 0;
    }
    const qint64 start = GetTickCountEx();
    qint32 result = ShellOk;
    while (qAbs(GetTickCountEx() - start) < kVerdictWaitMs) {
        QFile f(status);
        if (f.open(QIODevice::ReadOnly)) {
            const QByteArray text = f.readAll().trimmed();
            bool numeric = false;
            const int exitStatus = text.toInt(&numeric);
            if (numeric) {
                result = resultOfExit(exitStatus);
                break;
            }
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(20);
    }
    QFile::remove(status);
    return result;
}

} // namespace

ShellError ShellErrorFor(qint32 result) {
    switch (result) {
    case 0:
    case 8:
        return {7, QStringLiteral("Dépassement de mémoire")};
    case 2:
        return {53, QString()};
    case 3:
        return {76, QStringLiteral("Chemin d'accès non trouvé")};
    case 5:
    case 26:
        return {75, QStringLiteral("Violation de partage: Erreur d'accès au Dossier/Fichier")};
    case 11:
        return {result + ShellErrorBase, QStringLiteral("Cet exécutable est invalide ou corrompu")};
    case 27:
    case 31:
        return {result + ShellErrorBase,
                QStringLiteral("Il n'y a aucune application associée à ce type de fichier")};
    case 28:
        return {286, QStringLiteral("Le fichier ne peut être ouvert car le délai d'attente est "
                                    "dépassé. Réessayez plus tard")};
    case 29:
        return {285, QStringLiteral("Le fichier ne peut être ouvert car la transaction DDE a "
                                    "échoué. Réessayez plus tard")};
    case 30:
        return {285, QStringLiteral("Le fichier ne peut être ouvert car l'application est "
                                    "occupée. Réessayez plus tard")};
    case 32:
        return {48, QStringLiteral("Le fichier dll ne peut être trouvé")};
    default:
        return {result + ShellErrorBase,
                QStringLiteral("Erreur à l'ouverture ou l'impression du fichier sélectionné")};
    }
}

qint32 ExecuterProgrammeExterne(QWidget* owner, const QString& operation, const QString& file,
                                const QString& parameters, const QString& folder,
                                qint32 showCommand) {
    Q_UNUSED(owner);
    Q_UNUSED(operation);
    Q_UNUSED(parameters);
    Q_UNUSED(showCommand);
    const QString label = QStringLiteral("Lib_Systeme:ExecuterProgrammeExterne");
    qint32 result = 0;
    const bool ran = Lib_Public::Trap(label, [&] {
        QString target = file.trimmed();
        if (!isAddress(target)) {
            const QString native = WinPath::nativePath(target);
            const QFileInfo info(native);
            if (native.isEmpty() || !info.absoluteDir().exists())
                result = ShellPathNotFound;
            else if (!info.exists())
                result = ShellFileNotFound;
            else if (!info.isReadable())
                result = ShellAccessDenied;
            target = info.absoluteFilePath();
        }
        if (result == 0) {
            const QString opener = QStandardPaths::findExecutable(QStringLiteral("xdg-open"));
            const QString workingFolder =
                folder.trimmed().isEmpty() ? QString() : WinPath::nativePath(folder.trimmed());
            result = opener.isEmpty() ? ShellNoAssociation : launch(opener, target, workingFolder);
        }
    });
    if (ran && result <= 32) {
        const ShellError error = ShellErrorFor(result);
        if (error.number != 53)
            Lib_Public::ReportError(label, error.number, error.message,
                                    QStringLiteral("VL3_Postique.ExecuterProgrammeExterne"));
    }
    return result;
}

QString FolderSelect(QWidget* owner, const QString& startPath, const QString& title) {
    const QString label = QStringLiteral("Lib_Systeme:FolderSelect");
    QString result = QStringLiteral("*");
    Lib_Public::Trap(label, [&] {
        QString start = Lib_Public::EclateRepFicExt(startPath).Rep;
        const bool given = !start.trimmed().isEmpty();
        if (!given)
            start = Lib_Public::DossierApplication;
        if (start.endsWith(u'\\'))
            start.chop(1);
        // A drive root keeps its "\" for the translation ("C:" alone is no folder).
        const auto nativeOf = [](const QString& folder) {
            return WinPath::nativePath(folder.endsWith(u':') ? folder + u'\\' : folder);
        };
        // A start folder that is not there (any more) opens the operator's home folder.
        if (given && !QFileInfo(nativeOf(start)).isDir())
            start = WinPath::toWindows(QDir::homePath());
        lastFolderStart = start;
        lastFolderTitle = title.isEmpty() ? QString::fromUtf16(FolderSelectTitle) : title;

        QString native;
        if (!folderAnswers().isEmpty()) {
            native = folderAnswers().dequeue();
        } else if (noDisplay()) {
            native = QStringLiteral("*");
        } else {
            const QString startNative = nativeOf(start);
            const QUrl chosen = QFileDialog::getExistingDirectoryUrl(
                owner, lastFolderTitle, QUrl::fromLocalFile(startNative), QFileDialog::ShowDirsOnly,
                {QStringLiteral("file")});
            native = chosen.isLocalFile() ? chosen.toLocalFile() : QStringLiteral("*");
            if (native.isEmpty())
                native = QStringLiteral("*");
        }
        if (native == QStringLiteral("*"))
            return;
        result = Lib_Public::CheckRep(WinPath::toWindows(native));
        if (!QFileInfo(WinPath::nativePath(result)).isDir())
            VerificationEtCreationRepertoire(result, true);
    });
    return result;
}

void FolderSelectQueueAnswer(const QString& nativeFolderOrStar) {
    folderAnswers().enqueue(nativeFolderOrStar);
}

QString FolderSelectLastStart() {
    return lastFolderStart;
}
QString FolderSelectLastTitle() {
    return lastFolderTitle;
}

} // namespace Lib_Systeme
