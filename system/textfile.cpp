// Encoding detection and line handling for settings and hive files.
#include "system/textfile.h"

#include <QStringDecoder>
#include <QStringEncoder>

#include <array>

namespace TextFile {

namespace {

// Characters of the bytes 0x80..0x9F; unassigned bytes keep their C1 control value.
constexpr std::array<char16_t, 32> kHigh = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

const QByteArray kUtf8Bom("\xEF\xBB\xBF");

std::vector<Line> splitLines(const QString& text) {
    std::vector<Line> lines;
    qsizetype start = 0;
    const qsizetype n = text.size();
    for (qsizetype i = 0; i < n; ++i) {
        const QChar c = text[i];
        if (c != u'\n' && c != u'\r')
            continue;
        Line line;
        line.text = text.mid(start, i - start);
        if (c == u'\r' && i + 1 < n && text[i + 1] == u'\n') {
            line.eol = QStringLiteral("\r\n");
            ++i;
        } else {
            line.eol = QString(c);
        }
        lines.push_back(std::move(line));
        start = i + 1;
    }
    if (start < n)
        lines.push_back(Line{text.mid(start), QString()});
    return lines;
}

bool isAscii(const QByteArray& bytes) {
    for (char c : bytes)
        if (static_cast<unsigned char>(c) >= 0x80)
            return false;
    return true;
}

} // namespace

QString fromUtf8Exact(QByteArrayView bytes, bool* valid) {
    QStringDecoder utf8(QStringDecoder::Utf8,
                        QStringDecoder::Flag::Stateless | QStringDecoder::Flag::ConvertInitialBom);
    QString text = utf8(bytes);
    if (valid)
        *valid = !utf8.hasError();
    return text;
}

QString fromWindows1252(const QByteArray& bytes) {
    QString out;
    out.reserve(bytes.size());
    for (char ch : bytes) {
        const auto b = static_cast<unsigned char>(ch);
        out += (b >= 0x80 && b < 0xA0) ? QChar(kHigh[b - 0x80]) : QChar(b);
    }
    return out;
}

std::optional<QByteArray> toWindows1252(const QString& text) {
    QByteArray out;
    out.reserve(text.size());
    for (QChar c : text) {
        const char16_t u = c.unicode();
        if (u < 0x80 || (u >= 0xA0 && u <= 0xFF)) {
            out += static_cast<char>(u);
            continue;
        }
        bool found = false;
        for (std::size_t i = 0; i < kHigh.size(); ++i) {
            if (kHigh[i] == u) {
                out += static_cast<char>(0x80 + i);
                found = true;
                break;
            }
        }
        if (!found)
            return std::nullopt;
    }
    return out;
}

Document decode(const QByteArray& bytes) {
    Document doc;
    QString text;
    // A decoder that reports failure keeps the bytes for the Windows-1252 reading below.
    auto tryDecode = [&bytes, &text](QStringDecoder::Encoding encoding, qsizetype skip) {
        // The mark itself is skipped here; a second U+FEFF is the text's own.
        QStringDecoder dec(encoding, QStringDecoder::Flag::Stateless |
                                         QStringDecoder::Flag::ConvertInitialBom);
        text = dec(bytes.mid(skip));
        return !dec.hasError();
    };
    if (bytes.startsWith(kUtf8Bom) && tryDecode(QStringDecoder::Utf8, 3))
        doc.encoding = Encoding::Utf8Bom;
    else if (bytes.startsWith("\xFF\xFE") && bytes.size() % 2 == 0 &&
             tryDecode(QStringDecoder::Utf16LE, 2))
        doc.encoding = Encoding::Utf16Le;
    else if (bytes.startsWith("\xFE\xFF") && bytes.size() % 2 == 0 &&
             tryDecode(QStringDecoder::Utf16BE, 2))
        doc.encoding = Encoding::Utf16Be;
    else if (isAscii(bytes))
        text = QString::fromLatin1(bytes);
    else if (tryDecode(QStringDecoder::Utf8, 0))
        doc.encoding = Encoding::Utf8;
    else
        text = fromWindows1252(bytes);
    doc.lines = splitLines(text);
    return doc;
}

QByteArray encode(Document& document) {
    QString text;
    for (const Line& line : document.lines)
        text += line.text + line.eol;
    // Text without a mark whose bytes begin like one ("\xFF\xFE" from "ÿþ") would be read
    // back in another encoding: it is written with the UTF-8 mark instead.
    const auto withoutMark = [&document, &text](QByteArray bytes) {
        if (!bytes.startsWith(kUtf8Bom) && !bytes.startsWith("\xFF\xFE") &&
            !bytes.startsWith("\xFE\xFF"))
            return bytes;
        document.encoding = Encoding::Utf8Bom;
        return kUtf8Bom + text.toUtf8();
    };
    switch (document.encoding) {
    case Encoding::Ansi:
        if (const auto ansi = toWindows1252(text))
            return withoutMark(*ansi);
        document.encoding = Encoding::Utf8;
        return withoutMark(text.toUtf8());
    case Encoding::Utf8:
        return withoutMark(text.toUtf8());
    case Encoding::Utf8Bom:
        return kUtf8Bom + text.toUtf8();
    case Encoding::Utf16Le: {
        QStringEncoder enc(QStringEncoder::Utf16LE);
        return QByteArray("\xFF\xFE") + QByteArray(enc(text));
    }
    case Encoding::Utf16Be: {
        QStringEncoder enc(QStringEncoder::Utf16BE);
        return QByteArray("\xFE\xFF") + QByteArray(enc(text));
    }
    }
    return text.toUtf8();
}

} // namespace TextFile
