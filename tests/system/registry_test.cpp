// Registry values in the REGEDIT4 hives of the prefix: statuses, value types, layout.
#include "system/registry.h"

#include "support/qt_print.h"
#include "support/temp_prefix.h"

#include <QDir>
#include <QFile>

#include <sys/stat.h>
#include <unistd.h>

using namespace Lib_Systeme;

namespace {

const QString kLook = QStringLiteral("Software\\Halvaro\\Velmora\\Look");

QByteArray readHive(const TempPrefix& p, const char* name) {
    QFile f(p.path() + u'/' + QString::fromLatin1(name));
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

bool writeHive(const TempPrefix& p, const char* name, const QByteArray& bytes) {
    QFile f(p.path() + u'/' + QString::fromLatin1(name));
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

struct PlatformGuard {
    ~PlatformGuard() { SetRegistryPlatformId(0); }
};

} // namespace

class RegistryTest : public TempPrefixTest {};

TEST_F(RegistryTest, Statuses) {
    QString v = QStringLiteral("stale");
    EXPECT_EQ(Reg_GetValue(HKEY_CURRENT_USER, "", "Style", v), RegStatusBadKey);
    EXPECT_EQ(v, "");
    EXPECT_EQ(Reg_SetValue(HKEY_CURRENT_USER, "", "Style", "x", REG_SZ), RegStatusBadKey);
    EXPECT_EQ(Reg_SetValue(HKEY_CURRENT_USER, kLook, "", "x", REG_SZ), RegStatusBadKey);
    EXPECT_TRUE(readHive(prefix, "user.reg").isEmpty()) << "nothing written";
    EXPECT_EQ(Reg_GetValue(HKEY_USERS, kLook, "Style", v), RegStatusInvalidHandle);
    EXPECT_EQ(Reg_SetValue(HKEY_LOCAL_MACHINE, kLook, "N", "12x", REG_DWORD), RegStatusInvalidData);

    // Reading a missing value of a missing key: success, empty text, and the key now exists.
    EXPECT_EQ(Reg_GetValue(HKEY_LOCAL_MACHINE, kLook, "Style", v), RegStatusSuccess);
    EXPECT_EQ(v, "");
    EXPECT_EQ(readHive(prefix, "system.reg"),
              "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Halvaro\\Velmora\\Look]\r\n");
}

TEST_F(RegistryTest, ValuesRoundTripAndLayout) {
    const QString versions =
        QStringLiteral("Software\\VB and VBA Program Settings\\VL3_Postique\\Versions");
    struct Case {
        const char* name;
        const char* text;
        qint32 type;
        const char* readBack;
    };
    const Case cases[] = {
        {"AppVersion", "2025.109.1402", REG_SZ, "2025.109.1402"},
        {"Path", "C:\\x \"q\"", REG_SZ, "C:\\x \"q\""},
        {"Empty", "", REG_SZ, ""},
        {"Count", "42", REG_DWORD, "42"},
        {"Zero", "", REG_DWORD, "0"},
        {"Minus", "-1", REG_DWORD, "-1"},
        {"Accent", "Éric €", 99, "Éric €"},
        {"Lines", "a\r\nb", REG_SZ, "a\r\nb"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(
            Reg_SetValue(HKEY_CURRENT_USER, versions, c.name, QString::fromUtf8(c.text), c.type),
            RegStatusSuccess)
            << c.name;
        QString v;
        EXPECT_EQ(Reg_GetValue(HKEY_CURRENT_USER, versions.toUpper(),
                               QString::fromLatin1(c.name).toLower(), v),
                  RegStatusSuccess)
            << c.name;
        EXPECT_EQ(v, QString::fromUtf8(c.readBack)) << c.name;
    }
    EXPECT_EQ(Reg_SetValue(HKEY_CURRENT_USER, versions, "appversion", "2026.1.1", REG_SZ), 0);
    EXPECT_EQ(Reg_SetValue(HKEY_CURRENT_USER, kLook, "Style", "Office2007", REG_SZ), 0);
    EXPECT_EQ(
        QString::fromLatin1(readHive(prefix, "user.reg")),
        QString::fromLatin1(
            "REGEDIT4\r\n\r\n"
            "[HKEY_CURRENT_USER\\Software\\VB and VBA Program Settings\\VL3_Postique\\Versions]\r\n"
            "\"AppVersion\"=\"2026.1.1\"\r\n"
            "\"Path\"=\"C:\\\\x \\\"q\\\"\"\r\n"
            "\"Empty\"=\"\"\r\n"
            "\"Count\"=dword:0000002a\r\n"
            "\"Zero\"=dword:00000000\r\n"
            "\"Minus\"=dword:ffffffff\r\n"
            "\"Accent\"=\"\xc9ric \x80\"\r\n"
            "\"Lines\"=hex(1):61,0d,0a,62,00\r\n"
            "\r\n"
            "[HKEY_CURRENT_USER\\Software\\Halvaro\\Velmora\\Look]\r\n"
            "\"Style\"=\"Office2007\"\r\n"));
}

TEST_F(RegistryTest, ReadsWhatOtherToolsWrite) {
    ASSERT_TRUE(writeHive(
        prefix, "system.reg",
        "REGEDIT4\r\n\r\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\VL3.exe]\r\n"
        "@=\"C:\\\\Halvaro\\\\Velmora\\\\VL3.exe\"\r\n"
        "\"Path\"=hex(2):25,53,59,53,25,5c,\\\r\n"
        "  61,00\r\n"
        "\"Bin\"=hex:01,02\r\n"
        "\"Gone\"=-\r\n"
        "\"Flags\" = dword:00000010\r\n"));
    struct Case {
        const char* name;
        qint32 status;
        const char* text;
    };
    const Case cases[] = {{"", 0, "C:\\Halvaro\\Velmora\\VL3.exe"},
                          {"Path", 0, "%SYS%\\a"},
                          {"Bin", RegStatusMoreData, ""},
                          {"Gone", 0, ""},
                          {"flags", 0, "16"},
                          {"Missing", 0, ""}};
    const QString key =
        QStringLiteral("Software\\Microsoft\\Windows\\CurrentVersion\\App Paths\\vl3.exe\\");
    for (const Case& c : cases) {
        QString v = QStringLiteral("stale");
        EXPECT_EQ(Reg_GetValue(HKEY_LOCAL_MACHINE, key, QString::fromLatin1(c.name), v), c.status)
            << c.name;
        EXPECT_EQ(v, QString::fromUtf8(c.text)) << c.name;
    }
}

TEST_F(RegistryTest, RootZeroFollowsThePlatform) {
    PlatformGuard guard;
    QString v;
    SetRegistryPlatformId(0);
    EXPECT_EQ(Reg_GetValue(0, kLook, "Style", v), 0);
    EXPECT_EQ(Reg_SetValue(0, kLook, "Style", "a", REG_SZ), RegStatusInvalidHandle);
    EXPECT_TRUE(readHive(prefix, "user.reg").isEmpty());
    EXPECT_TRUE(readHive(prefix, "system.reg").isEmpty());

    SetRegistryPlatformId(2);
    EXPECT_EQ(Reg_SetValue(0, kLook, "Style", "nt", REG_SZ), 0);
    EXPECT_EQ(Reg_GetValue(HKEY_CURRENT_USER, kLook, "Style", v), 0);
    EXPECT_EQ(v, "nt");
    SetRegistryPlatformId(1);
    EXPECT_EQ(Reg_SetValue(0, kLook, "Style", "9x", REG_SZ), 0);
    EXPECT_EQ(Reg_GetValue(HKEY_LOCAL_MACHINE, kLook, "Style", v), 0);
    EXPECT_EQ(v, "9x");
}

TEST_F(RegistryTest, BadHives) {
    QByteArray garbage("REGEDIT4\r\n\0\0\xff\xfe junk [unclosed\r\n\"x\"=dword:zz\r\n", 45);
    ASSERT_TRUE(writeHive(prefix, "user.reg", garbage));
    QString v = QStringLiteral("stale");
    EXPECT_EQ(Reg_GetValue(HKEY_CURRENT_USER, kLook, "x", v), 0);
    EXPECT_EQ(v, "");
    EXPECT_EQ(Reg_SetValue(HKEY_CURRENT_USER, kLook, "x", "1", REG_SZ), 0);
    const QByteArray after = readHive(prefix, "user.reg");
    EXPECT_TRUE(after.startsWith(garbage));
    EXPECT_EQ(Reg_GetValue(HKEY_CURRENT_USER, kLook, "x", v), 0);
    EXPECT_EQ(v, "1");
}

TEST_F(RegistryTest, HiveThatCannotBeWritten) {
    // A hive path taken by a folder can be neither read nor replaced.
    ASSERT_TRUE(QDir().mkpath(prefix.path() + "/user.reg"));
    QString v = QStringLiteral("stale");
    EXPECT_EQ(Reg_GetValue(HKEY_CURRENT_USER, kLook, "x", v), RegStatusAccessDenied);
    EXPECT_EQ(v, "");
    EXPECT_EQ(Reg_SetValue(HKEY_CURRENT_USER, kLook, "x", "2", REG_SZ), RegStatusAccessDenied);

    if (::geteuid() == 0)
        GTEST_SKIP() << "permissions do not stop root";
    // A hive without write permission: reading works, creating keys and writing do not.
    ASSERT_EQ(Reg_SetValue(HKEY_LOCAL_MACHINE, kLook, "x", "1", REG_SZ), 0);
    const QByteArray before = readHive(prefix, "system.reg");
    ::chmod(QFile::encodeName(prefix.path() + "/system.reg").constData(), 0444);
    EXPECT_EQ(Reg_GetValue(HKEY_LOCAL_MACHINE, kLook, "x", v), 0);
    EXPECT_EQ(v, "1");
    EXPECT_EQ(Reg_GetValue(HKEY_LOCAL_MACHINE, "Software\\New", "x", v), RegStatusAccessDenied);
    EXPECT_EQ(Reg_SetValue(HKEY_LOCAL_MACHINE, kLook, "x", "2", REG_SZ), RegStatusAccessDenied);
    EXPECT_EQ(readHive(prefix, "system.reg"), before);
}

TEST(HiveText, OnlyHexDataGoesOnInTheNextLine) {
    // A value line ending with a backslash, then the value "Next". Only wrapped hex data
    // continues; a backslash that ends a text (even an unclosed one) or a comment does not
    // hide "Next", and rewriting the first value leaves "Next" in place.
    struct Case {
        const char* line;
        const char* name;
        const char* readsAs; // nullptr: unreadable
    };
    const Case cases[] = {
        {"\"Bin\"=hex(1):61,\\\r\n  62,00", "Bin", "ab"},
        {"\"Dir\"=\"C:\\\\Temp\\\\", "Dir", nullptr},
        {"\"Dir\"=\"C:\\Temp\\", "Dir", nullptr},
        {"@=\"C:\\\\Temp\\\\", "", nullptr},
        {"\"Dir\"=\"C:\\\\Temp\" ; was D:\\", "Dir", "C:\\Temp"},
    };
    const QString key = QStringLiteral("HKEY_CURRENT_USER\\Software\\T");
    for (const Case& c : cases) {
        const QByteArray hive = QByteArray("REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\T]\r\n") +
                                c.line + "\r\n\"Next\"=\"kept\"\r\n";
        const QString name = QString::fromLatin1(c.name);
        const auto next = HiveText::readValue(hive, key, QStringLiteral("Next"));
        EXPECT_EQ(next ? next->text : QString(), "kept") << c.line;
        const auto first = HiveText::readValue(hive, key, name);
        EXPECT_EQ(first.has_value(), c.readsAs != nullptr) << c.line;
        if (first && c.readsAs) {
            EXPECT_EQ(first->text, QString::fromLatin1(c.readsAs)) << c.line;
        }

        const QByteArray rewritten = HiveText::withString(hive, key, name, QStringLiteral("new"));
        const auto nextAfter = HiveText::readValue(rewritten, key, QStringLiteral("Next"));
        EXPECT_EQ(nextAfter ? nextAfter->text : QString(), "kept") << c.line;
        const auto firstAfter = HiveText::readValue(rewritten, key, name);
        EXPECT_EQ(firstAfter ? firstAfter->text : QString(), "new") << c.line;
    }
}

TEST(HiveText, NewValueAfterALastLineThatGoesOn) {
    // The key's last line announces a continuation that never comes (a cut file): a value
    // appended after it stays a value of its own, however often the hive is written.
    struct Case {
        const char* last;
        const char* bin; // nullptr: unreadable
    };
    const Case cases[] = {{"\"Bin\"=hex(2):41,00,\\", "A"},
                          {"\"Bin\"=hex(2):41,00,\\\r\n", "A"},
                          {"\"Bin\"=hex(2):41,00,\\\\", nullptr}};
    const QString key = QStringLiteral("HKEY_CURRENT_USER\\Software\\T");
    for (const Case& c : cases) {
        const QByteArray hive =
            QByteArray("REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\T]\r\n") + c.last;
        QByteArray written =
            HiveText::withString(hive, key, QStringLiteral("New"), QStringLiteral("v"));
        written = HiveText::withString(written, key, QStringLiteral("Next"), QStringLiteral("w"));
        const auto added = HiveText::readValue(written, key, QStringLiteral("New"));
        EXPECT_EQ(added ? added->text : QString(), "v") << c.last;
        const auto next = HiveText::readValue(written, key, QStringLiteral("Next"));
        EXPECT_EQ(next ? next->text : QString(), "w") << c.last;
        const auto bin = HiveText::readValue(written, key, QStringLiteral("Bin"));
        EXPECT_EQ(bin.has_value(), c.bin != nullptr) << c.last;
        if (bin && c.bin) {
            EXPECT_EQ(bin->text, QString::fromLatin1(c.bin)) << c.last;
        }
    }
}

TEST(HiveText, TextsKeepALeadingByteOrderMarkCharacter) {
    // U+FEFF at the start of a value is the value's own character: quoted or, with a control
    // character, in hex; alone or twice.
    const QString key = QStringLiteral("HKEY_CURRENT_USER\\Software\\T");
    const QString texts[] = {
        QStringLiteral("\uFEFFplain"),
        QStringLiteral("\uFEFF\uFEFF\u000bD"),
        QStringLiteral("\uFEFF\u0007"),
        QStringLiteral("\uFEFF"),
    };
    for (const QString& text : texts) {
        QByteArray hive = HiveText::withString(std::nullopt, key, QStringLiteral("A"), text);
        hive = HiveText::withString(hive, key, QStringLiteral("B"), QStringLiteral("b"));
        const auto read = HiveText::readValue(hive, key, QStringLiteral("A"));
        ASSERT_TRUE(read.has_value()) << hive.toStdString();
        EXPECT_EQ(read->text, text) << hive.toStdString();
    }
}
