// System information: the product text of every version the table knows, the special
// folders and the millisecond counter across the 32-bit wrap.
#include "system/sysinfo.h"

#include "system/clock.h"

#include "support/qt_print.h"

#include <QDir>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <vector>

using namespace Lib_Systeme;

namespace {

// Resets the module state that GetOSDisplayString and GetTickCountEx keep.
struct SysinfoStateGuard {
    SysinfoStateGuard() { reset(); }
    ~SysinfoStateGuard() {
        reset();
        Clock::Set({});
    }
    static void reset() {
        WindowsGeneration = 0;
        TickCount64Available = false;
    }
};

OsVersionRecord nt(quint32 major, quint32 minor, quint32 build, quint16 arch,
                   quint8 productType = 1, quint16 suite = 0, const char* sp = "") {
    OsVersionRecord r;
    r.majorVersion = major;
    r.minorVersion = minor;
    r.buildNumber = build;
    r.platformId = 2;
    r.processorArchitecture = arch;
    r.productType = productType;
    r.suiteMask = suite;
    r.servicePack = QString::fromUtf8(sp);
    return r;
}

OsVersionRecord withProductInfo(OsVersionRecord r, quint32 type) {
    r.productInfoType = type;
    return r;
}

OsVersionRecord withR2(OsVersionRecord r) {
    r.serverR2 = true;
    return r;
}

constexpr quint16 X86 = ArchitectureX86;
constexpr quint16 X64 = ArchitectureX64;
constexpr quint16 IA64 = ArchitectureItanium;
constexpr quint16 ARM64 = ArchitectureArm64;

} // namespace

