// Runs one test of the current test program in a separate process, for tests that need a
// second writer or a process that dies in the middle of its work.
#pragma once

#include <QProcess>
#include <QProcessEnvironment>
#include <QString>

#include <memory>

// Starts this test program running only `testName` (a DISABLED_ test may be named), with
// `extra` added to the environment. The child's exit code tells its outcome.
std::unique_ptr<QProcess> startTestChild(const QString& testName,
                                         const QProcessEnvironment& extra = {});

// startTestChild and wait for the end. Returns the exit code, or -1 when the child crashed
// or was killed (then `crashed` is set, when given).
int runTestChild(const QString& testName, const QProcessEnvironment& extra = {},
                 bool* crashed = nullptr);

// True in a process started by startTestChild.
bool isTestChild();
