// Job file reader: encoding recognition and RFC 4180 splitting of a job's bytes.
#include "automation/job_file.h"

#include "automation/workbook_reader.h"

#include <QStringDecoder>

namespace automation {

QString JobSheet::cell(int row, int column) const {
    if (row < 1 || row > rowCount() || column < 1)
        return {};
    const Row& r = rows_[static_cast<size_t>(row - 1)];
    if (column > static_cast<int>(r.size()))
        return {};
    return r[static_cast<size_t>(column - 1)];
}

void JobSheet::appendRow(Row row) {
    columns_ = std::max(columns_, static_cast<int>(row.size()));
    rows_.push_back(std::move(row));
}

namespace {

// Windows-1252 code points for bytes 0x80..0x9F; 0 marks the five undefined bytes.
constexpr char16_t kCp1252High[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

bool decodeWindows1252(const QByteArray& bytes, QString& text, QString& error) {
    text.resize(bytes.size());
    QChar* out = text.data();
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        const auto b = static_cast<unsigned char>(bytes[i]);
        if (b >= 0x80 && b <= 0x9F) {
            const char16_t c = kCp1252High[b - 0x80];
            if (c == 0) {
                error = QStringLiteral("byte 0x%1 at offset %2 is not Windows-1252")
                            .arg(b, 2, 16, QLatin1Char('0'))
                            .arg(i);
                return false;
            }
            out[i] = QChar(c);
        } else {
            out[i] = QChar(static_cast<char16_t>(b));
        }
    }
    return true;
}

bool decodeUtf16(const QByteArray& bytes, bool bigEndian, QString& text, QString& error) {
    if (bytes.size() % 2 != 0) {
        error = QStringLiteral("UTF-16 text with an odd number of bytes");
        return false;
    }
    const qsizetype n = bytes.size() / 2;
    text.resize(n);
    QChar* out = text.data();
    for (qsizetype i = 0; i < n; ++i) {
        const auto hi = static_cast<unsigned char>(bytes[2 * i + (bigEndian ? 0 : 1)]);
        const auto lo = static_cast<unsigned char>(bytes[2 * i + (bigEndian ? 1 : 0)]);
        out[i] = QChar(static_cast<char16_t>((hi << 8) | lo));
    }
    // Surrogates must come in high-low pairs.
    for (qsizetype i = 0; i < n; ++i) {
        if (out[i].isHighSurrogate() && i + 1 < n && out[i + 1].isLowSurrogate()) {
            ++i;
        } else if (out[i].isSurrogate()) {
            error = QStringLiteral("unpaired UTF-16 surrogate at character %1").arg(i);
            return false;
        }
    }
    return true;
}

bool decodeUtf8(const QByteArray& bytes, QString& text) {
    QStringDecoder decoder(QStringConverter::Utf8, QStringConverter::Flag::Stateless);
    text = decoder.decode(bytes);
    return !decoder.hasError();
}

} // namespace

bool decodeJobText(const QByteArray& bytes, QString& text, JobEncoding& encoding, QString& error) {
    text.clear();
    if (bytes.startsWith("\xEF\xBB\xBF")) {
        encoding = JobEncoding::Utf8Bom;
        if (!decodeUtf8(bytes.mid(3), text)) {
            error = QStringLiteral("invalid UTF-8 after a UTF-8 byte-order mark");
            return false;
        }
    } else if (bytes.startsWith("\xFF\xFE")) {
        encoding = JobEncoding::Utf16LE;
        if (!decodeUtf16(bytes.mid(2), false, text, error))
            return false;
    } else if (bytes.startsWith("\xFE\xFF")) {
        encoding = JobEncoding::Utf16BE;
        if (!decodeUtf16(bytes.mid(2), true, text, error))
            return false;
    } else if (decodeUtf8(bytes, text)) {
        encoding = JobEncoding::Utf8;
    } else {
        encoding = JobEncoding::Windows1252;
        if (!decodeWindows1252(bytes, text, error))
            return false;
    }
    // A NUL never belongs in a text table: it marks binary data or UTF-16 without its mark.
    const qsizetype nul = text.indexOf(QChar(0));
    if (nul >= 0) {
        error = QStringLiteral("NUL character at character %1").arg(nul);
        text.clear();
        return false;
    }
    return true;
}

namespace {

// The first tab, ";" or "," outside quotes in the first record.
QChar detectDelimiter(const QString& text) {
    bool quoted = false;
    for (const QChar c : text) {
        if (c == u'"')
            quoted = !quoted;
        else if (!quoted && (c == u'\t' || c == u';' || c == u','))
            return c;
        else if (!quoted && (c == u'\n' || c == u'\r'))
            break;
    }
    return u',';
}

} // namespace

JobReadResult readJobBytes(const QByteArray& bytes) {
    JobReadResult result;
    if (bytes.size() > MaxJobBytes) {
        result.error = QStringLiteral("job of %1 bytes is larger than the limit of %2")
                           .arg(bytes.size())
                           .arg(MaxJobBytes);
        return result;
    }
    if (ZipArchive::looksLikeZip(bytes))
        return readWorkbookBytes(bytes);
    QString text;
    if (!decodeJobText(bytes, text, result.encoding, result.error))
        return result;

    const QChar delim = detectDelimiter(text);
    result.delimiter = delim;
    auto sheet = std::make_shared<JobSheet>();
    const qsizetype n = text.size();
    qsizetype i = 0;
    JobSheet::Row row;
    int line = 1;

    // One iteration reads one field and the separator after it.
    while (i < n) {
        QString field;
        if (text[i] == u'"') {
            ++i;
            for (;;) {
                const qsizetype quote = text.indexOf(u'"', i);
                if (quote < 0) {
                    result.error = QStringLiteral("unterminated quoted field starting on line %1").arg(line);
                    return result;
                }
                field += QStringView(text).mid(i, quote - i);
                line += static_cast<int>(QStringView(text).mid(i, quote - i).count(u'\n'));
                i = quote + 1;
                if (i < n && text[i] == u'"') {
                    field += u'"';
                    ++i;
                } else {
                    break;
                }
            }
            if (i < n && text[i] != delim && text[i] != u'\r' && text[i] != u'\n') {
                result.error = QStringLiteral("text after a closing quote on line %1").arg(line);
                return result;
            }
        } else {
            qsizetype j = i;
            while (j < n && text[j] != delim && text[j] != u'\r' && text[j] != u'\n')
                ++j;
            field = text.mid(i, j - i);
            i = j;
        }
        row.push_back(std::move(field));

        if (i >= n)
            break;
        if (text[i] == delim) {
            ++i;
            if (i >= n) // a trailing delimiter ends the last record with an empty field
                row.emplace_back();
            continue;
        }
        // End of record: CR LF, LF or CR.
        if (text[i] == u'\r' && i + 1 < n && text[i + 1] == u'\n')
            ++i;
        ++i;
        ++line;
        sheet->appendRow(std::move(row));
        row = {};
    }
    if (!row.empty())
        sheet->appendRow(std::move(row));

    result.ok = true;
    result.sheet = std::move(sheet);
    return result;
}

} // namespace automation
