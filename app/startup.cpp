// The start-up sequence of the main window: folders, progress window, lists, settings,
// command-line switch, version record and installation notice, in their fixed order. Every
// step is trapped on its own so that a failing step never stops the start-up.
#include "app/startup.h"
#include "app/server_check.h"

#include "app/folders.h"
#include "app/look.h"
#include "automation/jobs/incident_log.h"
#include "automation/jobs/incidents.h"
#include "mail/engine/protocols.h"
#include "station/job_dispatch.h"
#include "system/error_reporting.h"
#include "system/globals.h"
#include "system/numbers.h"
#include "system/paths.h"
#include "system/processes.h"
#include "system/registry.h"
#include "system/station.h"
#include "system/sysinfo.h"
#include "system/winpath.h"
#include "ui/frm_main.h"
#include "ui/frm_mainbis.h"
#include "ui/frm_msg.h"
#include "ui/mail_field.h"
#include "ui/sft_tabs.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QStringList>
#include <QTimer>

#include <memory>

namespace Startup {

namespace {

// Incident lines brought back from disk at start-up, at most.
constexpr int kRestoredIncidents = 1000;

std::function<void(const QString&)>& progressHook() {
    static std::function<void(const QString&)> hook;
    return hook;
}

// The start-up message window, alive from InitGeneral until the end of the captions.
std::unique_ptr<FrmMsg>& startupWindow() {
    static std::unique_ptr<FrmMsg> window;
    return window;
}

QString versionKey() {
    return QString::fromUtf16(ApplicationSettingsKey) + u'\\' + QString::fromUtf16(ExecutableName) +
           u'\\' + QString::fromUtf16(VersionSection);
}

} // namespace

QString SupportMailbox() {
    return JobDispatch::SupportMailbox();
}

QString ApplicationFolder(const QString& nativeExecutableFolder) {
    const QFileInfo info(nativeExecutableFolder);
    if (nativeExecutableFolder.isEmpty() || !info.isDir() || !info.isWritable())
        return QString::fromUtf16(SuiteFolder);
    return Lib_Public::CheckRep(WinPath::toWindows(info.absoluteFilePath()));
}

QString FirstUnknownOption(const QStringList& arguments) {
    static const QStringList kKnown = {
        QStringLiteral("--help"),         QStringLiteral("--version"),
        QStringLiteral("--check-server"), QStringLiteral("--oauth-login"),
        QStringLiteral("--status"),       QStringLiteral("--json"),
        QStringLiteral("--queue"),        QStringLiteral("--retry-now"),
        QStringLiteral("--hold"),         QStringLiteral("--release"),
        QStringLiteral("--drop")};
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString& argument = arguments[i];
        if (argument == QStringLiteral("--check-job")) {
            ++i; // its file may have any name
            continue;
        }
        if (argument.startsWith(QStringLiteral("--")) && !kKnown.contains(argument))
            return argument;
    }
    return QString();
}

bool SleepSwitchRequested(const QString& commandLine) {
    return commandLine.contains(QStringLiteral("/Veille=True"), Qt::CaseInsensitive);
}

bool ApplySleepSwitch(const QString& commandLine) {
    if (!SleepSwitchRequested(commandLine))
        return false;
    Lib_Public::DemarrageEnVeille = true;
    if (Frm_MainBis* bis = Frm_MainBis::instance())
        bis->TimerVeille->start();
    return true;
}

QString WindowTitle(const QString& version, const QString& station) {
    return QStringLiteral("Velmora: Postique") + QStringLiteral(" - ") + version +
           QStringLiteral(" - ") + station;
}

QString BodyTemplate() {
    return QStringLiteral("De: [$from]\r\nA: [$to]\r\nObjet: [$subject]\r\n\r\n");
}

NoticeMail InstallationNotice(const QString& supportMailbox, const QString& version,
                              const QString& previous, const QString& computer,
                              const QString& jobFolder) {
    NoticeMail mail;
    mail.to = supportMailbox;
    mail.subject = QStringLiteral("MAJ Version: ") + QString::fromUtf16(ProductName);
    mail.body = QString::fromUtf16(ProductName) + QStringLiteral(": Version mise en place (") +
                QString::fromUtf16(ExecutableName) + QStringLiteral(") Version: ") + version;
    if (!previous.trimmed().isEmpty())
        mail.body += QStringLiteral(" |Version précédente: ") + previous;
    mail.body += QStringLiteral("\r\n\r\nComputerName: ") + computer;
    mail.body += QStringLiteral("\r\n\r\nFolder: ") + jobFolder;
    return mail;
}

