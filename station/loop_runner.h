// Runs the job loop's ticks on a thread of their own, so that whoever ticks it (the window, or
// the station without one) keeps answering its own events while a job is being sent.
#pragma once

#include <QObject>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>

class QThread;

namespace station {

class LoopRunner {
public:
    // Starts the loop's thread; it waits for work.
    LoopRunner();
    // Asks nothing of the work under way (the stop request does that): waits for it to end,
    // then ends the thread.
    ~LoopRunner();
    LoopRunner(const LoopRunner&) = delete;
    LoopRunner& operator=(const LoopRunner&) = delete;

    // Runs `work` on the loop's thread, then `done` on the calling thread's event loop. The
    // loop's thread runs no event loop of its own between two pieces of work, so `work` is the
    // only one there: nothing else runs in the middle of it. Returns false, running nothing,
    // while an earlier piece of work has not ended (its `done` included).
    bool start(std::function<void()> work, std::function<void()> done = {});

    // True from a start until its `done` has run.
    bool busy() const { return busy_.load(); }

    // Waits until no work runs, processing the calling thread's events meanwhile (so that what
    // the work hands to this thread is shown); at most `timeoutMs` (negative: no limit).
    // Returns false when the work still runs at the end.
    bool waitIdle(int timeoutMs = -1);

    // Waits until the work itself has ended, without processing any event (its `done` has not
    // run yet); at most `timeoutMs`. Returns false when it still runs.
    bool waitWorkEnded(int timeoutMs);

private:
    void run();

    std::unique_ptr<QThread> thread_;
    std::unique_ptr<QObject> home_; // lives on the starting thread: where `done` runs
    std::mutex mutex_;
    std::condition_variable wake_;
    std::function<void()> work_;
    std::function<void()> done_;
    bool ending_ = false;
    bool working_ = false; // between the take of a piece of work and its end
    std::atomic<bool> busy_{false};
};

} // namespace station
