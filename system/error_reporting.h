// The program's one error-reporting routine and the trap convention every procedure uses:
// a step that fails is noted through GestionDesErreurs and the procedure goes on.
#pragma once

#include <QString>
#include <QtGlobal>

#include <atomic>
#include <exception>
#include <functional>
#include <stdexcept>

namespace Lib_Public {

// The current error, filled by a trap just before it calls GestionDesErreurs; each thread (the
// window's, the job loop's) has its own.
extern thread_local qint32 ErrNumero;
extern thread_local QString ErrSource;
extern thread_local QString ErrDescription;
extern thread_local qint32 ErrLigne;

// State of GestionDesErreurs: busy only during one call.
struct ErrorState {
    bool busy = false;
};
extern thread_local ErrorState EtatErreur;

// Set once by the unloading of the main window; from then on errors are ignored.
extern std::atomic<bool> ArretEnCours;

// "The object invoked has disconnected from its clients": a driven component is gone for good.
inline constexpr qint32 ErrComponentDisconnected = static_cast<qint32>(0x80010108u);

// Handles the current error (the four globals) reported under the trap label `source`
// ("Module:Procedure"). Drops it while the program closes or while an earlier error is
// still being handled; for ErrComponentDisconnected it puts the program into the start-up
// folder and restarts the computer. Writes one diagnostic line to standard error.
// Never fails.
void GestionDesErreurs(const QString& source);

// A numbered run-time error raised inside a procedure and caught by its own trap.
class RunTimeError : public std::runtime_error {
public:
    RunTimeError(qint32 number, const QString& description, const QString& source = QString());
    qint32 number() const { return number_; }
    const QString& description() const { return description_; }
    const QString& source() const { return source_; }

private:
    qint32 number_;
    QString description_;
    QString source_;
};

// Fills the four error globals and calls GestionDesErreurs(label). For a procedure that
// detects a failure without an exception.
void ReportError(const QString& label, qint32 number, const QString& description,
                 const QString& source = QString(), qint32 line = 0);

// Runs one step of a procedure. An exception escaping the step is trapped: RunTimeError
// keeps its number, std::bad_alloc becomes 7, any other exception 5; the globals are filled
// and GestionDesErreurs(label) is called. Returns true when the step ran to its end.
bool Trap(const QString& label, const std::function<void()>& step, qint32 line = 0);

// Replaceable hooks for the two drastic actions of GestionDesErreurs, so tests record them
// instead of restarting the machine. An empty function restores the real routine.
using ShortcutHook = std::function<void(bool create, qint32& waitMs, const QString& source)>;
using ShutdownHook = std::function<void(qint32 mode)>;
void SetShortcutHook(ShortcutHook hook);
void SetShutdownHook(ShutdownHook hook);

// Hook called for every diagnostic trace line (tests capture it; default: standard error).
using TraceHook = std::function<void(const QString& line)>;
void SetTraceHook(TraceHook hook);

} // namespace Lib_Public
