// Opening documents and addresses through xdg-open, the folder chooser, and the end of
// every copy (recorded, never done, in tests).
#include "support/temp_prefix.h"
#include "system/error_reporting.h"
#include "system/globals.h"
#include "system/processes.h"
#include "system/winpath.h"
#include "ui/frm_main.h"
#include "ui/frm_mainbis.h"
#include "ui/shell.h"

#include <QAction>
#include <QDeadlineTimer>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

namespace {

// An environment in which xdg-open finds no desktop and uses $BROWSER: `browser` is a
// script that writes what it is given into `opened` ("" to fail every attempt).
class ShellTest : public TempPrefixTest {
protected:
    void SetUp() override {
        for (const char* name : {"BROWSER", "DISPLAY", "WAYLAND_DISPLAY", "XDG_CURRENT_DESKTOP",
                                 "DESKTOP_SESSION", "HOME", "XDG_DATA_HOME", "XDG_CONFIG_HOME"})
            saved_.append({name, qgetenv(name), qEnvironmentVariableIsSet(name)});
        for (const char* name :
             {"DISPLAY", "WAYLAND_DISPLAY", "XDG_CURRENT_DESKTOP", "DESKTOP_SESSION"})
            qunsetenv(name);
        qputenv("HOME", QFile::encodeName(home_.path()));
        qputenv("XDG_DATA_HOME", QFile::encodeName(home_.path() + QStringLiteral("/share")));
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(home_.path() + QStringLiteral("/config")));
        opened_ = home_.path() + QStringLiteral("/opened.txt");
        const QString script = home_.path() + QStringLiteral("/browser.sh");
        QFile f(script);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(QStringLiteral("#!/bin/sh\nprintf '%s\\n' \"$1\" >> '%1'\n").arg(opened_).toUtf8());
        f.close();
        QFile::setPermissions(script, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        browser_ = script + QStringLiteral(" %s");
        Lib_Public::SetTraceHook([this](const QString& line) { errors << line; });
    }
    void TearDown() override {
        Lib_Public::SetTraceHook({});
        for (const Saved& s : saved_) {
            if (s.set)
                qputenv(s.name, s.value);
            else
                qunsetenv(s.name);
        }
    }
    QString opened() const {
        QFile f(opened_);
        return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()).trimmed() : QString();
    }
    bool haveXdgOpen() const { return QFile::exists(QStringLiteral("/usr/bin/xdg-open")); }

    struct Saved {
        const char* name;
        QByteArray value;
        bool set;
    };
    QList<Saved> saved_;
    QTemporaryDir home_;
    QString opened_;
    QString browser_;
    QStringList errors;
};

TEST(ShellErrors, NumbersAndFrenchTexts) {
    struct Case {
        qint32 result;
        qint32 number;
        const char* start;
    };
    const QList<Case> cases = {
        {0, 7, "Dépassement de mémoire"},
        {8, 7, "Dépassement de mémoire"},
        {2, 53, ""},
        {3, 76, "Chemin d'accès non trouvé"},
        {5, 75, "Violation de partage"},
        {26, 75, "Violation de partage"},
        {11, 11 - 2147220456, "Cet exécutable est invalide"},
        {31, -2147220425, "Il n'y a aucune application associée à ce type de fichier"},
        {27, 27 - 2147220456, "Il n'y a aucune application associée"},
        {28, 286, "Le fichier ne peut être ouvert car le délai"},
        {29, 285, "Le fichier ne peut être ouvert car la transaction DDE"},
        {30, 285, "Le fichier ne peut être ouvert car l'application est occupée"},
        {32, 48, "Le fichier dll ne peut être trouvé"},
        {1, 1 - 2147220456, "Erreur à l'ouverture ou l'impression du fichier sélectionné"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.result);
        const Lib_Systeme::ShellError e = Lib_Systeme::ShellErrorFor(c.result);
        EXPECT_EQ(e.number, c.number);
        if (*c.start == 0) {
            EXPECT_TRUE(e.message.isEmpty()) << "never reported";
        } else {
            EXPECT_TRUE(e.message.startsWith(QString::fromUtf8(c.start)))
                << e.message.toStdString();
        }
    }
}

