// Workbook jobs: files written by independent writers read as a spreadsheet shows them, number
// formats, and hostile containers refused without harm.
#include "automation/jobs/job_file.h"
#include "automation/jobs/workbook_reader.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>
#include <zlib.h>

#include <memory>

using automation::JobFormat;
using automation::readJobBytes;

namespace {

// ------------------------------------------------------------------ files from other writers

class WorkbookFiles : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = std::make_unique<QTemporaryDir>();
        QProcess writer;
        writer.start(QStringLiteral("/usr/bin/python3"),
                     {QStringLiteral(POSTIQUE_SOURCE_DIR "/tests/workbooks/write_workbooks.py"),
                      dir_->path()});
        writer.waitForFinished(120000);
        ok_ = writer.exitStatus() == QProcess::NormalExit && writer.exitCode() == 0;
        if (!ok_)
            std::fprintf(stderr, "%s\n", writer.readAllStandardError().constData());
    }
    static void TearDownTestSuite() { dir_.reset(); }

    static automation::JobReadResult read(const char* name) {
        QFile file(QDir(dir_->path()).filePath(QString::fromLatin1(name)));
        EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << name;
        return readJobBytes(file.readAll());
    }

    static std::unique_ptr<QTemporaryDir> dir_;
    static bool ok_;
};

std::unique_ptr<QTemporaryDir> WorkbookFiles::dir_;
bool WorkbookFiles::ok_ = false;

struct CellCase {
    int row;
    int column;
    QString text;
};

const QString nbsp(QChar(0x00A0));

void expectCells(const automation::JobReadResult& r, int rows, const std::vector<CellCase>& cells) {
    ASSERT_TRUE(r.ok) << r.error.toStdString();
    EXPECT_EQ(r.sheet->rowCount(), rows);
    for (const CellCase& c : cells)
        EXPECT_EQ(r.sheet->cell(c.row, c.column), c.text)
            << "row " << c.row << " column " << c.column;
}

TEST_F(WorkbookFiles, OfficeWorkbookShowsWhatTheSpreadsheetShows) {
    ASSERT_TRUE(ok_);
    const auto r = read("features.xlsx");
    EXPECT_EQ(r.format, JobFormat::OfficeOpenXml);
    expectCells(r, 5,
                {
                    {1, 1, "texte"},
                    {1, 2, "42"},
                    {1, 3, "3,5"},
                    {1, 4, "1" + nbsp + "234" + nbsp + "567,89"},
                    {1, 5, "12,5%"},
                    {1, 6, "08/12/2026 14:05:09"},
                    {1, 7, "01/03/2026"}, // built-in short date
                    {1, 8, "84"},         // formula: its cached value
                    {1, 9, "ab"},         // formula giving text
                    {1, 10, "VRAI"},
                    {1, 11, "-1" + nbsp + "234,50 €"}, // negative section writes its own sign
                    {1, 12, "06 12 34 56 78"},         // literals between digit placeholders
                    {1, 13, "33612345678"},
                    {1, 14, "8 décembre 2026"},
                    {1, 15, "0,3"},
                    {1, 16, "#DIV/0!"},
                    {2, 1, "Bonjour le monde"}, // rich text runs joined
                    {2, 2, "fusion"},           // merged: the text once, the rest blank
                    {2, 3, ""},
                    {2, 4, ""},
                    {2, 5, "ligne 1\nligne 2"},
                    {3, 1, "cachée"}, // hidden rows are read
                    {4, 1, ""},
                    {5, 3, "après le vide"},
                    {6, 1, ""}, // a styled empty cell is no row
                });
}

TEST_F(WorkbookFiles, InlineStringsAndOpenpyxlFiles) {
    ASSERT_TRUE(ok_);
    expectCells(read("inline.xlsx"), 2, {{1, 1, "en ligne"}, {1, 2, "é€😀"}, {2, 1, "7"}});
    expectCells(read("openpyxl.xlsx"), 3,
                {{1, 1, "openpyxl"},
                 {1, 2, "2,25"},
                 {1, 3, "2026-01-02 3:04:05"},
                 {1, 4, "2026-01-02"},
                 {1, 5, ""}, // a formula nobody computed shows nothing
                 {2, 1, ""},
                 {3, 1, "trois"}});
}