QString StoredVersion() {
    QString value;
    if (Lib_Systeme::Reg_GetValue(Lib_Systeme::HKEY_CURRENT_USER, versionKey(),
                                  QString::fromUtf16(VersionValue), value) != 0)
        return QString();
    return value;
}

qint32 StoreVersion(const QString& version) {
    return Lib_Systeme::Reg_SetValue(Lib_Systeme::HKEY_CURRENT_USER, versionKey(),
                                     QString::fromUtf16(VersionValue), version,
                                     Lib_Systeme::REG_SZ);
}

void OpenStartupWindow() {
    auto window = std::make_unique<FrmMsg>();
    window->Form_Load();
    window->show();
    startupWindow() = std::move(window);
}

void CloseStartupWindow() {
    startupWindow().reset();
}

FrmMsg* StartupWindow() {
    return startupWindow().get();
}

void SetProgressHook(std::function<void(const QString&)> hook) {
    progressHook() = std::move(hook);
}

void ShowProgress(const QString& caption) {
    if (!Lib_Public::FenetreInitAffichee)
        return;
    if (FrmMsg* window = startupWindow().get())
        window->LabelMsgInit->setText(caption);
    if (progressHook())
        progressHook()(caption);
    QCoreApplication::processEvents();
}

} // namespace Startup

using Lib_Public::Trap;

void Frm_Main::Form_Initialize() {
    const QString label = QStringLiteral("Frm_Main:Form_Initialize");
    // The controls take the platform's visual style by themselves; the suite's look is
    // applied by the look code during the load.
    Trap(label, [] {
        Lib_Public::DossierApplication =
            Startup::ApplicationFolder(QCoreApplication::applicationDirPath());
    });
}

void Frm_Main::Form_Load() {
    const QString label = QStringLiteral("Frm_Main:Form_Load");
    // The poller's timer is enabled in the window's design: it runs from the load on and
    // waits for DemarrageTermine.
    Trap(label, [&] { TimerSendEmail->start(); });

    // The named mutex "Velmora 3.4" of the suite was never tested by anyone and guarded
    // nothing; a second copy starts normally, so there is nothing to create here.

    Trap(label, [] {
        qint32 style = -1;
        Lib_Look::InitGeneralLook(style);
    });

    Trap(label, [&] { InitGeneral(); });

    Trap(label, [] { Startup::ShowProgress(QStringLiteral("Postique: Init: Create Object")); });
    Trap(label, [] { Startup::ShowProgress(QStringLiteral("Postique: Init: Display")); });
    Trap(label, [&] { Lib_Public::PositionFeuille(this, QString()); });
    Trap(label, [] { Startup::ShowProgress(QStringLiteral("Postique: Init: Tableur")); });
    Trap(label, [] { Startup::ShowProgress(QStringLiteral("Postique: Init: Fin")); });

    Trap(label, [] {
        if (Lib_Public::FenetreInitAffichee) {
            Startup::CloseStartupWindow();
            Lib_Public::FenetreInitAffichee = false;
        }
    });

    Trap(label, [&] {
        show();
        QCoreApplication::processEvents();
    });

    Trap(label,
         [] { Lib_Public::LigneDeCommande = QCoreApplication::arguments().mid(1).join(u' '); });

    Trap(label, [] { Startup::ApplySleepSwitch(Lib_Public::LigneDeCommande); });

    // Version tracking: a version that differs from the one recorded for this user account
    // is recorded first, then announced once to the maker's support mailbox.
    Trap(label, [&] {
        const QString running = Lib_Systeme::VersionApplication();
        const QString stored = Startup::StoredVersion();
        if (running == stored)
            return;
        const qint32 status = Startup::StoreVersion(running);
        if (status != 0) {
            // Announcing without recording would send the notice again at every start.
            Lib_Public::ReportError(label, status,
                                    QStringLiteral("The version record could not be written; "
                                                   "no installation notice sent"));
            return;
        }
        Frm_MainBis* bis = Frm_MainBis::instance();
        if (!bis)
            throw Lib_Public::RunTimeError(91, QStringLiteral("Frm_MainBis is not loaded"));
        const Startup::NoticeMail notice = Startup::InstallationNotice(
            Startup::SupportMailbox(), running, stored, Lib_Systeme::ComputerName(),
            WinPath::fromScreen(TexteDossier[0]->text()));
        bis->TexteTo->setText(notice.to);
        bis->TexteCc->setText(notice.cc);
        bis->TexteCci->setText(notice.cci);
        bis->TexteSubject->setText(notice.subject);
        bis->TexteBody->setPlainText(notice.body);
        bis->TexteAttachments->setPlainText(notice.attachments);
        qint16 abandon = 0;
        if (!runHandler(QStringLiteral("SendEmail")))
            return;
        SendEmail(bis, 0, abandon);
        // The operator sees what left the station for the maker, and where to; a line of
        // information, which raises no alert.
        const QString what =
            QStringLiteral("Avis de nouvelle version (%1) %2 à %3 : « %4 »")
                .arg(running,
                     abandon == 0 ? QStringLiteral("envoyé") : QStringLiteral("non envoyé"),
                     notice.to, notice.subject);
        automation::postIncident(abandon == 0 ? what
                                              : what + QStringLiteral(" ; il ne sera pas renvoyé"),
                                 automation::IncidentKind::Information);
    });

    // A sending path that a hosted service's deadline will break is told before it breaks.
    Trap(label, [&] { ServerCheck::TellOutlookOnce(*this); });

    Lib_Public::DemarrageTermine = true;
}

