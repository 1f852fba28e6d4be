// The start-up sequence: the order of its captions, what it leaves in the window, the sleep
// switch, the version record with its installation notice, and the executable itself
// starting headless and closing on a signal.
#include "app/folders.h"
#include "app/startup.h"
#include "system/error_reporting.h"
#include "system/globals.h"
#include "system/numbers.h"
#include "system/processes.h"
#include "system/sysinfo.h"
#include "system/winpath.h"
#include "ui/frm_main.h"
#include "ui/frm_mainbis.h"
#include "ui/mail_field.h"
#include "ui/sft_tabs.h"

#include "support/program_run.h"
#include "support/smtp_fixture.h"
#include "support/temp_prefix.h"
#include "system/supervision.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>

#include <gtest/gtest.h>

#include <csignal>
#include <optional>

using namespace testsupport;

namespace {

QString lf(QString text) {
    return text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
}

// A private prefix (registry hives, drives) and fresh start-up globals for each test.
class StartupFixture : public ::testing::Test {
protected:
    void SetUp() override {
        resetGlobals();
        // The program's own folder is a folder of the test, not the build tree.
        ASSERT_TRUE(QDir().mkpath(prefix_.path() + "/app"));
        Lib_Public::DossierApplication = WinPath::toWindows(prefix_.path() + "/app") + "\\";
        // Every handler runs as in the program, except the notice's transmission: the notice
        // is checked in the fields it is sent from.
        Frm_Main::SetHandlerHook([this](const QString& h) {
            handlers_ << h;
            return h != QStringLiteral("SendEmail");
        });
        Startup::SetProgressHook([this](const QString& c) { captions_ << c; });
    }
    void TearDown() override {
        Frm_Main::SetHandlerHook({});
        Startup::SetProgressHook({});
        resetGlobals();
    }
    static void resetGlobals() {
        Lib_Public::DemarrageTermine = false;
        Lib_Public::DemarrageEnVeille = false;
        Lib_Public::FenetreInitAffichee = false;
        Lib_Public::LigneDeCommande.clear();
        Lib_Public::DossierSettingsProgramme.clear();
        Lib_Public::DossierHistoProgramme.clear();
        Lib_Public::DossierConfigGlobal = {};
        Lib_Public::Sites = {};
        Lib_Public::ResetFolderDiscoveryForTests();
    }

    TempPrefix prefix_;
    QStringList handlers_;
    QStringList captions_;
};

} // namespace

TEST(StartupPieces, SleepSwitchAnyCaseAnywhere) {
    struct Case {
        const char* commandLine;
        bool asleep;
    };
    const Case cases[] = {
        {"/Veille=True", true},
        {"/veille=TRUE", true},
        {"/Wait=10000 /Veille=True", true},
        {"-x /VEILLE=true autre", true},
        {"/Veille=False", false},
        {"/Veille", false},
        {"/Veille=Tru", false},
        {"", false},
        {"/Wait=10000", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Startup::SleepSwitchRequested(c.commandLine), c.asleep) << c.commandLine;
}

TEST(StartupPieces, TitleNoticeAndTemplateTexts) {
    EXPECT_EQ(Startup::WindowTitle("2025.0109.1402", "Studio A"),
              "Velmora: Postique - 2025.0109.1402 - Studio A");
    EXPECT_EQ(Startup::WindowTitle("2025.0109.1402", ""), "Velmora: Postique - 2025.0109.1402 - ");
    EXPECT_EQ(Startup::BodyTemplate(), "De: [$from]\r\nA: [$to]\r\nObjet: [$subject]\r\n\r\n");

    struct Case {
        const char* previous;
        const char* body;
    };
    const Case cases[] = {
        {"", "Velmora Postique: Version mise en place (VL3_Postique) Version: 2025.0109.1402"
             "\r\n\r\nComputerName: poste1\r\n\r\nFolder: C:\\VL_Data\\_Postique\\"},
        {"   ", "Velmora Postique: Version mise en place (VL3_Postique) Version: 2025.0109.1402"
                "\r\n\r\nComputerName: poste1\r\n\r\nFolder: C:\\VL_Data\\_Postique\\"},
        {"2024.0101.0900",
         "Velmora Postique: Version mise en place (VL3_Postique) Version: 2025.0109.1402"
         " |Version précédente: 2024.0101.0900"
         "\r\n\r\nComputerName: poste1\r\n\r\nFolder: C:\\VL_Data\\_Postique\\"},
    };
    for (const Case& c : cases) {
        const Startup::NoticeMail m =
            Startup::InstallationNotice("support@example.com", "2025.0109.1402", c.previous,
                                        "poste1", "C:\\VL_Data\\_Postique\\");
        EXPECT_EQ(m.to, "support@example.com");
        EXPECT_EQ(m.subject, "MAJ Version: Velmora Postique");
        EXPECT_EQ(m.body, QString::fromUtf8(c.body)) << c.previous;
        EXPECT_TRUE(m.cc.isEmpty() && m.cci.isEmpty() && m.attachments.isEmpty());
    }
}

TEST(StartupPieces, ApplicationFolderFallsBackToTheSuiteFolder) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString shown = Startup::ApplicationFolder(dir.path());
    EXPECT_TRUE(shown.startsWith("Z:\\")) << shown.toStdString();
    EXPECT_TRUE(shown.endsWith(QDir(dir.path()).dirName() + "\\")) << shown.toStdString();
    EXPECT_FALSE(shown.endsWith("\\\\"));

    QFile file(dir.filePath("plain"));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.close();
    for (const QString& bad : {dir.filePath("missing"), dir.filePath("plain"), QString()})
        EXPECT_EQ(Startup::ApplicationFolder(bad), "C:\\Halvaro\\Velmora\\") << bad.toStdString();
}

