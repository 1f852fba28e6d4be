// Headless running: platform choice, incident echo and signal hand-over to the event loop.
#include "app/headless.h"

#include "system/globals.h"
#include "system/untrusted_text.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QThread>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

namespace Lib_Public {

namespace {

bool headlessFlag = false;

// Write end [0] used by the signal handler, read end [1] watched by the event loop.
int signalPipe[2] = {-1, -1};

void onPosixSignal(int signalNumber) {
    const int saved = errno;
    // At once, from the handler itself: the row loop and the transfer in flight stop on it
    // even while the event loop is busy (a lock-free atomic store is async-signal-safe).
    QuitterDemande.store(true);
    const unsigned char byte = static_cast<unsigned char>(signalNumber);
    // Nothing to do when the pipe is full: a close is already on its way.
    [[maybe_unused]] ssize_t n = ::write(signalPipe[0], &byte, 1);
    errno = saved;
}

static_assert(std::atomic<bool>::is_always_lock_free, "the stop flag is set from a signal handler");

QtMessageHandler previousMessageHandler = nullptr;
std::function<void()> displayLost;

// The X platform's report of a broken display connection, which it follows with exit(1).
void onToolkitMessage(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    if (previousMessageHandler)
        previousMessageHandler(type, context, text);
    const bool lost =
        type == QtWarningMsg && text.startsWith(QLatin1String("The X11 connection broke"));
    if (!lost || !displayLost || !QCoreApplication::instance() ||
        QThread::currentThread() != QCoreApplication::instance()->thread())
        return;
    const std::function<void()> act = std::exchange(displayLost, nullptr);
    act();
}

} // namespace

bool NoDisplayAvailable() {
    return qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
}

bool RunningHeadless() {
    return headlessFlag;
}
void SetRunningHeadless(bool headless) {
    headlessFlag = headless;
}

void EchoIncidentLine(const QString& line) {
    const QByteArray bytes = Untrusted::Clean(line).toUtf8();
    std::fprintf(stderr, "Incident: %s\n", bytes.constData());
    std::fflush(stderr);
}

bool InstallShutdownSignals(std::function<void(int)> onSignal, QString* error) {
    auto fail = [&](const char* what) {
        if (error)
            *error = QStringLiteral("%1: %2").arg(QLatin1String(what),
                                                  QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    };
    if (signalPipe[0] < 0) {
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, signalPipe) != 0)
            return fail("socketpair");
        // The notifier lives as long as the application object; the two descriptors are
        // kept for the life of the process, since the handler may run at any time.
        auto* notifier =
            new QSocketNotifier(signalPipe[1], QSocketNotifier::Read, QCoreApplication::instance());
        QObject::connect(notifier, &QSocketNotifier::activated, notifier,
                         [onSignal = std::move(onSignal)] {
                             unsigned char byte = 0;
                             while (::read(signalPipe[1], &byte, 1) == 1)
                                 onSignal(byte);
                         });
    }
    struct sigaction action {};
    action.sa_handler = onPosixSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    // SIGHUP: the session or the display went away (log-out); it ends the program as a
    // session's end does, not with the default abrupt exit.
    for (int signalNumber : {SIGTERM, SIGINT, SIGHUP})
        if (::sigaction(signalNumber, &action, nullptr) != 0)
            return fail("sigaction");
    return true;
}

void InstallDisplayLossHandler(std::function<void()> onDisplayLost) {
    displayLost = std::move(onDisplayLost);
    const QtMessageHandler previous = qInstallMessageHandler(&onToolkitMessage);
    if (previous != &onToolkitMessage)
        previousMessageHandler = previous;
}

} // namespace Lib_Public