void Frm_Main::InitGeneral() {
    const QString label = QStringLiteral("Frm_Main:InitGeneral");
    Trap(label, [&] { Lib_Look::LookFenetre(this); });

    Trap(label, [] {
        Startup::OpenStartupWindow();
        Lib_Public::FenetreInitAffichee = true;
        QCoreApplication::processEvents();
    });

    Trap(label, [] { Startup::ShowProgress(QStringLiteral("Postique: Init: General")); });
    Trap(label, [&] { InitGeneralSysteme(); });
    // The incidents of the last days come back into the list, and new ones are kept on disk.
    Trap(label, [&] {
        const QString folder = WinPath::nativePath(Lib_Public::DossierSettingsProgramme);
        if (folder.isEmpty())
            return;
        QDir().mkpath(folder);
        for (const QString& line : automation::readIncidentLog(folder, Startup::kRestoredIncidents))
            ListeIncidents->insertItem(0, line);
        automation::setIncidentLogFolder(folder);
    });

    Trap(label, [] { Startup::ShowProgress(QStringLiteral("Postique: Init: InitGeneralPath")); });
    Trap(label, [] { Lib_Public::InitGeneralPath(true); });
    Trap(label, [] { Startup::ShowProgress(QStringLiteral("Postique: Init: InitGeneralSite")); });
    Trap(label, [] { Lib_Public::InitGeneralSite(true); });

    Trap(label, [&] {
        setWindowTitle(
            Startup::WindowTitle(Lib_Systeme::VersionApplication(), Lib_Public::NomStation()));
    });

    Trap(label, [&] { SftTabsMain->setTabAlert(IncidentsTab, false); });

    Trap(label, [&] {
        RemplirUtilisateur = true;
        RemplirServeur = true;
    });

    Trap(label, [&] { InitGeneralCharset(); });

    Trap(label, [&] {
        ListeProtocol->clear();
        for (const mail::ProtocolInfo& protocol : mail::Protocols())
            ListeProtocol->addItem(QString::fromUtf8(protocol.label));
        ListeProtocol->setCurrentIndex(0);
    });

    Trap(label, [&] {
        ListePort->clear();
        ListePort->addItems({QStringLiteral("25"), QStringLiteral("587"), QStringLiteral("465")});
        ListePort->setCurrentIndex(0);
    });

    Trap(label, [&] { Attachments = QStringList{QString()}; });

    Trap(label, [&] { TexteBody->setPlainText(Startup::BodyTemplate()); });

    Trap(label, [&] { LoadSettingsFile(); });

    // The copies of this installation (this settings folder) know each other by this marker
    // when one of them ends the others.
    Trap(label, [&] {
        QString error;
        if (!Lib_Systeme::HoldInstallationMarker(
                WinPath::nativePath(Lib_Public::DossierConfigGlobal[0]), &error))
            throw Lib_Public::RunTimeError(75, error);
    });

    ParametresModifies = false;
}

void Frm_Main::InitGeneralSysteme() {
    const QString label = QStringLiteral("Frm_Main:InitGeneralSysteme");
    Trap(label, [] {
        // The registry helpers resolve root 0 with the platform of the version record.
        if (const auto record = Lib_Systeme::CurrentOsVersion())
            Lib_Systeme::SetRegistryPlatformId(static_cast<qint32>(record->platformId));
    });
    Trap(label, [] {
        if (Lib_Public::DossierSettingsProgramme.trimmed().isEmpty())
            Lib_Public::NomDossierSettings();
    });
}
