// Routines that reach outside the program: the start-up entry that brings the program back
// after a restart, the restart of the computer and the end of every running copy.
#pragma once

#include <QList>
#include <QString>
#include <QtGlobal>

namespace Lib_Systeme {

// Environment variable naming a file: when it is set (not empty), the computer restart and
// the end of every copy are written to that file, one line each, instead of being done.
// Every test and bench that runs the program sets it: the real clean-up would end the
// other copies running on the machine.
inline constexpr char ProcessRecordVariable[] = "POSTIQUE_PROCESS_RECORD";

// Lines written to the record file: "ShutdownWindows <mode>" and
// "EndAllCopies <name> <pid> <pid> ..." (the processes that would have been ended).
inline constexpr char RecordShutdown[] = "ShutdownWindows";
inline constexpr char RecordEndAllCopies[] = "EndAllCopies";

// Creates (create = true) or removes the program's start-up entry "Velmora - Postique.desktop"
// in the Startup folder (GetSpecialFolderLocation(7), the user's autostart folder). The entry
// starts <DossierApplication>VL3_Postique with " /Wait=<waitMs>" in DossierApplication (the
// running executable's folder while DossierApplication is not set); an existing entry is
// replaced. waitMs is clamped to 1000..120000 and the clamped value written back. Failures
// are reported under `source` + ">Lib_Systeme:CreateShortCutStartUp"; nothing is raised.
void CreateShortCutStartUp(bool create, qint32& waitMs, const QString& source);

// Asks the system to restart (mode & 2) or power off, closing applications without asking
// (the force flag 4 is always added). Failures are ignored.
void ShutdownWindows(qint32 mode);

// The program the start-up entry starts: `runningExecutable` when it is this program (its
// file is named "VL3_Postique"), else "VL3_Postique" in the native folder
// `applicationFolderNative` ("" when that folder is blank).
QString StartupEntryProgram(const QString& applicationFolderNative,
                            const QString& runningExecutable);

// Process ids of the current user's processes whose name (/proc/PID/comm) is `name`, the
// calling process left out, in increasing order. Unreadable entries are skipped.
QList<qint64> ProcessesNamed(const QString& name);

// Name of the marker file that every running copy holds open in its settings folder: the
// copies holding the same file belong to the same installation.
inline constexpr char InstallationMarkerName[] = ".VL3_Postique.running";

// Opens (creating it and its folder when missing) the marker file in the native folder
// `settingsFolder` and holds it open until the process ends or ReleaseInstallationMarker; a
// marker already held is released first. Returns false with `error` filled on failure.
bool HoldInstallationMarker(const QString& settingsFolder, QString* error = nullptr);

// Closes the marker held by this process, if any: from then on the other copies no longer
// count this one as a copy of their installation.
void ReleaseInstallationMarker();

// Process ids of the current user's processes named `name` that hold open the same marker
// file as this process (the same installation), the calling process left out, in increasing
// order. Empty while this process holds no marker.
QList<qint64> CopiesOfInstallation(const QString& name);

// Asks each process of `pids` to end (SIGTERM), waits until all of them are gone or
// `graceMs` ran out, then ends by force (SIGKILL) those still there whose name is still
// `name` (a process id may have been reused meanwhile). Returns the ids that had to be
// killed. A zombie counts as gone.
QList<qint64> EndProcesses(const QList<qint64>& pids, const QString& name, int graceMs);

// The copies of the installation that the end-of-run clean-up ends: CopiesOfInstallation but
// the background service, a copy the service manager started (INVOCATION_ID or NOTIFY_SOCKET
// in its environment) without a display, which goes on sending once the window is closed.
QList<qint64> CopiesToEnd(const QString& name);

// The end-of-run clean-up: releases this copy's marker, ends the other copies of the same
// installation (CopiesToEnd; EndProcesses with a grace of a few seconds), then the calling
// process itself (exit status 0, without running destructors). Copies of other installations
// and the background service are left alone. With the record variable set, writes the
// "EndAllCopies" line naming the copies that would have been ended and returns instead. Failures
// are ignored: the caller then ends normally.
void EndAllCopies(const QString& name);

} // namespace Lib_Systeme
