// Owner of one POSIX file descriptor: closes it when it goes away, the program's one holder.
// Move-only, so every descriptor has exactly one owner.
#pragma once

#include <QFile>
#include <QString>

#include <fcntl.h>
#include <unistd.h>
#include <utility>

namespace Posix {

class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) {
            reset();
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { reset(); }

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    void reset() {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }

    // Opens a native path (close-on-exec added); check valid() and errno.
    static UniqueFd open(const QString& path, int flags, mode_t mode = 0600) {
        return UniqueFd(::open(QFile::encodeName(path).constData(), flags | O_CLOEXEC, mode));
    }

private:
    int fd_ = -1;
};

} // namespace Posix
