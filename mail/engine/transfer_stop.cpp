// The watcher that cuts the connections of every transfer once a stop is requested.
#include "mail/engine/transfer_stop.h"

#include "mail/engine/mail_component.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>
#include <thread>

#include <sys/socket.h>
#include <unistd.h>

namespace mail::detail {

namespace {

// Set once the watcher is destroyed at exit: sessions still pooled then are closed without it.
std::atomic<bool> watcherGone{false};

// The sockets libcurl opened through us and has not closed yet, and the thread that watches
// the stop flag while there are any.
class Watcher {
public:
    ~Watcher() {
        {
            std::lock_guard lock(mutex_);
            quitting_ = true;
        }
        wake_.notify_all();
        if (thread_.joinable())
            thread_.join();
        watcherGone = true;
    }

    void opened(curl_socket_t fd) {
        std::lock_guard lock(mutex_);
        sockets_.insert(fd);
        if (AbortRequested())
            ::shutdown(fd, SHUT_RDWR);
        if (!thread_.joinable())
            thread_ = std::thread([this] { watch(); });
    }

    void closing(curl_socket_t fd) {
        std::lock_guard lock(mutex_);
        sockets_.erase(fd);
        spared_.erase(fd);
    }

    void spare(curl_socket_t fd, bool spared) {
        std::lock_guard lock(mutex_);
        if (spared)
            spared_.insert(fd);
        else
            spared_.erase(fd);
    }

private:
    void watch() {
        std::unique_lock lock(mutex_);
        while (!quitting_) {
            wake_.wait_for(lock, std::chrono::milliseconds(200));
            if (!AbortRequested())
                continue;
            // Under the lock: no socket of the set can be closed (and its number reused)
            // while it is shut down here.
            for (const curl_socket_t fd : sockets_)
                if (!spared_.count(fd))
                    ::shutdown(fd, SHUT_RDWR);
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::set<curl_socket_t> sockets_;
    std::set<curl_socket_t> spared_; // awaiting the answer to a whole message
    std::thread thread_;
    bool quitting_ = false;
};

Watcher& watcher() {
    static Watcher instance;
    return instance;
}

curl_socket_t openSocket(void*, curlsocktype, struct curl_sockaddr* address) {
    const curl_socket_t fd =
        ::socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
    if (fd != CURL_SOCKET_BAD && !watcherGone)
        watcher().opened(fd);
    return fd;
}

int closeSocket(void*, curl_socket_t fd) {
    if (!watcherGone)
        watcher().closing(fd);
    return ::close(fd);
}

} // namespace

void StopOnRequest(CURL* curl) {
    watcher(); // built before any socket exists, so it outlives them all
    curl_easy_setopt(curl, CURLOPT_OPENSOCKETFUNCTION, openSocket);
    curl_easy_setopt(curl, CURLOPT_OPENSOCKETDATA, nullptr);
    curl_easy_setopt(curl, CURLOPT_CLOSESOCKETFUNCTION, closeSocket);
    curl_easy_setopt(curl, CURLOPT_CLOSESOCKETDATA, nullptr);
}

AnswerAwaited::AnswerAwaited(CURL* curl) {
    if (curl_easy_getinfo(curl, CURLINFO_ACTIVESOCKET, &socket_) != CURLE_OK)
        socket_ = CURL_SOCKET_BAD;
    if (socket_ != CURL_SOCKET_BAD && !watcherGone)
        watcher().spare(socket_, true);
}

AnswerAwaited::AnswerAwaited(curl_socket_t socket) : socket_(socket) {
    if (socket_ != CURL_SOCKET_BAD && !watcherGone)
        watcher().spare(socket_, true);
}

AnswerAwaited::~AnswerAwaited() {
    if (socket_ != CURL_SOCKET_BAD && !watcherGone)
        watcher().spare(socket_, false);
}

} // namespace mail::detail
