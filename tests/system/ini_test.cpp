// The private-profile engine: reading rules, the layout after writes, encodings, bad input,
// two writers at once and a writer killed half-way.
#include "system/ini.h"

#include "support/child_process.h"
#include "support/qt_print.h"
#include "support/temp_prefix.h"
#include "system/atomicfile.h"
#include "system/winpath.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <csignal>

#include <sys/stat.h>
#include <unistd.h>

using namespace Lib_Systeme;

namespace {

const QString kIni = QStringLiteral("C:\\Halvaro\\Velmora\\Config\\VL3_Postique.ini");

QString s(const char* utf8) {
    return QString::fromUtf8(utf8);
}

} // namespace

class IniTest : public TempPrefixTest {};

TEST_F(IniTest, ReadingRules) {
    const QByteArray longValue(300, 'v');
    ASSERT_TRUE(prefix.write(kIni, "; suite settings\r\n"
                                   "[Serveur]\r\n"
                                   "Host =  smtp.example.com \r\n"
                                   "Port=25\r\n"
                                   "Quoted=\"  spaced  \"\r\n"
                                   "Single='x'\r\n"
                                   "Mismatch=\"abc'\r\n"
                                   "Empty=\r\n"
                                   "NoValue\r\n"
                                   "Long=" +
                                       longValue +
                                       "\r\n"
                                       "host=second\r\n"
                                       "; Commented=1\r\n"
                                       "[serveur]\r\n"
                                       "Other=dup\r\n"
                                       "\t[ Envoi ]  \r\n"
                                       "  From\t= a@b\r\n"));
    struct Case {
        const char* section;
        const char* key;
        const char* def;
        QString expected;
    };
    const Case cases[] = {
        {"Serveur", "Host", "d", s("smtp.example.com")},
        {"SERVEUR", "PORT", "d", s("25")},
        {"Serveur", "Quoted", "d", s("  spaced  ")},
        {"Serveur", "Single", "d", s("x")},
        {"Serveur", "Mismatch", "d", s("\"abc'")},
        {"Serveur", "Empty", "d", QString()},
        {"Serveur", "NoValue", "d", s("d")},
        {"Serveur", "Long", "d", QString(254, u'v')},
        {"Serveur", "Other", "d", s("d")}, // only the first [Serveur] counts
        {"Serveur", "; Commented", "d", s("d")},
        {"Envoi", "from", "d", s("a@b")},
        {"Absent", "Host", "\"quoted default\"", s("quoted default")},
        {"Serveur", "Absent", "trailing   ", s("trailing")},
        {"Serveur", "Absent", "  lead", s("  lead")},
    };
    for (const Case& c : cases)
        EXPECT_EQ(LectureIni(kIni, s(c.section), s(c.key), s(c.def)), c.expected)
            << c.section << "/" << c.key;

    EXPECT_EQ(LectureIni(QStringLiteral("C:\\nowhere\\x.ini"), "Serveur", "Host", "d"), "d");
    // The file-name guard returns the default exactly as given, even for an existing file.
    ASSERT_TRUE(prefix.write(QStringLiteral("C:\\q\\a?.ini"), "[S]\r\nk=v\r\n"));
    EXPECT_EQ(LectureIni(QStringLiteral("C:\\q\\a?.ini"), "S", "k", "  d  "), "  d  ");
}

