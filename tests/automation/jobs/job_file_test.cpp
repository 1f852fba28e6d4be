// Job reader: splitting, encodings and the bad-job corpus.
#include "automation/jobs/job_file.h"
#include "support/job_corpus.h"

#include <gtest/gtest.h>

using automation::JobEncoding;
using automation::readJobBytes;

namespace {

struct SplitCase {
    const char* what;
    QByteArray bytes;
    QChar delimiter;
    std::vector<std::vector<QString>> rows;
};

TEST(JobFile, SplitsRecordsAndFields) {
    const std::vector<SplitCase> cases = {
        {"semicolons, CR LF", "1;a;b\r\n2;c;d\r\n", u';', {{"1", "a", "b"}, {"2", "c", "d"}}},
        {"tabs, no final line end", "1\ta,b\tc;d", u'\t', {{"1", "a,b", "c;d"}}},
        {"commas, LF", "x,y\n", u',', {{"x", "y"}}},
        {"delimiter inside quotes is not the delimiter", "\"a;b\",c;d\n", u',', {{"a;b", "c;d"}}},
        {"quoted line break and doubled quotes",
         "1;\"l1\r\nl2 \"\"q\"\"\";z\r\n",
         u';',
         {{"1", "l1\r\nl2 \"q\"", "z"}}},
        {"blank line is a row", "1;a\r\n\r\n2;b\r\n", u';', {{"1", "a"}, {""}, {"2", "b"}}},
        {"trailing delimiter gives an empty last cell",
         "1;a;\r\n1;b;",
         u';',
         {{"1", "a", ""}, {"1", "b", ""}}},
        {"empty quoted field", "\"\";x\n", u';', {{"", "x"}}},
        {"quote inside an unquoted field is text",
         "1;O\"Brien;x\n",
         u';',
         {{"1", "O\"Brien", "x"}}},
        {"single column", "one\ntwo\n", u',', {{"one"}, {"two"}}},
        {"leading blank lines do not choose the delimiter",
         "\r\n  \r\n1;a,b;c\r\n",
         u';',
         {{""}, {""}, {"1", "a,b", "c"}}},
        {"a title line is passed over and never a mail",
         "Envois du jour\n1\t\"x;y\"\tz,w\n",
         u'\t',
         {{""}, {"1", "x;y", "z,w"}}},
        {"a title holding a comma does not make \",\" the delimiter of a \";\" job",
         "Envoi du 9/12, station A\r\n1;;;;a@b.example;;;S, T;B, C;;;\r\n",
         u';',
         {{""}, {"1", "", "", "", "a@b.example", "", "", "S, T", "B, C", "", "", ""}}},
        {"nor a title holding a \";\" that of a \",\" job",
         "Envoi; station A\n1,,,,a@b,,,s;t,b\n",
         u',',
         {{""}, {"1", "", "", "", "a@b", "", "", "s;t", "b"}}},
        {"a delimiter that would leave text after a closing quote is never chosen",
         "\"2\";\"d,\"\"a, b, c, d\";\"e\"\n",
         u';',
         {{"2", "d,\"a, b, c, d", "e"}}},
        {"a cell's own U+FEFF is kept",
         "1;\xEF\xBB\xBF\xEF\xBB\xBFx;\"\xEF\xBB\xBF\"\n",
         u';',
         {{"1", QStringLiteral("\uFEFF\uFEFFx"), QStringLiteral("\uFEFF")}}},
        {"only the file's mark is dropped",
         "\xEF\xBB\xBF\xEF\xBB\xBF;a\n",
         u';',
         {{QStringLiteral("\uFEFF"), "a"}}},
    };
    for (const SplitCase& c : cases) {
        SCOPED_TRACE(c.what);
        const auto r = readJobBytes(c.bytes);
        ASSERT_TRUE(r.ok) << r.error.toStdString();
        EXPECT_EQ(r.delimiter, c.delimiter);
        ASSERT_EQ(r.sheet->rowCount(), static_cast<int>(c.rows.size()));
        for (size_t row = 0; row < c.rows.size(); ++row)
            for (size_t col = 0; col < c.rows[row].size(); ++col)
                EXPECT_EQ(r.sheet->cell(static_cast<int>(row + 1), static_cast<int>(col + 1)),
                          c.rows[row][col])
                    << "row " << row + 1 << " column " << col + 1;
    }
}

TEST(JobFile, CellsOutsideTheTableAreEmpty) {
    const auto r = readJobBytes("1;a\r\n2\r\n");
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.sheet->columnCount(), 2);
    EXPECT_EQ(r.sheet->cell(2, 2), QString());
    EXPECT_EQ(r.sheet->cell(0, 1), QString());
    EXPECT_EQ(r.sheet->cell(3, 1), QString());
    EXPECT_EQ(r.sheet->cell(1, 0), QString());
    EXPECT_EQ(r.sheet->cell(1, 12), QString());
}

