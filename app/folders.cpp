// Discovery of the suite's folders and of the program's own settings folder.
#include "app/folders.h"

#include "system/error_reporting.h"
#include "system/files.h"
#include "system/globals.h"
#include "system/ini.h"
#include "system/numbers.h"
#include "system/paths.h"
#include "system/sysinfo.h"
#include "system/winpath.h"
#include "ui/msgbox.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QStringList>

namespace {

const QString kConfigFileName = QStringLiteral("Settings\\VL3_Config.ini");
const QString kSystemFileName = QStringLiteral("VL3_Systeme.ini");
const QString kDefaultConfigFolder = QStringLiteral("C:\\Halvaro\\Velmora\\Config\\");
const QString kDefaultLocalFolder = QStringLiteral("C:\\Halvaro\\Velmora\\Settings\\_Local\\");
const QString kDefaultLogFolder = QStringLiteral("C:\\RodovOzo\\");
const QString kDefaultDataFolder = QStringLiteral("C:\\VL_Data\\");
const QString kProgramName = QStringLiteral("VL3_Postique");

// The one base of the suite this program serves, and its site index.
constexpr qint16 kBase = 1;

// Cached result of DetermineDossierConfig; empty until the first call.
QString& cachedConfigPath() {
    static QString path;
    return path;
}

// Folders already answered by FolderFound, in the order they were met.
struct FolderCache {
    QStringList present;
    QStringList missing;
};
FolderCache& folderCache() {
    static FolderCache cache;
    return cache;
}

bool containsFolder(const QStringList& list, const QString& folder) {
    return list.contains(folder, Qt::CaseInsensitive);
}

// True when the Windows folder text names an existing directory.
bool folderOnDisk(const QString& folder) {
    const WinPath::Translation t = WinPath::toNative(folder);
    return t.ok && QFileInfo(t.native).isDir();
}

void createFolder(const QString& folder) {
    Lib_Systeme::VerificationEtCreationRepertoire(folder, true);
}

// "Base_01" and the like.
QString numbered(const QString& prefix, qint16 number) {
    return prefix + Lib_Public::N2S(number, 2, 0, QStringLiteral("0"));
}

} // namespace

