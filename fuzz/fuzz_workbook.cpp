// Fuzz target for the workbook reader (zip archive, then the sheets' XML): any bytes are read
// without a crash, within the reader's limits, and a sheet that was read has every cell it
// claims.
#include "automation/jobs/workbook_reader.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    // Limits far below the program's keep each input fast; the checks are the same.
    automation::WorkbookLimits limits;
    limits.maxRows = 2000;
    limits.maxColumns = 200;
    limits.maxCells = 20000;
    limits.maxStrings = 20000;
    limits.maxStringChars = 1024 * 1024;
    limits.maxSmallPart = 1024 * 1024;
    limits.zip.maxEntryBytes = 4 * 1024 * 1024;
    limits.zip.maxTotalBytes = 8 * 1024 * 1024;
    const automation::JobReadResult result = automation::readWorkbookBytes(bytes, limits);
    if (!result.ok)
        return 0;
    if (!result.sheet)
        std::abort();
    const automation::JobSheet& sheet = *result.sheet;
    for (int r = 1; r <= sheet.rowCount(); ++r)
        for (int c = 1; c <= sheet.columnCount(); ++c)
            (void)sheet.cell(r, c).size();
    return 0;
}
