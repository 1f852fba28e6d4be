// A fast SMTP sink for the benchmarks, and the load generator that shows it is not the
// bottleneck. The sink accepts every mail (plain, or STARTTLS with the given certificate),
// answers pipelined commands in one write, and can hold every incoming byte back for a while
// to stand in for a network round trip.
//
//   smtp_sink serve HOST PORT [--tls CERT KEY] [--delay-ms N] [--max-sessions N]
//                  [--per-minute N]
//       prints "READY <port>" once listening (PORT 0 picks one); prints "COUNT <n>" and ends
//       when its standard input closes. With the limits of a hosted service, a MAIL command
//       on a connection beyond the N first ones open gets "432 4.3.2", and one beyond N in
//       the last 60 s gets "451 4.7.0"; the line "STATS" then prints "STATS <mails>
//       <commands> <throttled> <duplicates>", a duplicate being a recipient that received a
//       second mail.
//   smtp_sink blast HOST PORT COUNT [--lockstep] [--tls]
//       sends COUNT small mails on one connection (pipelined, or one command at a time with
//       --lockstep) and prints "blast <count> <seconds> <mails/s>".
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct SslCtxFree {
    void operator()(SSL_CTX* ctx) const { SSL_CTX_free(ctx); }
};
struct SslFree {
    void operator()(SSL* ssl) const { SSL_free(ssl); }
};

std::atomic<long> mailsReceived{0};
std::atomic<long> commandsReceived{0};
std::atomic<long> throttledReplies{0};

// What a limited sink keeps across its sessions: open connections in order, the recent MAIL
// commands, and how many mails each recipient got.
struct Limits {
    int maxSessions = 0;
    int perMinute = 0;
    std::mutex mutex;
    std::deque<long> open; // connection numbers, oldest first
    std::deque<Clock::time_point> recentMails;
    std::map<std::string, int> received;
    long nextConnection = 0;

    // The throttling reply for a MAIL command of `connection`, or "".
    std::string refusal(long connection) {
        std::lock_guard lock(mutex);
        if (maxSessions > 0) {
            const auto at = std::find(open.begin(), open.end(), connection);
            if (at - open.begin() >= maxSessions)
                return "432 4.3.2 Concurrent connections limit exceeded\r\n";
        }
        if (perMinute > 0) {
            const auto now = Clock::now();
            while (!recentMails.empty() && recentMails.front() <= now - std::chrono::seconds(60))
                recentMails.pop_front();
            if (static_cast<int>(recentMails.size()) >= perMinute)
                return "451 4.7.0 Rate limit exceeded\r\n";
            recentMails.push_back(now);
        }
        return {};
    }
    long duplicates() {
        std::lock_guard lock(mutex);
        long n = 0;
        for (const auto& [recipient, count] : received)
            n += count - 1;
        return n;
    }
};
Limits limits;

// One connection's byte stream, plain or TLS.
class Stream {
public:
    explicit Stream(int fd) : fd_(fd) {}
    ~Stream() { ::close(fd_); }
    Stream(const Stream&) = delete;
    Stream& operator=(const Stream&) = delete;

    long read(char* buffer, size_t size) {
        if (ssl_)
            return SSL_read(ssl_.get(), buffer, static_cast<int>(size));
        return ::recv(fd_, buffer, size, 0);
    }
    bool writeAll(const std::string& data) {
        size_t done = 0;
        while (done < data.size()) {
            const long n = ssl_ ? SSL_write(ssl_.get(), data.data() + done,
                                            static_cast<int>(data.size() - done))
                                : ::send(fd_, data.data() + done, data.size() - done, MSG_NOSIGNAL);
            if (n <= 0)
                return false;
            done += static_cast<size_t>(n);
        }
        return true;
    }
    bool startTls(SSL_CTX* ctx, bool server) {
        ssl_.reset(SSL_new(ctx));
        SSL_set_fd(ssl_.get(), fd_);
        return (server ? SSL_accept(ssl_.get()) : SSL_connect(ssl_.get())) == 1;
    }
    int fd() const { return fd_; }

private:
    int fd_;
    std::unique_ptr<SSL, SslFree> ssl_;
};

