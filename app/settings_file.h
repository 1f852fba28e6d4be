// The program's settings file "VL3_Postique.ini" in the suite's global configuration folder:
// its keys in reading and writing order, and the reading of stored numbers.
#pragma once

#include <QString>
#include <QtGlobal>

#include <optional>

class Frm_Main;

namespace Lib_Public {

// DossierConfigGlobal[0] + "VL3_Postique.ini" (the bare name while that folder is blank,
// which the INI layer resolves in the Windows folder).
QString SettingsFilePath();

// The numeric value a stored number stands for: the leading decimal number of `text`
// (blanks before and inside it skipped, optional sign, fraction and exponent), 0 when the
// text starts with none, rounded half to even to a 16-bit integer. Empty when the value
// does not fit in 16 bits (an overflow, which the caller treats as a refused value).
std::optional<qint16> StoredNumber(const QString& text);

// Name of the job-folder key of element `index` of TexteDossier: "Dossier_00", ...
QString JobFolderKey(int index);

// Creates the settings file `file` empty, readable and writable by its owner only (mode
// 0600), together with its folder, unless it exists already (an existing file keeps its
// permissions). The file holds the mail account's password in clear text. Returns false
// with `error` filled when the file could not be created.
bool CreatePrivateSettingsFile(const QString& file, QString* error = nullptr);

} // namespace Lib_Public
