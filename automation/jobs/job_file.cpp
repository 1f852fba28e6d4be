// Job file reader: encoding recognition and RFC 4180 splitting of a job's bytes, into a sheet
// that keeps the job's text once and the place of every cell in it.
#include "automation/jobs/job_file.h"

#include "automation/jobs/workbook_reader.h"
#include "system/textfile.h"

#include <algorithm>
#include <climits>
#include <cstring>

namespace automation {

const JobSheet::Span* JobSheet::span(int row, int column) const {
    if (row < 1 || row > rowCount() || column < 1)
        return nullptr;
    const size_t first = rowStarts_[static_cast<size_t>(row - 1)];
    const size_t end = static_cast<size_t>(row) < rowStarts_.size()
                           ? rowStarts_[static_cast<size_t>(row)]
                           : spans_.size();
    const size_t index = first + static_cast<size_t>(column - 1);
    return index < end ? &spans_[index] : nullptr;
}

namespace {

// UTF-8 text as it is: QString::fromUtf8 drops a leading U+FEFF, which is a cell's own
// character here (the file's byte-order mark is gone before the text is split).
QString utf8Text(const char* data, qsizetype size) {
    if (size < 3 || std::memcmp(data, "\xEF\xBB\xBF", 3) != 0)
        return QString::fromUtf8(data, size);
    return TextFile::fromUtf8Exact(QByteArrayView(data, size));
}

} // namespace

QString JobSheet::cell(int row, int column) const {
    const Span* s = span(row, column);
    if (!s || s->size == 0)
        return {};
    QString text = utf8Text(text_.constData() + s->offset, s->size);
    if (s->doubledQuotes)
        text.replace(QStringLiteral("\"\""), QStringLiteral("\""));
    return text;
}

void JobSheet::appendRow(const Row& row) {
    rowStarts_.push_back(static_cast<quint32>(spans_.size()));
    for (const QString& cellText : row) {
        const QByteArray utf8 = cellText.toUtf8();
        spans_.push_back({text_.size(), static_cast<qint32>(utf8.size()), false});
        text_ += utf8;
    }
    columns_ = std::max(columns_, static_cast<int>(row.size()));
}

qint64 JobSheet::memoryBytes() const {
    return text_.capacity() + static_cast<qint64>(spans_.capacity() * sizeof(Span)) +
           static_cast<qint64>(rowStarts_.capacity() * sizeof(quint32));
}

namespace {

// Windows-1252 code points for bytes 0x80..0x9F; 0 marks the five undefined bytes.
constexpr char16_t kCp1252High[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

void appendUtf8(QByteArray& out, char16_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

bool windows1252ToUtf8(const QByteArray& bytes, QByteArray& utf8, QString& error) {
    utf8.clear();
    utf8.reserve(bytes.size() + bytes.size() / 8);
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        const auto b = static_cast<unsigned char>(bytes[i]);
        char16_t c = b;
        if (b >= 0x80 && b <= 0x9F) {
            c = kCp1252High[b - 0x80];
            if (c == 0) {
                error = QStringLiteral("byte 0x%1 at offset %2 is not Windows-1252")
                            .arg(b, 2, 16, QLatin1Char('0'))
                            .arg(i);
                return false;
            }
        }
        appendUtf8(utf8, c);
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

// Well-formed UTF-8 (Unicode table 3-7: no overlong forms, no surrogates, nothing above
// U+10FFFF), checked without decoding.
bool isValidUtf8(const char* data, qsizetype size) {
    const auto* p = reinterpret_cast<const unsigned char*>(data);
    qsizetype i = 0;
    while (i < size) {
        // Runs of ASCII, eight bytes at a time.
        while (i + 8 <= size) {
            quint64 word;
            std::memcpy(&word, p + i, 8);
            if (word & 0x8080808080808080ULL)
                break;
            i += 8;
        }
        if (i >= size)
            break;
        const unsigned char b = p[i];
        if (b < 0x80) {
            ++i;
            continue;
        }
        int length = 0;
        unsigned char low = 0x80, high = 0xBF;
        if (b >= 0xC2 && b <= 0xDF) {
            length = 2;
        } else if (b >= 0xE0 && b <= 0xEF) {
            length = 3;
            if (b == 0xE0)
                low = 0xA0;
            else if (b == 0xED)
                high = 0x9F;
        } else if (b >= 0xF0 && b <= 0xF4) {
            length = 4;
            if (b == 0xF0)
                low = 0x90;
            else if (b == 0xF4)
                high = 0x8F;
        } else {
            return false;
        }
        if (i + length > size || p[i + 1] < low || p[i + 1] > high)
            return false;
        for (int k = 2; k < length; ++k)
            if (p[i + k] < 0x80 || p[i + k] > 0xBF)
                return false;
        i += length;
    }
    return true;
}

// The job's text as UTF-8: the bytes themselves when they are UTF-8 already (shared, not
// copied), otherwise converted. A NUL anywhere fails: it marks binary data or UTF-16 without
// its mark.
bool toUtf8Text(const QByteArray& bytes, QByteArray& utf8, JobEncoding& encoding, QString& error) {
    utf8.clear();
    if (bytes.startsWith("\xEF\xBB\xBF")) {
        encoding = JobEncoding::Utf8Bom;
        utf8 = bytes.sliced(3);
        if (!isValidUtf8(utf8.constData(), utf8.size())) {
            error = QStringLiteral("invalid UTF-8 after a UTF-8 byte-order mark");
            utf8.clear();
            return false;
        }
    } else if (bytes.startsWith("\xFF\xFE") || bytes.startsWith("\xFE\xFF")) {
        const bool bigEndian = bytes.startsWith("\xFE\xFF");
        encoding = bigEndian ? JobEncoding::Utf16BE : JobEncoding::Utf16LE;
        QString text;
        if (!decodeUtf16(bytes.sliced(2), bigEndian, text, error))
            return false;
        utf8 = text.toUtf8();
    } else if (isValidUtf8(bytes.constData(), bytes.size())) {
        encoding = JobEncoding::Utf8;
        utf8 = bytes;
    } else {
        encoding = JobEncoding::Windows1252;
        if (!windows1252ToUtf8(bytes, utf8, error))
            return false;
    }
    const void* nul = std::memchr(utf8.constData(), 0, static_cast<size_t>(utf8.size()));
    if (nul) {
        const qsizetype at = static_cast<const char*>(nul) - utf8.constData();
        error = QStringLiteral("NUL character at character %1")
                    .arg(QString::fromUtf8(utf8.constData(), at).size());
        utf8.clear();
        return false;
    }
    return true;
}

// The delimiter of a job, where its first record starts, and how well it fits the records
// it was chosen on.
struct DelimiterChoice {
    char delimiter = ',';
    qsizetype recordStart = 0;
    int fitting = 0; // records split into the job's columns
    int looked = 0;  // non-blank records looked at
};

// Where a record holds the job's columns: at least up to the recipients (column 5), and not
// beyond the last column a job uses (12).
constexpr int kFewestJobColumns = 5;
constexpr int kMostJobColumns = 12;
// Records looked at to choose the delimiter.
constexpr int kRecordsToLookAt = 20;

// The fields of the record starting at `i` when split at `delim`; `i` moves to the next
// record. Every quote opens or closes a quoted stretch, as the first-found rule has always
// read them: a quote inside a field must not expose the delimiters a writer quoted (a ";" job
// whose quoted cells hold commas would otherwise look like a "," job, which the reader then
// refuses). `blank` tells whether the record holds nothing but blanks.
int fieldsOfRecord(const QByteArray& text, qsizetype& i, char delim, bool& blank) {
    const qsizetype n = text.size();
    int fields = 1;
    blank = true;
    bool quoted = false;
    while (i < n) {
        const char c = text.at(i);
        if (c == '"') {
            quoted = !quoted;
            blank = false;
        } else if (!quoted && (c == '\r' || c == '\n')) {
            i += (c == '\r' && i + 1 < n && text.at(i + 1) == '\n') ? 2 : 1;
            return fields;
        } else if (!quoted && c == delim) {
            ++fields;
        } else if (c != ' ' && c != '\t') {
            blank = false;
        }
        ++i;
    }
    return fields;
}

// Of tab, ";" and ",", the one that splits the most of the first records into the job's
// columns: a title line holding a comma ("Envoi du 9/12, station A") must not make "," the
// delimiter of a ";" job, whose rows would then lose their columns and go to the support
// mailbox. Ties go to the one that splits them into more fields, then to the first of them met
// in the first record holding one. The lines before the first record split into the job's
// columns (or, for a small table, holding the delimiter) are titles.
DelimiterChoice detectDelimiter(const QByteArray& text) {
    // "," first: it stays the delimiter of a table that none of them splits.
    static constexpr char kCandidates[] = {',', ';', '\t'};
    DelimiterChoice best;
    int bestFields = -1;
    int bestFirstSeen = INT_MAX;
    // Which candidate the first record holding one meets first.
    int firstSeen[3] = {INT_MAX, INT_MAX, INT_MAX};
    {
        bool quoted = false;
        for (qsizetype i = 0; i < text.size(); ++i) {
            const char c = text.at(i);
            if (c == '"') {
                quoted = !quoted;
            } else if (!quoted && (c == '\t' || c == ';' || c == ',')) {
                for (int k = 0; k < 3; ++k)
                    if (kCandidates[k] == c)
                        firstSeen[k] = 0;
                break;
            }
        }
    }
    for (int k = 0; k < 3; ++k) {
        const char delim = kCandidates[k];
        DelimiterChoice choice{delim, -1, 0, 0};
        qsizetype splitStart = -1;
        int allFields = 0;
        qsizetype i = 0;
        while (i < text.size() && choice.looked < kRecordsToLookAt) {
            const qsizetype start = i;
            bool blank = true;
            const int fields = fieldsOfRecord(text, i, delim, blank);
            if (blank)
                continue;
            ++choice.looked;
            allFields += std::min(fields, kMostJobColumns);
            if (fields >= kFewestJobColumns && fields <= kMostJobColumns) {
                ++choice.fitting;
                if (choice.recordStart < 0)
                    choice.recordStart = start;
            }
            if (fields > 1 && splitStart < 0)
                splitStart = start;
        }
        if (choice.recordStart < 0)
            choice.recordStart = splitStart < 0 ? 0 : splitStart;
        const bool better = choice.fitting != best.fitting ? choice.fitting > best.fitting
                            : allFields != bestFields      ? allFields > bestFields
                                                           : firstSeen[k] < bestFirstSeen;
        if (k == 0 || better) {
            best = choice;
            bestFields = allFields;
            bestFirstSeen = firstSeen[k];
        }
    }
    return best;
}

} // namespace

bool decodeJobText(const QByteArray& bytes, QString& text, JobEncoding& encoding, QString& error) {
    QByteArray utf8;
    text.clear();
    if (!toUtf8Text(bytes, utf8, encoding, error))
        return false;
    text = utf8Text(utf8.constData(), utf8.size());
    return true;
}

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
    auto sheet = std::make_shared<JobSheet>();
    if (!toUtf8Text(bytes, sheet->text_, result.encoding, result.error))
        return result;

    const QByteArray& text = sheet->text_;
    const DelimiterChoice choice = detectDelimiter(text);
    const char delim = choice.delimiter;
    result.delimiter = QChar::fromLatin1(delim);
    result.recordsFitting = choice.fitting;
    result.recordsLooked = choice.looked;
    const char* data = text.constData();
    const qsizetype n = text.size();
    qsizetype i = 0;
    int line = 1;
    int cellsInRow = 0; // 0: no row open
    auto addCell = [&](qsizetype offset, qsizetype size, bool doubledQuotes) {
        // Lines before the first record with the delimiter (a title) stay rows, so that row
        // numbers match the file's, but empty ones: never a mail.
        if (offset < choice.recordStart)
            size = 0;
        if (cellsInRow == 0)
            sheet->rowStarts_.push_back(static_cast<quint32>(sheet->spans_.size()));
        sheet->spans_.push_back({offset, static_cast<qint32>(size), doubledQuotes});
        sheet->columns_ = std::max(sheet->columns_, ++cellsInRow);
    };

    // One iteration reads one field and the separator after it.
    while (i < n) {
        if (data[i] == '"') {
            const qsizetype start = ++i;
            bool doubled = false;
            for (;;) {
                const char* quote = static_cast<const char*>(
                    std::memchr(data + i, '"', static_cast<size_t>(n - i)));
                if (!quote) {
                    result.error =
                        QStringLiteral("unterminated quoted field starting on line %1").arg(line);
                    return result;
                }
                const qsizetype at = quote - data;
                line += static_cast<int>(std::count(data + i, quote, '\n'));
                i = at + 1;
                if (i < n && data[i] == '"') {
                    doubled = true;
                    ++i;
                } else {
                    addCell(start, at - start, doubled);
                    break;
                }
            }
            if (i < n && data[i] != delim && data[i] != '\r' && data[i] != '\n') {
                result.error = QStringLiteral("text after a closing quote on line %1").arg(line);
                return result;
            }
        } else {
            qsizetype j = i;
            while (j < n && data[j] != delim && data[j] != '\r' && data[j] != '\n')
                ++j;
            addCell(i, j - i, false);
            i = j;
        }

        if (i >= n)
            break;
        if (data[i] == delim) {
            ++i;
            if (i >= n) // a trailing delimiter ends the last record with an empty field
                addCell(n, 0, false);
            continue;
        }
        // End of record: CR LF, LF or CR.
        if (data[i] == '\r' && i + 1 < n && data[i + 1] == '\n')
            ++i;
        ++i;
        ++line;
        cellsInRow = 0;
    }
    sheet->spans_.shrink_to_fit();
    sheet->rowStarts_.shrink_to_fit();

    result.ok = true;
    result.sheet = std::move(sheet);
    return result;
}

} // namespace automation
