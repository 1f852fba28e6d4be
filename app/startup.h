// The start-up sequence's own pieces: the executable's folder, the sleep switch, the window
// title, the compose template, the version record and the installation notice mail.
// The sequence itself is Frm_Main::Form_Initialize / Form_Load (app/startup.cpp).
#pragma once

#include <QString>

#include <functional>

class FrmMsg;

namespace Startup {

// Product name and executable base name as the notice mail and the title write them.
inline constexpr char16_t ProductName[] = u"Velmora Postique";
inline constexpr char16_t ExecutableName[] = u"VL3_Postique";

// The version record lives in the current user's application-settings store: below
// HKEY_CURRENT_USER, key ApplicationSettingsKey + "\" + application + "\" + section.
// For this program: "Software\Halvaro\Velmora\Applications\VL3_Postique\Versions",
// text value "AppVersion".
inline constexpr char16_t ApplicationSettingsKey[] = u"Software\\Halvaro\\Velmora\\Applications";
inline constexpr char16_t VersionSection[] = u"Versions";
inline constexpr char16_t VersionValue[] = u"AppVersion";

// The suite's own folder, used as the program's folder when the executable's folder cannot
// be written (an installation in /usr/bin, for example).
inline constexpr char16_t SuiteFolder[] = u"C:\\Halvaro\\Velmora\\";

// The mailbox that receives the installation notice: the support mailbox of the routing rule.
QString SupportMailbox();

// The folder text of the program: the Windows text ("Z:\...", or "C:\..." inside the
// prefix's C: drive) of the native folder `nativeExecutableFolder`, with one trailing "\",
// when that folder is writable; SuiteFolder otherwise. Never fails.
QString ApplicationFolder(const QString& nativeExecutableFolder);

// The first option among `arguments` (without the program name) that the program does not
// know, or "" when there is none. Only a word written with a leading "--" is an option: its own
// are --help, --version, --check-server, --check-job FILE, --oauth-login, --status, --json and
// the queue commands --queue, --retry-now, --hold, --release and --drop.
// Every other word (the switches /Veille=... and /Wait=..., a word a launcher of the suite
// adds, the toolkit's -platform NAME ...) is not looked at, so a launcher that passes
// something extra still starts the program.
QString FirstUnknownOption(const QStringList& arguments);

// True when `commandLine` holds "/Veille=True" anywhere, compared without regard to case.
bool SleepSwitchRequested(const QString& commandLine);

// The start-asleep switch: when `commandLine` asks for it, sets DemarrageEnVeille and
// enables TimerVeille of Frm_MainBis (which puts the program to sleep once the main window
// is visible). Returns whether the switch was found.
bool ApplySleepSwitch(const QString& commandLine);

// "Velmora: Postique - <version> - <station>"; an empty station leaves the title ending
// in " - ".
QString WindowTitle(const QString& version, const QString& station);

// The compose panel's body template: "De: [$from]", "A: [$to]", "Objet: [$subject]" on
// three CR LF lines, then an empty line.
QString BodyTemplate();

// The six fields of the installation notice.
struct NoticeMail {
    QString to;
    QString cc;
    QString cci;
    QString subject;
    QString body;
    QString attachments;
};

// The installation notice for `version`, sent to `supportMailbox`: subject
// "MAJ Version: Velmora Postique"; body "Velmora Postique: Version mise en place
// (VL3_Postique) Version: <version>", then " |Version précédente: <previous>" when
// `previous` is not blank, then two CR LF, "ComputerName: <computer>", two CR LF and
// "Folder: <jobFolder>".
NoticeMail InstallationNotice(const QString& supportMailbox, const QString& version,
                              const QString& previous, const QString& computer,
                              const QString& jobFolder);

// The version text stored in the version record ("" when missing or unreadable).
QString StoredVersion();

// Stores `version` in the version record. Returns the registry status (0 = success).
qint32 StoreVersion(const QString& version);

// Called with each progress caption as it is shown (tests); empty function: no hook.
void SetProgressHook(std::function<void(const QString& caption)> hook);

// The start-up message window: loaded and shown by InitGeneral, unloaded once the progress
// captions are over. StartupWindow() is nullptr while it is not open.
void OpenStartupWindow();
void CloseStartupWindow();
FrmMsg* StartupWindow();

// Used by the start-up sequence: shows `caption` on the start-up window when it is shown,
// tells the hook, and lets pending events run once so the caption is painted.
void ShowProgress(const QString& caption);

} // namespace Startup
