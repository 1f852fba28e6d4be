// Handlers and procedures of the forms that their subsystems have not filled in yet. Each
// is wired and callable; the code that builds one deletes its empty body here and defines
// it in a file of its own.
#include "ui/frm_main.h"
#include "ui/frm_mainbis.h"
#include "ui/frm_systray.h"

// ---- Shutdown: quit questions and unloading ----
void Frm_Main::Form_QueryUnload(qint16& Cancel, qint16 unloadMode) {
    Q_UNUSED(Cancel);
    Q_UNUSED(unloadMode);
}
void Frm_Main::Form_Unload(qint16& Cancel) { Q_UNUSED(Cancel); }
void Frm_Main::Quitter() {}
void Frm_Main::CommandQuitter_Click() {}
void Frm_Main::MnuQuitter_Click() {}

// ---- Revision page and About box ----
void Frm_Main::MnuWhatNews_Click(int Index) { Q_UNUSED(Index); }
void Frm_Main::Mnu99APropos_Click() {}

// ---- Sleep mode, tray and flashing ----
void Frm_Main::CommandMiseEnVeille_Click() {}
void Frm_Main::MnuVeille_Click() {}
void Frm_Main::TimerFlash_Timer() {}
void Frm_Main::MiseEnVeilleForcee() {}
void Frm_MainBis::TimerVeille_Timer() {}
void FrmSysTray::MnuAfficher_Click() {}
void FrmSysTray::MnuAbout_Click() {}
void FrmSysTray::SysTrayMouseEventHandler() {}
void FrmSysTray::AfficherFeuille() {}
void FrmSysTray::Form_Unload(qint16& Cancel) { Q_UNUSED(Cancel); }
