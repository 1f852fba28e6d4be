// The executable answers --version and --help without starting its window, and refuses
// options it does not know while ignoring other words.
#include "app/startup.h"
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

// An unknown "--" option prints the usage and starts nothing (exit status 2); any other word,
// the sleep switch's companions included, is left for the start-up to ignore.
TEST(CommandLine, OnlyUnknownDoubleDashOptionsAreRefused) {
    for (const char* argument : {"--statut", "--veille=True"}) {
        SCOPED_TRACE(argument);
        const auto [code, text] = runExecutable(QString::fromLatin1(argument));
        EXPECT_EQ(code, 2);
        EXPECT_TRUE(text.startsWith(QStringLiteral("Usage : VL3_Postique"))) << text.toStdString();
    }
    struct Case {
        QStringList arguments;
        const char* refused;
    };
    const Case cases[] = {
        {{"/Veille=True", "autre"}, ""},
        {{"-x", "/Veile=True", "fichier.ss8", "/Wait=10000"}, ""},
        {{"--status", "--json", "-platform", "offscreen"}, ""},
        {{"--check-job", "--nom-bizarre.ss8"}, ""},
        {{"autre", "--statut", "--aide"}, "--statut"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Startup::FirstUnknownOption(c.arguments), QString::fromUtf8(c.refused))
            << c.arguments.join(u' ').toStdString();
}
