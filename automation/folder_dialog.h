// The folder chooser of the shared-folder frame: the platform's folder dialog behind a small
// wrapper that tests can script and that cancels by itself when there is no display.
#pragma once

#include <QString>

class QWidget;

namespace FolderDialog {

// Shows the folder dialog over `owner`, starting in `startFolder` (a Windows folder text,
// may be blank), with `title` (blank: the dialog's default prompt). Returns the chosen
// folder as a Windows text ending with "\", or "*" when the choice was cancelled. A queued
// answer is taken instead of showing anything; without a display an unscripted call is a
// cancel. Never fails.
QString Choose(QWidget* owner, const QString& startFolder, const QString& title);

// Queues the outcome of the next Choose(): a native folder path is a choice, "*" a cancel.
void queueAnswer(const QString& nativeFolderOrStar);

// The start folder of the last Choose() as the dialog was given it (native path; tests).
QString lastStartFolder();

} // namespace FolderDialog