// Incoming bytes delayed by a fixed time before the session sees them: a reader thread
// stamps each chunk, the session takes it once its time has come (plain connections only).
class DelayedInput {
public:
    DelayedInput(int fd, std::chrono::milliseconds delay) : fd_(fd), delay_(delay) {
        reader_ = std::thread([this] { readLoop(); });
    }
    ~DelayedInput() {
        ::shutdown(fd_, SHUT_RD);
        reader_.join();
    }
    DelayedInput(const DelayedInput&) = delete;
    DelayedInput& operator=(const DelayedInput&) = delete;

    // Appends the next due chunk to `into`; false at end of stream.
    bool next(std::string& into) {
        std::unique_lock lock(mutex_);
        ready_.wait(lock, [this] { return !chunks_.empty() || ended_; });
        if (chunks_.empty())
            return false;
        auto [due, data] = std::move(chunks_.front());
        chunks_.pop_front();
        lock.unlock();
        std::this_thread::sleep_until(due);
        into += data;
        return true;
    }

private:
    void readLoop() {
        char buffer[65536];
        for (;;) {
            const long n = ::recv(fd_, buffer, sizeof buffer, 0);
            std::lock_guard lock(mutex_);
            if (n <= 0) {
                ended_ = true;
                ready_.notify_all();
                return;
            }
            chunks_.emplace_back(Clock::now() + delay_,
                                 std::string(buffer, static_cast<size_t>(n)));
            ready_.notify_all();
        }
    }

    int fd_;
    std::chrono::milliseconds delay_;
    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<std::pair<Clock::time_point, std::string>> chunks_;
    bool ended_ = false;
    std::thread reader_;
};

struct ServeOptions {
    SSL_CTX* tls = nullptr;
    std::chrono::milliseconds delay{0};
};

// Counts the connection among the open ones for its life (the session limit).
struct OpenConnection {
    long number;
    OpenConnection() {
        std::lock_guard lock(limits.mutex);
        number = limits.nextConnection++;
        limits.open.push_back(number);
    }
    ~OpenConnection() {
        std::lock_guard lock(limits.mutex);
        limits.open.erase(std::find(limits.open.begin(), limits.open.end(), number));
    }
    OpenConnection(const OpenConnection&) = delete;
    OpenConnection& operator=(const OpenConnection&) = delete;
};

void session(int fd, const ServeOptions& options) {
    const OpenConnection connection;
    Stream stream(fd);
    bool inMail = false;                 // MAIL accepted: RCPT and DATA may follow
    std::vector<std::string> recipients; // of the mail under way
    std::unique_ptr<DelayedInput> delayed;
    if (options.delay.count() > 0)
        delayed = std::make_unique<DelayedInput>(fd, options.delay);
    std::string in;
    std::string out = "220 sink ESMTP\r\n";
    bool inData = false;
    size_t pos = 0; // start of unread input
    char buffer[65536];
    for (;;) {
        bool progressed = false;
        if (inData) {
            // The message ends with CRLF "." CRLF; the DATA line's own CRLF counts as the first.
            size_t end = std::string::npos;
            if (in.compare(pos, 3, ".\r\n") == 0)
                end = pos;
            else {
                const size_t found = in.find("\r\n.\r\n", pos);
                if (found != std::string::npos)
                    end = found + 2;
            }
            if (end != std::string::npos) {
                pos = end + 3;
                inData = false;
                inMail = false;
                ++mailsReceived;
                ++commandsReceived;
                if (limits.maxSessions > 0 || limits.perMinute > 0) {
                    std::lock_guard lock(limits.mutex);
                    for (const std::string& r : recipients)
                        ++limits.received[r];
                }
                recipients.clear();
                out += "250 2.0.0 Ok: queued\r\n";
                progressed = true;
            } else if (in.size() - pos > 4) {
                pos = in.size() - 4; // keep what may start the end mark
            }
        } else {
            const size_t eol = in.find('\n', pos);
            if (eol != std::string::npos) {
                std::string line = in.substr(pos, eol - pos);
                pos = eol + 1;
                if (!line.empty() && line.back() == '\r')
                    line.pop_back();
                std::string verb = line.substr(0, line.find(' '));
                for (char& c : verb)
                    c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
                progressed = true;
                ++commandsReceived;
                if (verb == "MAIL") {
                    const std::string refusal = limits.refusal(connection.number);
                    if (!refusal.empty())
                        ++throttledReplies;
                    inMail = refusal.empty();
                    recipients.clear();
                    out += refusal.empty() ? std::string("250 2.1.0 Ok\r\n") : refusal;
                } else if (verb == "RCPT" || verb == "DATA") {
                    if (!inMail) {
                        out += "503 5.5.1 Error: need MAIL command\r\n";
                    } else if (verb == "RCPT") {
                        recipients.push_back(line.substr(line.find(':') + 1));
                        out += "250 2.1.5 Ok\r\n";
                    } else {
                        out += "354 End data with <CR><LF>.<CR><LF>\r\n";
                        inData = true;
                    }
                } else if (verb == "RSET") {
                    inMail = false;
                    out += "250 2.0.0 Ok\r\n";
                } else if (verb == "EHLO") {
                    out += "250-sink\r\n250-PIPELINING\r\n250-8BITMIME\r\n250-SIZE 0\r\n";
                    if (options.tls)
                        out += "250-STARTTLS\r\n";
                    out += "250 SMTPUTF8\r\n";
                } else if (verb == "HELO" || verb == "NOOP") {
                    out += "250 2.0.0 Ok\r\n";
                } else if (verb == "QUIT") {
                    out += "221 2.0.0 Bye\r\n";
                    stream.writeAll(out);
                    return;
                } else if (verb == "STARTTLS" && options.tls) {
                    out += "220 2.0.0 Ready to start TLS\r\n";
                    if (!stream.writeAll(out))
                        return;
                    out.clear();
                    in.clear();
                    pos = 0;
                    if (!stream.startTls(options.tls, true))
                        return;
                } else {
                    out += "502 5.5.2 Command not recognized\r\n";
                }
            }
        }
        if (pos > 65536) {
            in.erase(0, pos);
            pos = 0;
        }
        if (progressed)
            continue;
        // Nothing more to answer from what came in: send the replies, then wait for more.
        if (!out.empty()) {
            if (!stream.writeAll(out))
                return;
            out.clear();
        }
        if (delayed) {
            if (!delayed->next(in))
                return;
        } else {
            const long n = stream.read(buffer, sizeof buffer);
            if (n <= 0)
                return;
            in.append(buffer, static_cast<size_t>(n));
        }
    }
}

