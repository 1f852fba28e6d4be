// The clock seam. The source is copied under a lock and called outside it, so a test's clock
// may be read from a sending thread while the test thread replaces it.
#include "system/clock.h"

#include <atomic>
#include <mutex>

#include <time.h>

namespace Clock {

namespace {

std::mutex sourceMutex;
Source current;
std::atomic<quint64> generation{0};

Source source() {
    std::lock_guard lock(sourceMutex);
    return current;
}

// Milliseconds since boot, suspended time included (what the system's uptime counts).
quint64 systemBootMs() {
    timespec ts{};
    if (clock_gettime(CLOCK_BOOTTIME, &ts) != 0 && clock_gettime(CLOCK_MONOTONIC, &ts) != 0)
        return 0;
    return static_cast<quint64>(ts.tv_sec) * 1000u + static_cast<quint64>(ts.tv_nsec) / 1000000u;
}

} // namespace

void Set(Source replacement) {
    {
        std::lock_guard lock(sourceMutex);
        current = std::move(replacement);
    }
    ++generation;
}

void SetWallClock(std::function<qint64()> wallMs) {
    Source source;
    source.wallMs = std::move(wallMs);
    Set(std::move(source));
}

qint64 WallMs() {
    const Source s = source();
    return s.wallMs ? s.wallMs() : QDateTime::currentMSecsSinceEpoch();
}

QDateTime Now() {
    return QDateTime::fromMSecsSinceEpoch(WallMs());
}

quint64 BootMs64() {
    const Source s = source();
    return s.bootMs64 ? s.bootMs64() : systemBootMs();
}

quint32 BootMs32() {
    const Source s = source();
    return s.bootMs32 ? s.bootMs32() : static_cast<quint32>(systemBootMs());
}

quint64 Generation() {
    return generation.load();
}

} // namespace Clock
