// Reading and writing INI settings files with the private-profile rules the suite's modules
// share; every write is locked and replaces the file atomically.
#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

namespace Lib_Systeme {

// The value of `key` in `section` of the INI file `filePath` (a Windows text; a bare file
// name lies in the Windows folder). Sections and keys match without regard to case, the
// first matching section and key win; blanks around the value and one pair of enclosing
// quotes are removed; at most 254 characters come back. A missing file, section or key, a
// key without "=", or a path failing NomFichierCorrect gives `defaultValue` (trailing blanks
// and one pair of quotes removed, except for the file-name check, which returns it
// unchanged). A present but empty value gives "". Never fails; errors are reported under
// "Lib_Systeme:LectureIni".
QString LectureIni(const QString& filePath, const QString& section, const QString& key,
                   const QString& defaultValue);

// Writes `key`=`value` into `section` of `filePath`: an existing key is replaced in place,
// a new key goes at the end of its section, a new section at the end of the file; every
// other line stays as it was. When the write fails, the file's folder is created and the
// write tried again, then the file's read-only attribute is cleared and it is tried a last
// time. False for a blank section or key, a path failing NomFichierCorrect, or a write that
// still failed. Line breaks in names and value are written as spaces. Errors are reported
// under "Lib_Systeme:EcritureIni".
bool EcritureIni(const QString& filePath, const QString& section, const QString& key,
                 const QString& value);

// The engine's work on the bytes of one file, without the file: exposed for tests and fuzzing.
namespace IniText {

// The value of `key` in `section` of the file's `bytes` (any encoding the engine reads),
// blanks trimmed, quotes kept, not capped. Empty when the section or the key is missing or
// the key line has no "=". Never fails.
std::optional<QString> readValue(const QByteArray& bytes, const QString& section,
                                 const QString& key);

// The bytes of the file once `key`=`value` is written into `section` (`current` empty for a
// file that does not exist yet), with the placement rules of EcritureIni and every other line
// unchanged. `section`, `key` and `value` must hold no line break. Never fails.
QByteArray writeValue(const std::optional<QByteArray>& current, const QString& section,
                      const QString& key, const QString& value);

} // namespace IniText

} // namespace Lib_Systeme
