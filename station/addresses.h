// Text routines that turn what an operator or a job types into addresses: sender splitting,
// trimming of a character set, set search and quote-aware list splitting.
#pragma once

#include <QChar>
#include <QString>
#include <QStringList>

namespace Addresses {

// The characters stripped from both ends of a display name or an address:
// space, comma, semicolon, "<", ">", double quote and apostrophe.
inline const QString kAddressPartSet = QStringLiteral(" ,;<>\"'");

// Characters stripped from each entry of a recipient list: space, comma, semicolon.
inline const QString kListEntrySet = QStringLiteral(" ,;");

// Strips from both ends of `text`, in place, every character that belongs to `set` (exact,
// case-sensitive comparison of single characters). Characters of the set inside the text
// stay. A text made only of members becomes empty. Any length. Never fails.
void FnTrim(QString& text, const QString& set);

// Index (0-based) of the first character of `text` at or after index `start` that belongs
// to `set`; -1 when there is none or when `start` lies outside the text (negative starts
// count as 0). Any length. Never fails.
qsizetype Strpbrk(const QString& text, qsizetype start, const QString& set);

// Splits a sender text at its first "<": `name` gets what stands before it, `address` the
// rest with the "<" included; without "<" the name is empty and the address is the whole
// source. Both are then stripped of kAddressPartSet at their ends only, so text after a
// closing ">" stays in the address. Never fails.
void FnParseAddr(const QString& source, QString& name, QString& address);

// Cuts `source` on `delimiter`, leaving delimiters between double quotes alone (the quotes
// stay in the token). Each token is stripped of the delimiter at its ends and dropped when
// it comes out empty; spaces are kept (callers strip with kListEntrySet). An opening quote
// that is never closed makes the rest of the text one token. Any length. Never fails.
QStringList SplitEx(const QString& source, QChar delimiter);

} // namespace Addresses