TEST_F(WorkbookFiles, OpenDocumentSpreadsheetShowsItsDisplayedTexts) {
    ASSERT_TRUE(ok_);
    const auto r = read("features.ods");
    EXPECT_EQ(r.format, JobFormat::OpenDocument);
    expectCells(r, 6,
                {
                    {1, 1, "texte"},
                    {1, 2, "3,5"},
                    {1, 3, "42"}, // a value without its displayed text
                    {1, 4, "08/12/2026"},
                    {1, 5, "VRAI"},
                    {1, 6, "Bonjour le  monde\nsecond paragraphe"},
                    {1, 7, "avec note"}, // the annotation is not the cell's text
                    {2, 1, "fusion"},
                    {2, 2, ""}, // covered by the merge
                    {2, 5, ""},
                    {2, 6, "x"},
                    {2, 7, "x"},
                    {2, 8, "l1\nl2"},
                    {3, 1, ""},
                    {5, 1, "répété"},
                    {6, 1, "répété"},
                });
    // The run of a million empty rows that fills the sheet costs nothing.
    EXPECT_LE(r.sheet->columnCount(), 8);
}

TEST_F(WorkbookFiles, JobWorkbooksReadLikeTheirDelimitedTwin) {
    ASSERT_TRUE(ok_);
    const auto csv = readJobBytes("1;;;;a@example.org;;;Premier;Corps 1;pj.txt;\r\n"
                                  ";;;;skipped@example.org;;;Sauté;x;;\r\n"
                                  "1;;;;;;;Support;Corps 3;;\r\n"
                                  "1;;;;b@example.org;;;Partenaire;Corps 4;;1\r\n");
    ASSERT_TRUE(csv.ok);
    for (const char* name : {"job.xlsx", "job.ods"}) {
        SCOPED_TRACE(name);
        const auto r = read(name);
        ASSERT_TRUE(r.ok) << r.error.toStdString();
        ASSERT_EQ(r.sheet->rowCount(), csv.sheet->rowCount());
        for (int row = 1; row <= csv.sheet->rowCount(); ++row)
            for (int column = 1; column <= 12; ++column)
                EXPECT_EQ(r.sheet->cell(row, column), csv.sheet->cell(row, column))
                    << row << "," << column;
    }
}

// ------------------------------------------------------------------ number formats

