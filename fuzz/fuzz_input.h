// Shared by the fuzz targets: cuts a fuzzer input into its leading text lines (names and
// values a caller would pass) and the file bytes that follow them.
#pragma once

#include <QByteArray>
#include <QString>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace fuzz {

// `count` lines (each up to "\n", decoded as UTF-8, without the "\n") and the rest of the
// input as raw bytes. Lines missing at the end of the input come back empty.
struct FuzzInput {
    std::vector<QString> lines;
    QByteArray rest;
};

inline FuzzInput cutInput(const uint8_t* data, size_t size, int count) {
    FuzzInput in;
    const QByteArray all(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    qsizetype pos = 0;
    for (int i = 0; i < count; ++i) {
        qsizetype nl = all.indexOf('\n', pos);
        if (nl < 0)
            nl = all.size();
        in.lines.push_back(QString::fromUtf8(all.mid(pos, nl - pos)));
        pos = qMin(nl + 1, all.size());
    }
    in.rest = all.mid(pos);
    return in;
}

// True when `text` holds a character below U+0020 or U+007F.
inline bool hasControl(const QString& text) {
    for (QChar c : text)
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            return true;
    return false;
}

} // namespace fuzz
