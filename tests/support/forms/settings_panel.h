// A started main window for tests of the settings page: fresh folder globals on the current
// temporary prefix, the start-up sequence run, and typing into its widgets with key events.
#pragma once

#include <QString>

#include <memory>

class Frm_Main;
class QWidget;

// The executable's folder the tests pretend to run from (a Windows text in the prefix).
inline const QString kTestApplicationFolder = QStringLiteral("C:\\Velmora\\Bin\\");

// Empties every folder global and the folder caches, and points DossierApplication at
// kTestApplicationFolder. Call with a TempPrefix alive.
void ResetFolderState();

// ResetFolderState, then a new Frm_Main with the start-up steps of the settings page run on
// it: folders, the auto-fill flags, the protocol and port lists, the settings file of the
// prefix loaded into the page, the modified flag cleared. Only one may exist at a time.
std::unique_ptr<Frm_Main> StartMainWindow();

// Types `text` into `widget` as a user would: one key press and release per character.
void TypeText(QWidget* widget, const QString& text);

// Empties a text field as a user would: select all, then Backspace, with key events.
void ClearByKeys(QWidget* widget);
