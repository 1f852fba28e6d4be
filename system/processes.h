// Routines that reach outside the program: the start-up entry that brings the program back
// after a restart, and the restart of the computer itself.
#pragma once

#include <QString>
#include <QtGlobal>

namespace Lib_Systeme {

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

} // namespace Lib_Systeme
