// File primitives on Windows texts: existence, size, deletion, copy, attributes, folders.
#include "system/files.h"

#include "support/qt_print.h"
#include "support/temp_prefix.h"
#include "system/atomicfile.h"
#include "system/error_reporting.h"
#include "system/mounts.h"
#include "system/winpath.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>
#include <sys/xattr.h>

using namespace Lib_Systeme;

namespace {
const QString kCaller = QStringLiteral("Frm_Main:TimerSendEmail_Timer");
}

class FilesTest : public TempPrefixTest {};

TEST_F(FilesTest, FileExist) {
    ASSERT_TRUE(prefix.write(QStringLiteral("C:\\x\\a.txt"), "data"));
    ASSERT_TRUE(prefix.write(QStringLiteral("C:\\x\\report.txt"), "r"));
    ASSERT_TRUE(prefix.write(QStringLiteral("C:\\x\\only .txt"), "o"));
    ASSERT_TRUE(prefix.write(QStringLiteral("C:\\x\\empty.txt"), ""));
    ASSERT_TRUE(prefix.write(QStringLiteral("C:\\jobs\\Email_3.ss8"), "row"));
    ASSERT_TRUE(QDir().mkpath(prefix.native(QStringLiteral("C:\\x\\sub"))));
    struct Case {
        const char* path;
        bool nonEmpty;
        bool found;
    };
    const Case cases[] = {
        {"   ", true, false},
        {" C:\\x\\a.txt ", true, true},
        {"c:\\X\\A.TXT", true, true},
        {"C:\\x\\report .txt", true, true},  // first attempt: report.txt
        {"C:\\x\\report  .txt", true, true}, // both spaces collapse
        {"C:\\x\\only .txt", true, true},    // second attempt: the name as given
        {"C:\\x\\empty.txt", true, false},
        {"C:\\x\\empty.txt", false, true},
        {"C:\\jobs\\*.ss8", true, true},
        {"C:\\jobs\\*.doc", false, false},
        {"C:\\x\\sub", true, true}, // a folder's size is -1, not 0
        {"C:\\x\\sub\\", false, false},
        {"C:\\x\\missing.txt", false, false},
        {"Q:\\x\\a.txt", false, false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(File_Exist(QString::fromUtf8(c.path), kCaller, c.nonEmpty), c.found)
            << c.path << " nonEmpty=" << c.nonEmpty;
}

TEST_F(FilesTest, TailleDuFichier) {
    ASSERT_TRUE(prefix.write(QStringLiteral("C:\\x\\five.bin"), "12345"));
    ASSERT_TRUE(prefix.write(QStringLiteral("C:\\x\\zero.bin"), ""));
    ASSERT_TRUE(prefix.write(QStringLiteral("C:\\x\\locked.bin"), "abc"));
    ::chmod(QFile::encodeName(prefix.native(QStringLiteral("C:\\x\\locked.bin"))).constData(), 0);
    struct Case {
        const char* path;
        qint32 size;
    };
    const Case cases[] = {{"C:\\X\\FIVE.BIN", 5},     {"C:\\x\\zero.bin", 0},
                          {"C:\\x\\missing.bin", -1}, {"C:\\x", -1},
                          {"C:\\x\\*.bin", -1},       {"", -1}};
    for (const Case& c : cases)
        EXPECT_EQ(TailleDuFichier(QString::fromUtf8(c.path)), c.size) << c.path;
    if (::geteuid() != 0) {
        EXPECT_EQ(TailleDuFichier(QStringLiteral("C:\\x\\locked.bin")), -1);
    }
}

TEST_F(FilesTest, FileDelete) {
    ASSERT_TRUE(prefix.write(QStringLiteral("C:\\jobs\\Email_1.ss8"), "a"));
    ASSERT_TRUE(prefix.write(QStringLiteral("C:\\jobs\\Email_2.ss8"), "b"));
    ASSERT_TRUE(prefix.write(QStringLiteral("C:\\jobs\\keep.txt"), "k"));
    ASSERT_TRUE(QDir().mkpath(prefix.native(QStringLiteral("C:\\jobs\\Email_dir.ss8"))));
    ASSERT_TRUE(prefix.write(QStringLiteral("C:\\jobs\\ro.ss8"), "r"));
    ::chmod(QFile::encodeName(prefix.native(QStringLiteral("C:\\jobs\\ro.ss8"))).constData(), 0444);

    EXPECT_FALSE(File_Delete(QStringLiteral("  "), kCaller, 0, 0));
    EXPECT_FALSE(File_Delete(QStringLiteral("C:\\jobs\\missing.ss8"), kCaller, 0, 0));
    EXPECT_TRUE(File_Delete(QStringLiteral("C:\\JOBS\\email_1.SS8"), kCaller, 0, 0));
    EXPECT_FALSE(prefix.exists(QStringLiteral("C:\\jobs\\Email_1.ss8")));
    EXPECT_TRUE(File_Delete(QStringLiteral("C:\\jobs\\ro.ss8"), kCaller, 0, 0));
    EXPECT_FALSE(File_Delete(QStringLiteral("C:\\jobs\\Email_dir.ss8"), kCaller, 0, 0));
    EXPECT_TRUE(prefix.exists(QStringLiteral("C:\\jobs\\Email_dir.ss8")));
    EXPECT_TRUE(File_Delete(QStringLiteral("C:\\jobs\\Email_*.ss8"), kCaller, 0, 0));
    EXPECT_FALSE(prefix.exists(QStringLiteral("C:\\jobs\\Email_2.ss8")));
    EXPECT_TRUE(prefix.exists(QStringLiteral("C:\\jobs\\Email_dir.ss8")));
    EXPECT_TRUE(prefix.exists(QStringLiteral("C:\\jobs\\keep.txt")));
}

TEST_F(FilesTest, FileCopy) {
    ASSERT_TRUE(prefix.write(QStringLiteral("C:\\src\\a.txt"), "new content"));
    ASSERT_TRUE(prefix.write(QStringLiteral("C:\\src\\empty.txt"), ""));
    ASSERT_TRUE(prefix.write(QStringLiteral("C:\\dst\\a.txt"), "old"));
    ::chmod(QFile::encodeName(prefix.native(QStringLiteral("C:\\src\\a.txt"))).constData(), 0640);

    EXPECT_FALSE(File_Copy(QStringLiteral("C:\\src\\empty.txt"), QStringLiteral("C:\\dst\\e.txt")));
    EXPECT_FALSE(prefix.exists(QStringLiteral("C:\\dst\\e.txt")));
    EXPECT_FALSE(File_Copy(QStringLiteral("C:\\src\\none.txt"), QStringLiteral("C:\\dst\\n.txt")));
    EXPECT_FALSE(File_Copy(QStringLiteral(" "), QStringLiteral("C:\\dst\\n.txt")));

    EXPECT_TRUE(File_Copy(QStringLiteral("C:\\src\\a.txt"), QStringLiteral("C:\\dst\\a.txt")));
    EXPECT_EQ(prefix.read(QStringLiteral("C:\\dst\\a.txt")), "new content");
    EXPECT_TRUE(File_Copy(QStringLiteral("C:\\src\\a.txt"), QStringLiteral("C:\\dst\\")));
    EXPECT_TRUE(File_Copy(QStringLiteral("C:\\src\\a.txt"), QStringLiteral("C:\\made\\b.txt")));
    EXPECT_EQ(prefix.read(QStringLiteral("C:\\made\\b.txt")), "new content");
    EXPECT_EQ(QFileInfo(prefix.native(QStringLiteral("C:\\made\\b.txt"))).permissions() & 0x7777,
              QFileInfo(prefix.native(QStringLiteral("C:\\src\\a.txt"))).permissions() & 0x7777);
    // No temporary file is left beside the destination.
    const QStringList left =
        QDir(prefix.native(QStringLiteral("C:\\dst"))).entryList(QDir::Files | QDir::Hidden);
    EXPECT_EQ(left, QStringList{QStringLiteral("a.txt")});
}

TEST_F(FilesTest, FileRemoveFlag) {
    struct Case {
        quint32 before;
        qint32 clear;
        quint32 after;
        bool needsXattr;
    };
    const Case cases[] = {
        {33, 1, 32, false}, {32, 1, 32, false}, {8225, 1, 8224, true},
        {39, 6, 33, true},  {33, 0, 33, false},
    };
    int n = 0;
    for (const Case& c : cases) {
        const QString path = QStringLiteral("C:\\f\\%1.ini").arg(++n);
        ASSERT_TRUE(prefix.write(path, "[a]\r\n"));
        const QString native = prefix.native(path);
        WinPath::writeAttributes(native, c.before);
        if (WinPath::readAttributes(native) != c.before) {
            ASSERT_TRUE(c.needsXattr);
            continue; // no extended attributes here
        }
        File_RemoveFlag(path, c.clear);
        EXPECT_EQ(WinPath::readAttributes(native), c.after) << c.before << " - " << c.clear;
    }
    File_RemoveFlag(QStringLiteral("C:\\f\\missing.ini"), 1); // silently nothing
}

TEST_F(FilesTest, FolderCreationWalk) {
    bool create = true;
    VerificationEtCreationRepertoire(QStringLiteral("C:\\a\\b\\c"), create);
    EXPECT_TRUE(QFileInfo(prefix.native(QStringLiteral("C:\\a\\b\\c"))).isDir());
    // Created folders are not recorded as known; found ones are.
    EXPECT_EQ(FolderMemory().known, ",");
    EXPECT_EQ(FolderMemory().last, "C:\\a\\b\\c\\");

    VerificationEtCreationRepertoire(QStringLiteral("C:\\a\\b\\d\\\\"), create);
    EXPECT_TRUE(QFileInfo(prefix.native(QStringLiteral("C:\\a\\b\\d"))).isDir());
    EXPECT_EQ(FolderMemory().known, ",C:\\a\\,C:\\a\\b\\,");
    EXPECT_EQ(FolderMemory().last, "C:\\a\\b\\d\\");

    // A folder written the Linux way is made where it says, never beside the program's start.
    const QString linux = prefix.path() + QStringLiteral("/linux/jobs");
    VerificationEtCreationRepertoire(linux, create);
    EXPECT_TRUE(QFileInfo(linux).isDir());
    EXPECT_TRUE(QDir::current().entryList({QStringLiteral("* linux jobs")}, QDir::Dirs).isEmpty());

    // A known folder is not looked at again, even when it has gone.
    QDir(prefix.native(QStringLiteral("C:\\a\\b"))).removeRecursively();
    VerificationEtCreationRepertoire(QStringLiteral("C:\\a\\b\\"), create);
    EXPECT_FALSE(QFileInfo::exists(prefix.native(QStringLiteral("C:\\a\\b"))));
}

TEST_F(FilesTest, FolderCreationUncAndFailures) {
    // The share exists (mounted by the administrator); the server part is never created.
    ASSERT_TRUE(QDir().mkpath(prefix.path() + "/dosdevices/unc/srv/share"));
    VerificationEtCreationRepertoire(QStringLiteral("\\\\srv\\share\\new\\"));
    EXPECT_TRUE(QFileInfo(prefix.path() + "/dosdevices/unc/srv/share/new").isDir());
    EXPECT_EQ(FolderMemory().known, ",\\\\srv\\share\\,");

    // No share: its creation fails, is remembered, and the walk stops there.
    VerificationEtCreationRepertoire(QStringLiteral("\\\\other\\share\\x\\"));
    EXPECT_FALSE(QFileInfo::exists(prefix.path() + "/dosdevices/unc/other"));
    EXPECT_EQ(FolderMemory().failed, "\\\\other\\share\\,");

    // A missing drive fails the same way; "$" prefixes are never recorded.
    VerificationEtCreationRepertoire(QStringLiteral("Q:\\a\\b"));
    EXPECT_EQ(FolderMemory().failed, "\\\\other\\share\\,Q:\\a\\,");
    VerificationEtCreationRepertoire(QStringLiteral("\\\\srv\\C$\\y\\"));
    EXPECT_EQ(FolderMemory().failed, "\\\\other\\share\\,Q:\\a\\,");

    // Blank and cleaned-away names do nothing.
    const FolderCreationMemory before = FolderMemory();
    VerificationEtCreationRepertoire(QStringLiteral("  ** "));
    EXPECT_EQ(FolderMemory().last, before.last);
}

TEST_F(FilesTest, NothingIsCreatedUnderTheMountPointOfAShareNotMounted) {
    const QString share = prefix.path() + "/dosdevices/unc/srv/share";
    ASSERT_TRUE(QDir().mkpath(share));
    ASSERT_TRUE(prefix.write(QStringLiteral("C:\\fstab"),
                             "//srv/share " + QFile::encodeName(share) + " cifs _netdev 0 0\n"));
    Posix::setFstabPath(prefix.native(QStringLiteral("C:\\fstab")));
    VerificationEtCreationRepertoire(QStringLiteral("\\\\srv\\share\\jobs\\"));
    Posix::setFstabPath({});
    EXPECT_FALSE(QFileInfo::exists(share + "/jobs"));
    // Once the share is there (here: no longer listed), the folder is made.
    VerificationEtCreationRepertoire(QStringLiteral("\\\\srv\\share\\jobs\\"));
    EXPECT_TRUE(QFileInfo(share + "/jobs").isDir());
}

TEST_F(FilesTest, SpecialFilesAreNeverReadNorWaitedFor) {
    // A FIFO, a device or a link to one in place of a settings file, a hive or a CA
    // certificate: nothing blocks, nothing is read without bound.
    const QString dir = prefix.native(QStringLiteral("C:\\special"));
    ASSERT_TRUE(QDir().mkpath(dir));
    const QString fifo = dir + QStringLiteral("/fifo.ini");
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    ASSERT_TRUE(QFile::link(QStringLiteral("/dev/zero"), dir + QStringLiteral("/zero.pem")));
    ASSERT_TRUE(QFile::link(fifo, dir + QStringLiteral("/fifo-link.pem")));
    ASSERT_TRUE(prefix.write(QStringLiteral("C:\\special\\plain.ini"), "[a]\r\nb=c\r\n"));
    struct Case {
        const char* name;
        bool readable;
    };
    const Case cases[] = {
        {"fifo.ini", false}, {"zero.pem", false}, {"fifo-link.pem", false}, {"plain.ini", true}};
    for (const Case& c : cases) {
        const QString path = dir + u'/' + QLatin1String(c.name);
        EXPECT_EQ(AtomicFile::readAll(path).has_value(), c.readable) << c.name;
        QString error;
        const bool updated = AtomicFile::update(
            path, [](const std::optional<QByteArray>& current) { return current; }, &error);
        EXPECT_EQ(updated, c.readable) << c.name << " " << error.toStdString();
    }
    EXPECT_EQ(TailleDuFichier(QStringLiteral("C:\\special\\fifo.ini")), -1);
    EXPECT_TRUE(File_Exist(QStringLiteral("C:\\special\\plain.ini"), kCaller, true));
}
