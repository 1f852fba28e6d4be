// The start-up entry that brings the program back after a forced restart, and the end of
// other processes at the end of a run.
#include "system/processes.h"

#include "support/qt_print.h"
#include "support/temp_prefix.h"
#include "system/error_reporting.h"
#include "system/globals.h"
#include "system/winpath.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <memory>
#include <vector>

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

// Ending the copies: a process that obeys SIGTERM is not killed; one that ignores it is
// killed after the grace; one whose name no longer matches (a reused id) is left alone.
TEST(EndProcesses, AsksFirstThenKillsOnlyWhatStaysUnderTheName) {
    struct Case {
        const char* script;
        const char* readyName; // the name once the script is ready for the signal
        bool killed;
        bool survives;
    };
    const Case cases[] = {
        {"exec sleep 30", "sleep", false, false},
        {"trap '' TERM; exec sleep 30", "sleep", true, false},
        {"trap '' TERM; while :; do sleep 0.1; done", "sh", false, true},
    };
    std::vector<std::unique_ptr<QProcess>> children;
    QList<qint64> pids;
    for (const Case& c : cases) {
        auto child = std::make_unique<QProcess>();
        child->start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), QLatin1String(c.script)});
        ASSERT_TRUE(child->waitForStarted(5000));
        const qint64 pid = child->processId();
        const QString comm = QStringLiteral("/proc/%1/comm").arg(pid);
        // Ready once the shell has set its trap and replaced itself (or entered its loop).
        QDeadlineTimer ready(5000);
        bool named = false;
        while (!named && !ready.hasExpired()) {
            QFile f(comm);
            named = f.open(QIODevice::ReadOnly) && f.readAll().trimmed() == c.readyName;
            if (!named)
                QThread::msleep(10);
        }
        ASSERT_TRUE(named) << c.script;
        if (QByteArray(c.readyName) == "sh")
            QThread::msleep(200); // the trap is the loop's first command
        pids << pid;
        children.push_back(std::move(child));
    }
    const QList<qint64> killed = Lib_Systeme::EndProcesses(pids, QStringLiteral("sleep"), 300);
    for (size_t i = 0; i < children.size(); ++i) {
        SCOPED_TRACE(cases[i].script);
        EXPECT_EQ(killed.contains(pids[static_cast<qsizetype>(i)]), cases[i].killed);
        EXPECT_EQ(!children[i]->waitForFinished(cases[i].survives ? 300 : 5000), cases[i].survives);
        children[i]->kill();
        children[i]->waitForFinished(5000);
    }
}
