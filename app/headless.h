// Running without a display: choosing the offscreen platform, echoing incident lines to
// standard error, and closing on SIGTERM/SIGINT/SIGHUP the way a session shutdown closes the
// program.
#pragma once

#include <QString>

#include <functional>

namespace Lib_Public {

// True when neither DISPLAY nor WAYLAND_DISPLAY is set (or they are empty): the program then
// has to run on the offscreen platform. Reads the environment only.
bool NoDisplayAvailable();

// Whether the program runs headless (set once by main before the window is built).
bool RunningHeadless();
void SetRunningHeadless(bool headless);

// Writes one incident line to standard error as "Incident: <line>" (control characters
// replaced by spaces). Installed as the incidents list's echo when running headless, since
// nobody sees the list then. Never fails.
void EchoIncidentLine(const QString& line);

// Installs handlers for SIGTERM, SIGINT and SIGHUP that set QuitterDemande at once (so the job loop
// and the transfer in flight stop without waiting for the event loop), then hand the signal
// over to the event loop (self-pipe read by a socket notifier) and call `onSignal` there,
// once per signal received.
// Must be called after the application object exists. Returns false (with `error`) when
// the pipe or the handlers could not be set up.
bool InstallShutdownSignals(std::function<void(int signalNumber)> onSignal, QString* error);

// Calls `onDisplayLost` once, on the main thread, when the toolkit reports that its
// connection to the X display broke (the display went away without a SIGHUP: the X server
// ended or was killed). The toolkit ends the process with status 1 as soon as the report
// returns, so `onDisplayLost` should end it itself. Every message still reaches the message
// handler that was in place before.
void InstallDisplayLossHandler(std::function<void()> onDisplayLost);

} // namespace Lib_Public
