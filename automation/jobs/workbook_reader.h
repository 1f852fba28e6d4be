// Workbook job files: the first worksheet of an Office Open XML workbook or an OpenDocument
// spreadsheet, read as the cell texts a French-language spreadsheet program shows.
#pragma once

#include "automation/jobs/job_file.h"
#include "automation/jobs/zip_archive.h"

#include <QByteArray>
#include <QString>

namespace automation {

// Limits of a workbook beyond the container's own; a file beyond any of them could not be
// loaded.
struct WorkbookLimits {
    ZipLimits zip;
    int maxRows = 1048576;                       // the formats' own maximum
    int maxColumns = 16384;                      // idem
    qint64 maxCells = 12LL * 1000 * 1000;        // cells held, blanks between texts included
    int maxStrings = 4 * 1000 * 1000;            // entries of the shared-string table
    qint64 maxStringChars = 128LL * 1024 * 1024; // characters of that table
    qint64 maxSmallPart = 32LL * 1024 * 1024;    // relationships, workbook, styles, manifest
};

// Reads `bytes` (a zip container) as a workbook: recognised by its manifest (OpenDocument
// "mimetype" or META-INF/manifest.xml, Office "[Content_Types].xml"), never by a file name.
// On success the sheet holds the first worksheet; rows and columns without text are blank,
// and the row count is the last row holding a text. Anything else (another kind of zip, a
// damaged or encrypted archive, a limit reached, an XML document type declaration) fails
// with `error` saying where and why. Never throws except std::bad_alloc.
JobReadResult readWorkbookBytes(const QByteArray& bytes, const WorkbookLimits& limits = {});

// The text a spreadsheet shows for the number `value` under the number format `code`
// ("General", "0.00", "dd/mm/yyyy hh:mm", "#,##0 \"€\";[Red]-#,##0" ...), with French
// conventions: decimal comma, no-break space between thousands, French month and day names.
// `date1904` selects the 1904 date system. Exposed for tests.
QString formatSpreadsheetNumber(double value, const QString& code, bool date1904 = false);

} // namespace automation
