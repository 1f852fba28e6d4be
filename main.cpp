// Entry point of VL3_Postique: the mail module of the Velmora suite. Builds the main window
// and runs its start-up; with no display it runs headless on the offscreen platform.
#include "app/headless.h"
#include "app/job_check.h"
#include "app/oauth_panel.h"
#include "app/server_check.h"
#include "app/stall_probe.h"
#include "app/startup.h"
#include "app/supervision_service.h"
#include "automation/jobs/incidents.h"
#include "mail/engine/mail_component.h"
#include "system/globals.h"
#include "system/numbers.h"
#include "ui/frm_main.h"
#include "ui/msgbox.h"
#include "ui/screenshots.h"

#include <QApplication>
#include <QString>

#include <cstdio>
#include <cstring>

namespace {

void printUsage() {
    std::printf(
        "Usage: VL3_Postique [/Veille=True]\n"
        "  Velmora Postique: sends the mail jobs that the suite drops into its job folder.\n"
        "  /Veille=True   start asleep in the notification area\n"
        "  /Wait=MS       accepted (written by the start-up entry)\n"
        "  --check-server [ADDRESS]  connect with the saved settings as a send would, send\n"
        "                 nothing (exit 0 when a mail could be sent); with ADDRESS, also\n"
        "                 report the MTA-STS policy of its domain\n"
        "  --check-job FILE  tell what each row of a job file would send, send nothing\n"
        "                 (exit 1 when a row would be refused, 2 when it cannot be read)\n"
        "  --version      print the version and exit\n"
        "  --oauth-login  sign in to the OAuth 2.0 provider of the settings and exit\n"
        "  --status [--json]  print the running copy's state (exit 0 when it is alive and\n"
        "                 no job waits longer than the retry lifetime)\n"
        "  --help         print this text and exit\n"
        "Without DISPLAY and WAYLAND_DISPLAY the program runs headless; SIGTERM or SIGINT\n"
        "closes it without questions. Any other argument is refused (exit status 2).\n");
}

} // namespace

int main(int argc, char* argv[]) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("VL3_Postique %s\n",
                        Lib_Systeme::VersionApplication().toUtf8().constData());
            return 0;
        }
        if (std::strcmp(argv[i], "--help") == 0) {
            printUsage();
            return 0;
        }
        if (std::strcmp(argv[i], "--status") == 0) {
            QCoreApplication core(argc, argv);
            bool json = false;
            for (int j = 1; j < argc; ++j)
                json = json || std::strcmp(argv[j], "--json") == 0;
            return Supervision::StatusCommand(json);
        }
        if (std::strcmp(argv[i], "--oauth-login") == 0) {
            QCoreApplication core(argc, argv);
            return OAuthPanel::CommandLineSignIn();
        }
    }
    // The operator's checks run headless, print their report and leave.
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--check-job") == 0) {
            if (i + 1 >= argc) {
                printUsage();
                return 2;
            }
            QCoreApplication app(argc, argv);
            const auto report = automation::checkJobFile(QString::fromLocal8Bit(argv[i + 1]));
            for (const QString& line : report.lines)
                std::printf("%s\n", line.toUtf8().constData());
            return report.exitCode;
        }
        if (std::strcmp(argv[i], "--check-server") == 0) {
            if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
                qputenv("QT_QPA_PLATFORM", "offscreen");
            QApplication app(argc, argv);
            QApplication::setApplicationName(QStringLiteral("VL3_Postique"));
            Lib_Public::SetRunningHeadless(true);
            const bool given = i + 1 < argc && argv[i + 1][0] != '-';
            return ServerCheck::CommandLine(given ? QString::fromLocal8Bit(argv[i + 1])
                                                  : QString());
        }
    }
    // A mistyped option never starts a second sending copy by accident.
    {
        QStringList arguments;
        for (int i = 1; i < argc; ++i)
            arguments << QString::fromLocal8Bit(argv[i]);
        if (const QString unknown = Startup::FirstUnknownArgument(arguments); !unknown.isEmpty()) {
            std::fprintf(stderr, "VL3_Postique: argument inconnu : %s\n",
                         unknown.toLocal8Bit().constData());
            printUsage();
            return 2;
        }
    }
    if (Lib_Public::NoDisplayAvailable() && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("VL3_Postique"));
    QApplication::setApplicationVersion(Lib_Systeme::VersionApplication());
    // The program ends only through the unloading of its main window (which ends the event
    // loop itself), never because its visible windows happen to close while it sleeps.
    QApplication::setQuitOnLastWindowClosed(false);
    Lib_Public::SetRunningHeadless(MsgBox::headless());
    // Every incident is counted for the monitors; nobody sees the incidents list of a
    // headless program: its lines go to the journal or to standard error.
    automation::setIncidentEcho([headless = Lib_Public::RunningHeadless()](const QString& line) {
        Supervision::OnIncident(line, headless);
    });

    Frm_Main window;
    // A stop request ends the transfer in flight too, whatever the server does.
    mail::SetAbortFlag(&Lib_Public::QuitterDemande);

    // A signal during the start-up is acted on once the start-up is over.
    bool signalPending = false;
    QString signalError;
    if (!Lib_Public::InstallShutdownSignals(
            [&](int) {
                if (!Lib_Public::DemarrageTermine) {
                    signalPending = true;
                    return;
                }
                if (Frm_Main* main = Frm_Main::instance())
                    main->CloseFor(Frm_Main::AppWindows);
            },
            &signalError))
        std::fprintf(stderr, "VL3_Postique: signals: %s\n", signalError.toUtf8().constData());

    window.Form_Initialize();
    window.Form_Load();
    // The benchmark watches how long the window's event loop goes without running.
    Lib_Public::StartStallProbe(qEnvironmentVariable("POSTIQUE_STALL_PROBE"));

    // A hidden way to look at the window: save each page as a picture and leave.
    const QString shots = qEnvironmentVariable("POSTIQUE_SCREENSHOT_DIR");
    if (!shots.isEmpty()) {
        QString error;
        const bool saved = Screenshots::SavePages(window, shots, &error);
        if (!saved)
            std::fprintf(stderr, "VL3_Postique: screenshots: %s\n", error.toUtf8().constData());
        window.CloseFor(Frm_Main::AppWindows);
        return saved ? 0 : 1;
    }

    // Without a display this line is the only sign that the program is up and polling.
    if (Lib_Public::RunningHeadless())
        std::fprintf(stderr, "VL3_Postique %s: started without a display\n",
                     Lib_Systeme::VersionApplication().toUtf8().constData());

    if (signalPending)
        window.CloseFor(Frm_Main::AppWindows);
    if (window.isUnloaded())
        return 0;
    // Up and polling: the service manager and the monitors may rely on it from here.
    Supervision::StartService(window);
    return app.exec();
}