TEST_F(IniTest, LayoutAfterWrites) {
    ASSERT_TRUE(prefix.write(kIni, "; head\r\n[A]\r\nk1=1\r\n\r\n[B]\r\nx=1\r\n"));
    EXPECT_TRUE(EcritureIni(kIni, "A", "k2", "2"));
    EXPECT_TRUE(EcritureIni(kIni, "a", "K1", "new"));
    EXPECT_TRUE(EcritureIni(kIni, "C", "z", ""));
    EXPECT_TRUE(EcritureIni(kIni, "b", "y", " sp "));
    EXPECT_TRUE(EcritureIni(kIni, "A", "line", "one\r\n[B]\r\nx=injected"));
    EXPECT_EQ(prefix.read(kIni), "; head\r\n[A]\r\nk1=new\r\nk2=2\r\n"
                                 "line=one  [B]  x=injected\r\n\r\n"
                                 "[B]\r\nx=1\r\ny= sp \r\n[C]\r\nz=\r\n");
    EXPECT_EQ(LectureIni(kIni, "B", "x", "d"), "1");
    EXPECT_EQ(LectureIni(kIni, "B", "y", "d"), "sp");
    EXPECT_EQ(LectureIni(kIni, "C", "z", "d"), "");

    // A new file; a last line without line ending; a file with LF endings.
    const QString fresh = QStringLiteral("C:\\x\\new.ini");
    ASSERT_TRUE(QDir().mkpath(prefix.native(QStringLiteral("C:\\x"))));
    EXPECT_TRUE(EcritureIni(fresh, "FrmPos", "Left", "120"));
    EXPECT_TRUE(EcritureIni(fresh, "FrmPos", "Top", "45"));
    EXPECT_EQ(prefix.read(fresh), "[FrmPos]\r\nLeft=120\r\nTop=45\r\n");
    ASSERT_TRUE(prefix.write(fresh, "[A]\r\nk=1"));
    EXPECT_TRUE(EcritureIni(fresh, "A", "j", "2"));
    EXPECT_EQ(prefix.read(fresh), "[A]\r\nk=1\r\nj=2\r\n");
    ASSERT_TRUE(prefix.write(fresh, "[A]\nk=1\n"));
    EXPECT_TRUE(EcritureIni(fresh, "A", "k", "2"));
    EXPECT_EQ(prefix.read(fresh), "[A]\nk=2\n");
}

TEST_F(IniTest, RefusedWritesAndRetries) {
    ASSERT_TRUE(prefix.write(kIni, "[A]\r\nk=1\r\n"));
    const QByteArray before = prefix.read(kIni);
    EXPECT_FALSE(EcritureIni(kIni, "  ", "k", "v"));
    EXPECT_FALSE(EcritureIni(kIni, "A", "  ", "v"));
    EXPECT_FALSE(EcritureIni(QStringLiteral("C:\\x\\a|b.ini"), "A", "k", "v"));
    EXPECT_EQ(prefix.read(kIni), before);

    // Missing folders are created by the first retry.
    const QString deep = QStringLiteral("C:\\new\\deeper\\still\\s.ini");
    EXPECT_TRUE(EcritureIni(deep, "S", "k", "v"));
    EXPECT_EQ(prefix.read(deep), "[S]\r\nk=v\r\n");

    // A read-only file loses its read-only attribute with the second retry.
    const QString native = prefix.native(kIni);
    ::chmod(QFile::encodeName(native).constData(), 0444);
    EXPECT_TRUE(EcritureIni(kIni, "A", "k", "2"));
    EXPECT_EQ(prefix.read(kIni), "[A]\r\nk=2\r\n");
    EXPECT_TRUE(QFileInfo(native).permissions() & QFile::WriteOwner);

    // A bare file name lies in the Windows folder.
    EXPECT_TRUE(EcritureIni(QStringLiteral("win.ini"), "W", "k", "v"));
    EXPECT_EQ(prefix.read(QStringLiteral("C:\\windows\\win.ini")), "[W]\r\nk=v\r\n");
    EXPECT_EQ(LectureIni(QStringLiteral("WIN.INI"), "w", "K", "d"), "v");
}

