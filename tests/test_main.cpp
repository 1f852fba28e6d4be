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
