// Saving the pages of the main window as pictures.
#include "ui/screenshots.h"

#include "ui/frm_main.h"
#include "ui/sft_tabs.h"

#include <QCoreApplication>
#include <QDir>
#include <QPixmap>

namespace Screenshots {

bool SavePages(Frm_Main& window, const QString& folder, QString* error) {
    if (!QDir().mkpath(folder)) {
        if (error)
            *error = QStringLiteral("cannot create %1").arg(folder);
        return false;
    }
    const int current = window.SftTabsMain->currentIndex();
    for (int i = 0; i < window.SftTabsMain->count(); ++i) {
        window.SftTabsMain->setCurrentIndex(i);
        QCoreApplication::processEvents();
        const QString path = QDir(folder).filePath(QStringLiteral("page%1.png").arg(i));
        if (!window.grab().save(path, "PNG")) {
            if (error)
                *error = QStringLiteral("cannot write %1").arg(path);
            window.SftTabsMain->setCurrentIndex(current);
            return false;
        }
    }
    window.SftTabsMain->setCurrentIndex(current);
    return true;
}

} // namespace Screenshots