TEST_F(ShellTest, AddressOpensInTheBrowser) {
    if (!haveXdgOpen())
        GTEST_SKIP() << "xdg-open is not installed (tools/install-deps.sh)";
    qputenv("BROWSER", browser_.toUtf8());
    const QString address = QStringLiteral("https://www.example.org/vl/page.htm");
    EXPECT_GT(
        Lib_Systeme::ExecuterProgrammeExterne(nullptr, QStringLiteral("Open"), address, {}, {}, 1),
        32);
    for (int i = 0; i < 100 && opened().isEmpty(); ++i)
        QThread::msleep(50);
    EXPECT_EQ(opened(), address);
    EXPECT_TRUE(errors.isEmpty()) << errors.join(u'\n').toStdString();
}

TEST_F(ShellTest, RevisionPageOpensFromTheMenuOrIsReported) {
    if (!haveXdgOpen())
        GTEST_SKIP() << "xdg-open is not installed (tools/install-deps.sh)";
    EXPECT_EQ(Frm_Main::RevisionPage(),
              QStringLiteral("https://") + QStringLiteral(POSTIQUE_MAKER_WEB_HOST) +
                  QStringLiteral("/vl/maj/Histo_Revisions/VL3_Postique_Revisions.htm"));
    Frm_Main form;
    // No browser at all: the failure is reported, nothing opens.
    qputenv("BROWSER", "/bin/false");
    form.MnuWhatNews[0]->trigger();
    ASSERT_EQ(errors.size(), 1);
    EXPECT_TRUE(errors[0].contains(QStringLiteral("Il n'y a aucune application associée")))
        << errors[0].toStdString();
    EXPECT_TRUE(opened().isEmpty());
    // With one: the page opens in it.
    errors.clear();
    qputenv("BROWSER", browser_.toUtf8());
    form.MnuWhatNews[0]->trigger();
    for (int i = 0; i < 100 && opened().isEmpty(); ++i)
        QThread::msleep(50);
    EXPECT_EQ(opened(), Frm_Main::RevisionPage());
    EXPECT_TRUE(errors.isEmpty());
}

TEST_F(ShellTest, FailuresGiveTheShellCodesAndReports) {
    if (!haveXdgOpen())
        GTEST_SKIP() << "xdg-open is not installed (tools/install-deps.sh)";
    qputenv("BROWSER", "/bin/false");
    ASSERT_TRUE(prefix.write(QStringLiteral("C:\\Docs\\note.zz9"), "x"));

    // A missing file: 2, nothing reported.
    EXPECT_EQ(Lib_Systeme::ExecuterProgrammeExterne(nullptr, QStringLiteral("Open"),
                                                    QStringLiteral("C:\\Docs\\absent.txt"), {}, {},
                                                    1),
              2);
    EXPECT_TRUE(errors.isEmpty());
    // A missing folder: 3, "Chemin d'accès non trouvé".
    EXPECT_EQ(Lib_Systeme::ExecuterProgrammeExterne(
                  nullptr, QStringLiteral("Open"), QStringLiteral("C:\\Nowhere\\a.txt"), {}, {}, 1),
              3);
    ASSERT_EQ(errors.size(), 1);
    EXPECT_TRUE(errors[0].contains(QStringLiteral("error 76")));
    // Nothing can open it: 31 and the French text.
    errors.clear();
    EXPECT_EQ(Lib_Systeme::ExecuterProgrammeExterne(
                  nullptr, QStringLiteral("Open"), QStringLiteral("C:\\Docs\\note.zz9"), {}, {}, 1),
              31);
    ASSERT_EQ(errors.size(), 1);
    EXPECT_TRUE(errors[0].startsWith(
        QStringLiteral("Lib_Systeme:ExecuterProgrammeExterne: error -2147220425: "
                       "Il n'y a aucune application associée à ce type de fichier")))
        << errors[0].toStdString();
}

