// Sleep mode from the main window (button, menu, start-asleep timer), the attention request
// while incidents wait, and the About box from the "?" menu.
#include "system/error_reporting.h"
#include "system/globals.h"
#include "ui/frm_about.h"
#include "ui/frm_main.h"
#include "ui/frm_mainbis.h"
#include "ui/frm_systray.h"
#include "ui/systray.h"

#include <QApplication>
#include <QTimer>

void Frm_Main::MiseEnVeilleForcee() {
    Lib_Public::Trap(QStringLiteral("Frm_Main:MiseEnVeilleForcee"), [&] {
        Lib_SysTray::MiseEnVeille(FrmSysTray::instance(), this, true,
                                  QString::fromUtf16(Lib_SysTray::SleepTip));
    });
}

void Frm_Main::CommandMiseEnVeille_Click() {
    Lib_Public::Trap(QStringLiteral("Frm_Main:CommandMiseEnVeille_Click"),
                     [&] { MiseEnVeilleForcee(); });
}

void Frm_Main::MnuVeille_Click() {
    Lib_Public::Trap(QStringLiteral("Frm_Main:Mnu01Veille_Click"), [&] { MiseEnVeilleForcee(); });
}

void Frm_Main::TimerFlash_Timer() {
    Lib_Public::Trap(QStringLiteral("Frm_Main:TimerFlash_Timer"), [&] {
        if (Lib_Public::QuitterDemande)
            return;
        flashState_ = !flashState_;
        // The desktop marks the window (title bar, task bar) until the user comes to it.
        if (flashState_ && !isActiveWindow())
            QApplication::alert(this);
    });
}

void Frm_Main::Mnu99APropos_Click() {
    Lib_Public::Trap(QStringLiteral("Frm_Main:Mnu99APropos_Click"), [&] {
        FrmAbout* about = FrmAbout::Load(this);
        about->show();
        about->raise();
    });
}

void Frm_MainBis::TimerVeille_Timer() {
    Lib_Public::Trap(QStringLiteral("Frm_MainBis:TimerVeille_Timer"), [&] {
        Frm_Main* main = Frm_Main::instance();
        if (!main || !main->isVisible())
            return; // the main window is not shown yet: next tick
        if (Lib_Public::DemarrageEnVeille) {
            main->MiseEnVeilleForcee();
            Lib_Public::DemarrageEnVeille = false;
        }
        TimerVeille->stop();
    });
}
