// Address list routines: trimming, set search, sender splitting and quote-aware splitting,
// including lists far longer than the old 16-bit position limit.
#include "station/addresses.h"

#include <gtest/gtest.h>

using namespace Addresses;

TEST(FnTrim, StripsOnlyTheEnds) {
    struct Case {
        QString text, set, expected;
    };
    const Case cases[] = {
        {",,a,b,,", ",", "a,b"},
        {",,,,", ",", ""},
        {"", ",", ""},
        {" a ", ",", " a "},
        {" ;x; y,", kListEntrySet, "x; y"},
        {"\"Jean, Dupont\" ", kAddressPartSet, "Jean, Dupont"},
        {"abc", "", "abc"},
        {"aAa", "a", "A"},
    };
    for (const Case& c : cases) {
        QString text = c.text;
        FnTrim(text, c.set);
        EXPECT_EQ(text, c.expected) << c.text.toStdString();
    }
}

TEST(Strpbrk, FindsFirstMemberFromStart) {
    struct Case {
        QString text;
        qsizetype start;
        QString set;
        qsizetype expected;
    };
    const Case cases[] = {
        {"ab,c", 0, ",", 2},  {"ab,c", 2, ",", 2},  {"ab,c", 3, ",", -1},    {"", 0, ",", -1},
        {"ab,c", 9, ",", -1}, {"ab,c", -4, ",", 2}, {"a\"b,c", 0, "\",", 1}, {"abc", 0, "", -1},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Strpbrk(c.text, c.start, c.set), c.expected)
            << c.text.toStdString() << " from " << c.start;
}

TEST(FnParseAddr, SplitsAtFirstBracket) {
    struct Case {
        QString source, name, address;
    };
    const Case cases[] = {
        {"Jean Dupont <jean@radio.fr>", "Jean Dupont", "jean@radio.fr"},
        {"<jean@radio.fr>", "", "jean@radio.fr"},
        {"jean@radio.fr", "", "jean@radio.fr"},
        {"\"Dupont, Jean\" <jean@radio.fr>", "Dupont, Jean", "jean@radio.fr"},
        {"A <b@c> <d@e>", "A", "b@c> <d@e"},
        {"Jean <jean@radio.fr> (studio)", "Jean", "jean@radio.fr> (studio)"},
        {"", "", ""},
        {" 'x' ", "", "x"},
    };
    for (const Case& c : cases) {
        QString name = "stale", address = "stale";
        FnParseAddr(c.source, name, address);
        EXPECT_EQ(name, c.name) << c.source.toStdString();
        EXPECT_EQ(address, c.address) << c.source.toStdString();
    }
}

TEST(SplitEx, CutsOutsideQuotesAndDropsEmptyTokens) {
    struct Case {
        QString source;
        QChar delimiter;
        QStringList expected;
    };
    const Case cases[] = {
        {"a@b,c@d", ',', {"a@b", "c@d"}},
        {"a@b,,c@d", ',', {"a@b", "c@d"}},
        {",a@b,", ',', {"a@b"}},
        {"", ',', {}},
        {",,,", ',', {}},
        {"\"Dupont, Jean\" <j@r.fr>, x@y.fr", ',', {"\"Dupont, Jean\" <j@r.fr>", " x@y.fr"}},
        {"a@b, \"open, c@d, e@f", ',', {"a@b", " \"open, c@d, e@f"}},
        {"a@b; c@d;", ';', {"a@b", " c@d"}},
        {" , ", ',', {" ", " "}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(SplitEx(c.source, c.delimiter), c.expected) << c.source.toStdString();
}

TEST(SplitEx, HandlesListsBeyondSixteenBitPositions) {
    QStringList addresses;
    for (int i = 0; i < 5000; ++i)
        addresses << QStringLiteral("destinataire%1@station.example").arg(i);
    const QString joined = addresses.join(',');
    ASSERT_GT(joined.size(), 32767);
    EXPECT_EQ(SplitEx(joined, ','), addresses);

    QString padded = QString(40000, ',') + "x" + QString(40000, ',');
    FnTrim(padded, ",");
    EXPECT_EQ(padded, "x");
    EXPECT_EQ(Strpbrk(joined, 40000, "@"), joined.indexOf('@', 40000));
}