TEST_F(ShellTest, FolderSelectStartsInTheFolderPartAndCreatesTheChoice) {
    Lib_Public::DossierApplication = QStringLiteral("Z:\\opt\\velmora\\");
    struct Case {
        QString start;
        QString expectedStart;
    };
    ASSERT_TRUE(QDir().mkpath(prefix.native(QStringLiteral("C:\\Data"))));
    const QString home = WinPath::toWindows(QDir::homePath());
    const QList<Case> cases = {
        {QStringLiteral("C:\\Data\\file.txt"), QStringLiteral("C:\\Data")},
        {QStringLiteral("C:\\Data"), QStringLiteral("C:")},
        {QString(), QStringLiteral("Z:\\opt\\velmora")},
        {QStringLiteral("C:\\Nulle\\Part\\"), home},
    };
    for (const Case& c : cases) {
        Lib_Systeme::FolderSelectQueueAnswer(QStringLiteral("*"));
        EXPECT_EQ(Lib_Systeme::FolderSelect(nullptr, c.start, QString()), QStringLiteral("*"));
        EXPECT_EQ(Lib_Systeme::FolderSelectLastStart(), c.expectedStart) << c.start.toStdString();
        EXPECT_EQ(Lib_Systeme::FolderSelectLastTitle(),
                  QStringLiteral("Sélectionnez un dossier: "));
    }
    // The attachment picker the same way.
    CommonDialog dialog;
    for (const auto& [init, start] : {std::pair{QString(), QDir::homePath()},
                                      {QStringLiteral("C:\\Data"), prefix.native("C:\\Data")},
                                      {QStringLiteral("C:\\Nulle"), QDir::homePath()}}) {
        dialog.InitDir = init;
        EXPECT_EQ(dialog.startFolder(), start) << init.toStdString();
    }
    Lib_Systeme::FolderSelectQueueAnswer(QStringLiteral("*"));
    Lib_Systeme::FolderSelect(nullptr, {}, QStringLiteral("Dossier des travaux"));
    EXPECT_EQ(Lib_Systeme::FolderSelectLastTitle(), QStringLiteral("Dossier des travaux"));

    // Without a display and without a scripted answer: cancelled.
    EXPECT_EQ(Lib_Systeme::FolderSelect(nullptr, {}, {}), QStringLiteral("*"));

    const QString chosen = prefix.native(QStringLiteral("C:\\Nouveau"));
    ASSERT_FALSE(QDir(chosen).exists());
    Lib_Systeme::FolderSelectQueueAnswer(chosen);
    EXPECT_EQ(Lib_Systeme::FolderSelect(nullptr, {}, {}), QStringLiteral("C:\\Nouveau\\"));
    EXPECT_TRUE(QDir(chosen).exists());
}

TEST(StartupEntry, NamesTheRunningProgramEvenWhenItsFolderIsTheSuiteFolder) {
    // The executable's folder could not be written: the folder text is the suite's folder,
    // which holds no program; the entry still starts the program that runs.
    EXPECT_EQ(Lib_Systeme::StartupEntryProgram(
                  QStringLiteral("/home/u/.local/share/velmora/drive_c/Halvaro/Velmora"),
                  QStringLiteral("/usr/local/bin/VL3_Postique")),
              QStringLiteral("/usr/local/bin/VL3_Postique"));
    EXPECT_EQ(Lib_Systeme::StartupEntryProgram(QStringLiteral("/opt/velmora"),
                                               QStringLiteral("/usr/bin/other")),
              QStringLiteral("/opt/velmora/VL3_Postique"));
    EXPECT_EQ(Lib_Systeme::StartupEntryProgram(QString(), QString()), QString());
}

