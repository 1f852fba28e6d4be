// Line-based text files shared with the suite's Windows modules: encoding detection
// (UTF-8, UTF-16 with BOM, else Windows-1252), lines with their own endings, and write-back.
#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <optional>
#include <vector>

namespace TextFile {

enum class Encoding { Ansi, Utf8, Utf8Bom, Utf16Le, Utf16Be };

// One line: its text and the ending that followed it ("\r\n", "\n", "\r", or "" for a last
// line without one).
struct Line {
    QString text;
    QString eol;
};

struct Document {
    Encoding encoding = Encoding::Ansi;
    std::vector<Line> lines;
};

// Windows-1252 with the five unassigned bytes mapped to the C1 controls of the same value,
// so every byte sequence round-trips.
QString fromWindows1252(const QByteArray& bytes);
// Empty when a character has no Windows-1252 byte.
std::optional<QByteArray> toWindows1252(const QString& text);

// `bytes` as UTF-8 text, a leading U+FEFF kept as the text's own character (QString::fromUtf8
// drops it); invalid sequences become U+FFFD and clear `*valid` when given.
QString fromUtf8Exact(QByteArrayView bytes, bool* valid = nullptr);

// Reads bytes: a UTF-8 or UTF-16 byte-order mark decides; else valid UTF-8 with non-ASCII
// characters is UTF-8; anything else is Windows-1252 (which never fails). Lines may end with
// CRLF, LF or a lone CR.
Document decode(const QByteArray& bytes);

// The bytes of a document in its own encoding. When an Ansi document holds a character that
// Windows-1252 cannot hold, the document switches to UTF-8 (without BOM) rather than lose
// the character; a document without BOM whose bytes would begin like a BOM switches to UTF-8
// with BOM, so that it reads back as written.
QByteArray encode(Document& document);

} // namespace TextFile
