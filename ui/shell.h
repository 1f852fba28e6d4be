// Opening documents and addresses with the desktop's default application, and the folder
// chooser, with the result codes and texts the program has always used for them.
#pragma once

#include <QString>
#include <QtGlobal>

class QWidget;

namespace Lib_Systeme {

// Shell result codes: above 32 is success.
inline constexpr qint32 ShellOk = 42;
inline constexpr qint32 ShellFileNotFound = 2;
inline constexpr qint32 ShellPathNotFound = 3;
inline constexpr qint32 ShellAccessDenied = 5;
inline constexpr qint32 ShellNoAssociation = 31;

// The application-defined error base plus 1048, added to a shell code to number its error.
inline constexpr qint32 ShellErrorBase = -2147220456;

// Error number and French message of a failed shell result (`result` <= 32), as reported:
// 2 gives number 53 and no message (never reported).
struct ShellError {
    qint32 number = 0;
    QString message;
};
ShellError ShellErrorFor(qint32 result);

// Opens `file` (a Windows path text, or an address such as "https://..." or
// "mailto:...") with the desktop's default application through xdg-open, detached, with
// the operation `operation` ("Open"; "" also opens), `parameters` and `folder` (working
// folder, Windows text; may be blank). `owner` and `showCommand` are accepted for the
// callers' sake. Returns the shell result: ShellOk, or 2 (missing file), 3 (missing
// folder), 5 (not readable), 31 (no application for it, or xdg-open missing), or another
// code <= 32 for other failures. A failure other than 2 is reported through
// GestionDesErreurs under "Lib_Systeme:ExecuterProgrammeExterne" with ShellErrorFor's
// number and message. Waits at most about two seconds for xdg-open's verdict, processing
// events; a launcher still running then counts as success. Never raises.
qint32 ExecuterProgrammeExterne(QWidget* owner, const QString& operation, const QString& file,
                                const QString& parameters, const QString& folder,
                                qint32 showCommand);

// Default title of the folder chooser.
inline constexpr char16_t FolderSelectTitle[] = u"Sélectionnez un dossier: ";

// Lets the user pick a folder, starting in the folder part of `startPath`
// (EclateRepFicExt; the program's folder when blank, the user's home when not there), titled
// `title` (FolderSelectTitle when empty). Returns the chosen folder as a Windows text ending with
// "\", created when missing, or "*" when the choice was cancelled or is not a file-system folder. A
// queued answer (FolderSelectQueueAnswer) is taken instead of showing the dialog; without a display
// an unscripted call is a cancel. Errors are reported under "Lib_Systeme:FolderSelect" and give
// "*".
QString FolderSelect(QWidget* owner, const QString& startPath, const QString& title);

// Queues the outcome of the next FolderSelect: a native folder path is a choice, "*" a cancel.
void FolderSelectQueueAnswer(const QString& nativeFolderOrStar);

// The start folder (Windows text, without its trailing "\") and the title that the last
// FolderSelect gave its dialog.
QString FolderSelectLastStart();
QString FolderSelectLastTitle();

} // namespace Lib_Systeme