TEST(GetOSDisplayString, TextGenerationAndTickCounterForEveryKnownVersion) {
    const struct {
        OsVersionRecord record;
        const char* text;
        qint32 generation;
        bool tick64;
    } cases[] = {
        {nt(6, 2, 9200, X64), "Microsoft Windows 10 , 64-bit  (build 9200)", 10, true},
        {nt(6, 2, 9200, ARM64), "Microsoft Windows 10   (build 9200)", 10, false},
        {nt(6, 3, 9600, X86), "Microsoft Windows 8.1 , 32-bit  (build 9600)", 8, false},
        {nt(6, 2, 9100, X64), "Microsoft Windows 8 , 64-bit  (build 9100)", 8, true},
        {nt(6, 1, 7601, X64, 1, 0, "Service Pack 1"),
         "Microsoft Windows 7 Professional, 64-bit Service Pack 1 (build 7601)", 7, true},
        {nt(6, 1, 7600, X86, 1, 512), "Microsoft Windows 7 Home Edition, 32-bit  (build 7600)", 7,
         false},
        {withProductInfo(nt(6, 0, 6002, X86, 1, 0, "Service Pack 2"), 3),
         "Microsoft Windows Vista Home Premium Edition, 32-bit Service Pack 2 (build 6002)", 6,
         false},
        {withProductInfo(nt(6, 0, 6001, X64), 5), "Microsoft Windows Vista , 64-bit  (build 6001)",
         6, true}, // an edition type without a name
        {withProductInfo(nt(6, 0, 6001, X64, 3), 12),
         "Microsoft Windows Server 2008 Datacenter Edition (core installation), 64-bit  (build "
         "6001)",
         6, true},
        {withProductInfo(nt(6, 0, 6001, IA64, 2), 15),
         "Microsoft Windows Server 2008 Enterprise Edition for Itanium-based Systems  (build 6001)",
         6, false},
        {withProductInfo(nt(6, 0, 6001, X86, 3), 25),
         "Microsoft Windows Server 2008 Small Business Server Premium Edition, 32-bit  (build "
         "6001)",
         6, false},
        // 5.2: no architecture suffix, server editions by architecture and suite bits.
        {withR2(nt(5, 2, 3790, X86, 3, 0, "Service Pack 2")),
         "Microsoft Windows Server 2003 R2, Standard Edition Service Pack 2 (build 3790)", 2003,
         false},
        {nt(5, 2, 3790, X86, 3, 8192),
         "Microsoft Windows Storage Server 2003Standard Edition  (build 3790)", 2003, false},
        {nt(5, 2, 3790, X64, 1), "Microsoft Windows XP Professional x64 Edition  (build 3790)",
         2003, false},
        {nt(5, 2, 3790, X64, 3, 128),
         "Microsoft Windows Server 2003, Datacenter x64 Edition  (build 3790)", 2003, false},
        {nt(5, 2, 3790, X64, 3, 2),
         "Microsoft Windows Server 2003, Enterprise x64 Edition  (build 3790)", 2003, false},
        {nt(5, 2, 3790, X64, 3),
         "Microsoft Windows Server 2003, Standard x64 Edition  (build 3790)", 2003, false},
        {nt(5, 2, 3790, IA64, 3, 128 | 2),
         "Microsoft Windows Server 2003, Datacenter Edition for Itanium-based Systems  (build "
         "3790)",
         2003, false},
        {nt(5, 2, 3790, IA64, 3, 2),
         "Microsoft Windows Server 2003, Enterprise Edition for Itanium-based Systems  (build "
         "3790)",
         2003, false},
        {nt(5, 2, 3790, IA64, 3), "Microsoft Windows Server 2003,   (build 3790)", 2003, false},
        {nt(5, 2, 3790, X86, 3, 16384 | 128),
         "Microsoft Windows Server 2003, Compute Cluster Edition  (build 3790)", 2003, false},
        {nt(5, 2, 3790, X86, 2, 128 | 2),
         "Microsoft Windows Server 2003, Datacenter Edition  (build 3790)", 2003, false},
        {nt(5, 2, 3790, X86, 3, 2 | 1024),
         "Microsoft Windows Server 2003, Enterprise Edition  (build 3790)", 2003, false},
        {nt(5, 2, 3790, X86, 3, 1024), "Microsoft Windows Server 2003, Web Edition  (build 3790)",
         2003, false},
        {nt(5, 1, 2600, X86, 1, 0, "Service Pack 3"),
         "Microsoft Windows XP Professional Service Pack 3 (build 2600)", 5, false},
        {nt(5, 1, 2600, X86, 1, 512), "Microsoft Windows XP Home Edition  (build 2600)", 5, false},
        {nt(5, 0, 2195, X86, 1), "Microsoft Windows 2000 Professional  (build 2195)", 2000, false},
        {nt(5, 0, 2195, X86, 3, 128 | 2), "Microsoft Windows 2000 Datacenter Server  (build 2195)",
         2000, false},
        {nt(5, 0, 2195, X86, 3, 2), "Microsoft Windows 2000 Advanced Server  (build 2195)", 2000,
         false},
        {nt(5, 0, 2195, X86, 2), "Microsoft Windows 2000 Server  (build 2195)", 2000, false},
        // Versions the table does not know: no product text, generation unchanged.
        {nt(10, 0, 19045, X64), "Microsoft   (build 19045)", 0, false},
        {nt(6, 4, 9841, X64), "Microsoft   (build 9841)", 0, false},
        {nt(5, 3, 1, X86), "Microsoft   (build 1)", 0, false},
    };
    for (const auto& c : cases) {
        SysinfoStateGuard guard;
        EXPECT_EQ(GetOSDisplayString(c.record), QString::fromUtf8(c.text)) << c.text;
        EXPECT_EQ(WindowsGeneration, c.generation) << c.text;
        EXPECT_EQ(TickCount64Available, c.tick64) << c.text;
    }
}

TEST(GetOSDisplayString, OtherPlatformsGiveNothingAndChangeNothing) {
    SysinfoStateGuard guard;
    WindowsGeneration = 7;
    TickCount64Available = true;
    OsVersionRecord nine = nt(4, 10, 2222, X86);
    nine.platformId = 1;
    OsVersionRecord nt4 = nt(4, 0, 1381, X86, 1, 0, "Service Pack 6");
    OsVersionRecord win32s = nt(6, 2, 9200, X64);
    win32s.platformId = 0;
    for (const OsVersionRecord& r : {nine, nt4, win32s})
        EXPECT_EQ(GetOSDisplayString(r), QString());
    EXPECT_EQ(WindowsGeneration, 7);
    EXPECT_TRUE(TickCount64Available);
}

TEST(GetOSDisplayString, ServicePackTextEndsAtItsFirstNul) {
    SysinfoStateGuard guard;
    OsVersionRecord r = nt(5, 1, 2600, X86);
    r.servicePack = QStringLiteral("Service Pack 2") + QChar(u'\0') + QStringLiteral("garbage");
    EXPECT_EQ(GetOSDisplayString(r),
              QStringLiteral("Microsoft Windows XP Professional Service Pack 2 (build 2600)"));
}

