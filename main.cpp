// Entry point of VL3_Postique: the mail module of the Velmora suite. Builds the main window
// and runs its start-up; with no display the station runs alone, without any window.
#include "app/headless.h"
#include "app/headless_station.h"
#include "app/job_check.h"
#include "app/look.h"
#include "app/oauth_panel.h"
#include "app/queue_command.h"
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
#include <unistd.h>

namespace {

void printUsage() {
    std::printf(
        "Usage : VL3_Postique [/Veille=True]\n"
        "  Postique Velmora : envoie les mails des jobs que la suite dépose dans son dossier\n"
        "  partagé.\n"
        "  /Veille=True      démarrer en veille dans la zone de notification\n"
        "  /Wait=MS          accepté (écrit par le lancement au démarrage de session)\n"
        "  --check-server [ADRESSE]  se connecter au serveur avec les paramètres enregistrés,\n"
        "                    comme pour un envoi, sans rien envoyer (code 0 si un mail peut\n"
        "                    partir) ; avec ADRESSE, dire aussi la politique MTA-STS de son\n"
        "                    domaine\n"
        "  --check-job FICHIER  dire ce que chaque ligne d'un job enverrait, sans rien envoyer\n"
        "                    (code 1 si une ligne serait refusée, 2 si le job est illisible)\n"
        "  --version         afficher la version et quitter\n"
        "  --oauth-login     se connecter au fournisseur OAuth 2.0 des paramètres et quitter\n"
        "  --status [--json] dire l'état de la copie en marche (code 0 si elle est vivante et\n"
        "                    qu'aucun job n'attend plus longtemps que sa durée de reprise)\n"
        "  --queue [--json]  lister les lignes en attente : job, ligne, destinataires, état\n"
        "                    (waiting, held, in_flight), raison, essais, prochain essai,\n"
        "                    destination ; sans copie en marche, lu dans les journaux\n"
        "  --retry-now [JOB|DESTINATION]  essayer tout de suite ces lignes (toutes sans nom)\n"
        "  --hold DESTINATION    ne plus rien envoyer à cette destination (même après un\n"
        "                    redémarrage) jusqu'à --release DESTINATION\n"
        "  --drop JOB:LIGNE  retirer une ligne de la file (vers « Mails non envoyés »)\n"
        "                    Codes : 0 fait, 2 arguments incorrects, 3 aucune copie en\n"
        "                    marche, 4 rien ne correspond\n"
        "  --help            afficher ce texte et quitter\n"
        "Sans DISPLAY ni WAYLAND_DISPLAY, le programme tourne sans fenêtre ; SIGTERM, SIGINT\n"
        "ou SIGHUP le ferment sans question. Les autres mots sont ignorés ; une option en\n"
        "--… inconnue est refusée (code 2).\n");
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
    // A mistyped option never starts a second sending copy by accident; other words are
    // ignored, as the suite's launchers expect.
    {
        QStringList arguments;
        for (int i = 1; i < argc; ++i)
            arguments << QString::fromLocal8Bit(argv[i]);
        if (const QString unknown = Startup::FirstUnknownOption(arguments); !unknown.isEmpty()) {
            std::fprintf(stderr, "VL3_Postique: option inconnue : %s\n",
                         unknown.toLocal8Bit().constData());
            printUsage();
            return 2;
        }
        // The queue commands talk to the running copy, or read the journals, and leave.
        if (!QueueCommand::Find(arguments).isEmpty()) {
            QCoreApplication core(argc, argv);
            return QueueCommand::Run(arguments);
        }
    }
    // No display: the station alone on the core application, no window and no platform plugin.
    // Every incident is counted for the monitors and goes to the journal or standard error.
    if (Lib_Public::NoDisplayAvailable() && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") &&
        qEnvironmentVariableIsEmpty("POSTIQUE_SCREENSHOT_DIR")) {
        QCoreApplication core(argc, argv);
        QCoreApplication::setApplicationName(QStringLiteral("VL3_Postique"));
        QCoreApplication::setApplicationVersion(Lib_Systeme::VersionApplication());
        Lib_Public::SetRunningHeadless(true);
        automation::setIncidentEcho(
            [](const automation::Incident& incident) { Supervision::OnIncident(incident, true); });
        // A stop request ends the transfer in flight too, whatever the server does.
        mail::SetAbortFlag(&Lib_Public::QuitterDemande);
        return HeadlessStation::Run();
    }

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("VL3_Postique"));
    QApplication::setApplicationVersion(Lib_Systeme::VersionApplication());
    // The toolkit's own texts (standard buttons, file dialogs) in French, like the program's.
    const auto frenchTexts = Lib_Look::InstallFrenchTranslations();
    // The program ends only through the unloading of its main window (which ends the event
    // loop itself), never because its visible windows happen to close while it sleeps.
    QApplication::setQuitOnLastWindowClosed(false);
    Lib_Public::SetRunningHeadless(MsgBox::headless());
    // Every incident is counted for the monitors; nobody sees the incidents list of a
    // headless program: its lines go to the journal or to standard error.
    automation::setIncidentEcho(
        [headless = Lib_Public::RunningHeadless()](const automation::Incident& incident) {
            Supervision::OnIncident(incident, headless);
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

    // The display going away without a SIGHUP (the X server ended) ends the program as a
    // session's end does, shutdown steps included; the toolkit alone would leave at once with
    // status 1. Nothing that needs the display can run any more, the event loop included.
    Lib_Public::InstallDisplayLossHandler([&window] {
        std::fprintf(stderr, "VL3_Postique: the display went away; ending as at a session's end\n");
        window.UnloadWithoutDisplay();
        std::fflush(nullptr);
        ::_exit(0);
    });

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
    Supervision::StartService([&window] { return window.SavedSettings; });
    return app.exec();
}