TEST_F(ShellTest, EndOfEveryCopyIsOnlyRecordedUnderTests) {
    // Processes with a name of their own stand for running copies: one holds the marker of
    // this installation, the other belongs to another installation.
    const QString settings = home_.path() + QStringLiteral("/settings");
    ASSERT_TRUE(Lib_Systeme::HoldInstallationMarker(settings));
    const QString marker = settings + u'/' + QLatin1String(Lib_Systeme::InstallationMarkerName);
    const QString copy = home_.path() + QStringLiteral("/postique-probe");
    ASSERT_TRUE(QFile::copy(QStringLiteral("/bin/sh"), copy));
    QFile::setPermissions(copy, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QProcess same;
    QProcess other;
    // They wait on a read of their input, a builtin: a forked "sleep" would be one more
    // process of that name, holding the marker, until it has become "sleep".
    same.start(copy, {QStringLiteral("-c"), QStringLiteral("exec 3<'%1'; read x").arg(marker)});
    other.start(copy, {QStringLiteral("-c"), QStringLiteral("read x")});
    ASSERT_TRUE(same.waitForStarted(5000) && other.waitForStarted(5000));

    const QString name = QStringLiteral("postique-probe");
    QDeadlineTimer deadline(5000);
    while (Lib_Systeme::CopiesOfInstallation(name).isEmpty() && !deadline.hasExpired())
        QThread::msleep(10);
    EXPECT_EQ(Lib_Systeme::CopiesOfInstallation(name), QList<qint64>{same.processId()});
    EXPECT_EQ(Lib_Systeme::ProcessesNamed(name).size(), 2);

    const QString record = home_.path() + QStringLiteral("/record.txt");
    const QByteArray saved = qgetenv(Lib_Systeme::ProcessRecordVariable);
    qputenv(Lib_Systeme::ProcessRecordVariable, QFile::encodeName(record));
    Lib_Systeme::EndAllCopies(name);
    Lib_Systeme::ShutdownWindows(2);
    qputenv(Lib_Systeme::ProcessRecordVariable, saved);
    Lib_Systeme::ReleaseInstallationMarker();

    QFile f(record);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(QString::fromUtf8(f.readAll()),
              QStringLiteral("EndAllCopies postique-probe %1\nShutdownWindows 2\n")
                  .arg(same.processId()));
    EXPECT_EQ(same.state(), QProcess::Running) << "recorded, not done";
    for (QProcess* p : {&same, &other}) {
        p->kill();
        p->waitForFinished(5000);
    }
}

TEST_F(ShellTest, QuittingLeavesTheBackgroundServiceSending) {
    // Two copies of this installation started by the service manager: the background service
    // (no display) goes on sending once a window quits; a windowed one is ended. The quit
    // question says both.
    const QString settings = home_.path() + QStringLiteral("/settings");
    ASSERT_TRUE(Lib_Systeme::HoldInstallationMarker(settings));
    const QString marker = settings + u'/' + QLatin1String(Lib_Systeme::InstallationMarkerName);
    const QString name = QStringLiteral("VL3_Postique");
    ASSERT_TRUE(QFile::copy(QStringLiteral("/bin/sh"), home_.path() + u'/' + name));
    QFile::setPermissions(home_.path() + u'/' + name,
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QProcess service;
    QProcess windowed;
    for (QProcess* copy : {&service, &windowed}) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("INVOCATION_ID"), QStringLiteral("5f1e"));
        if (copy == &windowed)
            env.insert(QStringLiteral("DISPLAY"), QStringLiteral(":7"));
        copy->setProcessEnvironment(env);
        copy->start(home_.path() + u'/' + name,
                    {QStringLiteral("-c"), QStringLiteral("exec 3<'%1'; read x").arg(marker)});
        ASSERT_TRUE(copy->waitForStarted(5000));
    }
    QDeadlineTimer deadline(5000);
    while (Lib_Systeme::CopiesOfInstallation(name).size() < 2 && !deadline.hasExpired())
        QThread::msleep(10);
    EXPECT_EQ(Lib_Systeme::CopiesToEnd(name), QList<qint64>{windowed.processId()});
    EXPECT_EQ(Frm_Main::QuitQuestion(),
              QStringLiteral("Voulez-vous quitter le programme ?\n\nL'autre copie du programme "
                             "en marche pour cette installation sera arrêtée aussi.\n\nLe "
                             "service en arrière-plan continue d'envoyer les mails."));
    Lib_Systeme::ReleaseInstallationMarker();
    EXPECT_EQ(Frm_Main::QuitQuestion(), QStringLiteral("Voulez-vous quitter le programme ?"));
    for (QProcess* p : {&service, &windowed}) {
        p->kill();
        p->waitForFinished(5000);
    }
}

} // namespace
