// Where the program finds its place in the suite: the suite configuration file, the global
// configuration folder, the site folders of the suite system file and its own settings folder.
#pragma once

#include <QString>
#include <QtGlobal>

namespace Lib_Public {

// The path of the suite configuration file, DossierApplication + "Settings\VL3_Config.ini".
// Computed once, then returned from a cache. Sets ConfigSuiteTrouvee to true; only on the
// older systems (WindowsGeneration below 6 or above 12) is the file's existence checked, and
// a missing file then clears ConfigSuiteTrouvee and shows "Fichier de configuration non
// trouvé: ". Never fails (label "Lib_Public:DetermineDossierConfig").
QString DetermineDossierConfig();

// The global configuration folder of base `NumeroBase` (1 for this program) read from the
// suite configuration file `FichierConfig`, ending with one "\". With PrioriteBase the key
// "Dossier_Config_Global" of section "Base_NN" wins (default "C:\Halvaro\Velmora\Config\")
// and a blank value falls back to the same key of section "Site"; without it "Site" is read
// first. When the configuration file was not found, key "Ini_Base_NN" of section "Halvaro"
// is used. A blank result stays blank. Never fails.
QString DetermineDossierConfig_Bases_Dossier(const QString& FichierConfig, qint16 NumeroBase,
                                             bool PrioriteBase);

// Fills FichierConfigSuite and DossierConfigGlobal[0] and creates that folder when missing.
// Flag is not used. Never fails.
void InitGeneralPath(bool Flag);

// The suite system file "VL3_Systeme.ini" in DossierConfigGlobal[Site] (Site 0 to 4),
// running InitGeneralPath first when that folder is still blank and creating it when
// missing. With a blank folder the result is the bare name, which the INI layer resolves
// in the Windows folder. Never fails.
QString DetermineFichierSysteme(int Site);

// Fills Sites[0] and DossierSettingsLocal from the suite system file (defaults
// "C:\Halvaro\Velmora\Settings\_Local\", "C:\RodovOzo\", "C:\VL_Data\") and creates every
// one of those folders. Flag is not used. Never fails.
void InitGeneralSite(bool Flag);

// The program's own settings folder for the executable's folder `applicationFolder` (a
// Windows text): its "Settings\VL3_Postique\" when that folder lies inside the prefix, else
// "C:\Halvaro\Velmora\Settings\VL3_Postique\", so that installations sharing one executable
// never share their state, positions or incident files. Never fails.
QString ProgramSettingsFolderFor(const QString& applicationFolder);

// Fills DossierSettingsProgramme (ProgramSettingsFolderFor the DossierApplication, the
// executable's folder when DossierApplication is still blank) and DossierHistoProgramme,
// creates both, and moves an old local settings copy "VL3_Postique.Ini" from the Windows
// folder into the settings folder; the old copy is deleted only once the new one exists.
// Never fails (label "Lib_Public:NomDossierSettings").
void NomDossierSettings();

// DossierSettingsProgramme + "VL3_Postique" + Suffixe + Extension, running
// NomDossierSettings first while DossierSettingsProgramme is blank. Never fails.
QString NomFichierSettings(const QString& Suffixe, const QString& Extension);

// Forgets the cached suite configuration path and the FolderFound lists (tests only).
void ResetFolderDiscoveryForTests();

} // namespace Lib_Public

namespace Lib_Systeme {

// True when the folder `Dossier` (a Windows text) exists or could be created. Answers from
// two process-wide lists of folders known to exist and known to be missing, compared without
// regard to case; a folder not yet in either is looked up on disk, created when absent
// (VerificationEtCreationRepertoire) and recorded. A blank text gives false. Never fails
// (label "Lib_Systeme:FolderFound").
bool FolderFound(const QString& Dossier);

} // namespace Lib_Systeme
