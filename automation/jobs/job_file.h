// Job files dropped by the suite's other modules: a delimited-text table of cell texts, one
// mail per row. Reads the bytes of a job into a sheet of rows and columns (both 1-based).
#pragma once

#include <QByteArray>
#include <QChar>
#include <QString>

#include <memory>
#include <vector>

namespace automation {

struct JobReadResult;

// How the bytes of a job were decoded.
enum class JobEncoding { Utf8, Utf8Bom, Utf16LE, Utf16BE, Windows1252 };

// The kind of table a job holds: delimited text, or a workbook (Office Open XML or
// OpenDocument spreadsheet), recognised by content.
enum class JobFormat { Delimited, OfficeOpenXml, OpenDocument };

// The cell texts of one job, held compactly: the job's text once, in UTF-8, and the place of
// each cell in it; a cell becomes a QString only when it is read. Rows may have different
// lengths; a cell beyond a row's end reads as empty text.
class JobSheet {
public:
    using Row = std::vector<QString>;

    // Number of records in the file (blank lines count as rows).
    int rowCount() const { return static_cast<int>(rowStarts_.size()); }
    // Widest row's number of cells.
    int columnCount() const { return columns_; }
    // Text of the cell at `row`, `column` (both from 1); empty outside the table.
    QString cell(int row, int column) const;

    // Appends a row of texts (readers of other formats build their sheet this way).
    void appendRow(const Row& row);

    // Bytes held by the sheet (its text and the cells' places), for diagnostics.
    qint64 memoryBytes() const;

private:
    friend JobReadResult readJobBytes(const QByteArray& bytes);
    struct Span {
        qint64 offset = 0;
        qint32 size = 0;
        bool doubledQuotes = false; // a quoted cell whose "" stand for one "
    };
    const Span* span(int row, int column) const;

    QByteArray text_; // UTF-8
    std::vector<Span> spans_;
    std::vector<quint32> rowStarts_; // index in spans_ of each row's first cell
    int columns_ = 0;
};

// Outcome of reading a job: `ok` false means the file "could not be loaded" (`error` says
// why, in English, for the diagnostic trace); `sheet` is then empty.
struct JobReadResult {
    bool ok = false;
    QString error;
    std::shared_ptr<const JobSheet> sheet;
    JobEncoding encoding = JobEncoding::Utf8;
    QChar delimiter = u',';
    // Of the first non-blank records looked at to choose the delimiter, those it splits into
    // the job's columns.
    int recordsFitting = 0;
    int recordsLooked = 0;
    JobFormat format = JobFormat::Delimited;
};

// Largest job accepted; a bigger file could not be loaded (protects the program's memory).
inline constexpr qint64 MaxJobBytes = 256LL * 1024 * 1024;

// Reads the bytes of a job file. A zip container is read as a workbook (readWorkbookBytes,
// automation/jobs/workbook_reader.h); anything else as delimited text. The encoding is recognised
// by content: a UTF-8 or UTF-16 byte-order mark, else valid UTF-8, else Windows-1252. The
// delimiter is the tab, ";" or "," that splits the most of the first records into the job's
// columns (5 to 12 fields), ties going to the one giving more fields, then to the first met in
// the first record holding one ("," when none splits anything); the lines before the first
// record so split stay rows, but empty ones (a title never is a mail). Quoted
// fields may hold delimiters, line breaks and doubled quotes; CR LF, LF and CR end a record. Fails
// on an unterminated quote, text after a closing quote, a NUL character, bytes that decode in no
// encoding, or more than MaxJobBytes. Never throws except std::bad_alloc.
JobReadResult readJobBytes(const QByteArray& bytes);

// Decodes job bytes as readJobBytes does, without splitting them. Exposed for tests.
bool decodeJobText(const QByteArray& bytes, QString& text, JobEncoding& encoding, QString& error);

} // namespace automation
