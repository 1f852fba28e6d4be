// Runs a piece of work on a pool thread while the calling thread goes on processing its
// events, and makes the hand-offs, which Qt synchronises inside its own library, visible to
// ThreadSanitizer (Qt is not built with it): the work sees all the caller wrote before it, the
// caller all the work wrote.
#pragma once

#include <QEventLoop>
#include <QMetaObject>
#include <QThreadPool>

#include <functional>

#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
#include <sanitizer/tsan_interface.h>
#define POSTIQUE_THREAD_SANITIZER 1
#endif
#endif

namespace Posix {

// What one thread wrote before Publish(key) is visible to a thread after Receive(key), where
// the order of the two is guaranteed by a synchronisation that ThreadSanitizer cannot see.
// Nothing outside a ThreadSanitizer build.
inline void Publish([[maybe_unused]] void* key) {
#ifdef POSTIQUE_THREAD_SANITIZER
    __tsan_release(key);
#endif
}
inline void Receive([[maybe_unused]] void* key) {
#ifdef POSTIQUE_THREAD_SANITIZER
    __tsan_acquire(key);
#endif
}

// Runs `work` on a thread of `pool` and returns once it is done, having processed the calling
// thread's events meanwhile (a window stays responsive). `work` must not touch widgets.
template <class Work> void RunBesideEventLoop(QThreadPool& pool, Work&& work) {
    QEventLoop loop;
    std::function<void()> task = [&] {
        Receive(&loop);
        work();
        Publish(&loop);
        QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
    };
    Publish(&loop);
    pool.start(std::move(task));
    loop.exec();
    Receive(&loop);
}

} // namespace Posix