TEST_F(StartupFixture, SequenceLeavesTheWindowReadyInOrder) {
    Frm_Main w;
    w.SftTabsMain->setTabAlert(Frm_Main::IncidentsTab, true);
    w.TexteBody->setPlainText("old");
    w.Attachments = QStringList{"/tmp/a", QString()};
    w.Form_Load();

    EXPECT_EQ(captions_, QStringList({"Postique: Init: General", "Postique: Init: InitGeneralPath",
                                      "Postique: Init: InitGeneralSite",
                                      "Postique: Init: Create Object", "Postique: Init: Display",
                                      "Postique: Init: Tableur", "Postique: Init: Fin"}));
    EXPECT_FALSE(Lib_Public::FenetreInitAffichee);
    EXPECT_EQ(Startup::StartupWindow(), nullptr) << "the start-up window is closed";

    EXPECT_TRUE(w.windowTitle().startsWith("Velmora: Postique - " +
                                           Lib_Systeme::VersionApplication() + " - "));
    EXPECT_FALSE(w.SftTabsMain->tabAlert(Frm_Main::IncidentsTab));
    EXPECT_TRUE(w.RemplirUtilisateur);
    EXPECT_TRUE(w.RemplirServeur);

    QStringList protocols;
    for (int i = 0; i < w.ListeProtocol->count(); ++i)
        protocols << w.ListeProtocol->itemText(i);
    EXPECT_EQ(protocols,
              QStringList({QString::fromUtf8("SMTP Protocol - Recommandé"),
                           "Exchange Web Service - 2007-2019/Office365",
                           "Exchange Web Dav - 2000/2003", "Microsoft Graph - Microsoft 365"}));
    QStringList ports;
    for (int i = 0; i < w.ListePort->count(); ++i)
        ports << w.ListePort->itemText(i);
    EXPECT_EQ(ports, QStringList({"25", "587", "465"}));
    EXPECT_EQ(w.ListePort->currentIndex(), 0);
    EXPECT_EQ(w.Attachments, QStringList{QString()});
    EXPECT_EQ(w.TexteBody->toPlainText(), lf(Startup::BodyTemplate()));

    EXPECT_FALSE(w.ParametresModifies) << "handlers raised while loading leave it clear";
    EXPECT_TRUE(w.isVisible());
    EXPECT_TRUE(w.TimerSendEmail->isActive());
    EXPECT_FALSE(w.TimerFlash->isActive());
    EXPECT_TRUE(Lib_Public::DemarrageTermine);
    EXPECT_FALSE(Lib_Public::DemarrageEnVeille) << "no switch on the test's command line";
    EXPECT_FALSE(Frm_MainBis::instance()->TimerVeille->isActive());
}

