// The compose panel: its buttons (declared in ui/frm_main.h, defined beside this header)
// and the filter of its attachment picker.
#pragma once

#include <QString>
#include <QtGlobal>

namespace ComposePanel {

// Filter of the attachment picker.
inline const QString kAttachmentFilter = QStringLiteral("Tous les fichiers (*.*) | *.*");

} // namespace ComposePanel
