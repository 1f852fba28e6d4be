// Conversion of text into the byte form of a mail character set, through ICU so that every
// identifier of the character-set table works (glibc's iconv lacks HZ, for one).
#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

namespace mail::charset {

// True when `identifier` (any letter case, as written in the headers) can be converted.
bool IsKnown(const QString& identifier);

// `text` in the byte form of `identifier`, or nullopt when the identifier is unknown or the
// text holds a character that the character set cannot represent (nothing is replaced).
// Stateful encodings (ISO-2022-JP, HZ, UTF-7) end in their initial state, so each result can
// stand alone (one encoded word, one body).
std::optional<QByteArray> Encode(const QString& text, const QString& identifier);

// Bytes in `identifier` back to text, or nullopt when the bytes are not valid there.
std::optional<QString> Decode(const QByteArray& bytes, const QString& identifier);

} // namespace mail::charset
