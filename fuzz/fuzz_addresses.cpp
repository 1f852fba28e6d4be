// Fuzz target for the address-list splitters: the quote-aware list splitting, the sender
// splitting and the MIME address-list parser take any text without a crash and keep their
// contracts.
#include "mail/mime/mime_builder.h"
#include "station/addresses.h"

#include <cstdint>
#include <cstdlib>

namespace {

bool stripped(const QString& text, const QString& set) {
    return text.isEmpty() || (!set.contains(text.front()) && !set.contains(text.back()));
}

void checkSplit(const QString& source, QChar delimiter) {
    const QStringList tokens = Addresses::SplitEx(source, delimiter);
    for (const QString& token : tokens)
        if (token.isEmpty() || token.front() == delimiter || token.back() == delimiter)
            std::abort();
    // Without quotes, the split is the plain one.
    if (!source.contains(u'"') && tokens != source.split(delimiter, Qt::SkipEmptyParts))
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QString text =
        QString::fromUtf8(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    checkSplit(text, u',');
    checkSplit(text, u';');

    for (QString entry : Addresses::SplitEx(text, u',')) {
        Addresses::FnTrim(entry, Addresses::kListEntrySet);
        if (!stripped(entry, Addresses::kListEntrySet))
            std::abort();
        QString name, address;
        Addresses::FnParseAddr(entry, name, address);
        if (!stripped(name, Addresses::kAddressPartSet) ||
            !stripped(address, Addresses::kAddressPartSet))
            std::abort();
    }
    const qsizetype at = Addresses::Strpbrk(text, 0, QStringLiteral("@<"));
    if (at < -1 || at >= text.size())
        std::abort();

    QList<mail::Mailbox> boxes;
    QString error;
    if (mail::detail::ParseAddressList(text, boxes, error)) {
        for (const mail::Mailbox& box : boxes)
            if (!box.address.contains(u'@'))
                std::abort();
    } else if (error.isEmpty()) {
        std::abort();
    }
    return 0;
}
