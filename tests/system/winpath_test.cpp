// The POSIX layer: translation of Windows texts, directory search and DOS attributes.
#include "system/winpath.h"

#include "support/qt_print.h"
#include "support/temp_prefix.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

using namespace WinPath;

namespace {

bool setDosAttrib(const QString& native, const QByteArray& blob) {
    return ::setxattr(QFile::encodeName(native).constData(), "user.DOSATTRIB", blob.constData(),
                      static_cast<size_t>(blob.size()), 0) == 0;
}

QByteArray le(quint32 v, int bytes) {
    QByteArray out;
    for (int i = 0; i < bytes; ++i)
        out += char((v >> (8 * i)) & 0xff);
    return out;
}

} // namespace

class WinPathTest : public TempPrefixTest {};

TEST_F(WinPathTest, TranslationRules) {
    const QString p = prefix.path();
    ASSERT_TRUE(prefix.write(QStringLiteral("C:\\Halvaro\\Config\\VL3_Systeme.ini"), "x"));
    struct Case {
        const char* text;
        QString expected; // empty: the translation must fail
        qint32 error;
    };
    const Case cases[] = {
        {"C:\\x\\New.txt", p + "/dosdevices/c:/x/New.txt", 0},
        {"c:/halvaro/CONFIG/vl3_systeme.INI", p + "/dosdevices/c:/Halvaro/Config/VL3_Systeme.ini",
         0},
        {"C:\\HALVARO\\config\\Nouveau\\b.ini", p + "/dosdevices/c:/Halvaro/Config/Nouveau/b.ini",
         0},
        {"C:\\a\\..\\..\\..\\etc\\passwd", p + "/dosdevices/c:/etc/passwd", 0},
        {"C:\\.\\a\\.\\b", p + "/dosdevices/c:/a/b", 0},
        {"C:", p + "/dosdevices/c:", 0},
        {"\\\\srv\\share\\d\\f.txt", p + "/dosdevices/unc/srv/share/d/f.txt", 0},
        {"\\\\srv\\share\\..\\..\\x", p + "/dosdevices/unc/srv/share/x", 0},
        {"\\\\?\\C:\\x", p + "/dosdevices/c:/x", 0},
        {"\\\\?\\UNC\\srv\\share\\x", p + "/dosdevices/unc/srv/share/x", 0},
        {"Z:\\opt\\velmora", p + "/dosdevices/z:/opt/velmora", 0},
        {"/opt/velmora\\bin/../lib", "/opt/velmora/lib", 0},
        {"\\\\srv", QString(), ErrorPathNotFound},
        {"\\\\srv\\", QString(), ErrorPathNotFound},
        {"Q:\\x", QString(), ErrorPathNotFound},
        {"", QString(), ErrorInvalidName},
    };
    for (const Case& c : cases) {
        const Translation t = toNative(QString::fromUtf8(c.text));
        EXPECT_EQ(t.ok, !c.expected.isEmpty()) << c.text;
        EXPECT_EQ(t.native, c.expected) << c.text;
        EXPECT_EQ(t.error, c.error) << c.text;
    }
    EXPECT_FALSE(toNative(QStringLiteral("C:\\a") + QChar(0) + QStringLiteral("b")).ok);
}

TEST_F(WinPathTest, DriveLinksAreCreatedOnFirstUse) {
    const QString dos = prefix.path() + "/dosdevices/";
    EXPECT_FALSE(QFileInfo::exists(dos + "c:"));
    ASSERT_TRUE(toNative(QStringLiteral("C:\\")).ok);
    ASSERT_TRUE(toNative(QStringLiteral("z:\\")).ok);
    EXPECT_EQ(QFileInfo(dos + "c:").symLinkTarget(), QDir::cleanPath(prefix.path() + "/drive_c"));
    EXPECT_EQ(QFile::symLinkTarget(dos + "z:"), "/");
    EXPECT_TRUE(QFileInfo(prefix.path() + "/drive_c").isDir());
    // An administrator's link for another letter is followed.
    ASSERT_TRUE(QFile::link(prefix.path() + "/drive_c", dos + "m:"));
    EXPECT_EQ(toNative(QStringLiteral("M:\\a")).native, dos + "m:/a");
}

