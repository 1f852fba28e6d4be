// Path and name helpers: put the suite's Windows folder and file texts into a predictable
// form (trailing backslash, folder/name/extension split, cleaned folder names).
#pragma once

#include <QString>

namespace Lib_Public {

// The three parts of a full path, as split by EclateRepFicExt.
struct RepFicExtRecord {
    QString Rep; // folder with its trailing "\" ("" when the path has no "\")
    QString Fic; // file name without folder and extension
    QString Ext; // extension with its leading dot (".ini"), "" when there is none
};

// The record that EclateRepFicExt fills; read it right after the call (user-interface
// thread only).
extern RepFicExtRecord RepFicExt;

// Returns `path` ending in exactly one "\": "" stays "", a path ending in "\\" loses its
// last character, a path ending in "\" is kept, any other gets "\" appended. Nothing else in
// the path is looked at (no trimming). Never fails.
QString CheckRep(const QString& path);

// Splits `fullPath` (spaces trimmed) into folder, file name and extension and stores them in
// RepFicExt; also returns a copy. The extension starts at the last dot after the last "\".
// A blank input gives Rep = the trimmed input and empty Fic and Ext. Never fails.
RepFicExtRecord EclateRepFicExt(const QString& fullPath);

// Cleans a folder name typed by a user or read from a setting: the characters / * ? " < > |
// and "," become spaces, "...", ".." and "%" are removed (not resolved), ":" after the first
// two characters (drive or UNC "\\") becomes a space, spaces before "\" and at both ends go.
// Never fails.
QString NettoieNomDeDossier(const QString& folder);

// False when `fileName` contains "*", "?", a double quote or "|"; true otherwise (other
// characters are not checked). Never fails.
bool NomFichierCorrect(const QString& fileName);

} // namespace Lib_Public
