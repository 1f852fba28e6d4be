// System information: which Windows generation the program believes it runs on, the machine
// name, the Windows folder, special folders and a millisecond counter that does not wrap.
#pragma once

#include <QString>
#include <QtGlobal>

#include <functional>
#include <optional>

namespace Lib_Systeme {

// Windows generation found by GetOSDisplayString: 10, 8, 7, 6, 5, 2000 or 2003; 0 until
// identified.
extern qint32 WindowsGeneration;

// True once GetOSDisplayString found a 64-bit system of generation 6 or later;
// GetTickCountEx then reads the 64-bit counter.
extern bool TickCount64Available;

// Processor architectures of the version record.
inline constexpr quint16 ArchitectureX86 = 0;
inline constexpr quint16 ArchitectureArm = 5;
inline constexpr quint16 ArchitectureItanium = 6;
inline constexpr quint16 ArchitectureX64 = 9;
inline constexpr quint16 ArchitectureArm64 = 12;
inline constexpr quint16 ArchitectureUnknown = 0xFFFF;

// The extended version record of the system, with the answers of the other system calls
// that identifying the version needs.
struct OsVersionRecord {
    quint32 majorVersion = 0;
    quint32 minorVersion = 0;
    quint32 buildNumber = 0;
    quint32 platformId = 0; // 2 = NT family
    QString servicePack;    // service-pack text; anything after a NUL is ignored
    quint16 servicePackMajor = 0;
    quint16 servicePackMinor = 0;
    quint16 suiteMask = 0;  // 2 enterprise, 128 datacenter, 512 personal, 1024 blade, ...
    quint8 productType = 0; // 1 workstation, 2 domain controller, 3 server
    quint16 processorArchitecture = ArchitectureUnknown;
    quint32 productInfoType = 0; // the edition that the product information gives for 6.0
    bool serverR2 = false;       // the "Server 2003 R2" system metric is non-zero
};

// The version record of this system: a current NT-family system as programs without a
// compatibility manifest see it (platform 2, version 6.2, build 9200, workstation), with the
// real processor architecture (from uname). Empty when the system cannot be asked.
std::optional<OsVersionRecord> CurrentOsVersion();

// The product text of `record`, such as "Microsoft Windows 7 Professional, 64-bit Service
// Pack 1 (build 7601)"; sets WindowsGeneration and, on a 64-bit system of generation 6 or
// later, TickCount64Available. Returns "" for a system that is not NT 5 or later and leaves
// both unchanged. Errors are reported under "Lib_Systeme:GetOSDisplayString".
QString GetOSDisplayString(const OsVersionRecord& record);

// GetOSDisplayString of CurrentOsVersion(); "" (and nothing changed) when there is none.
QString GetOSDisplayString();

// The machine's name (its host name); "" when it cannot be read.
QString ComputerName();

// The Windows folder, without trailing backslash: "C:\windows".
QString GetWinDir();

// The folder of a shell special-folder number as a Windows text without trailing backslash;
// 7 (Startup) is the user's autostart folder ($XDG_CONFIG_HOME/autostart), for instance
// "Z:\home\ann\.config\autostart". An unknown number gives "".
QString GetSpecialFolderLocation(qint32 folder);

// Milliseconds since the system started, never going back: each time the value read is
// below the previous one (the 32-bit counter wrapped after 49.7 days), 4294967295 is added
// to every later result. Reads the 64-bit counter when TickCount64Available, else (or when
// that gives 0) the 32-bit one, both from the program's clock (system/clock.h); a new clock
// source restarts the wrap count. Never fails.
qint64 GetTickCountEx();

} // namespace Lib_Systeme
