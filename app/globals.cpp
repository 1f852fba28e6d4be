// Storage of the program-wide state.
#include "app/globals.h"

namespace Lib_Public {

QString DossierApplication;
QString FichierConfigSuite;
bool ConfigSuiteTrouvee = true;
std::array<QString, 5> DossierConfigGlobal;
std::array<SiteRecord, 5> Sites;
QString DossierSettingsLocal;
QString DossierSettingsProgramme;
QString DossierHistoProgramme;

bool FenetreInitAffichee = false;
QString LigneDeCommande;
bool DemarrageEnVeille = false;
bool DemarrageTermine = false;
std::atomic<bool> QuitterDemande{false};

} // namespace Lib_Public
