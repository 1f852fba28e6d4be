// System information on a freedesktop system: the version record stands for a current NT
// system, the rest comes from the host.
#include "system/sysinfo.h"

#include "system/clock.h"
#include "system/error_reporting.h"
#include "system/winpath.h"

#include <QDir>
#include <QSysInfo>

#include <sys/utsname.h>

namespace Lib_Systeme {

qint32 WindowsGeneration = 0;
bool TickCount64Available = false;

namespace {

constexpr quint16 kSuiteEnterprise = 2;
constexpr quint16 kSuiteDatacenter = 128;
constexpr quint16 kSuitePersonal = 512;
constexpr quint16 kSuiteBlade = 1024;
constexpr quint16 kSuiteStorageServer = 8192;
constexpr quint16 kSuiteComputeServer = 16384;
constexpr quint8 kWorkstation = 1;

quint16 architectureOf(const QString& machine) {
    if (machine == u"x86_64" || machine == u"amd64")
        return ArchitectureX64;
    if (machine == u"aarch64" || machine == u"arm64")
        return ArchitectureArm64;
    if (machine == u"ia64")
        return ArchitectureItanium;
    if (machine.startsWith(u"arm"))
        return ArchitectureArm;
    if (machine.size() == 4 && machine.startsWith(u'i') && machine.endsWith(u"86"))
        return ArchitectureX86;
    return ArchitectureUnknown;
}

// Editions of version 6.0 by the product information's type.
QString vistaEdition(quint32 type) {
    switch (type) {
    case 1:
        return QStringLiteral("Ultimate Edition");
    case 2:
        return QStringLiteral("Home Basic Edition");
    case 3:
        return QStringLiteral("Home Premium Edition");
    case 4:
        return QStringLiteral("Enterprise Edition");
    case 6:
        return QStringLiteral("Business Edition");
    case 7:
        return QStringLiteral("Standard Edition");
    case 8:
        return QStringLiteral("Datacenter Edition");
    case 9:
        return QStringLiteral("Small Business Server");
    case 10:
        return QStringLiteral("Enterprise Edition");
    case 11:
        return QStringLiteral("Starter Edition");
    case 12:
        return QStringLiteral("Datacenter Edition (core installation)");
    case 13:
        return QStringLiteral("Standard Edition (core installation)");
    case 14:
        return QStringLiteral("Enterprise Edition (core installation)");
    case 15:
        return QStringLiteral("Enterprise Edition for Itanium-based Systems");
    case 17:
        return QStringLiteral("Web Server Edition");
    case 18:
        return QStringLiteral("Cluster Server Edition");
    case 25:
        return QStringLiteral("Small Business Server Premium Edition");
    default:
        return QString();
    }
}

// Server editions of version 5.2 (product type other than workstation).
QString server2003Edition(const OsVersionRecord& r) {
    const quint16 suite = r.suiteMask;
    if (r.processorArchitecture == ArchitectureItanium) {
        if (suite & kSuiteDatacenter)
            return QStringLiteral("Datacenter Edition for Itanium-based Systems");
        if (suite & kSuiteEnterprise)
            return QStringLiteral("Enterprise Edition for Itanium-based Systems");
        return QString();
    }
    if (r.processorArchitecture == ArchitectureX64) {
        if (suite & kSuiteDatacenter)
            return QStringLiteral("Datacenter x64 Edition");
        if (suite & kSuiteEnterprise)
            return QStringLiteral("Enterprise x64 Edition");
        return QStringLiteral("Standard x64 Edition");
    }
    if (suite & kSuiteComputeServer)
        return QStringLiteral("Compute Cluster Edition");
    if (suite & kSuiteDatacenter)
        return QStringLiteral("Datacenter Edition");
    if (suite & kSuiteEnterprise)
        return QStringLiteral("Enterprise Edition");
    if (suite & kSuiteBlade)
        return QStringLiteral("Web Edition");
    return QStringLiteral("Standard Edition");
}

QString homeOrProfessional(quint16 suiteMask) {
    return (suiteMask & kSuitePersonal) ? QStringLiteral("Home Edition")
                                        : QStringLiteral("Professional");
}

// Appends the architecture suffix; a 64-bit system can use the 64-bit tick counter.
void appendArchitecture(QString& text, quint16 architecture) {
    if (architecture == ArchitectureX64) {
        text += QStringLiteral(", 64-bit");
        TickCount64Available = true;
    } else if (architecture == ArchitectureX86) {
        text += QStringLiteral(", 32-bit");
    }
}

// Product text, edition, generation and suffix: the first row of the table that matches.
void appendProduct(QString& text, const OsVersionRecord& r) {
    const quint32 major = r.majorVersion;
    const quint32 minor = r.minorVersion;
    if (major == 6) {
        if (minor == 2 && r.buildNumber == 9200) {
            text += QStringLiteral("Windows 10 ");
            WindowsGeneration = 10;
        } else if (minor == 3) {
            text += QStringLiteral("Windows 8.1 ");
            WindowsGeneration = 8;
        } else if (minor == 2) {
            text += QStringLiteral("Windows 8 ");
            WindowsGeneration = 8;
        } else if (minor == 1) {
            text += QStringLiteral("Windows 7 ") + homeOrProfessional(r.suiteMask);
            WindowsGeneration = 7;
        } else if (minor == 0) {
            text += (r.productType == kWorkstation) ? QStringLiteral("Windows Vista ")
                                                    : QStringLiteral("Windows Server 2008 ");
            text += vistaEdition(r.productInfoType);
            WindowsGeneration = 6;
        } else {
            return;
        }
        appendArchitecture(text, r.processorArchitecture);
        return;
    }
    if (major != 5)
        return;
    if (minor == 2) {
        if (r.serverR2)
            text += QStringLiteral("Windows Server 2003 R2, ");
        else if (r.suiteMask == kSuiteStorageServer)
            text += QStringLiteral("Windows Storage Server 2003");
        else if (r.productType == kWorkstation && r.processorArchitecture == ArchitectureX64)
            text += QStringLiteral("Windows XP Professional x64 Edition");
        else
            text += QStringLiteral("Windows Server 2003, ");
        if (r.productType != kWorkstation)
            text += server2003Edition(r);
        WindowsGeneration = 2003;
    } else if (minor == 1) {
        text += QStringLiteral("Windows XP ") + homeOrProfessional(r.suiteMask);
        WindowsGeneration = 5;
    } else if (minor == 0) {
        text += QStringLiteral("Windows 2000 ");
        if (r.productType == kWorkstation)
            text += QStringLiteral("Professional");
        else if (r.suiteMask & kSuiteDatacenter)
            text += QStringLiteral("Datacenter Server");
        else if (r.suiteMask & kSuiteEnterprise)
            text += QStringLiteral("Advanced Server");
        else
            text += QStringLiteral("Server");
        WindowsGeneration = 2000;
    }
}

struct TickState {
    quint64 clockGeneration = 0;
    qint64 lastTick = 0;
    qint64 offset = 0;
};

TickState& tickState() {
    static TickState state;
    return state;
}

QString autostartFolder() {
    // A relative XDG_CONFIG_HOME is invalid and ignored, as the XDG rules say.
    QString base = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (base.isEmpty() || !QDir::isAbsolutePath(base))
        base = QDir::homePath() + QStringLiteral("/.config");
    return base + QStringLiteral("/autostart");
}

} // namespace

std::optional<OsVersionRecord> CurrentOsVersion() {
    utsname names{};
    if (uname(&names) != 0)
        return std::nullopt;
    OsVersionRecord record;
    record.majorVersion = 6;
    record.minorVersion = 2;
    record.buildNumber = 9200;
    record.platformId = 2;
    record.productType = kWorkstation;
    record.suiteMask = 256; // single-user terminal services, as on every desktop system
    record.processorArchitecture = architectureOf(QString::fromLocal8Bit(names.machine));
    return record;
}

QString GetOSDisplayString(const OsVersionRecord& record) {
    QString text;
    Lib_Public::Trap(QStringLiteral("Lib_Systeme:GetOSDisplayString"), [&] {
        if (record.platformId != 2 || record.majorVersion < 5)
            return;
        text = QStringLiteral("Microsoft ");
        appendProduct(text, record);
        text += u' ' + record.servicePack;
        const qsizetype nul = text.indexOf(QChar(u'\0'));
        if (nul >= 0)
            text.truncate(nul);
        text += QStringLiteral(" (build ") + QString::number(record.buildNumber) + u')';
    });
    return text;
}

QString GetOSDisplayString() {
    const std::optional<OsVersionRecord> record = CurrentOsVersion();
    return record ? GetOSDisplayString(*record) : QString();
}

QString ComputerName() {
    QString name;
    Lib_Public::Trap(QStringLiteral("Lib_Systeme:ComputerName"),
                     [&] { name = QSysInfo::machineHostName(); });
    return name;
}

QString GetWinDir() {
    return QStringLiteral("C:\\windows");
}

QString GetSpecialFolderLocation(qint32 folder) {
    constexpr qint32 kStartup = 7;
    QString path;
    Lib_Public::Trap(QStringLiteral("Lib_Systeme:GetSpecialFolderLocation"), [&] {
        if (folder == kStartup)
            path = WinPath::toWindows(autostartFolder());
    });
    return path;
}

qint64 GetTickCountEx() {
    TickState& state = tickState();
    if (state.clockGeneration != Clock::Generation()) {
        state = TickState{};
        state.clockGeneration = Clock::Generation();
    }
    qint64 value = 0;
    if (TickCount64Available)
        value = static_cast<qint64>(Clock::BootMs64());
    if (value == 0)
        value = Clock::BootMs32(); // the 32-bit counter, taken as unsigned
    if (value < state.lastTick)
        state.offset += 4294967295LL;
    state.lastTick = value;
    return value + state.offset;
}

} // namespace Lib_Systeme
