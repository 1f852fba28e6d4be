// The character-set table of the settings page: the display names of the "Encodage" list and
// the identifiers handed to the mail component.
#pragma once

#include <QString>

#include <array>

// One row: the name shown in ListeCharset and the identifier written into the mails.
struct CharsetRow {
    QString DisplayName;
    QString Identifier;
};

// The 28 rows in list order (the list index is the row index). Names and identifiers are
// exactly as the program has always shown and sent them.
extern const std::array<CharsetRow, 28> Charsets;

// Row selected when the component's default identifier is not in the table.
inline constexpr int CharsetDefaultRow = 26;

// The identifier of row `index`, or "" when `index` is outside the table (-1: no selection).
QString CharsetIdentifier(int index);

// The row whose identifier equals `identifier` ignoring case (the last one when several do),
// else CharsetDefaultRow.
int CharsetRowFor(const QString& identifier);
