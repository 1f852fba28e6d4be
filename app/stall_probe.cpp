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
    QObject::connect(timer, &QTimer::timeout, timer, [file, clock] {
        const qint64 gap = clock->restart();
        if (gap > 20)
            file->write(QStringLiteral("%1 %2\n")
                            .arg(QDateTime::currentMSecsSinceEpoch())
                            .arg(gap)
                            .toLatin1());
    });
    timer->start();
}

} // namespace Lib_Public
