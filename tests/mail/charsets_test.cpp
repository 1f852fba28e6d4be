// The character-set table and the "Encodage" list of the settings page.
#include "station/charsets.h"

#include "mail/mime/charset_codec.h"
#include "ui/frm_main.h"

#include <QComboBox>

#include <gtest/gtest.h>

TEST(Charsets, DefaultRowFollowsTheComponentIdentifier) {
    struct Case {
        const char* identifier;
        int row;
    };
    const Case cases[] = {
        {"utf-8", 24},          {"UTF-8", 24},        {"ISO-8859-1", 26}, {"iso-8859-1", 26},
        {"windows-1252", 27},   {"WINDOWS-1252", 27}, {"x-unknown", 26},  {"", 26},
        {"ks_c_5601-1987", 17}, {"gb18030", 5},
    };
    for (const Case& c : cases)
        EXPECT_EQ(CharsetRowFor(QString::fromLatin1(c.identifier)), c.row) << c.identifier;
    EXPECT_EQ(CharsetIdentifier(-1), QString());
    EXPECT_EQ(CharsetIdentifier(28), QString());
    EXPECT_EQ(CharsetIdentifier(27), QStringLiteral("Windows-1252"));
}

// Every identifier of the table can actually be converted by the component.
TEST(Charsets, EveryIdentifierConverts) {
    for (const CharsetRow& row : Charsets)
        EXPECT_TRUE(mail::charset::IsKnown(row.Identifier)) << row.Identifier.toStdString();
}

TEST(Charsets, ListShowsTheTableAndSelectsTheComponentDefault) {
    Frm_Main w;
    w.ParametresModifies = false;
    w.InitGeneralCharset();
    ASSERT_EQ(w.ListeCharset->count(), 28);
    for (int i = 0; i < 28; ++i)
        EXPECT_EQ(w.ListeCharset->itemText(i), Charsets[size_t(i)].DisplayName);
    EXPECT_EQ(w.ListeCharset->itemText(3), QStringLiteral("Central Euporean(ISO)"));
    EXPECT_EQ(w.ListeCharset->itemText(25), QStringLiteral("Vietnames(Windows)"));
    EXPECT_EQ(w.ListeCharset->currentIndex(), 24); // the component's default is utf-8
    EXPECT_TRUE(w.ParametresModifies);             // selecting raised ListeCharset_Click
    // Run again (the list is rebuilt, not doubled), then a user's pick marks the settings.
    w.InitGeneralCharset();
    EXPECT_EQ(w.ListeCharset->count(), 28);
    w.ParametresModifies = false;
    w.ListeCharset->setCurrentIndex(7);
    EXPECT_TRUE(w.ParametresModifies);
    EXPECT_EQ(CharsetIdentifier(w.ListeCharset->currentIndex()), QStringLiteral("hz-gb-2312"));
}
