// The job loop's own thread: one piece of work at a time, handed over and back through the
// caller's event loop.
#include "station/loop_runner.h"

#include "system/beside_event_loop.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEvent>
#include <QThread>
#include <QTimer>

namespace station {

LoopRunner::LoopRunner() : home_(std::make_unique<QObject>()) {
    thread_.reset(QThread::create([this] { run(); }));
    thread_->setObjectName(QStringLiteral("job loop"));
    thread_->start();
}

LoopRunner::~LoopRunner() {
    {
        std::lock_guard lock(mutex_);
        ending_ = true;
    }
    wake_.notify_all();
    thread_->wait();
}

bool LoopRunner::start(std::function<void()> work, std::function<void()> done) {
    bool idle = false;
    if (!busy_.compare_exchange_strong(idle, true))
        return false;
    {
        std::lock_guard lock(mutex_);
        work_ = std::move(work);
        done_ = std::move(done);
    }
    wake_.notify_all();
    return true;
}

void LoopRunner::run() {
    for (;;) {
        std::function<void()> work;
        std::function<void()> done;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return ending_ || work_; });
            if (!work_)
                return;
            working_ = true;
            work = std::move(work_);
            done = std::move(done_);
            work_ = nullptr;
            done_ = nullptr;
        }
        Posix::Receive(this);
        work();
        // What the work left for this thread (objects to delete, events posted to them) is
        // handled now: no event loop runs here until the next piece of work.
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QCoreApplication::sendPostedEvents();
        Posix::Publish(this);
        {
            std::lock_guard lock(mutex_);
            working_ = false;
        }
        wake_.notify_all();
        QMetaObject::invokeMethod(
            home_.get(),
            [this, done = std::move(done)] {
                Posix::Receive(this);
                busy_ = false;
                if (done)
                    done();
            },
            Qt::QueuedConnection);
    }
}

bool LoopRunner::waitIdle(int timeoutMs) {
    const QDeadlineTimer deadline =
        timeoutMs < 0 ? QDeadlineTimer(QDeadlineTimer::Forever) : QDeadlineTimer(timeoutMs);
    // The end of the work arrives as an event; the timer bounds each wait for one.
    QTimer wake;
    wake.start(20);
    while (busy_ && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    return !busy_;
}

bool LoopRunner::waitWorkEnded(int timeoutMs) {
    std::unique_lock lock(mutex_);
    return wake_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                          [this] { return !working_ && !work_; });
}

} // namespace station
