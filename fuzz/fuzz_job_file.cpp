// Fuzz target for the job-file reader: any bytes are read without a crash, and a sheet that
// was read comes back the same when written out again as quoted UTF-8 text.
#include "automation/jobs/job_file.h"

#include <cstdint>
#include <cstdlib>

namespace {

// The sheet as a writer following the job-file rules would save it: every cell quoted,
// every row as wide as the widest one.
QByteArray rewritten(const automation::JobSheet& sheet, QChar delimiter) {
    QString text;
    for (int r = 1; r <= sheet.rowCount(); ++r) {
        for (int c = 1; c <= sheet.columnCount(); ++c) {
            if (c > 1)
                text += delimiter;
            QString cell = sheet.cell(r, c);
            cell.replace(u'"', QStringLiteral("\"\""));
            text += u'"' + cell + u'"';
        }
        text += QStringLiteral("\r\n");
    }
    return text.toUtf8();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const automation::JobReadResult first = automation::readJobBytes(bytes);
    if (!first.ok)
        return 0;
    if (!first.sheet)
        std::abort();
    const automation::JobSheet& sheet = *first.sheet;
    if (sheet.columnCount() == 0)
        return 0; // nothing to write back (an empty file)
    const automation::JobReadResult again =
        automation::readJobBytes(rewritten(sheet, first.delimiter));
    if (!again.ok || again.sheet->rowCount() != sheet.rowCount())
        std::abort();
    for (int r = 1; r <= sheet.rowCount(); ++r)
        for (int c = 1; c <= sheet.columnCount(); ++c)
            if (again.sheet->cell(r, c) != sheet.cell(r, c))
                std::abort();
    return 0;
}
