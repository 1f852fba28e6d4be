#include "system/stop_points.h"

#include <QByteArray>
#include <QList>

#include <atomic>
#include <csignal>
#include <cstring>
#include <mutex>
#include <sys/types.h>
#include <unistd.h>

namespace StopPoints {

namespace {

struct Setting {
    QByteArray point;
    int count = 0;
    int signal = 0;
};

std::mutex g_mutex;
std::function<void(const char*)> g_hook;
std::atomic<bool> g_hooked{false};
std::atomic<int> g_reached{0};

const Setting& setting() {
    static const Setting parsed = [] {
        Setting s;
        const QList<QByteArray> parts = qgetenv("POSTIQUE_STOP_AT").split(':');
        if (parts.size() != 3)
            return s;
        bool ok = false;
        s.count = parts[1].toInt(&ok);
        s.signal = parts[2] == "KILL" ? SIGKILL : parts[2] == "TERM" ? SIGTERM : 0;
        if (ok && s.count > 0 && s.signal != 0)
            s.point = parts[0];
        return s;
    }();
    return parsed;
}

} // namespace

bool active() {
    return g_hooked || !setting().point.isEmpty();
}

void reach(const char* point) {
    if (g_hooked) {
        std::function<void(const char*)> hook;
        {
            std::lock_guard lock(g_mutex);
            hook = g_hook;
        }
        if (hook)
            hook(point);
        return;
    }
    const Setting& s = setting();
    if (s.point.isEmpty() || std::strcmp(point, s.point.constData()) != 0)
        return;
    if (++g_reached == s.count)
        ::kill(::getpid(), s.signal);
}

void setHookForTesting(std::function<void(const char* point)> hook) {
    std::lock_guard lock(g_mutex);
    g_hooked = bool(hook);
    g_hook = std::move(hook);
}

} // namespace StopPoints