TEST(GetOSDisplayString, ThisSystemIsACurrentNtSystem) {
    SysinfoStateGuard guard;
    const std::optional<OsVersionRecord> record = CurrentOsVersion();
    ASSERT_TRUE(record.has_value());
    EXPECT_EQ(record->platformId, 2u);
    EXPECT_EQ(record->majorVersion, 6u);
    EXPECT_EQ(record->minorVersion, 2u);
    EXPECT_EQ(record->buildNumber, 9200u);
    const QString text = GetOSDisplayString();
    EXPECT_TRUE(text.startsWith(QStringLiteral("Microsoft Windows 10 "))) << text.toStdString();
    EXPECT_TRUE(text.endsWith(QStringLiteral(" (build 9200)"))) << text.toStdString();
    EXPECT_EQ(WindowsGeneration, 10);
#if defined(__x86_64__)
    EXPECT_EQ(text, QStringLiteral("Microsoft Windows 10 , 64-bit  (build 9200)"));
    EXPECT_TRUE(TickCount64Available);
#endif
}

TEST(GetSpecialFolderLocation, StartupIsTheAutostartFolderAsAWindowsText) {
    const QByteArray saved = qgetenv("XDG_CONFIG_HOME");
    const bool wasSet = qEnvironmentVariableIsSet("XDG_CONFIG_HOME");
    qputenv("XDG_CONFIG_HOME", "/srv/station/cfg/");
    EXPECT_EQ(GetSpecialFolderLocation(7), QStringLiteral("Z:\\srv\\station\\cfg\\autostart"));
    qputenv("XDG_CONFIG_HOME", "relative/cfg"); // not absolute: ignored
    QString home = QDir::homePath();
    home.replace(u'/', u'\\');
    EXPECT_EQ(GetSpecialFolderLocation(7),
              QStringLiteral("Z:") + home + QStringLiteral("\\.config\\autostart"));
    for (qint32 unknown : {0, 5, 8, 26, -1, 100000})
        EXPECT_EQ(GetSpecialFolderLocation(unknown), QString()) << unknown;
    if (wasSet)
        qputenv("XDG_CONFIG_HOME", saved);
    else
        qunsetenv("XDG_CONFIG_HOME");
}

TEST(SystemNames, WindowsFolderAndComputerName) {
    EXPECT_EQ(GetWinDir(), QStringLiteral("C:\\windows"));
    EXPECT_FALSE(ComputerName().isEmpty());
}

TEST(GetTickCountEx, KeepsIncreasingAcrossTheWrap) {
    // Each case: whether the 64-bit counter is in use, the raw readings, and the results.
    const struct {
        bool use64;
        std::vector<quint64> raw64;
        std::vector<quint32> raw32;
        std::vector<qint64> results;
    } cases[] = {
        {false, {}, {4294967000u, 100u}, {4294967000LL, 4294967395LL}},
        {false, {}, {10u, 20u, 5u, 7u, 1u}, {10, 20, 4294967300LL, 4294967302LL, 8589934591LL}},
        {false, {}, {0x80000000u, 0xFFFFFFFFu}, {2147483648LL, 4294967295LL}}, // no sign
        {true, {5000000000ull, 5000000100ull}, {1u, 2u}, {5000000000LL, 5000000100LL}},
        {true, {0, 0}, {50u, 40u}, {50, 4294967335LL}}, // 64-bit counter gives 0: 32-bit one
        {false, {7000000000ull}, {3u}, {3}},            // not asked for the 64-bit counter
    };
    for (const auto& c : cases) {
        SysinfoStateGuard guard;
        TickCount64Available = c.use64;
        size_t i64 = 0;
        size_t i32 = 0;
        Clock::Set({{}, [&] { return c.raw64.at(i64++); }, [&] { return c.raw32.at(i32++); }});
        for (size_t k = 0; k < c.results.size(); ++k) {
            EXPECT_EQ(GetTickCountEx(), c.results[k]) << "reading " << k;
        }
    }
}

TEST(GetTickCountEx, SystemClockDoesNotGoBack) {
    SysinfoStateGuard guard;
    Clock::Set({});
    const qint64 first = GetTickCountEx();
    EXPECT_GT(first, 0);
    EXPECT_GE(GetTickCountEx(), first);
}