int listenOn(const char* host, int port, int& boundPort) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    if (::inet_pton(AF_INET, host, &address.sin_addr) != 1 ||
        ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd, 64) != 0) {
        std::perror("smtp_sink: listen");
        std::exit(1);
    }
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    boundPort = ntohs(address.sin_port);
    return fd;
}

int serve(int argc, char** argv) {
    if (argc < 4)
        return 2;
    ServeOptions options;
    std::unique_ptr<SSL_CTX, SslCtxFree> ctx;
    for (int i = 4; i < argc; ++i) {
        if (std::strcmp(argv[i], "--tls") == 0 && i + 2 < argc) {
            ctx.reset(SSL_CTX_new(TLS_server_method()));
            if (SSL_CTX_use_certificate_chain_file(ctx.get(), argv[i + 1]) != 1 ||
                SSL_CTX_use_PrivateKey_file(ctx.get(), argv[i + 2], SSL_FILETYPE_PEM) != 1) {
                ERR_print_errors_fp(stderr);
                return 1;
            }
            options.tls = ctx.get();
            i += 2;
        } else if (std::strcmp(argv[i], "--delay-ms") == 0 && i + 1 < argc) {
            options.delay = std::chrono::milliseconds(std::atoi(argv[++i]));
        } else if (std::strcmp(argv[i], "--max-sessions") == 0 && i + 1 < argc) {
            limits.maxSessions = std::atoi(argv[++i]);
        } else if (std::strcmp(argv[i], "--per-minute") == 0 && i + 1 < argc) {
            limits.perMinute = std::atoi(argv[++i]);
        }
    }
    if (options.delay.count() > 0)
        options.tls = nullptr; // the delay sits below TLS only for plain sessions
    int port = 0;
    const int listener = listenOn(argv[2], std::atoi(argv[3]), port);
    std::thread([listener, &options] {
        for (;;) {
            const int fd = ::accept(listener, nullptr, nullptr);
            if (fd < 0)
                return;
            const int one = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            std::thread(session, fd, std::cref(options)).detach();
        }
    }).detach();
    std::printf("READY %d\n", port);
    std::fflush(stdout);
    std::string ignored;
    while (std::getline(std::cin, ignored)) {
        if (ignored == "COUNT") {
            std::printf("COUNT %ld\n", mailsReceived.load());
            std::fflush(stdout);
        } else if (ignored == "STATS") {
            std::printf("STATS %ld %ld %ld %ld\n", mailsReceived.load(), commandsReceived.load(),
                        throttledReplies.load(), limits.duplicates());
            std::fflush(stdout);
        }
    }
    std::printf("COUNT %ld\n", mailsReceived.load());
    std::fflush(stdout);
    std::_Exit(0); // sessions may still hang on their sockets
}

