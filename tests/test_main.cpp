// Test entry point: a Qt application object on the offscreen platform for the widget tests.
#include "system/processes.h"

#include <QApplication>
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
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
