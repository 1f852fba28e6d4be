// Start-up entry and computer restart on a freedesktop system.
#include "system/processes.h"

#include "system/atomicfile.h"
#include "system/error_reporting.h"
#include "system/files.h"
#include "system/globals.h"
#include "system/paths.h"
#include "system/sysinfo.h"
#include "system/untrusted_text.h"
#include "system/winpath.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Lib_Systeme {

namespace {

constexpr qint32 kStartupFolder = 7;
constexpr qint32 kErrPathNotFound = 76;
constexpr qint32 kErrAccess = 75;
constexpr qint32 kErrInvalidCall = 5;

const char kEntryName[] = "Velmora - Postique.desktop";
const char kExecutableName[] = "VL3_Postique";

// A string value of a desktop entry: backslashes doubled (control characters are refused
// before this point).
QString entryString(const QString& text) {
    QString out = text;
    out.replace(u'\\', QStringLiteral("\\\\"));
    return out;
}

// One argument of an Exec line: quoted with the characters that stay special inside quotes
// escaped, "%" doubled (field codes), then escaped as a string value.
QString execArgument(const QString& argument) {
    QString quoted;
    for (QChar c : argument) {
        if (c == u'"' || c == u'`' || c == u'$' || c == u'\\')
            quoted += u'\\';
        quoted += c;
    }
    quoted.replace(u'%', QStringLiteral("%%"));
    return entryString(u'"' + quoted + u'"');
}

// The native path of a Windows folder text, resolved through the drive links when it exists.
QString resolvedNative(const QString& windowsText) {
    const QString native = WinPath::nativePath(windowsText);
    const QString canonical = QFileInfo(native).canonicalFilePath();
    return canonical.isEmpty() ? native : canonical;
}

// The program's folder as a Windows text with its trailing "\": DossierApplication, or the
// running executable's folder while start-up has not set it yet.
QString applicationFolder() {
    if (!Lib_Public::DossierApplication.isEmpty())
        return Lib_Public::CheckRep(Lib_Public::DossierApplication);
    if (QCoreApplication::instance())
        return Lib_Public::CheckRep(WinPath::toWindows(QCoreApplication::applicationDirPath()));
    return QString();
}

// The record file named by the environment, or "" when the real actions are wanted.
QString recordFile() {
    return qEnvironmentVariable(ProcessRecordVariable);
}

// Appends one line to the record file. Failures are ignored: nothing real is done either way.
void record(const QString& file, const QString& line) {
    QFile f(file);
    if (f.open(QIODevice::WriteOnly | QIODevice::Append))
        f.write((line + u'\n').toUtf8());
}

} // namespace

void CreateShortCutStartUp(bool create, qint32& waitMs, const QString& source) {
    const QString label = source + QStringLiteral(">Lib_Systeme:CreateShortCutStartUp");
    const QString folder = Lib_Public::CheckRep(GetSpecialFolderLocation(kStartupFolder));
    if (waitMs < 1000)
        waitMs = 1000;
    if (waitMs > 120000)
        waitMs = 120000;
    if (folder.isEmpty()) {
        // Never write the entry into whatever the current folder happens to be.
        Lib_Public::ReportError(label, kErrPathNotFound,
                                QStringLiteral("Chemin d'accès non trouvé"));
        return;
    }
    const QString entry = folder + QString::fromLatin1(kEntryName);

    if (!create) {
        if (File_Exist(entry, label, false))
            File_Delete(entry, label);
        return;
    }

    const QString appFolder = applicationFolder();
    const QString workingFolder = resolvedNative(appFolder);
    const QString target = StartupEntryProgram(
        workingFolder,
        QCoreApplication::instance() ? QCoreApplication::applicationFilePath() : QString());
    if (target.isEmpty() || Untrusted::HasUnsafe(target) || Untrusted::HasUnsafe(workingFolder)) {
        Lib_Public::ReportError(label, kErrInvalidCall,
                                QStringLiteral("Dossier du programme incorrect: ") +
                                    Untrusted::Clean(appFolder));
        return;
    }
    const QString text = QStringLiteral("[Desktop Entry]\n"
                                        "Type=Application\n"
                                        "Name=Velmora - Postique\n"
                                        "Exec=%1 /Wait=%2\n"
                                        "Path=%3\n"
                                        "Icon=%4\n"
                                        "Comment=Lancer le Postique Velmora\n"
                                        "Terminal=false\n")
                             .arg(execArgument(target))
                             .arg(waitMs)
                             .arg(entryString(workingFolder), entryString(target));

    VerificationEtCreationRepertoire(folder, true);
    QString error;
    if (!AtomicFile::replace(WinPath::nativePath(entry), text.toUtf8(), &error))
        Lib_Public::ReportError(label, kErrAccess, error);
}

