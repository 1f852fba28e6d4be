// ICU converters keyed by the identifiers mails carry.
#include "mail/charset_codec.h"

#include <unicode/ucnv.h>
#include <unicode/ucnv_err.h>

#include <memory>

namespace mail::charset {

namespace {

struct ConverterCloser {
    void operator()(UConverter* c) const { ucnv_close(c); }
};
using Converter = std::unique_ptr<UConverter, ConverterCloser>;

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

bool IsKnown(const QString& identifier) { return open(identifier) != nullptr; }

std::optional<QByteArray> Encode(const QString& text, const QString& identifier) {
    Converter conv = open(identifier);
    if (!conv)
        return std::nullopt;
    const auto* src = reinterpret_cast<const UChar*>(text.utf16());
    const int32_t srcLength = static_cast<int32_t>(text.size());
    UErrorCode status = U_ZERO_ERROR;
    const int32_t needed = ucnv_fromUChars(conv.get(), nullptr, 0, src, srcLength, &status);
    if (status != U_BUFFER_OVERFLOW_ERROR && U_FAILURE(status))
        return std::nullopt;
    QByteArray out(needed, Qt::Uninitialized);
    status = U_ZERO_ERROR;
    ucnv_resetFromUnicode(conv.get());
    ucnv_fromUChars(conv.get(), out.data(), needed, src, srcLength, &status);
    if (U_FAILURE(status))
        return std::nullopt;
    return out;
}

std::optional<QString> Decode(const QByteArray& bytes, const QString& identifier) {
    Converter conv = open(identifier);
    if (!conv)
        return std::nullopt;
    UErrorCode status = U_ZERO_ERROR;
    const int32_t needed = ucnv_toUChars(conv.get(), nullptr, 0, bytes.constData(),
                                         static_cast<int32_t>(bytes.size()), &status);
    if (status != U_BUFFER_OVERFLOW_ERROR && U_FAILURE(status))
        return std::nullopt;
    QString out(needed, Qt::Uninitialized);
    status = U_ZERO_ERROR;
    ucnv_resetToUnicode(conv.get());
    ucnv_toUChars(conv.get(), reinterpret_cast<UChar*>(out.data()), needed, bytes.constData(),
                  static_cast<int32_t>(bytes.size()), &status);
    if (U_FAILURE(status))
        return std::nullopt;
    return out;
}

} // namespace mail::charset
