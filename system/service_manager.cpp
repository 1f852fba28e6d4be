// Service manager notifications and native journal entries: one datagram each, sent on a
// socket opened for the occasion (a few a minute at most).
#include "system/service_manager.h"

#include "system/unique_fd.h"

#include <QFile>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace ServiceManager {

namespace {

// Sends one datagram to the Unix socket `address` ("@name": abstract). Never waits: a peer
// whose queue is full loses the datagram rather than hang the window's event loop.
bool sendDatagram(const QByteArray& address, const QByteArray& payload) {
    if (address.isEmpty() || (address[0] != '/' && address[0] != '@'))
        return false;
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    if (static_cast<size_t>(address.size()) >= sizeof(sa.sun_path))
        return false;
    std::memcpy(sa.sun_path, address.constData(), static_cast<size_t>(address.size()));
    socklen_t length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + address.size());
    if (address[0] == '@')
        sa.sun_path[0] = '\0';
    else
        ++length; // the terminating zero of a path
    Posix::UniqueFd fd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!fd.valid())
        return false;
    return ::sendto(fd.get(), payload.constData(), static_cast<size_t>(payload.size()),
                    MSG_NOSIGNAL | MSG_DONTWAIT, reinterpret_cast<const sockaddr*>(&sa),
                    length) == payload.size();
}

bool validFieldName(const QByteArray& name) {
    if (name.isEmpty() || name.size() > 64 || name[0] == '_' || (name[0] >= '0' && name[0] <= '9'))
        return false;
    for (const char c : name)
        if (!((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_'))
            return false;
    return true;
}

} // namespace

bool Notify(const QByteArray& state) {
    return sendDatagram(qgetenv("NOTIFY_SOCKET"), state);
}

qint64 WatchdogPingMs() {
    bool ok = false;
    const qint64 usec = qEnvironmentVariable("WATCHDOG_USEC").toLongLong(&ok);
    if (!ok || usec <= 0)
        return 0;
    if (!qEnvironmentVariableIsEmpty("WATCHDOG_PID") &&
        qEnvironmentVariable("WATCHDOG_PID").toLongLong() != ::getpid())
        return 0;
    return std::max<qint64>(1, usec / 2000);
}

bool UnderJournal() {
    return !qEnvironmentVariableIsEmpty("JOURNAL_STREAM");
}

QByteArray JournalEntry(const Fields& fields) {
    QByteArray out;
    for (const auto& [name, value] : fields) {
        if (!validFieldName(name))
            continue;
        if (!value.contains('\n')) {
            out += name + '=' + value + '\n';
            continue;
        }
        out += name + '\n';
        quint64 size = static_cast<quint64>(value.size());
        for (int i = 0; i < 8; ++i, size >>= 8)
            out += static_cast<char>(size & 0xff);
        out += value + '\n';
    }
    return out;
}

bool SendToJournal(const Fields& fields) {
    QByteArray socket = qgetenv("POSTIQUE_JOURNAL_SOCKET");
    if (socket.isEmpty())
        socket = QByteArrayLiteral("/run/systemd/journal/socket");
    return sendDatagram(socket, JournalEntry(fields));
}

} // namespace ServiceManager