TEST_F(StartupFixture, TitleEndsWithTheStationName) {
    struct Case {
        const char* systemFile; // content of the suite system file, nullptr: none
        const char* station;
    };
    const Case cases[] = {
        {nullptr, ""},
        {"[Base_01]\r\nNom_Station=Studio A\r\n", "Studio A"},
    };
    for (const Case& c : cases) {
        resetGlobals();
        const QString systemFile = "C:\\Halvaro\\Velmora\\Config\\VL3_Systeme.ini";
        if (c.systemFile) {
            ASSERT_TRUE(prefix_.write(systemFile, c.systemFile));
        }
        Frm_Main w;
        w.Form_Load();
        EXPECT_EQ(w.windowTitle(),
                  Startup::WindowTitle(Lib_Systeme::VersionApplication(), c.station));
    }
}

TEST_F(StartupFixture, SleepSwitchEnablesTheSleepTimer) {
    Frm_Main w;
    QTimer* timer = Frm_MainBis::instance()->TimerVeille;
    EXPECT_FALSE(Startup::ApplySleepSwitch("/Wait=10000 /Veille=False"));
    EXPECT_FALSE(Lib_Public::DemarrageEnVeille);
    EXPECT_FALSE(timer->isActive());
    EXPECT_TRUE(Startup::ApplySleepSwitch("/Wait=10000 /veille=TRUE"));
    EXPECT_TRUE(Lib_Public::DemarrageEnVeille);
    EXPECT_TRUE(timer->isActive());
    timer->stop();
}

TEST_F(StartupFixture, FormInitializeTakesTheExecutableFolder) {
    Frm_Main w;
    w.Form_Initialize();
    EXPECT_EQ(Lib_Public::DossierApplication,
              Startup::ApplicationFolder(QCoreApplication::applicationDirPath()));
    EXPECT_TRUE(Lib_Public::DossierApplication.endsWith("\\"));
}

TEST_F(StartupFixture, VersionRecordDecidesTheNotice) {
    const QString running = Lib_Systeme::VersionApplication();
    struct Case {
        const char* stored; // nullptr: no record yet
        bool notice;
        const char* previousPart;
    };
    const Case cases[] = {
        {nullptr, true, nullptr},
        {"", true, nullptr},
        {"2024.0101.0900", true, "2024.0101.0900"},
        {"2099.1231.2359", true, "2099.1231.2359"}, // a lower version is announced too
        {"same", false, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.stored ? c.stored : "(none)");
        QFile::remove(prefix_.path() + "/user.reg");
        resetGlobals();
        handlers_.clear();
        const QString stored = c.stored == nullptr           ? QString()
                               : QString(c.stored) == "same" ? running
                                                             : QString::fromUtf8(c.stored);
        if (c.stored) {
            ASSERT_EQ(Startup::StoreVersion(stored), 0);
        }

        Frm_Main w;
        w.Form_Load();
        Frm_MainBis* bis = Frm_MainBis::instance();
        EXPECT_EQ(Startup::StoredVersion(), running);
        EXPECT_EQ(handlers_.count("SendEmail"), c.notice ? 1 : 0);
        if (!c.notice) {
            EXPECT_EQ(bis->TexteSubject->text(), "Test d'envoi de mail");
            EXPECT_TRUE(bis->TexteTo->text().isEmpty());
            continue;
        }
        const Startup::NoticeMail expected = Startup::InstallationNotice(
            Startup::SupportMailbox(), running, c.previousPart ? c.previousPart : "",
            Lib_Systeme::ComputerName(), w.TexteDossier[0]->text());
        EXPECT_EQ(bis->TexteTo->text(), QStringLiteral(POSTIQUE_SUPPORT_MAILBOX));
        EXPECT_TRUE(bis->TexteCc->text().isEmpty());
        EXPECT_TRUE(bis->TexteCci->text().isEmpty());
        EXPECT_TRUE(bis->TexteAttachments->toPlainText().isEmpty());
        EXPECT_EQ(bis->TexteSubject->text(), "MAJ Version: Velmora Postique");
        EXPECT_EQ(bis->TexteBody->toPlainText(), lf(expected.body));
        EXPECT_EQ(bis->TexteBody->toPlainText().contains(QString::fromUtf8("Version précédente")),
                  c.previousPart != nullptr);
    }
}