TEST_F(WinPathTest, NativeFoldersShowAsWindowsTexts) {
    EXPECT_EQ(toWindows(prefix.path() + "/drive_c/Halvaro/x"), "C:\\Halvaro\\x");
    EXPECT_EQ(toWindows(prefix.path() + "/dosdevices/c:/a/"), "C:\\a");
    EXPECT_EQ(toWindows(QStringLiteral("/opt/velmora/bin/")), "Z:\\opt\\velmora\\bin");
    EXPECT_EQ(toWindows(QStringLiteral("/")), "Z:\\");
    // And back again.
    EXPECT_EQ(nativePath(toWindows(QStringLiteral("/usr/lib"))),
              prefix.path() + "/dosdevices/z:/usr/lib");
}

TEST(WildcardMatch, Patterns) {
    struct Case {
        const char* pattern;
        const char* name;
        bool match;
    };
    const Case cases[] = {
        {"Email_*.ss8", "Email_7.ss8", true},
        {"Email_*.ss8", "EMAIL_7.SS8", true},
        {"Email_*.ss8", "Email_7.ss8x", false},
        {"Email_*.ss8", "xEmail_7.ss8", false},
        {"*.*", "noext", true},
        {"a?c", "abc", true},
        {"a?c", "ac", false},
        {"*a*b", "xxaxxbxb", true},
        {"*a*b", "xxaxxbx", false},
        {"é*", "Été", true},
        {"[ab]*", "[ab]x", true},
        {"*", "", true},
    };
    for (const Case& c : cases)
        EXPECT_EQ(wildcardMatch(QString::fromUtf8(c.pattern), QString::fromUtf8(c.name)), c.match)
            << c.pattern << " / " << c.name;
}

TEST_F(WinPathTest, DirectorySearch) {
    ASSERT_TRUE(prefix.write(QStringLiteral("C:\\jobs\\Email_1.SS8"), "a"));
    ASSERT_TRUE(prefix.write(QStringLiteral("C:\\jobs\\email_2.ss8"), "bb"));
    ASSERT_TRUE(prefix.write(QStringLiteral("C:\\jobs\\other.txt"), "c"));
    ASSERT_TRUE(QDir().mkpath(prefix.native(QStringLiteral("C:\\jobs\\Email_dir.ss8"))));
    const QString fifo = prefix.native(QStringLiteral("C:\\jobs\\Email_fifo.ss8"));
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);

    SearchResult r = findFiles(QStringLiteral("c:\\JOBS\\email_*.ss8"));
    ASSERT_TRUE(r.ok);
    ASSERT_EQ(r.entries.size(), 3u);
    EXPECT_EQ(r.entries[0].name, "Email_1.SS8");
    EXPECT_EQ(r.entries[0].size, 1);
    EXPECT_EQ(r.entries[0].attributes, AttrArchive);
    EXPECT_EQ(r.entries[1].name, "Email_dir.ss8");
    EXPECT_EQ(r.entries[1].attributes, AttrDirectory);
    EXPECT_EQ(r.entries[2].name, "email_2.ss8");

    r = findFiles(QStringLiteral("C:\\Jobs\\OTHER.TXT"));
    ASSERT_EQ(r.entries.size(), 1u);
    EXPECT_EQ(r.entries[0].name, "other.txt");

    struct Miss {
        const char* pattern;
        qint32 error;
    };
    const Miss misses[] = {{"C:\\jobs\\", ErrorFileNotFound},
                           {"C:\\jobs\\*.doc", ErrorFileNotFound},
                           {"C:\\nowhere\\*.ss8", ErrorPathNotFound},
                           {"C:\\j*\\a.txt", ErrorInvalidName},
                           {"C:\\jobs\\Email_fifo.ss8", ErrorFileNotFound},
                           {"Q:\\x", ErrorPathNotFound}};
    for (const Miss& m : misses) {
        r = findFiles(QString::fromUtf8(m.pattern));
        EXPECT_FALSE(r.ok) << m.pattern;
        EXPECT_EQ(r.error, m.error) << m.pattern;
    }
}

