// The pool of idle SMTP sessions. Closing a handle says QUIT, so sessions are closed outside
// the lock; the reaper sleeps until the oldest session's time is up.
#include "mail/transport/smtp_session_pool.h"

#include "mail/engine/mail_component.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace mail::detail {

namespace {

std::atomic<long> idleTimeMs{30000};

class SessionPool {
public:
    ~SessionPool() {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        wake_.notify_all();
        if (reaper_.joinable())
            reaper_.join();
        closeAll();
    }

    SmtpSession take(const std::string& key, bool& reused, bool pooled) {
        std::vector<Idle> stale;
        std::lock_guard lock(mutex_);
        const auto now = std::chrono::steady_clock::now();
        for (auto it = idle_.begin(); pooled && it != idle_.end();) {
            if (it->key != key) {
                ++it;
            } else if (it->since + StaleAfter <= now) {
                stale.push_back(std::move(*it)); // closed (QUIT) as `stale` goes
                it = idle_.erase(it);
            } else {
                SmtpSession session = std::move(it->session);
                idle_.erase(it);
                reused = true;
                return session;
            }
        }
        reused = false;
        return {CurlEasy(curl_easy_init()), {}};
    }

    void drop(const std::string& key) {
        std::vector<Idle> dropped;
        std::lock_guard lock(mutex_);
        for (auto it = idle_.begin(); it != idle_.end();) {
            if (it->key == key) {
                dropped.push_back(std::move(*it));
                it = idle_.erase(it);
            } else {
                ++it;
            }
        }
    }

    void give(const std::string& key, SmtpSession session) {
        {
            std::lock_guard lock(mutex_);
            if (stopping_)
                return;
            idle_.push_back({key, std::move(session), std::chrono::steady_clock::now()});
            if (!reaper_.joinable())
                reaper_ = std::thread([this] { reap(); });
        }
        wake_.notify_all();
    }

    void closeAll() {
        std::vector<Idle> closing;
        {
            std::lock_guard lock(mutex_);
            closing.swap(idle_);
        }
        closing.clear(); // curl_easy_cleanup says QUIT on each session
    }

    void wake() { wake_.notify_all(); }

private:
    struct Idle {
        std::string key;
        SmtpSession session;
        std::chrono::steady_clock::time_point since;
    };

    void reap() {
        std::unique_lock lock(mutex_);
        while (!stopping_) {
            const auto idle = std::chrono::milliseconds(idleTimeMs.load());
            const auto now = std::chrono::steady_clock::now();
            std::vector<Idle> expired;
            auto next = now + std::chrono::hours(1);
            for (auto it = idle_.begin(); it != idle_.end();) {
                if (it->since + idle <= now) {
                    expired.push_back(std::move(*it));
                    it = idle_.erase(it);
                } else {
                    next = std::min(next, it->since + idle);
                    ++it;
                }
            }
            if (!expired.empty()) {
                lock.unlock();
                expired.clear();
                lock.lock();
                continue;
            }
            wake_.wait_until(lock, next);
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::vector<Idle> idle_;
    std::thread reaper_;
    bool stopping_ = false;
};

SessionPool& pool() {
    static SessionPool instance;
    return instance;
}

} // namespace

SmtpSession TakeSmtpSession(const std::string& key, bool& reused, bool pooled) {
    return pool().take(key, reused, pooled);
}

void DropIdleSmtpSessions(const std::string& key) {
    pool().drop(key);
}

void GiveBackSmtpSession(const std::string& key, SmtpSession session) {
    pool().give(key, std::move(session));
}

} // namespace mail::detail

namespace mail {

void CloseIdleSessions() {
    detail::pool().closeAll();
}

void SetSessionIdleTime(std::chrono::milliseconds idle) {
    detail::idleTimeMs = long(idle.count());
    detail::pool().wake();
}

} // namespace mail