TEST_F(IniTest, PermissionsKeptAndNoTemporariesLeft) {
    ASSERT_TRUE(prefix.write(kIni, "[A]\r\n"));
    const QString native = prefix.native(kIni);
    ::chmod(QFile::encodeName(native).constData(), 0640);
    EXPECT_TRUE(EcritureIni(kIni, "A", "k", "v"));
    struct stat st {};
    ASSERT_EQ(::stat(QFile::encodeName(native).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(QDir(QFileInfo(native).absolutePath()).entryList(QDir::Files | QDir::Hidden),
              QStringList{QStringLiteral("VL3_Postique.ini")});

    // A settings file linked from elsewhere stays a link; its target gets the new content.
    const QString link = prefix.native(QStringLiteral("C:\\linked.ini"));
    ASSERT_TRUE(QFile::link(native, link));
    EXPECT_TRUE(EcritureIni(QStringLiteral("C:\\linked.ini"), "A", "k", "via link"));
    EXPECT_TRUE(QFileInfo(link).isSymLink());
    EXPECT_EQ(LectureIni(kIni, "A", "k", "d"), "via link");
}

TEST_F(IniTest, Encodings) {
    struct Case {
        const char* name;
        QByteArray file;     // initial content
        const char* read;    // value of A/v
        const char* write;   // value written to A/w
        QByteArray expected; // content afterwards
    };
    const Case cases[] = {
        {"windows-1252", "[A]\r\nv=Caf\xe9 \x80\r\n", "Café €", "Noël",
         "[A]\r\nv=Caf\xe9 \x80\r\nw=No\xebl\r\n"},
        {"utf-8", "[A]\r\nv=Caf\xc3\xa9\r\n", "Café", "Noël",
         "[A]\r\nv=Caf\xc3\xa9\r\nw=No\xc3\xabl\r\n"},
        {"utf-8 with BOM", "\xef\xbb\xbf[A]\r\nv=x\r\n", "x", "Noël",
         "\xef\xbb\xbf[A]\r\nv=x\r\nw=No\xc3\xabl\r\n"},
        {"ascii gets windows-1252", "[A]\r\nv=x\r\n", "x", "é", "[A]\r\nv=x\r\nw=\xe9\r\n"},
        {"switch to utf-8", "[A]\r\nv=Caf\xe9\r\n", "Café", "日本",
         "[A]\r\nv=Caf\xc3\xa9\r\nw=\xe6\x97\xa5\xe6\x9c\xac\r\n"},
        {"utf-16", QByteArray("\xff\xfe[\0A\0]\0\r\0\n\0v\0=\0\xe9\0\r\0\n\0", 22), "é", "z",
         QByteArray("\xff\xfe[\0A\0]\0\r\0\n\0v\0=\0\xe9\0\r\0\n\0w\0=\0z\0\r\0\n\0", 32)},
        {"unassigned 1252 bytes", "[A]\r\nv=\x81\x8d\r\n", "\xc2\x81\xc2\x8d", "ok",
         "[A]\r\nv=\x81\x8d\r\nw=ok\r\n"},
        // "ÿþ" in Windows-1252 is the UTF-16 mark's bytes: written as such, the file of even
        // length would read back as UTF-16.
        {"windows-1252 beginning like a mark", "\xff\xfe;xy\r\n[A]\r\nv=1\r\n", "1", "2",
         "\xef\xbb\xbf\xc3\xbf\xc3\xbe;xy\r\n[A]\r\nv=1\r\nw=2\r\n"},
        {"a U+FEFF after the mark is text", "\xef\xbb\xbf\xef\xbb\xbf;\r\n[A]\r\nv=x\r\n", "x", "y",
         "\xef\xbb\xbf\xef\xbb\xbf;\r\n[A]\r\nv=x\r\nw=y\r\n"},
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(prefix.write(kIni, c.file));
        EXPECT_EQ(LectureIni(kIni, "A", "v", "d"), s(c.read)) << c.name;
        EXPECT_TRUE(EcritureIni(kIni, "A", "w", s(c.write))) << c.name;
        EXPECT_EQ(prefix.read(kIni), c.expected) << c.name;
        EXPECT_EQ(LectureIni(kIni, "A", "w", "d"), s(c.write)) << c.name;
    }
}

TEST_F(IniTest, BadInputGivesDefaultsAndKeepsLines) {
    QByteArray garbage;
    for (int i = 0; i < 4096; ++i)
        garbage += char((i * 7919) & 0xff);
    const QByteArray hugeLine = "big=" + QByteArray(1 << 20, 'x') + "\r\n";
    struct Case {
        const char* name;
        QByteArray file;
    };
    const Case cases[] = {
        {"binary", garbage},
        {"NUL bytes", QByteArray("[A\0]\r\nk\0=1\r\n\0\0\0", 15)},
        {"1 MB line", hugeLine + hugeLine},
        {"CR only", "[B]\rk=1\r"},
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(prefix.write(kIni, c.file));
        EXPECT_EQ(LectureIni(kIni, "A", "k", "d"), "d") << c.name;
        EXPECT_TRUE(EcritureIni(kIni, "A", "k", "v")) << c.name;
        const QByteArray after = prefix.read(kIni);
        EXPECT_TRUE(after.startsWith(c.file.endsWith('\r') || c.file.endsWith('\n')
                                         ? c.file
                                         : c.file.left(c.file.lastIndexOf('\n') + 1)))
            << c.name;
        EXPECT_TRUE(after.endsWith("[A]\r\nk=v\r\n")) << c.name;
        EXPECT_EQ(LectureIni(kIni, "A", "k", "d"), "v") << c.name;
    }
    ASSERT_TRUE(prefix.write(kIni, "[B]\rk=1\r"));
    EXPECT_EQ(LectureIni(kIni, "B", "k", "d"), "1");

    if (::geteuid() != 0) {
        ASSERT_TRUE(prefix.write(kIni, "[A]\r\nk=1\r\n"));
        ::chmod(QFile::encodeName(prefix.native(kIni)).constData(), 0);
        EXPECT_EQ(LectureIni(kIni, "A", "k", "d"), "d");
    }
}

// Child side of the concurrency test: writes 40 keys of its own into the shared file.
TEST(DISABLED_IniChild, WriteKeys) {
    const QString tag = qEnvironmentVariable("INI_CHILD_TAG");
    for (int i = 0; i < 40; ++i)
        ASSERT_TRUE(EcritureIni(kIni, "Shared", tag + QString::number(i), QString::number(i)));
}

// Child side of the interrupted-write test: dies at the stage named by INI_CHILD_STAGE.
TEST(DISABLED_IniChild, DieMidWrite) {
    const bool beforeRename = qEnvironmentVariable("INI_CHILD_STAGE") == u"rename";
    AtomicFile::setStageHookForTesting([beforeRename](AtomicFile::Stage stage) {
        if ((stage == AtomicFile::Stage::BeforeRename) == beforeRename)
            std::raise(SIGKILL);
    });
    EcritureIni(kIni, "A", "k", "never");
}

TEST_F(IniTest, TwoProcessesWritingAtOnceKeepBothKeys) {
    ASSERT_TRUE(prefix.write(kIni, "[Shared]\r\n"));
    QProcessEnvironment a, b;
    a.insert(QStringLiteral("INI_CHILD_TAG"), QStringLiteral("a"));
    b.insert(QStringLiteral("INI_CHILD_TAG"), QStringLiteral("b"));
    auto first = startTestChild(QStringLiteral("DISABLED_IniChild.WriteKeys"), a);
    auto second = startTestChild(QStringLiteral("DISABLED_IniChild.WriteKeys"), b);
    ASSERT_TRUE(first->waitForFinished(120000));
    ASSERT_TRUE(second->waitForFinished(120000));
    EXPECT_EQ(first->exitCode(), 0);
    EXPECT_EQ(second->exitCode(), 0);
    for (int i = 0; i < 40; ++i) {
        EXPECT_EQ(LectureIni(kIni, "Shared", QStringLiteral("a%1").arg(i), "missing"),
                  QString::number(i));
        EXPECT_EQ(LectureIni(kIni, "Shared", QStringLiteral("b%1").arg(i), "missing"),
                  QString::number(i));
    }
    EXPECT_EQ(prefix.read(kIni).count("\r\n"), 81);
}

TEST_F(IniTest, WriterKilledHalfWayLeavesTheOldFile) {
    const QByteArray old = "[A]\r\nk=old\r\n; keep me\r\n";
    for (const char* stage : {"half", "rename"}) {
        ASSERT_TRUE(prefix.write(kIni, old));
        QProcessEnvironment env;
        env.insert(QStringLiteral("INI_CHILD_STAGE"), QString::fromLatin1(stage));
        bool crashed = false;
        runTestChild(QStringLiteral("DISABLED_IniChild.DieMidWrite"), env, &crashed);
        EXPECT_TRUE(crashed) << stage;
        EXPECT_EQ(prefix.read(kIni), old) << stage;
        // The next write works and sweeps the dead writer's temporary away.
        EXPECT_TRUE(EcritureIni(kIni, "A", "k", "new")) << stage;
        EXPECT_EQ(prefix.read(kIni), "[A]\r\nk=new\r\n; keep me\r\n") << stage;
        const QString folder = QFileInfo(prefix.native(kIni)).absolutePath();
        EXPECT_EQ(QDir(folder).entryList(QDir::Files | QDir::Hidden).size(), 1) << stage;
    }
}