// Reads reply lines until `count` final replies (lines whose fourth character is a space).
bool readReplies(Stream& stream, std::string& pending, long count) {
    char buffer[65536];
    while (count > 0) {
        size_t eol;
        while (count > 0 && (eol = pending.find("\r\n")) != std::string::npos) {
            if (eol >= 4 && pending[3] == ' ')
                --count;
            else if (eol < 4)
                --count;
            if (pending[0] != '2' && pending[0] != '3') {
                std::fprintf(stderr, "blast: %s\n", pending.substr(0, eol).c_str());
                return false;
            }
            pending.erase(0, eol + 2);
        }
        if (count == 0)
            break;
        const long n = stream.read(buffer, sizeof buffer);
        if (n <= 0)
            return false;
        pending.append(buffer, static_cast<size_t>(n));
    }
    return true;
}

int blast(int argc, char** argv) {
    if (argc < 5)
        return 2;
    const long total = std::atol(argv[4]);
    bool lockstep = false;
    bool tls = false;
    for (int i = 5; i < argc; ++i) {
        lockstep = lockstep || std::strcmp(argv[i], "--lockstep") == 0;
        tls = tls || std::strcmp(argv[i], "--tls") == 0;
    }
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(std::atoi(argv[3])));
    ::inet_pton(AF_INET, argv[2], &address.sin_addr);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        std::perror("blast: connect");
        return 1;
    }
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    Stream stream(fd);
    std::string pending;
    std::unique_ptr<SSL_CTX, SslCtxFree> ctx;
    if (!readReplies(stream, pending, 1) || !stream.writeAll("EHLO blast\r\n") ||
        !readReplies(stream, pending, 1))
        return 1;
    if (tls) {
        ctx.reset(SSL_CTX_new(TLS_client_method()));
        if (!stream.writeAll("STARTTLS\r\n") || !readReplies(stream, pending, 1) ||
            !stream.startTls(ctx.get(), false) || !stream.writeAll("EHLO blast\r\n") ||
            !readReplies(stream, pending, 1))
            return 1;
    }
    const std::string body(2000, 'x');
    const auto start = Clock::now();
    if (lockstep) {
        for (long i = 0; i < total; ++i) {
            for (const std::string& command :
                 {std::string("MAIL FROM:<a@example.org>\r\n"),
                  std::string("RCPT TO:<b@example.org>\r\n"), std::string("DATA\r\n"),
                  "Subject: " + std::to_string(i) + "\r\n\r\n" + body + "\r\n.\r\n"})
                if (!stream.writeAll(command) || !readReplies(stream, pending, 1))
                    return 1;
        }
    } else {
        // Groups of mails written in one go, then their replies read (RFC 2920 style).
        constexpr long group = 50;
        for (long first = 0; first < total; first += group) {
            const long n = std::min(group, total - first);
            std::string batch;
            for (long i = first; i < first + n; ++i)
                batch +=
                    "MAIL FROM:<a@example.org>\r\nRCPT TO:<b@example.org>\r\nDATA\r\nSubject: " +
                    std::to_string(i) + "\r\n\r\n" + body + "\r\n.\r\n";
            if (!stream.writeAll(batch) || !readReplies(stream, pending, n * 4))
                return 1;
        }
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    stream.writeAll("QUIT\r\n");
    std::printf("blast %ld %.3f %.0f\n", total, seconds, total / seconds);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && std::strcmp(argv[1], "serve") == 0)
        return serve(argc, argv);
    if (argc >= 2 && std::strcmp(argv[1], "blast") == 0)
        return blast(argc, argv);
    std::fprintf(stderr, "usage: smtp_sink serve HOST PORT [--tls CERT KEY] [--delay-ms N]\n"
                         "                 [--max-sessions N] [--per-minute N]\n"
                         "       smtp_sink blast HOST PORT COUNT [--lockstep] [--tls]\n");
    return 2;
}
