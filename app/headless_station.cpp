// The station without a display: the window's start-up and unloading without their windows,
// and the poll timer ticking the station's job loop.
#include "app/headless_station.h"

#include "app/folders.h"
#include "app/headless.h"
#include "app/server_check.h"
#include "app/settings_file.h"
#include "app/stall_probe.h"
#include "app/startup.h"
#include "app/supervision_service.h"
#include "automation/jobs/incidents.h"
#include "mail/engine/mail_component.h"
#include "mail/engine/protocols.h"
#include "station/addresses.h"
#include "station/charsets.h"
#include "station/job_dispatch.h"
#include "station/job_loop.h"
#include "station/loop_runner.h"
#include "station/mail_builder.h"
#include "system/error_reporting.h"
#include "system/files.h"
#include "system/globals.h"
#include "system/ini.h"
#include "system/numbers.h"
#include "system/processes.h"
#include "system/registry.h"
#include "system/sysinfo.h"
#include "system/winpath.h"
#include "ui/server_panel.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QTimer>

#include <cstdio>

namespace HeadlessStation {

namespace {

const QString kLabel = QStringLiteral("Frm_Main:Form_Load");

// A stored check-box value as the page applies it: 0 off, 1 on, 2 grayed (which counts as
// on, as a grayed box does); anything else is refused and the box keeps its state.
void applyCheck(bool& box, const QString& stored) {
    const std::optional<qint16> value = Lib_Public::StoredNumber(stored);
    if (value && *value >= 0 && *value <= 2)
        box = *value != 0;
}

// The page's settings and the two flags of its sender's handler.
struct Page {
    station::SendingSettings s;
    bool fillUser = true;
    bool fillServer = true;

