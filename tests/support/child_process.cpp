// Child processes made of this very test program.
#include "support/child_process.h"

#include <QCoreApplication>

std::unique_ptr<QProcess> startTestChild(const QString& testName,
                                         const QProcessEnvironment& extra) {
    auto process = std::make_unique<QProcess>();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(extra);
    env.insert(QStringLiteral("POSTIQUE_TEST_CHILD"), QStringLiteral("1"));
    process->setProcessEnvironment(env);
    process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process->setStandardOutputFile(QProcess::nullDevice());
    process->start(QCoreApplication::applicationFilePath(),
                   {QStringLiteral("--gtest_filter=") + testName,
                    QStringLiteral("--gtest_also_run_disabled_tests")});
    return process;
}

int runTestChild(const QString& testName, const QProcessEnvironment& extra, bool* crashed) {
    const std::unique_ptr<QProcess> p = startTestChild(testName, extra);
    p->waitForFinished(120000);
    const bool died = p->exitStatus() == QProcess::CrashExit;
    if (crashed)
        *crashed = died;
    return died ? -1 : p->exitCode();
}

bool isTestChild() {
    return qEnvironmentVariableIsSet("POSTIQUE_TEST_CHILD");
}