// What the notice sent to the maker, and where, is one line of information on the incidents
// page; one that could not go says so, since it is never sent again.
TEST_F(StartupFixture, TheNoticeIsSaidOnTheIncidentsPage) {
    SmtpServerOptions options;
    options.host = privateLoopbackAddress();
    options.port = 25;
    for (const bool serverUp : {true, false}) {
        SCOPED_TRACE(serverUp);
        QFile::remove(prefix_.path() + "/user.reg");
        resetGlobals();
        std::optional<SmtpServer> server;
        if (serverUp) {
            server.emplace(options);
            ASSERT_TRUE(server->isRunning()) << server->error().toStdString();
        }
        ASSERT_TRUE(prefix_.write("C:\\Halvaro\\Velmora\\Config\\VL3_Postique.ini",
                                  "[Serveur]\r\nServeur=" + options.host.toUtf8() +
                                      "\r\n[Email]\r\nFrom=postique@station.test\r\n"));
        Frm_Main::SetHandlerHook({});
        Frm_Main w;
        w.Form_Load();
        QStringList lines;
        for (int i = 0; i < w.ListeIncidents->count(); ++i)
            lines << w.ListeIncidents->item(i)->text();
        // The newest first (the lines of the run before come back from the log file).
        const QStringList notice = lines.filter("Avis de nouvelle version");
        ASSERT_FALSE(notice.isEmpty()) << lines.join('\n').toStdString();
        EXPECT_TRUE(notice[0].contains(" envoyé à " POSTIQUE_SUPPORT_MAILBOX " : « MAJ Version: "))
            << notice[0].toStdString();
        EXPECT_EQ(notice[0].contains("non envoyé"), !serverUp);
        EXPECT_EQ(Supervision::IncidentKind(notice[0].mid(21)), "notice");
        if (serverUp) {
            EXPECT_TRUE(waitUntil([&] { return server->messages().size() == 1; }, 10000));
            EXPECT_FALSE(w.SftTabsMain->tabAlert(Frm_Main::IncidentsTab)) << "no alert";
        }
    }
}

TEST_F(StartupFixture, UnwritableVersionRecordSendsNoNotice) {
    // A hive that is a folder cannot be written: announcing the version anyway would send
    // the notice again at every start.
    ASSERT_TRUE(QDir().mkpath(prefix_.path() + "/user.reg"));
    QStringList trace;
    Lib_Public::SetTraceHook([&](const QString& line) { trace << line; });
    Frm_Main w;
    w.Form_Load();
    Lib_Public::SetTraceHook({});
    EXPECT_EQ(handlers_.count("SendEmail"), 0);
    EXPECT_TRUE(trace.filter("Frm_Main:Form_Load").size() >= 1) << trace.join('\n').toStdString();
    EXPECT_TRUE(Lib_Public::DemarrageTermine) << "the start-up still ends";
}

TEST(Executable, StartsHeadlessAndClosesOnSignals) {
    for (int signalNumber : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(signalNumber);
        TempPrefix prefix;
        // The version is already recorded, so the start-up sends no notice.
        ASSERT_EQ(Startup::StoreVersion(Lib_Systeme::VersionApplication()), 0);

        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove("DISPLAY");
        env.remove("WAYLAND_DISPLAY");
        env.remove("QT_QPA_PLATFORM");
        env.insert("VELMORA_PREFIX", prefix.path());
        const QString record = prefix.path() + QStringLiteral("/process-record.txt");
        env.insert(QString::fromLatin1(Lib_Systeme::ProcessRecordVariable), record);
        QProcess process;
        process.setProcessEnvironment(env);
        process.setWorkingDirectory(prefix.path());
        process.setReadChannel(QProcess::StandardError);
        process.start(QStringLiteral(POSTIQUE_EXECUTABLE), {});
        ASSERT_TRUE(process.waitForStarted(30000));

        // The program says on standard error when its start-up is over.
        QByteArray err;
        while (!err.contains("started") && process.waitForReadyRead(30000))
            err += process.readAllStandardError();
        ASSERT_TRUE(err.contains("started")) << err.toStdString();

        ::kill(static_cast<pid_t>(process.processId()), signalNumber);
        const bool ended = process.waitForFinished(30000);
        if (!ended)
            process.kill();
        ASSERT_TRUE(ended) << "the program did not close on the signal";
        EXPECT_EQ(process.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(process.exitCode(), 0);
        // The unloading ended every copy (recorded here instead of done).
        QFile recorded(record);
        ASSERT_TRUE(recorded.open(QIODevice::ReadOnly));
        EXPECT_TRUE(recorded.readAll().startsWith("EndAllCopies VL3_Postique"));
    }
}