TEST_F(WinPathTest, AttributesFromModeAndNames) {
    ASSERT_TRUE(prefix.write(QStringLiteral("C:\\a\\f.txt"), "x"));
    ASSERT_TRUE(prefix.write(QStringLiteral("C:\\a\\.cache"), "x"));
    const QString f = prefix.native(QStringLiteral("C:\\a\\f.txt"));
    EXPECT_EQ(readAttributes(f), AttrArchive);
    EXPECT_EQ(readAttributes(prefix.native(QStringLiteral("C:\\a"))), AttrDirectory);
    EXPECT_EQ(readAttributes(prefix.native(QStringLiteral("C:\\a\\.cache"))),
              AttrArchive | AttrHidden);
    ::chmod(QFile::encodeName(f).constData(), 0444);
    EXPECT_EQ(readAttributes(f), AttrArchive | AttrReadOnly);
    ASSERT_TRUE(writeAttributes(f, AttrArchive));
    EXPECT_TRUE(QFileInfo(f).permissions() & QFile::WriteOwner);
    EXPECT_FALSE(readAttributes(prefix.native(QStringLiteral("C:\\a\\missing"))).has_value());
}

TEST_F(WinPathTest, DosAttribExtendedAttribute) {
    ASSERT_TRUE(prefix.write(QStringLiteral("C:\\a\\f.txt"), "x"));
    const QString f = prefix.native(QStringLiteral("C:\\a\\f.txt"));
    if (!setDosAttrib(f, QByteArray("0x6\0", 4)))
        GTEST_SKIP() << "no user extended attributes on this file system";
    EXPECT_EQ(readAttributes(f), AttrHidden | AttrSystem);
    ASSERT_TRUE(writeAttributes(f, AttrHidden | AttrArchive | 0x2000));
    char buffer[64] = {};
    const ssize_t n =
        ::getxattr(QFile::encodeName(f).constData(), "user.DOSATTRIB", buffer, sizeof buffer);
    EXPECT_EQ(QByteArray(buffer, n), QByteArray("0x2022\0", 7));
    EXPECT_EQ(readAttributes(f), AttrHidden | AttrArchive | 0x2000);
}

TEST(DosAttribBlob, HexAndBinaryForms) {
    const QByteArray v5 = QByteArray("\0\0", 2) + le(5, 2) + le(5, 2) + le(0, 2) + le(1, 4) +
                          le(0x21, 4) + QByteArray(8, '\0');
    const QByteArray v4 = QByteArray("\0\0", 2) + le(4, 2) + le(4, 2) + le(0, 2) + le(1, 4) +
                          le(0x22, 4) + QByteArray(16, '\0');
    const QByteArray v1 =
        QByteArray("\0\0", 2) + le(1, 2) + le(1, 2) + le(0, 2) + le(0x10, 4) + QByteArray(36, '\0');
    const QByteArray v3invalid =
        QByteArray("\0\0", 2) + le(3, 2) + le(3, 2) + le(0, 2) + le(0, 4) + le(0x21, 4);
    struct Case {
        QByteArray blob;
        std::optional<quint32> value;
    };
    const Case cases[] = {
        {QByteArray("0x20\0", 5), 0x20u},
        {QByteArray("0x2021"), 0x2021u},
        {QByteArray("0X1F\0garbage", 12), 0x1fu},
        {QByteArray("0x20\0\0\3\0\3\0", 10), 0x20u},
        {v5, 0x21u},
        {v4, 0x22u},
        {v1, 0x10u},
        {v3invalid, std::nullopt},
        {QByteArray("zz"), std::nullopt},
        {QByteArray("0x"), std::nullopt},
        {QByteArray(), std::nullopt},
        {QByteArray("\0\0\5", 3), std::nullopt},
    };
    for (const Case& c : cases)
        EXPECT_EQ(parseDosAttrib(c.blob), c.value) << c.blob.toHex().constData();
}