void ShutdownWindows(qint32 mode) {
    if (const QString file = recordFile(); !file.isEmpty()) {
        record(file, QStringLiteral("%1 %2").arg(QLatin1String(RecordShutdown)).arg(mode));
        return;
    }
    // Applications are closed without asking (force), so inhibitors are ignored.
    const QString verb = (mode & 2) ? QStringLiteral("reboot") : QStringLiteral("poweroff");
    QProcess::startDetached(QStringLiteral("systemctl"), {verb, QStringLiteral("-i")});
}

QString StartupEntryProgram(const QString& applicationFolderNative,
                            const QString& runningExecutable) {
    // The program's folder text falls back to the suite's folder when the executable's own
    // folder cannot be written; the entry must still start this very program.
    if (!runningExecutable.isEmpty() &&
        QFileInfo(runningExecutable).fileName() == QLatin1String(kExecutableName))
        return QFileInfo(runningExecutable).absoluteFilePath();
    if (applicationFolderNative.isEmpty())
        return QString();
    return applicationFolderNative + u'/' + QString::fromLatin1(kExecutableName);
}

QList<qint64> ProcessesNamed(const QString& name) {
    QList<qint64> pids;
    const qint64 self = ::getpid();
    const uid_t user = ::getuid();
    const QStringList entries =
        QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString& entry : entries) {
        bool numeric = false;
        const qint64 pid = entry.toLongLong(&numeric);
        if (!numeric || pid == self)
            continue;
        const QByteArray dir = QByteArrayLiteral("/proc/") + entry.toLatin1();
        struct stat info {};
        if (::stat(dir.constData(), &info) != 0 || info.st_uid != user)
            continue;
        QFile comm(QString::fromLatin1(dir) + QStringLiteral("/comm"));
        if (!comm.open(QIODevice::ReadOnly))
            continue;
        // The kernel keeps at most 15 bytes of the name.
        const QByteArray read = comm.readAll().trimmed();
        if (!read.isEmpty() && read == name.toUtf8().left(15))
            pids << pid;
    }
    std::sort(pids.begin(), pids.end());
    return pids;
}

namespace {

// The marker held open by this process, -1 while none.
int g_marker = -1;

// How long the other copies get to end on their own before they are killed.
constexpr int kCopiesGraceMs = 5000;

// The name of a process as the kernel keeps it (at most 15 bytes), or "" when it is gone.
QByteArray processName(qint64 pid) {
    QFile comm(QStringLiteral("/proc/%1/comm").arg(pid));
    if (!comm.open(QIODevice::ReadOnly))
        return {};
    return comm.readAll().trimmed();
}

// True while `pid` exists and is not a zombie.
bool processAlive(qint64 pid) {
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return false;
    const QByteArray text = stat.readAll();
    // "pid (comm) S ...": the state follows the last closing parenthesis.
    const qsizetype close = text.lastIndexOf(')');
    if (close < 0 || close + 2 >= text.size())
        return false;
    const char state = text.at(close + 2);
    return state != 'Z' && state != 'X';
}

// True when `pid` is the background service of its installation: started by the service
// manager (INVOCATION_ID or NOTIFY_SOCKET in its environment) and without a display.
bool backgroundService(qint64 pid) {
    QFile environment(QStringLiteral("/proc/%1/environ").arg(pid));
    if (!environment.open(QIODevice::ReadOnly))
        return false;
    bool managed = false;
    bool display = false;
    for (const QByteArray& entry : environment.read(1 << 20).split('\0')) {
        managed =
            managed || entry.startsWith("INVOCATION_ID=") || entry.startsWith("NOTIFY_SOCKET=");
        display = display || (entry.startsWith("DISPLAY=") && entry.size() > 8) ||
                  (entry.startsWith("WAYLAND_DISPLAY=") && entry.size() > 16);
    }
    return managed && !display;
}

// True when one of the open descriptors of `pid` is the file `device`/`inode`.
bool holdsFile(qint64 pid, dev_t device, ino_t inode) {
    const QString fdFolder = QStringLiteral("/proc/%1/fd").arg(pid);
    const QStringList fds =
        QDir(fdFolder).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot);
    for (const QString& fd : fds) {
        struct stat info {};
        const QByteArray path = QFile::encodeName(fdFolder + u'/' + fd);
        if (::stat(path.constData(), &info) == 0 && info.st_dev == device && info.st_ino == inode)
            return true;
    }
    return false;
}

} // namespace

