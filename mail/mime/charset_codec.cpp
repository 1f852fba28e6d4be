// ICU converters keyed by the identifiers mails carry.
#include "mail/mime/charset_codec.h"

#include "mail/engine/c_handles.h"

#include <unicode/ucnv.h>
#include <unicode/ucnv_err.h>

#include <memory>

namespace mail::charset {

namespace {

using Converter = IcuConverter;

// ICU's own name where the mail identifier differs from what ICU would pick: the Korean
// identifier means Microsoft's code page 949, a superset of EUC-KR.
QByteArray icuName(const QString& identifier) {
    const QString id = identifier.trimmed().toLower();
    if (id == u"ks_c_5601-1987" || id == u"ks_c_5601" || id == u"ks_c_5601-1989")
        return QByteArrayLiteral("windows-949");
    if (id == u"hz-gb-2312")
        return QByteArrayLiteral("HZ");
    return id.toLatin1();
}

// A converter that stops at the first character (or byte sequence) it cannot map.
Converter open(const QString& identifier) {
    const QByteArray name = icuName(identifier);
    if (name.isEmpty())
        return nullptr;
    UErrorCode status = U_ZERO_ERROR;
    Converter conv(ucnv_open(name.constData(), &status));
    if (U_FAILURE(status) || !conv)
        return nullptr;
    ucnv_setFromUCallBack(conv.get(), UCNV_FROM_U_CALLBACK_STOP, nullptr, nullptr, nullptr,
                          &status);
    ucnv_setToUCallBack(conv.get(), UCNV_TO_U_CALLBACK_STOP, nullptr, nullptr, nullptr, &status);
    ucnv_setFallback(conv.get(), false);
    if (U_FAILURE(status))
        return nullptr;
    return conv;
}

} // namespace

bool IsKnown(const QString& identifier) {
    return open(identifier) != nullptr;
}

std::optional<QByteArray> Encode(const QString& text, const QString& identifier) {
    Converter conv = open(identifier);
    if (!conv)
        return std::nullopt;
    // One pass into a buffer of the largest possible size: stateful converters must see the
    // text once, from their initial state, and end with their closing shift.
    const auto* src = reinterpret_cast<const UChar*>(text.utf16());
    const int32_t srcLength = static_cast<int32_t>(text.size());
    const int32_t capacity =
        UCNV_GET_MAX_BYTES_FOR_STRING(srcLength, ucnv_getMaxCharSize(conv.get())) + 16;
    QByteArray out(capacity, Qt::Uninitialized);
    UErrorCode status = U_ZERO_ERROR;
    const int32_t length =
        ucnv_fromUChars(conv.get(), out.data(), capacity, src, srcLength, &status);
    if (U_FAILURE(status))
        return std::nullopt;
    out.truncate(length);
    // ICU's HZ converter opens a text that starts with ASCII by a needless "~}" (leave GB
    // mode), which strict decoders reject.
    if (out.startsWith("~}") && icuName(identifier) == "HZ")
        out.remove(0, 2);
    return out;
}

std::optional<QString> Decode(const QByteArray& bytes, const QString& identifier) {
    Converter conv = open(identifier);
    if (!conv)
        return std::nullopt;
    const int32_t capacity = static_cast<int32_t>(bytes.size()) * 2 + 16;
    QString out(capacity, Qt::Uninitialized);
    UErrorCode status = U_ZERO_ERROR;
    const int32_t length =
        ucnv_toUChars(conv.get(), reinterpret_cast<UChar*>(out.data()), capacity, bytes.constData(),
                      static_cast<int32_t>(bytes.size()), &status);
    if (U_FAILURE(status))
        return std::nullopt;
    out.truncate(length);
    return out;
}

} // namespace mail::charset
