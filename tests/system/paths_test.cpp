// Path and name helpers on the suite's Windows path texts.
#include "system/paths.h"

#include "support/qt_print.h"

#include <gtest/gtest.h>

using namespace Lib_Public;

TEST(CheckRep, EndsWithExactlyOneBackslash) {
    const struct {
        const char* in;
        const char* out;
    } cases[] = {
        {"", ""},
        {"C:\\a", "C:\\a\\"},
        {"C:\\a\\", "C:\\a\\"},
        {"C:\\a\\\\", "C:\\a\\"},
        {"\\\\", "\\"},
        {"\\", "\\"},
        {"C:", "C:\\"},
        {"C:\\a\\\\\\", "C:\\a\\\\"}, // only one character is dropped
        {" C:\\a ", " C:\\a \\"},     // no trimming
        {"\\\\srv\\share", "\\\\srv\\share\\"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(CheckRep(QString::fromUtf8(c.in)), QString::fromUtf8(c.out)) << c.in;
}

TEST(EclateRepFicExt, SplitsFolderNameAndExtension) {
    const struct {
        const char* in;
        const char* rep;
        const char* fic;
        const char* ext;
    } cases[] = {
        {"C:\\dir\\file.txt", "C:\\dir\\", "file", ".txt"},
        {"C:\\dir\\file", "C:\\dir\\", "file", ""},
        {"file.tar.gz", "", "file.tar", ".gz"},
        {"C:\\dir\\", "C:\\dir\\", "", ""},
        {"  C:\\x\\y.ss8 ", "C:\\x\\", "y", ".ss8"},
        {"file.", "", "file", "."},
        {"file", "", "file", ""},
        {"C:\\dir.d\\file", "C:\\dir.d\\", "file",
         ""}, // a dot left of the last "\" is no extension
        {".ini", "", "", ".ini"},
        {"\\a.b", "\\", "a", ".b"},
        {"\\\\srv\\share\\Email_1.ss8", "\\\\srv\\share\\", "Email_1", ".ss8"},
        {"x", "", "x", ""},
        {"   ", "", "", ""},
        {"", "", "", ""},
    };
    for (const auto& c : cases) {
        const RepFicExtRecord parts = EclateRepFicExt(QString::fromUtf8(c.in));
        EXPECT_EQ(RepFicExt.Rep, QString::fromUtf8(c.rep)) << c.in;
        EXPECT_EQ(RepFicExt.Fic, QString::fromUtf8(c.fic)) << c.in;
        EXPECT_EQ(RepFicExt.Ext, QString::fromUtf8(c.ext)) << c.in;
        EXPECT_EQ(parts.Rep, RepFicExt.Rep);
    }
}

TEST(EclateRepFicExt, EachCallReplacesTheWholeRecord) {
    EclateRepFicExt(QStringLiteral("C:\\a\\b.txt"));
    EclateRepFicExt(QStringLiteral("C:\\c\\"));
    EXPECT_EQ(RepFicExt.Fic, QString());
    EXPECT_EQ(RepFicExt.Ext, QString());
}

TEST(NettoieNomDeDossier, CleansWithoutResolving) {
    const struct {
        const char* in;
        const char* out;
    } cases[] = {
        {"C:\\Mes docs\\a:b\\", "C:\\Mes docs\\a b\\"},
        {"C:\\a \\b ", "C:\\a\\b"},
        {"\\\\srv\\share\\x", "\\\\srv\\share\\x"},
        {"C:\\a\\..\\b", "C:\\a\\\\b"},
        {"C:\\a\\...\\b", "C:\\a\\\\b"},
        {"C:\\a\\....\\b", "C:\\a\\.\\b"}, // "..." goes first, then ".."
        {"C:\\100%\\x", "C:\\100\\x"},
        {"C:\\a*b?c\"d<e>f|g,h/i", "C:\\a b c d e f g h i"},
        {"C:\\a   b\\", "C:\\a b\\"},
        {"C:\\a      b", "C:\\a  b"}, // one pass over runs of three spaces
        {"C:\\x:::\\y", "C:\\x\\y"},  // three colons become one space, then " \" is joined
        {"C:\\a  \\b", "C:\\a\\b"},   // repeated until no " \" is left
        {"::", "::"},                 // two characters: nothing to replace
        {"a:b", "a:b"},               // the first two characters are kept as they are
        {"", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(NettoieNomDeDossier(QString::fromUtf8(c.in)), QString::fromUtf8(c.out)) << c.in;
}

TEST(NomFichierCorrect, RejectsWildcardsQuotesAndPipes) {
    const struct {
        const char* in;
        bool ok;
    } cases[] = {
        {"C:\\x\\a?.ini", false},
        {"C:\\x\\a*.ini", false},
        {"C:\\x\\\"a\".ini", false},
        {"C:\\x\\a|b.ini", false},
        {"C:\\x\\a<b.ini", true},
        {"C:\\x\\a:b/c>.ini", true},
        {"", true},
        {"VL3_Postique.ini", true},
    };
    for (const auto& c : cases)
        EXPECT_EQ(NomFichierCorrect(QString::fromUtf8(c.in)), c.ok) << c.in;
}
