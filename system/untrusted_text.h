// Text that comes from outside (files, servers, job rows, the environment) made safe to show
// on one line: in an incident line, a mail header, a message box or the diagnostic trace.
#pragma once

#include <QString>

namespace Untrusted {

// True for a character that may not reach a line as such: C0 and C1 controls and DEL, the
// line and paragraph separators (U+2028, U+2029) and the bidirectional controls (marks
// U+200E, U+200F, U+061C, embeddings and overrides U+202A..U+202E, isolates
// U+2066..U+2069), which could make a line read other than it is.
bool IsUnsafe(QChar c);

// True when `text` holds at least one unsafe character.
bool HasUnsafe(const QString& text);

// `text` with each run of unsafe characters replaced by one space; everything else kept as
// it is. Never fails.
QString Clean(const QString& text);

// The length at which a quoted outside text is cut by default.
inline constexpr qsizetype kQuotedTextLimit = 300;

// Clean, then blanks simplified (runs of white space become one space, none at
// either end), then cut to `maxLength` characters followed by "..." when longer (a surrogate
// pair is never split). For texts quoted inside a longer message. Never fails.
QString CleanQuoted(const QString& text, qsizetype maxLength = kQuotedTextLimit);

} // namespace Untrusted
