// The executable answers --version and --help without starting its window, and refuses
// arguments it does not know.
#include "system/numbers.h"

#include <QProcess>

#include <gtest/gtest.h>

namespace {

// Runs the executable with one argument; returns its exit code and standard output.
std::pair<int, QString> runExecutable(const QString& argument) {
    QProcess process;
    process.start(QStringLiteral(POSTIQUE_EXECUTABLE), {argument});
    if (!process.waitForFinished(30000))
        return {-1, QString()};
    return {process.exitCode(), QString::fromUtf8(process.readAllStandardOutput())};
}

} // namespace

TEST(CommandLine, VersionAndHelpPrintAndExit) {
    const auto [versionCode, versionText] = runExecutable(QStringLiteral("--version"));
    EXPECT_EQ(versionCode, 0);
    EXPECT_EQ(versionText,
              QStringLiteral("VL3_Postique ") + Lib_Systeme::VersionApplication() + u'\n');

    const auto [helpCode, helpText] = runExecutable(QStringLiteral("--help"));
    EXPECT_EQ(helpCode, 0);
    EXPECT_TRUE(helpText.startsWith(QStringLiteral("Usage : VL3_Postique")))
        << helpText.toStdString();
}

// Anything the program does not know prints the usage and starts nothing (exit status 2).
TEST(CommandLine, UnknownArgumentsPrintTheUsageAndStartNothing) {
    const char* const refused[] = {"--statut", "-x", "/Veile=True", "fichier.ss8"};
    for (const char* argument : refused) {
        SCOPED_TRACE(argument);
        const auto [code, text] = runExecutable(QString::fromLatin1(argument));
        EXPECT_EQ(code, 2);
        EXPECT_TRUE(text.startsWith(QStringLiteral("Usage : VL3_Postique"))) << text.toStdString();
    }
}
