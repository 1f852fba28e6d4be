// The program's settings file "VL3_Postique.ini" in the suite's global configuration folder:
// its keys in reading and writing order, and the reading of stored numbers.
#pragma once

#include "station/settings_store.h"

#include <QString>
#include <QtGlobal>

#include <optional>

class Frm_Main;

namespace Lib_Public {

// Name of the job-folder key of element `index` of TexteDossier: "Dossier_00", ...
QString JobFolderKey(int index);

// Creates the settings file `file` empty, readable and writable by its owner only (mode
// 0600), together with its folder, unless it exists already (an existing file keeps its
// permissions). The file holds the mail account's password in clear text. Returns false
// with `error` filled when the file could not be created.
bool CreatePrivateSettingsFile(const QString& file, QString* error = nullptr);

} // namespace Lib_Public