TEST(JobFile, RecognisesEncodings) {
    const QString text = QStringLiteral("1;Résumé €;😀\r\n");
    const QByteArray utf16le(reinterpret_cast<const char*>(text.utf16()), text.size() * 2);
    QByteArray utf16be;
    for (const QChar c : text) {
        utf16be += static_cast<char>(c.unicode() >> 8);
        utf16be += static_cast<char>(c.unicode() & 0xFF);
    }
    struct Case {
        const char* what;
        QByteArray bytes;
        JobEncoding encoding;
        QString expected;
    };
    const std::vector<Case> cases = {
        {"UTF-8", text.toUtf8(), JobEncoding::Utf8, QStringLiteral("Résumé €")},
        {"UTF-8 with mark", "\xEF\xBB\xBF" + text.toUtf8(), JobEncoding::Utf8Bom,
         QStringLiteral("Résumé €")},
        {"UTF-16 LE", "\xFF\xFE" + utf16le, JobEncoding::Utf16LE, QStringLiteral("Résumé €")},
        {"UTF-16 BE", "\xFE\xFF" + utf16be, JobEncoding::Utf16BE, QStringLiteral("Résumé €")},
        {"Windows-1252", "1;R\xE9sum\xE9 \x80;x\r\n", JobEncoding::Windows1252,
         QStringLiteral("Résumé €")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const auto r = readJobBytes(c.bytes);
        ASSERT_TRUE(r.ok) << r.error.toStdString();
        EXPECT_EQ(r.encoding, c.encoding);
        EXPECT_EQ(r.sheet->cell(1, 2), c.expected);
    }
}

TEST(JobFile, BadJobCorpus) {
    const auto corpus = testsupport::badJobCorpus();
    ASSERT_GE(corpus.size(), 20u);
    for (const auto& job : corpus) {
        SCOPED_TRACE(job.name.toStdString());
        const auto r = readJobBytes(job.bytes);
        EXPECT_EQ(r.ok, job.loads) << r.error.toStdString();
        if (r.ok) {
            EXPECT_EQ(r.sheet->rowCount(), job.rows);
        } else {
            EXPECT_FALSE(r.error.isEmpty());
            EXPECT_EQ(r.sheet, nullptr);
        }
    }
}

TEST(JobFile, LargeCellsAndWideRowsKeepTheirContent) {
    for (const auto& job : testsupport::badJobCorpus()) {
        if (job.name == QStringLiteral("50 MB body cell")) {
            const auto r = readJobBytes(job.bytes);
            ASSERT_TRUE(r.ok);
            EXPECT_EQ(r.sheet->cell(1, 9).size(), 50 * 1024 * 1024);
        } else if (job.name == QStringLiteral("300 columns")) {
            const auto r = readJobBytes(job.bytes);
            ASSERT_TRUE(r.ok);
            EXPECT_EQ(r.sheet->columnCount(), 300);
            EXPECT_EQ(r.sheet->cell(1, 300), QStringLiteral("c300"));
        } else if (job.name == QStringLiteral("100,000 rows")) {
            const auto r = readJobBytes(job.bytes);
            ASSERT_TRUE(r.ok);
            EXPECT_EQ(r.sheet->cell(100000, 5), QStringLiteral("r99999@example.org"));
        }
    }
}

} // namespace