bool HoldInstallationMarker(const QString& settingsFolder, QString* error) {
    ReleaseInstallationMarker();
    if (settingsFolder.isEmpty() || !QDir().mkpath(settingsFolder)) {
        if (error)
            *error = QStringLiteral("Dossier introuvable: ") + settingsFolder;
        return false;
    }
    const QByteArray path =
        QFile::encodeName(settingsFolder + u'/' + QLatin1String(InstallationMarkerName));
    g_marker = ::open(path.constData(), O_RDONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (g_marker < 0) {
        if (error)
            *error = QString::fromLocal8Bit(std::strerror(errno)) + QStringLiteral(": ") +
                     QFile::decodeName(path);
        return false;
    }
    return true;
}

void ReleaseInstallationMarker() {
    if (g_marker >= 0)
        ::close(g_marker);
    g_marker = -1;
}

QList<qint64> CopiesOfInstallation(const QString& name) {
    struct stat marker {};
    if (g_marker < 0 || ::fstat(g_marker, &marker) != 0)
        return {};
    QList<qint64> copies;
    for (qint64 pid : ProcessesNamed(name))
        if (holdsFile(pid, marker.st_dev, marker.st_ino))
            copies << pid;
    return copies;
}

QList<qint64> EndProcesses(const QList<qint64>& pids, const QString& name, int graceMs) {
    const QByteArray expected = name.toUtf8().left(15);
    for (qint64 pid : pids)
        ::kill(static_cast<pid_t>(pid), SIGTERM);
    QElapsedTimer waited;
    waited.start();
    const auto anyAlive = [&] {
        return std::any_of(pids.begin(), pids.end(), [](qint64 pid) { return processAlive(pid); });
    };
    while (anyAlive() && waited.elapsed() < graceMs)
        ::usleep(20 * 1000);
    QList<qint64> killed;
    for (qint64 pid : pids) {
        if (processAlive(pid) && processName(pid) == expected) {
            ::kill(static_cast<pid_t>(pid), SIGKILL);
            killed << pid;
        }
    }
    return killed;
}

QList<qint64> CopiesToEnd(const QString& name) {
    QList<qint64> pids = CopiesOfInstallation(name);
    pids.removeIf([](qint64 pid) { return backgroundService(pid); });
    return pids;
}

void EndAllCopies(const QString& name) {
    const QList<qint64> pids = CopiesToEnd(name);
    if (const QString file = recordFile(); !file.isEmpty()) {
        QString line = QLatin1String(RecordEndAllCopies) + u' ' + name;
        for (qint64 pid : pids)
            line += u' ' + QString::number(pid);
        record(file, line);
        return;
    }
    // Released first: a copy asked to end looks for the copies of its installation in turn,
    // and must not find this one, which is ending already.
    ReleaseInstallationMarker();
    EndProcesses(pids, name, kCopiesGraceMs);
    std::fflush(nullptr);
    ::_exit(0);
}

} // namespace Lib_Systeme
