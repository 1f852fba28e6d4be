// Pictures of the main window's pages, for looking at the layout without a desktop.
#pragma once

#include <QString>

class Frm_Main;

namespace Screenshots {

// Brings each page of the main window to the front in turn and saves a PNG of the whole
// window as "<folder>/page<N>.png" (N = 0..3), then brings the first page back.
// Returns false (with `error`) when the folder cannot be made or a picture not written.
bool SavePages(Frm_Main& window, const QString& folder, QString* error);

} // namespace Screenshots
