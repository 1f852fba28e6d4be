// Event-loop gap recorder, switched on by the benchmark through the environment.
#include "app/stall_probe.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QTimer>

#include <memory>

namespace Lib_Public {

void StartStallProbe(const QString& path) {
    if (path.isEmpty() || !QCoreApplication::instance())
        return;
    auto file = std::make_shared<QFile>(path);
    if (!file->open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered))
        return;
    auto* timer = new QTimer(QCoreApplication::instance());
    timer->setTimerType(Qt::PreciseTimer);
    timer->setInterval(5);
    auto clock = std::make_shared<QElapsedTimer>();
    clock->start();
    auto ticks = std::make_shared<qint64>(0);
    QObject::connect(timer, &QTimer::timeout, timer, [file, clock, ticks] {
        const qint64 gap = clock->restart();
        const qint64 now = QDateTime::currentMSecsSinceEpoch();
        if (gap > 10)
            file->write(QStringLiteral("%1 %2\n").arg(now).arg(gap).toLatin1());
        // Every 200 ticks (about a second) the count so far: the share of long gaps.
        if (++*ticks % 200 == 0)
            file->write(QStringLiteral("# %1 %2\n").arg(now).arg(*ticks).toLatin1());
    });
    timer->start();
}

} // namespace Lib_Public