TEST(WorkbookNumberFormat, ShowsNumbersDatesAndTimesTheFrenchWay) {
    struct Case {
        double value;
        const char* code;
        QString text;
    };
    const std::vector<Case> cases = {
        {0, "General", "0"},
        {-17, "General", "-17"},
        {1.0 / 3, "General", "0,3333333333"},
        {123456789012.0, "General", "1,23457E+11"},
        {1234.5, "0", "1235"},
        {0.5, "0.00", "0,50"},
        {-0.001, "0.00", "0,00"}, // rounded to zero: no sign
        {1234567, "#,##0", "1" + nbsp + "234" + nbsp + "567"},
        {1234567, "#,##0,", "1" + nbsp + "235"}, // trailing comma: thousands
        {0.256, "0%", "26%"},
        {12345.678, "0.00E+00", "1,23E+04"},
        {5, "000", "005"},
        {3.1, "#.##", "3,1"},
        {-5, "0;(0)", "(5)"},
        {0, "0;-0;\"zéro\"", "zéro"},
        {150, "[>100]\"grand\";\"petit\"", "grand"},
        {12, "[$€-40C] 0", "€ 12"},
        {46364.5, "dddd d mmm yyyy", "mardi 8 déc. 2026"},
        {46364.75, "h:mm AM/PM", "6:00 PM"},
        {46364.75, "yy-m-d hh:mm", "26-12-8 18:00"},
        {1.5, "[h]:mm:ss", "36:00:00"},
        {0.000011574, "mm:ss.0", "00:01,0"},
        {1, "dd/mm/yyyy", "01/01/1900"},
        {61, "dd/mm/yyyy", "01/03/1900"}, // after the 1900 leap day that never was
        {0, "dd/mm/yyyy", "31/12/1899"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(automation::formatSpreadsheetNumber(c.value, QString::fromUtf8(c.code)), c.text)
            << c.value << " with " << c.code;
    EXPECT_EQ(automation::formatSpreadsheetNumber(0, "dd/mm/yyyy", true), "01/01/1904");
}

// ------------------------------------------------------------------ hostile containers

// A zip archive built by hand, so every field can lie.
struct Member {
    QByteArray name;
    QByteArray data;  // as stored (already deflated when method is 8)
    quint32 size = 0; // declared expanded size
    quint32 crc = 0;
    quint16 method = 0;
    quint16 flags = 0;
};

void put16(QByteArray& b, quint32 v) {
    b.append(char(v & 0xFF)).append(char((v >> 8) & 0xFF));
}
void put32(QByteArray& b, quint32 v) {
    put16(b, v & 0xFFFF);
    put16(b, v >> 16);
}

Member stored(const QByteArray& name, const QByteArray& data) {
    Member m{name, data, quint32(data.size()), 0, 0, 0};
    m.crc = quint32(crc32(0, reinterpret_cast<const Bytef*>(data.constData()), uInt(data.size())));
    return m;
}

QByteArray rawDeflate(const QByteArray& data, int flush = Z_FINISH) {
    z_stream z{};
    deflateInit2(&z, 9, Z_DEFLATED, -MAX_WBITS, 9, Z_DEFAULT_STRATEGY);
    QByteArray out(int(deflateBound(&z, uLong(data.size())) + 64), '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.constData()));
    z.avail_in = uInt(data.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = uInt(out.size());
    deflate(&z, flush);
    out.resize(int(out.size() - z.avail_out));
    deflateEnd(&z);
    return out;
}

Member deflated(const QByteArray& name, const QByteArray& data) {
    Member m = stored(name, data);
    m.data = rawDeflate(data);
    m.method = 8;
    return m;
}

QByteArray zip(const std::vector<Member>& members) {
    QByteArray out;
    QByteArray central;
    for (const Member& m : members) {
        const quint32 offset = quint32(out.size());
        put32(out, 0x04034b50);
        put16(out, 20);
        put16(out, m.flags);
        put16(out, m.method);
        put32(out, 0);
        put32(out, m.crc);
        put32(out, quint32(m.data.size()));
        put32(out, m.size);
        put16(out, quint32(m.name.size()));
        put16(out, 0);
        out += m.name;
        out += m.data;
        put32(central, 0x02014b50);
        put16(central, 20);
        put16(central, 20);
        put16(central, m.flags);
        put16(central, m.method);
        put32(central, 0);
        put32(central, m.crc);
        put32(central, quint32(m.data.size()));
        put32(central, m.size);
        put16(central, quint32(m.name.size()));
        put16(central, 0);
        put16(central, 0);
        put16(central, 0);
        put16(central, 0);
        put32(central, 0);
        put32(central, offset);
        central += m.name;
    }
    const quint32 cdOffset = quint32(out.size());
    out += central;
    put32(out, 0x06054b50);
    put16(out, 0);
    put16(out, 0);
    put16(out, quint32(members.size()));
    put16(out, quint32(members.size()));
    put32(out, quint32(central.size()));
    put32(out, cdOffset);
    put16(out, 0);
    return out;
}

// An OpenDocument spreadsheet whose content is `content`.
QByteArray ods(const QByteArray& content) {
    return zip({stored("mimetype", "application/vnd.oasis.opendocument.spreadsheet"),
                deflated("content.xml", content)});
}

const QByteArray kContentHead = "<?xml version=\"1.0\"?><office:document-content "
                                "xmlns:office=\"urn:oasis:names:tc:opendocument:xmlns:office:1.0\" "
                                "xmlns:table=\"urn:oasis:names:tc:opendocument:xmlns:table:1.0\" "
                                "xmlns:text=\"urn:oasis:names:tc:opendocument:xmlns:text:1.0\"><"
                                "office:body><office:spreadsheet>"
                                "<table:table>";
const QByteArray kContentTail =
    "</table:table></office:spreadsheet></office:body></office:document-content>";

// A deflate stream expanding to `megabytes` MiB of spaces from about a kilobyte per MiB: one
// flushed block repeated, then an empty final block.
QByteArray spaceBomb(int megabytes) {
    z_stream z{};
    deflateInit2(&z, 9, Z_DEFLATED, -MAX_WBITS, 9, Z_DEFAULT_STRATEGY);
    const QByteArray spaces(1 << 20, ' ');
    QByteArray block(1 << 16, '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(spaces.constData()));
    z.avail_in = uInt(spaces.size());
    z.next_out = reinterpret_cast<Bytef*>(block.data());
    z.avail_out = uInt(block.size());
    deflate(&z, Z_FULL_FLUSH);
    block.resize(int(block.size() - z.avail_out));
    deflateEnd(&z);
    QByteArray out;
    for (int i = 0; i < megabytes; ++i)
        out += block;
    out += QByteArray("\x03\x00", 2); // final, empty, fixed-Huffman block
    return out;
}

TEST(WorkbookHostile, RefusedAsCouldNotBeLoaded) {
    const QByteArray okContent = kContentHead +
                                 "<table:table-row><table:table-cell><text:p>1</text:p>"
                                 "</table:table-cell></table:table-row>" +
                                 kContentTail;
    ASSERT_TRUE(readJobBytes(ods(okContent)).ok); // the frame itself is sound

    const QByteArray laughs =
        "<?xml version=\"1.0\"?><!DOCTYPE lolz [<!ENTITY lol \"lol\">"
        "<!ENTITY lol2 \"&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;\">"
        "<!ENTITY lol3 \"&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;\">]>"
        "<office:document-content "
        "xmlns:office=\"urn:oasis:names:tc:opendocument:xmlns:office:1.0\" "
        "xmlns:table=\"urn:oasis:names:tc:opendocument:xmlns:table:1.0\" "
        "xmlns:text=\"urn:oasis:names:tc:opendocument:xmlns:text:1.0\"><office:body><office:"
        "spreadsheet>"
        "<table:table><table:table-row><table:table-cell><text:p>&lol3;</text:p></table:table-cell>"
        "</table:table-row>" +
        kContentTail;

    Member bomb{"content.xml", spaceBomb(300), 300u << 20, 0, 8, 0};
    Member liar = bomb; // claims a small size, expands to far more
    liar.size = 1000;
    liar.data = spaceBomb(300);
    liar.data.prepend(rawDeflate(kContentHead, Z_FULL_FLUSH));
    Member encrypted = deflated("content.xml", okContent);
    encrypted.flags = 1;
    Member badCrc = deflated("content.xml", okContent);
    badCrc.crc ^= 1;
    Member bzip2 = deflated("content.xml", okContent);
    bzip2.method = 12;
    const Member mimetype = stored("mimetype", "application/vnd.oasis.opendocument.spreadsheet");
    std::vector<Member> many;
    for (int i = 0; i < 10001; ++i)
        many.push_back(stored("f" + QByteArray::number(i), {}));

    QByteArray truncated = ods(okContent);
    truncated.chop(30); // the end record is gone
    QByteArray cdOutside = ods(okContent);
    cdOutside[cdOutside.size() - 6] = char(0x7F); // central directory offset beyond the file

    const QByteArray wideRow =
        kContentHead +
        "<table:table-row table:number-rows-repeated=\"2000000\"><table:table-cell>"
        "<text:p>x</text:p></table:table-cell></table:table-row>" +
        kContentTail;
    const QByteArray wideCells =
        kContentHead +
        "<table:table-row table:number-rows-repeated=\"100000\"><table:table-cell "
        "table:number-columns-repeated=\"1000\"><text:p>x</text:p></table:table-cell>"
        "</table:table-row>" +
        kContentTail;

    struct Case {
        const char* what;
        QByteArray bytes;
        const char* why; // a piece of the reason
    };
    const std::vector<Case> cases = {
        {"billion laughs", ods(laughs), "document type"},
        {"zip bomb with an honest size", zip({mimetype, bomb}), "more than the limit"},
        {"zip bomb lying about its size", zip({mimetype, liar}), "more data than"},
        {"encrypted entry", zip({mimetype, encrypted}), "encrypted"},
        {"CRC mismatch", zip({mimetype, badCrc}), "CRC"},
        {"unknown compression", zip({mimetype, bzip2}), "method 12"},
        {"too many entries", zip(many), "entries"},
        {"no end record", truncated, "end record"},
        {"central directory outside the file", cdOutside, "central directory"},
        {"a zip that is no workbook", zip({stored("readme.txt", "hello")}), "neither"},
        {"a text document", zip({stored("mimetype", "application/vnd.oasis.opendocument.text")}),
         "not a spreadsheet"},
        {"no content", zip({mimetype}), "content.xml is missing"},
        {"rows repeated beyond the sheet", ods(wideRow), "beyond row"},
        {"cells repeated beyond the limit", ods(wideCells), "cells"},
        {"broken XML", ods(kContentHead + "<table:table-row>"), "content.xml: line"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const auto r = readJobBytes(c.bytes);
        EXPECT_FALSE(r.ok);
        EXPECT_FALSE(r.sheet);
        EXPECT_TRUE(r.error.contains(QString::fromLatin1(c.why))) << r.error.toStdString();
    }
}

TEST(WorkbookHostile, LimitsApplyToEveryPart) {
    QByteArray rows;
    for (int i = 0; i < 2000; ++i)
        rows += "<table:table-row><table:table-cell><text:p>ligne</text:p></table:table-cell></"
                "table:table-row>";
    const QByteArray file = ods(kContentHead + rows + kContentTail);
    ASSERT_TRUE(automation::readWorkbookBytes(file).ok);

    automation::WorkbookLimits limits;
    limits.zip.maxTotalBytes = 10000;
    EXPECT_FALSE(automation::readWorkbookBytes(file, limits).ok);
    limits = {};
    limits.maxRows = 1999;
    EXPECT_FALSE(automation::readWorkbookBytes(file, limits).ok);
    limits = {};
    limits.maxCells = 1999;
    EXPECT_FALSE(automation::readWorkbookBytes(file, limits).ok);
}

} // namespace
