// Folder chooser wrapper: scripted answers, headless cancel, Windows text in and out.
#include "automation/folder_dialog.h"

#include "system/paths.h"
#include "system/winpath.h"
#include "ui/msgbox.h"

#include <QFileDialog>
#include <QQueue>

namespace FolderDialog {

namespace {
QQueue<QString> answers;
QString lastStart;
} // namespace

QString Choose(QWidget* owner, const QString& startFolder, const QString& title) {
    lastStart = startFolder.trimmed().isEmpty() ? QString() : WinPath::nativePath(startFolder);
    QString native;
    if (!answers.isEmpty()) {
        native = answers.dequeue();
    } else if (MsgBox::headless()) {
        native = QStringLiteral("*");
    } else {
        native = QFileDialog::getExistingDirectory(
            owner, title.isEmpty() ? QStringLiteral("Sélection du dossier...") : title, lastStart);
        if (native.isEmpty())
            native = QStringLiteral("*");
    }
    if (native == QStringLiteral("*"))
        return native;
    return Lib_Public::CheckRep(WinPath::toWindows(native));
}

void queueAnswer(const QString& nativeFolderOrStar) { answers.enqueue(nativeFolderOrStar); }

QString lastStartFolder() { return lastStart; }

} // namespace FolderDialog
