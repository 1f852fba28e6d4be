// The one cleaner of outside text: what counts as unsafe, how runs collapse, how quoting cuts.
#include "system/untrusted_text.h"

#include <gtest/gtest.h>

namespace {

TEST(UntrustedText, ReplacesEachRunOfUnsafeCharactersByOneSpace) {
    struct Case {
        QString in;
        QString out;
    };
    const Case cases[] = {
        {"plain text", "plain text"},
        {"a\r\nb", "a b"},
        {"a\tb\x7f"
         "c",
         "a b c"},
        {QString("x") + QChar(0x85) + "y", "x y"},                     // C1 next line
        {QString("file") + QChar(0x202E) + "gpj.exe", "file gpj.exe"}, // right-to-left override
        {QString("a") + QChar(0x2066) + QChar(0x2069) + "b", "a b"},   // isolates
        {QString("a") + QChar(0x2028) + "b" + QChar(0x200F), "a b "},  // separator, RLM
        {"  kept  as  is ", "  kept  as  is "},
        {QString::fromUtf8("Réponse 😀"), QString::fromUtf8("Réponse 😀")},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Untrusted::Clean(c.in), c.out) << qPrintable(c.in);
        EXPECT_EQ(Untrusted::HasUnsafe(c.in), c.in != c.out) << qPrintable(c.in);
    }
}

TEST(UntrustedText, QuotedTextIsSimplifiedAndCut) {
    EXPECT_EQ(Untrusted::CleanQuoted(" 550 \r\n non  merci "), "550 non merci");
    EXPECT_EQ(Untrusted::CleanQuoted("abcdef", 3), "abc...");
    EXPECT_EQ(Untrusted::CleanQuoted("abc", 3), "abc");
    // A surrogate pair at the cut stays whole (here: dropped).
    EXPECT_EQ(Untrusted::CleanQuoted(QString::fromUtf8("ab😀cd"), 3), "ab...");
    EXPECT_EQ(Untrusted::CleanQuoted(QString(400, u'x')).size(), Untrusted::kQuotedTextLimit + 3);
}

} // namespace
