// The program's one clock: wall time (incident lines, mail dates, journals, the settling of
// job files) and the time since boot (GetTickCountEx). Tests put their own source in.
#pragma once

#include <QDateTime>
#include <QtGlobal>

#include <functional>

namespace Clock {

// Where the time comes from. An empty member reads the system's own clock.
struct Source {
    std::function<qint64()> wallMs;    // milliseconds since 1970-01-01 UTC
    std::function<quint64()> bootMs64; // milliseconds since boot; 0 = not available
    std::function<quint32()> bootMs32; // the same on 32 bits (wraps after 49.7 days)
};

// Replaces the source; Set({}) restores the system's clock. Readers of the boot counters
// forget what they read before (GetTickCountEx restarts its wrap count). Thread-safe.
void Set(Source source);

// Set with only the wall clock replaced (the boot counters read the system's).
void SetWallClock(std::function<qint64()> wallMs);

// Milliseconds since the epoch from the current source. Thread-safe, never fails.
qint64 WallMs();
// The local date and time of WallMs().
QDateTime Now();
// The boot counters from the current source (system: CLOCK_BOOTTIME, 0 when unreadable).
quint64 BootMs64();
quint32 BootMs32();
// Changes each time Set is called; readers that keep state compare it.
quint64 Generation();

} // namespace Clock
