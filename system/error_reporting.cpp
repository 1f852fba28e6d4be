// The central error routine: notes a trapped error and lets the program carry on.
#include "system/error_reporting.h"

#include "system/processes.h"
#include "system/untrusted_text.h"

#include <QCoreApplication>

#include <cstdio>
#include <new>

namespace Lib_Public {

thread_local qint32 ErrNumero = 0;
thread_local QString ErrSource;
thread_local QString ErrDescription;
thread_local qint32 ErrLigne = 0;
thread_local ErrorState EtatErreur;
std::atomic<bool> ArretEnCours = false;

namespace {

ShortcutHook& shortcutHook() {
    static ShortcutHook hook;
    return hook;
}

ShutdownHook& shutdownHook() {
    static ShutdownHook hook;
    return hook;
}

TraceHook& traceHook() {
    static TraceHook hook;
    return hook;
}

void writeTrace(const QString& source) {
    const QString line = QStringLiteral("%1: error %2: %3 (line %4)")
                             .arg(Untrusted::Clean(source))
                             .arg(ErrNumero)
                             .arg(Untrusted::Clean(ErrDescription))
                             .arg(ErrLigne);
    if (traceHook()) {
        traceHook()(line);
        return;
    }
    const QByteArray bytes = line.toUtf8();
    std::fprintf(stderr, "%s\n", bytes.constData());
    std::fflush(stderr);
}

} // namespace

void SetShortcutHook(ShortcutHook hook) {
    shortcutHook() = std::move(hook);
}
void SetShutdownHook(ShutdownHook hook) {
    shutdownHook() = std::move(hook);
}
void SetTraceHook(TraceHook hook) {
    traceHook() = std::move(hook);
}

void GestionDesErreurs(const QString& source) {
    try {
        if (ArretEnCours)
            return;
        writeTrace(source);
        if (EtatErreur.busy)
            return;
        EtatErreur.busy = true;

        if (ErrNumero == ErrComponentDisconnected) {
            qint32 wait = 10000;
            const QString label = QStringLiteral("Lib_Public:GestionDesErreurs");
            try {
                if (shortcutHook())
                    shortcutHook()(true, wait, label);
                else
                    Lib_Systeme::CreateShortCutStartUp(true, wait, label);
            } catch (...) {
            }
            try {
                if (shutdownHook())
                    shutdownHook()(2);
                else
                    Lib_Systeme::ShutdownWindows(2);
            } catch (...) {
            }
        }

        ErrNumero = 0;
        ErrSource.clear();
        ErrDescription.clear();
        ErrLigne = 0;
        if (QCoreApplication::instance())
            QCoreApplication::processEvents();
        EtatErreur.busy = false;
    } catch (...) {
        EtatErreur.busy = false;
    }
}

RunTimeError::RunTimeError(qint32 number, const QString& description, const QString& source)
    : std::runtime_error(description.toStdString()), number_(number), description_(description),
      source_(source) {}

void ReportError(const QString& label, qint32 number, const QString& description,
                 const QString& source, qint32 line) {
    ErrNumero = number;
    ErrSource = source;
    ErrDescription = description;
    ErrLigne = line;
    GestionDesErreurs(label);
}

bool Trap(const QString& label, const std::function<void()>& step, qint32 line) {
    try {
        step();
        return true;
    } catch (const RunTimeError& e) {
        ReportError(label, e.number(), e.description(), e.source(), line);
    } catch (const std::bad_alloc&) {
        ReportError(label, 7, QStringLiteral("Mémoire insuffisante"), QString(), line);
    } catch (const std::exception& e) {
        ReportError(label, 5, QString::fromUtf8(e.what()), QString(), line);
    } catch (...) {
        ReportError(label, 5, QStringLiteral("Erreur inattendue"), QString(), line);
    }
    return false;
}

} // namespace Lib_Public
