// The one cleaner of outside text. Replacing (not deleting) keeps words apart where a line
// break separated them; collapsing a run keeps a CRLF from becoming two spaces.
#include "system/untrusted_text.h"

#include <algorithm>

namespace Untrusted {

bool IsUnsafe(QChar c) {
    const char16_t u = c.unicode();
    return c.category() == QChar::Other_Control || u == 0x2028 || u == 0x2029 || u == 0x200E ||
           u == 0x200F || u == 0x061C || (u >= 0x202A && u <= 0x202E) ||
           (u >= 0x2066 && u <= 0x2069);
}

bool HasUnsafe(const QString& text) {
    for (const QChar c : text)
        if (IsUnsafe(c))
            return true;
    return false;
}

QString Clean(const QString& text) {
    QString out;
    out.reserve(text.size());
    bool inRun = false;
    for (const QChar c : text) {
        if (IsUnsafe(c)) {
            if (!inRun)
                out += u' ';
            inRun = true;
        } else {
            out += c;
            inRun = false;
        }
    }
    return out;
}

QString CleanQuoted(const QString& text, qsizetype maxLength) {
    QString out = Clean(text).simplified();
    if (out.size() <= maxLength)
        return out;
    qsizetype cut = std::max<qsizetype>(0, maxLength);
    if (cut > 0 && out.at(cut - 1).isHighSurrogate())
        --cut;
    return out.left(cut) + QStringLiteral("...");
}

} // namespace Untrusted
