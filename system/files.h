// The program's file and folder primitives: existence test, size, deletion, copy, attribute
// clearing and folder creation, all on Windows path texts.
#pragma once

#include <QString>
#include <QtGlobal>

namespace Lib_Systeme {

// True when `path` (trimmed; " ." collapsed to "." first, then the name as given) names an
// existing file or folder; "*" and "?" in the last component match any fitting entry. With
// `nonEmpty`, a file whose size is exactly 0 counts as absent (a folder or a file that cannot
// be opened does not). A text ending with "\" is not found. Errors are reported under
// `source` + ">Lib_Systeme:File_Exist"; the result is then false.
bool File_Exist(const QString& path, const QString& source, bool nonEmpty);

// Size in bytes of the file `path`, the low 32 bits as a signed number; -1 when it cannot be
// opened for reading (missing, a folder, no permission).
qint32 TailleDuFichier(const QString& path);

// Deletes the file `path` (or every plain file matching a wildcard name) for good. Folders
// are never deleted. False for a blank text, nothing to delete, or a deletion that failed.
// `flags` and `ownerWindow` are accepted for the callers' sake; no dialog is ever shown.
// Errors are reported under `source` + ">Lib_Systeme:File_Delete".
bool File_Delete(const QString& path, const QString& source, qint32 flags = 0,
                 qint32 ownerWindow = 0);

// Copies `source` (a file, or the files matching a wildcard name) to `destination` (a file
// name, or an existing folder to copy into), overwriting an existing file. Missing folders
// of the destination are created. Each copy is written beside its destination and renamed
// over it, so a reader never sees half a copy. False when the source is blank, missing or
// empty, or when a copy failed.
bool File_Copy(const QString& source, const QString& destination, qint32 flags = 0,
               qint32 ownerWindow = 0);

// Clears the attribute bits `bits` (among 1, 2, 4, 8, 16, 32, 64) of the file `path` when it
// exists and is not empty. Bits above 64 are kept. Failures are silent.
void File_RemoveFlag(const QString& path, qint32 bits);

// Makes sure the folder `folder` and all its parents exist, creating the missing ones from
// the top down ("C:\" and the server part of a UNC path are never created). Folders seen or
// created are remembered for the life of the process and not looked at again; a failed
// folder is remembered so that an immediate repeat does nothing. `create` is not read.
// Nothing is created beneath the mount point of a share that is not mounted.
void VerificationEtCreationRepertoire(const QString& folder, bool create = true);

// The folder-creation memory: texts of folders each followed by ",".
struct FolderCreationMemory {
    QString known;  // ",C:\a\,C:\a\b\," once used
    QString failed; // folders whose creation failed
    QString last;   // the folder handled last
};
const FolderCreationMemory& FolderMemory();
// Forgets every folder (tests that move the prefix call this).
void ResetFolderMemory();

} // namespace Lib_Systeme
