// Runs the real program headless for end-to-end tests and benchmarks: a private copy of the
// executable, a temporary prefix with a settings file, a fast poll tick, its standard error.
#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <functional>
#include <memory>

namespace testsupport {

// One installation of the program in a temporary folder: the executable copied into
// "app/" (so its own settings folder is private), a prefix in "prefix/" holding the suite's
// default configuration folder, and the XDG folders in "home/".
class ProgramInstall {
public:
    ProgramInstall();
    bool ok() const { return ok_; }
    QString error() const { return error_; }

    QString prefix() const { return dir_.filePath(QStringLiteral("prefix")); }
    // The file where the program records the end of every copy and the computer restart
    // instead of doing them (always set for the programs started here), and its lines.
    QString recordFile() const;
    QStringList recordedActions() const;
    // Native path of "C:\..." inside the prefix.
    QString drivePath(const QString& windowsText) const;
    // Writes the settings file "C:\Halvaro\Velmora\Config\VL3_Postique.ini" with `server`,
    // `sender` and the job folder `jobFolder` (a Windows text).
    bool writeSettings(const QString& server, const QString& sender,
                       const QString& jobFolder) const;
    // Hands the settings file's bytes to `edit` and writes back what it made of them.
    bool editSettings(const std::function<void(QByteArray& ini)>& edit) const;

    // Starts the program with poll tick `tickMs` and `arguments`, headless, or on the X
    // display `display` (":N") when one is given, with the variables `environment` added.
    // Its standard error is collected.
    std::unique_ptr<QProcess> start(int tickMs, const QStringList& arguments = {},
                                    const QString& display = {},
                                    const QStringList& environment = {}) const;
    // The folder of the program's copy ("app/"), which holds its own settings folder.
    QString appFolder() const { return dir_.filePath(QStringLiteral("app")); }

private:
    QTemporaryDir dir_;
    bool ok_ = false;
    QString error_;
};

// Waits, processing events, until `done` or `timeoutMs`; returns done().
bool waitUntil(const std::function<bool()>& done, int timeoutMs);

// Ends a program run at once (SIGKILL, as a crash or a power cut would) and waits for it.
// The program's own end-of-run clean-up is never run by tests: it would end every copy.
void killProgram(QProcess& process);

// Asks a program run to end (SIGTERM, as a session's end does) and waits up to `graceMs`;
// kills it when it is still there. True when it ended on its own.
bool endProgram(QProcess& process, int graceMs = 30000);

// A loopback address of its own for a test (127.x.y.z other than 127.0.0.1), so that a peer
// can take a fixed port such as 25 without meeting another test's.
QString privateLoopbackAddress();

} // namespace testsupport
