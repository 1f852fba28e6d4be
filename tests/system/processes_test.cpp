// The start-up entry that brings the program back after a forced restart.
#include "system/processes.h"

#include "support/qt_print.h"
#include "support/temp_prefix.h"
#include "system/error_reporting.h"
#include "system/globals.h"
#include "system/winpath.h"

#include <QDir>
#include <QFile>
#include <QStringList>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

// A temporary prefix, autostart folder and program folder (with characters that need
// quoting on an Exec line); errors are captured from the trace.
class StartupEntryTest : public TempPrefixTest {
protected:
    void SetUp() override {
        hadConfigHome_ = qEnvironmentVariableIsSet("XDG_CONFIG_HOME");
        savedConfigHome_ = qgetenv("XDG_CONFIG_HOME");
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(config_.path()));
        savedApplication_ = Lib_Public::DossierApplication;
        programFolder_ = programRoot_.path() + QStringLiteral("/Mon dossier $HOME 100%");
        ASSERT_TRUE(QDir().mkpath(programFolder_));
        Lib_Public::DossierApplication = WinPath::toWindows(programFolder_) + u'\\';
        Lib_Public::SetTraceHook([this](const QString& line) { errors << line; });
    }
    void TearDown() override {
        Lib_Public::SetTraceHook({});
        Lib_Public::DossierApplication = savedApplication_;
        if (hadConfigHome_)
            qputenv("XDG_CONFIG_HOME", savedConfigHome_);
        else
            qunsetenv("XDG_CONFIG_HOME");
    }
    QString entryPath() const {
        return config_.path() + QStringLiteral("/autostart/Velmora - Postique.desktop");
    }
    QStringList entryLines() const {
        QFile file(entryPath());
        if (!file.open(QIODevice::ReadOnly))
            return {};
        return QString::fromUtf8(file.readAll()).split(u'\n', Qt::SkipEmptyParts);
    }

    QTemporaryDir config_;
    QTemporaryDir programRoot_;
    QString programFolder_;
    QStringList errors;

private:
    bool hadConfigHome_ = false;
    QByteArray savedConfigHome_;
    QString savedApplication_;
};

} // namespace

TEST_F(StartupEntryTest, WaitIsClampedAndWrittenIntoTheEntry) {
    const struct {
        qint32 wait;
        qint32 clamped;
    } cases[] = {{500, 1000}, {-3, 1000}, {10000, 10000}, {120000, 120000}, {200000, 120000}};
    for (const auto& c : cases) {
        qint32 wait = c.wait;
        Lib_Systeme::CreateShortCutStartUp(true, wait,
                                           QStringLiteral("Lib_Public:GestionDesErreurs"));
        EXPECT_EQ(wait, c.clamped);
        const QStringList lines = entryLines().filter(QStringLiteral("Exec="));
        ASSERT_EQ(lines.size(), 1) << c.wait;
        EXPECT_TRUE(lines[0].endsWith(QStringLiteral("\" /Wait=%1").arg(c.clamped)))
            << lines[0].toStdString();
    }
    EXPECT_TRUE(errors.isEmpty()) << errors.join(u'\n').toStdString();
}

TEST_F(StartupEntryTest, EntryStartsTheProgramInItsFolder) {
    qint32 wait = 10000;
    Lib_Systeme::CreateShortCutStartUp(true, wait, QStringLiteral("X:Y"));
    ASSERT_TRUE(errors.isEmpty()) << errors.join(u'\n').toStdString();
    const QString folder = QDir(programFolder_).canonicalPath();
    QString escapedFolder = folder;
    escapedFolder.replace(QStringLiteral("$"), QStringLiteral("\\\\$"))
        .replace(QStringLiteral("%"), QStringLiteral("%%"));
    const QStringList expected = {
        QStringLiteral("[Desktop Entry]"),
        QStringLiteral("Type=Application"),
        QStringLiteral("Name=Velmora - Postique"),
        QStringLiteral("Exec=\"") + escapedFolder + QStringLiteral("/VL3_Postique\" /Wait=10000"),
        QStringLiteral("Path=") + folder,
        QStringLiteral("Icon=") + folder + QStringLiteral("/VL3_Postique"),
        QStringLiteral("Comment=Lancer le Postique Velmora"),
        QStringLiteral("Terminal=false"),
    };
    EXPECT_EQ(entryLines(), expected);
}

TEST_F(StartupEntryTest, CreateReplacesAndRemoveDeletes) {
    QDir().mkpath(config_.path() + QStringLiteral("/autostart"));
    {
        QFile old(entryPath());
        ASSERT_TRUE(old.open(QIODevice::WriteOnly));
        old.write("[Desktop Entry]\nExec=/old/program\n");
    }
    qint32 wait = 2000;
    Lib_Systeme::CreateShortCutStartUp(true, wait, QStringLiteral("X:Y"));
    EXPECT_FALSE(entryLines().contains(QStringLiteral("Exec=/old/program")));
    EXPECT_EQ(entryLines().filter(QStringLiteral("/Wait=2000")).size(), 1);

    Lib_Systeme::CreateShortCutStartUp(false, wait, QStringLiteral("X:Y"));
    EXPECT_FALSE(QFile::exists(entryPath()));
    Lib_Systeme::CreateShortCutStartUp(false, wait, QStringLiteral("X:Y")); // nothing to remove
    EXPECT_TRUE(errors.isEmpty()) << errors.join(u'\n').toStdString();
}

TEST_F(StartupEntryTest, ProgramFolderWithLineBreakIsRefused) {
    Lib_Public::DossierApplication = QStringLiteral("Z:\\opt\\x\nExec=/bin/evil\\");
    qint32 wait = 10000;
    Lib_Systeme::CreateShortCutStartUp(true, wait, QStringLiteral("Frm_Main:Form_Load"));
    EXPECT_FALSE(QFile::exists(entryPath()));
    ASSERT_EQ(errors.size(), 1);
    EXPECT_TRUE(errors[0].startsWith(
        QStringLiteral("Frm_Main:Form_Load>Lib_Systeme:CreateShortCutStartUp: error 5")))
        << errors[0].toStdString();
}