namespace Lib_Public {

QString DetermineDossierConfig() {
    const QString label = QStringLiteral("Lib_Public:DetermineDossierConfig");
    QString& cached = cachedConfigPath();
    if (!cached.isEmpty())
        return cached;
    QString path;
    Trap(label, [] {
        if (Lib_Systeme::WindowsGeneration == 0)
            Lib_Systeme::GetOSDisplayString();
    });
    Trap(label, [&] {
        ConfigSuiteTrouvee = true;
        path = DossierApplication + kConfigFileName;
    });
    Trap(label, [&] {
        // Current systems always carry the suite file next to the program; only the old
        // ones are checked and warned about.
        const qint32 generation = Lib_Systeme::WindowsGeneration;
        if (generation >= 6 && generation <= 12)
            return;
        if (!Lib_Systeme::File_Exist(path, label, false)) {
            ConfigSuiteTrouvee = false;
            MsgBox::Show(QStringLiteral("Fichier de configuration non trouvé: \r\n\r\n") + path,
                         MsgBox::Icon::Information);
        }
    });
    cached = path;
    return path;
}

QString DetermineDossierConfig_Bases_Dossier(const QString& FichierConfig, qint16 NumeroBase,
                                             bool PrioriteBase) {
    const QString label = QStringLiteral("Lib_Public:DetermineDossierConfig_Bases_Dossier");
    const QString key = QStringLiteral("Dossier_Config_Global");
    const QString site = QStringLiteral("Site");
    QString folder;
    Trap(label, [&] {
        const QString base = numbered(QStringLiteral("Base_"), NumeroBase);
        if (ConfigSuiteTrouvee) {
            const auto readBase = [&] {
                return Lib_Systeme::LectureIni(FichierConfig, base, key, kDefaultConfigFolder);
            };
            const auto readSite = [&] {
                return Lib_Systeme::LectureIni(FichierConfig, site, key, QString());
            };
            folder = PrioriteBase ? readBase() : readSite();
            if (folder.trimmed().isEmpty())
                folder = PrioriteBase ? readSite() : readBase();
        } else {
            folder = Lib_Systeme::LectureIni(FichierConfig, QStringLiteral("Halvaro"),
                                             numbered(QStringLiteral("Ini_Base_"), NumeroBase),
                                             QString());
        }
        folder = CheckRep(folder);
    });
    return folder;
}

void InitGeneralPath(bool /*Flag*/) {
    const QString label = QStringLiteral("Lib_Public:InitGeneralPath");
    Trap(label, [] { FichierConfigSuite = DetermineDossierConfig(); });
    Trap(label, [] {
        DossierConfigGlobal[0] =
            DetermineDossierConfig_Bases_Dossier(FichierConfigSuite, kBase, true);
    });
    Trap(label, [] {
        if (!Lib_Systeme::FolderFound(DossierConfigGlobal[0]))
            createFolder(DossierConfigGlobal[0]);
    });
}

QString DetermineFichierSysteme(int Site) {
    const QString label = QStringLiteral("Lib_Public:DetermineFichierSysteme");
    QString folder;
    Trap(label, [&] {
        if (Site < 0 || Site >= static_cast<int>(DossierConfigGlobal.size()))
            throw RunTimeError(9, QStringLiteral("Subscript out of range"));
        if (DossierConfigGlobal[Site].trimmed().isEmpty())
            InitGeneralPath(true);
        folder = DossierConfigGlobal[Site];
        if (!folder.trimmed().isEmpty() && !Lib_Systeme::FolderFound(folder))
            createFolder(folder);
    });
    return folder + kSystemFileName;
}

void InitGeneralSite(bool /*Flag*/) {
    const QString label = QStringLiteral("Lib_Public:InitGeneralSite");
    SiteRecord& site = Sites[0];
    Trap(label, [&] { site.FichierSysteme = DetermineFichierSysteme(0); });
    const QString base = numbered(QStringLiteral("Base_"), kBase);
    const auto read = [&](const QString& section, const QString& key, const QString& fallback) {
        return CheckRep(Lib_Systeme::LectureIni(site.FichierSysteme, section, key, fallback));
    };
    Trap(label, [&] {
        DossierSettingsLocal = read(QStringLiteral("Site"), QStringLiteral("Settings_Local_Folder"),
                                    kDefaultLocalFolder);
        createFolder(DossierSettingsLocal);
    });
    Trap(label, [&] {
        site.DossierLog = read(base, QStringLiteral("Dossier_Log"), kDefaultLogFolder);
        createFolder(site.DossierLog);
    });
    Trap(label, [&] {
        site.DossierHistorique = site.DossierLog + QStringLiteral("Histo_VL3_Postique\\");
        createFolder(site.DossierHistorique);
    });
    Trap(label, [&] {
        site.DossierLocal = read(base, QStringLiteral("Dossier_Local"), kDefaultLocalFolder);
        createFolder(site.DossierLocal);
    });
    Trap(label, [&] {
        site.DossierData = read(base, QStringLiteral("Dossier_Data"), kDefaultDataFolder);
        createFolder(site.DossierData);
    });
}

QString ProgramSettingsFolderFor(const QString& applicationFolder) {
    const QString own = CheckRep(applicationFolder) + QStringLiteral("Settings\\VL3_Postique\\");
    // An executable inside the prefix belongs to that installation alone; one outside it
    // (~/.local/bin, /opt/...) may serve several prefixes, each of which keeps its own state.
    // Drive letters are links (z: leads to /): the real place decides, as far as it exists.
    const auto real = [](const QString& path) {
        QString head = QDir::cleanPath(path);
        QString tail;
        while (!head.isEmpty() && QFileInfo(head).canonicalFilePath().isEmpty()) {
            const qsizetype cut = head.lastIndexOf(u'/');
            if (cut <= 0)
                return QDir::cleanPath(path);
            tail = head.mid(cut) + tail;
            head.truncate(cut);
        }
        return QFileInfo(head).canonicalFilePath() + tail;
    };
    const QString mapped = WinPath::nativePath(applicationFolder);
    const QString native = mapped.isEmpty() ? QString() : real(mapped);
    const QString prefix = real(WinPath::prefix());
    if (!native.isEmpty() && !prefix.isEmpty() &&
        (native == prefix || native.startsWith(prefix + u'/')))
        return own;
    return QStringLiteral("C:\\Halvaro\\Velmora\\Settings\\VL3_Postique\\");
}

void NomDossierSettings() {
    const QString label = QStringLiteral("Lib_Public:NomDossierSettings");
    Trap(label, [] {
        QString folder = DossierApplication;
        if (folder.isEmpty())
            folder = WinPath::toWindows(QCoreApplication::applicationDirPath());
        DossierSettingsProgramme = ProgramSettingsFolderFor(folder);
        createFolder(DossierSettingsProgramme);
    });
    Trap(label, [] {
        DossierHistoProgramme = DossierSettingsProgramme + QStringLiteral("Histo\\");
        createFolder(DossierHistoProgramme);
    });
    Trap(label, [&] {
        // Earlier versions kept their local copy in the Windows folder; bring it over once,
        // removing the old one only when the new one is really there.
        const QString local = NomFichierSettings(QString(), QStringLiteral(".Ini"));
        if (Lib_Systeme::File_Exist(local, label, false))
            return;
        const QString old =
            CheckRep(Lib_Systeme::GetWinDir()) + kProgramName + QStringLiteral(".Ini");
        if (!Lib_Systeme::File_Exist(old, label, false))
            return;
        Lib_Systeme::File_Copy(old, local, 0, 0);
        if (Lib_Systeme::File_Exist(local, label, false))
            Lib_Systeme::File_Delete(old, label, 0, 0);
    });
}

QString NomFichierSettings(const QString& Suffixe, const QString& Extension) {
    QString name;
    Trap(QStringLiteral("Lib_Public:NomFichierSettings"), [&] {
        if (DossierSettingsProgramme.trimmed().isEmpty())
            NomDossierSettings();
        name = DossierSettingsProgramme + kProgramName + Suffixe + Extension;
    });
    return name;
}

void ResetFolderDiscoveryForTests() {
    cachedConfigPath().clear();
    folderCache() = FolderCache{};
}

} // namespace Lib_Public

namespace Lib_Systeme {

bool FolderFound(const QString& Dossier) {
    bool found = false;
    Lib_Public::Trap(QStringLiteral("Lib_Systeme:FolderFound"), [&] {
        if (Dossier.trimmed().isEmpty())
            return;
        FolderCache& cache = folderCache();
        // Whole entries are compared: a folder is never taken for one whose name merely
        // contains it (a missing "C:\a\b\" says nothing about "C:\a\").
        if (containsFolder(cache.present, Dossier)) {
            found = true;
            return;
        }
        if (containsFolder(cache.missing, Dossier))
            return;
        found = folderOnDisk(Dossier);
        if (!found) {
            createFolder(Dossier);
            found = folderOnDisk(Dossier);
        }
        (found ? cache.present : cache.missing).append(Dossier);
    });
    return found;
}

} // namespace Lib_Systeme