    // A well-known provider's host presets port 587, SSL and authentication.
    void wellKnownPreset() {
        if (!ServerPanel::IsWellKnownServer(s.server))
            return;
        s.port = QStringLiteral("587");
        s.ssl = true;
        s.auth = true;
    }
    void setServer(const QString& server) {
        if (server == s.server)
            return; // no change, no handler
        s.server = server;
        wellKnownPreset();
    }
    void setFrom(const QString& from) {
        if (from == s.from)
            return;
        s.from = from;
        QString name, address;
        Addresses::FnParseAddr(from, name, address);
        const qsizetype at = address.indexOf(QLatin1Char('@'));
        if (at < 0)
            return;
        if (fillUser)
            s.user = address;
        if (fillServer) {
            const QString host = ServerPanel::ProviderHostForDomain(address.mid(at + 1));
            if (!host.isEmpty())
                setServer(host);
            wellKnownPreset();
        }
    }
};

} // namespace

station::SendingSettings ReadSendingSettings(const QString& file) {
    const auto read = [&](const char* section, const char* key, const QString& fallback) {
        return Lib_Systeme::LectureIni(file, QString::fromLatin1(section), QString::fromLatin1(key),
                                       fallback);
    };
    const auto number = [](bool on) { return on ? QStringLiteral("1") : QStringLiteral("0"); };
    Page page;
    page.s.port = QStringLiteral("25");
    page.s.charset = CharsetRowFor(mail::MailMessage().charset());
    page.setServer(read("Serveur", "Serveur", QString()));
    page.fillServer = page.s.server.isEmpty();
    applyCheck(page.s.auth, read("Serveur", "Autentification", QStringLiteral("0")));
    page.s.user = read("Serveur", "User", QString());
    page.fillUser = page.s.user.isEmpty();
    page.s.password = read("Serveur", "PW", QString());
    const std::optional<qint16> protocol =
        Lib_Public::StoredNumber(read("Serveur", "Protocole", QString::number(page.s.protocol)));
    if (protocol && *protocol >= -1 && *protocol < static_cast<int>(mail::Protocols().size()) &&
        *protocol != page.s.protocol) {
        page.s.protocol = *protocol;
        const mail::ProtocolInfo* info = mail::FindProtocol(page.s.protocol);
        if (info && info->route == mail::Route::ExchangeWebServices)
            page.s.ssl = true;
    }
    applyCheck(page.s.ssl, read("Serveur", "ConnexionSSL", number(page.s.ssl)));
    applyCheck(page.s.sign, read("Envoi", "SignatureNumerique", number(page.s.sign)));
    applyCheck(page.s.encrypt, read("Envoi", "Crypter", number(page.s.encrypt)));
    page.s.jobFolder =
        Lib_Systeme::LectureIni(file, QStringLiteral("Dossiers"), Lib_Public::JobFolderKey(0),
                                Lib_Public::Sites[0].DossierData + QStringLiteral("_Postique\\"));
    page.setFrom(read("Email", "From", QString()));
    const QString port = read("Serveur", "Port", QString()).trimmed();
    bool ok = false;
    const int value = port.toInt(&ok);
    if (!port.isEmpty() && ok && value > 0 && value <= 65535)
        page.s.port = QString::number(value);
    const std::optional<qint16> method =
        Lib_Public::StoredNumber(read("OAuth2", "Methode", QStringLiteral("0")));
    page.s.oauth = method.value_or(0) == 1;
    return page.s;
}

int Run() {
    using Lib_Public::Trap;
    // A stop signal ends the station as a session's end ends the window; one that comes
    // during the start-up (a send to a silent server included) is acted on once it is over.
    bool signalPending = false;
    std::function<void()> stop;
    QString signalError;
    if (!Lib_Public::InstallShutdownSignals(
            [&](int) {
                if (Lib_Public::ArretEnCours)
                    return;
                Lib_Public::ArretEnCours = true;
                Lib_Public::QuitterDemande = true;
                if (stop)
                    stop();
                else
                    signalPending = true;
            },
            &signalError))
        std::fprintf(stderr, "VL3_Postique: signals: %s\n", signalError.toUtf8().constData());
    Trap(kLabel, [] {
        Lib_Public::DossierApplication =
            Startup::ApplicationFolder(QCoreApplication::applicationDirPath());
        if (const auto record = Lib_Systeme::CurrentOsVersion())
            Lib_Systeme::SetRegistryPlatformId(static_cast<qint32>(record->platformId));
        if (Lib_Public::DossierSettingsProgramme.trimmed().isEmpty())
            Lib_Public::NomDossierSettings();
    });
    // New incidents are kept on disk for the window of a later start.
    Trap(kLabel, [] {
        const QString folder = WinPath::nativePath(Lib_Public::DossierSettingsProgramme);
        if (!folder.isEmpty() && QDir().mkpath(folder))
            automation::setIncidentLogFolder(folder);
    });
    Trap(kLabel, [] { Lib_Public::InitGeneralPath(true); });
    Trap(kLabel, [] { Lib_Public::InitGeneralSite(true); });

    const QString file = Lib_Public::SettingsFilePath();
    station::SendingSettings saved = ReadSendingSettings(file);
    Trap(kLabel, [&] { Lib_Systeme::VerificationEtCreationRepertoire(saved.jobFolder, true); });
    Trap(kLabel, [] {
        QString error;
        if (!Lib_Systeme::HoldInstallationMarker(
                WinPath::nativePath(Lib_Public::DossierConfigGlobal[0]), &error))
            throw Lib_Public::RunTimeError(75, error);
    });
    Trap(kLabel,
         [] { Lib_Public::LigneDeCommande = QCoreApplication::arguments().mid(1).join(u' '); });

    // A new version is recorded, then announced once to the maker's support mailbox.
    Trap(kLabel, [&] {
        const QString running = Lib_Systeme::VersionApplication();
        const QString stored = Startup::StoredVersion();
        if (running == stored)
            return;
        if (const qint32 status = Startup::StoreVersion(running); status != 0) {
            Lib_Public::ReportError(kLabel, status,
                                    QStringLiteral("The version record could not be written; "
                                                   "no installation notice sent"));
            return;
        }
        const Startup::NoticeMail notice =
            Startup::InstallationNotice(Startup::SupportMailbox(), running, stored,
                                        Lib_Systeme::ComputerName(), saved.jobFolder);
        Sending::MailRequest request;
        request.fields = {notice.to,      notice.cc,   notice.cci,
                          notice.subject, notice.body, notice.attachments};
        request.settings = saved;
        request.oauthLogin = OAuthSettings::LoginOf(saved);
        Sending::Feedback feedback;
        feedback.report = [](const QString& text) {
            automation::postIncident(text, automation::IncidentKind::Warning);
        };
        const bool sent = Sending::BuildAndSend(request, feedback) == Sending::False;
        const QString what =
            QStringLiteral("Avis de nouvelle version (%1) %2 à %3 : « %4 »")
                .arg(running, sent ? QStringLiteral("envoyé") : QStringLiteral("non envoyé"),
                     notice.to, notice.subject);
        automation::postIncident(sent ? what : what + QStringLiteral(" ; il ne sera pas renvoyé"),
                                 automation::IncidentKind::Information);
    });
    Trap(kLabel, [&] { ServerCheck::TellOutlookOnce(saved); });
    Lib_Public::DemarrageTermine = true;

    // The poll timer: a cycle every 30 ticks, with the settings as saved; a settings file
    // written meanwhile (by a window of the same installation) is read again.
    QDateTime settingsTime = QFileInfo(WinPath::nativePath(file)).lastModified();
    // The station ends once no cycle runs: a cycle under way sees the stop request, lets the
    // answers already on their way come in and records them first. The cycles run on the job
    // loop's own thread, so the signals, the metrics and the supervision are answered
    // meanwhile.
    station::LoopRunner loop;
    const auto end = [] {
        // Quitting one copy quits all of them (the tests record this instead).
        Lib_Systeme::EndAllCopies(QString::fromUtf16(Startup::ExecutableName));
        QCoreApplication::quit();
    };
    QTimer timer;
    timer.setInterval(station::pollTickMs());
    QObject::connect(&timer, &QTimer::timeout, &timer, [&] {
        if (Lib_Public::QuitterDemande) {
            timer.stop();
            return;
        }
        if (const QDateTime now = QFileInfo(WinPath::nativePath(file)).lastModified();
            now != settingsTime) {
            settingsTime = now;
            saved = ReadSendingSettings(file);
        }
        station::LoopHost host;
        host.sendJob = [saved](std::shared_ptr<const automation::JobSheet> sheet,
                               const QString& folder, qint16& abandon) {
            return JobDispatch::SendJob(std::move(sheet), folder, saved, {}, abandon != 0);
        };
        timer.stop(); // no tick while a cycle runs
        loop.start([saved, host] { station::Tick(saved, false, host); },
                   [&] {
                       if (!Lib_Public::QuitterDemande)
                           timer.start();
                       else if (Lib_Public::ArretEnCours)
                           end();
                   });
    });
    timer.start();

    // A signal during the start-up is acted on now that it is over.
    stop = [&] {
        Supervision::NotifyStopping();
        timer.stop();
        if (!loop.busy())
            end();
    };
    if (signalPending || Lib_Public::QuitterDemande) {
        Lib_Public::ArretEnCours = true;
        Lib_Systeme::EndAllCopies(QString::fromUtf16(Startup::ExecutableName));
        return 0;
    }
    // The benchmark watches how long the event loop goes without running.
    Lib_Public::StartStallProbe(qEnvironmentVariable("POSTIQUE_STALL_PROBE"));
    std::fprintf(stderr, "VL3_Postique %s: started without a display\n",
                 Lib_Systeme::VersionApplication().toUtf8().constData());
    Supervision::StartService([&saved] { return saved; });
    return QCoreApplication::exec();
}

} // namespace HeadlessStation
