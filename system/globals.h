// Program-wide state shared by the subsystems: the folder globals found at start-up and the
// flags that guard re-entrant event handlers. Filled once at start-up, read by everyone.
#pragma once

#include <QString>

#include <array>
#include <atomic>

namespace Lib_Public {

// One site of the suite; only Sites[0] is filled. Folder texts end with exactly one "\".
struct SiteRecord {
    QString FichierSysteme;    // the suite system file "VL3_Systeme.ini"
    QString DossierLog;        // log folder of the base
    QString DossierHistorique; // DossierLog + "Histo_VL3_Postique\"
    QString DossierLocal;      // local folder of the base
    QString DossierData;       // data folder of the base
};

// Folder texts are Windows texts ("C:\Halvaro\Velmora\Config\", "Z:\opt\velmora\"),
// each ending with exactly one "\".
extern QString DossierApplication; // the executable's folder
extern QString FichierConfigSuite; // DossierApplication + "Settings\VL3_Config.ini"
extern bool ConfigSuiteTrouvee;    // false when the suite configuration file is missing
extern std::array<QString, 5> DossierConfigGlobal; // only [0] is filled
extern std::array<SiteRecord, 5> Sites;            // only [0] is filled
extern QString DossierSettingsLocal;
extern QString DossierSettingsProgramme; // DossierApplication + "Settings\VL3_Postique\"
extern QString DossierHistoProgramme;    // DossierSettingsProgramme + "Histo\"

// Start-up and shutdown flags.
extern bool FenetreInitAffichee; // the start-up message window is shown
extern QString LigneDeCommande;  // the command line (arguments only)
extern bool DemarrageEnVeille;   // started with "/Veille=True"
extern bool DemarrageTermine;    // start-up finished; the poller waits for it
// Quitting confirmed (or a stop signal received); timers stop their work and sends in
// flight end. Atomic: the signal handler sets it and the mail engine's workers read it.
extern std::atomic<bool> QuitterDemande;

} // namespace Lib_Public
