// Test entry point: a Qt application object, with widgets on the offscreen platform for the
// test programs of the forms (POSTIQUE_TEST_GUI), without them for the libraries below.
#include "system/processes.h"

#ifdef POSTIQUE_TEST_GUI
#include <QApplication>
#else
#include <QCoreApplication>
#endif
#include <QDir>
#include <QFile>

#include <unistd.h>

#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
#include <dlfcn.h>

#include <cstdarg>

// Under ThreadSanitizer (clang 14 to 16), the runtime's clone() wrapper breaks the vfork-like
// clone that Qt uses to start a process: the child fails a check of the runtime and every
// test that starts a peer fails. The wrapper is a weak symbol; this one hands clone() to the C
// library as is. The child only sets up its descriptors and calls exec.
extern "C" int clone(int (*fn)(void*), void* stack, int flags, void* arg, ...) {
    using Clone = int (*)(int (*)(void*), void*, int, void*, ...);
    static const auto real = reinterpret_cast<Clone>(dlsym(RTLD_NEXT, "clone"));
    va_list rest;
    va_start(rest, arg);
    void* parentTid = va_arg(rest, void*);
    void* tls = va_arg(rest, void*);
    void* childTid = va_arg(rest, void*);
    va_end(rest);
    return real(fn, stack, flags, arg, parentTid, tls, childTid);
}
#endif
#endif

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // The end of every copy and the computer restart are only ever recorded by tests: the
    // real clean-up would end the program runs of other tests on this machine. Programs
    // started by the tests inherit the setting.
    if (qEnvironmentVariableIsEmpty(Lib_Systeme::ProcessRecordVariable))
        qputenv(Lib_Systeme::ProcessRecordVariable,
                QFile::encodeName(QDir::temp().filePath(
                    QStringLiteral("postique-test-record-%1").arg(::getpid()))));
#ifdef POSTIQUE_TEST_GUI
    QApplication app(argc, argv);
#else
    QCoreApplication app(argc, argv);
#endif
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
