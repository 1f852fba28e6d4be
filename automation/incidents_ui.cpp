// The incidents list on the main window: adding lines with the tab alert, and the purge.
#include "automation/jobs/incidents.h"
#include "system/error_reporting.h"
#include "system/numbers.h"
#include "system/station.h"
#include "system/untrusted_text.h"
#include "ui/frm_main.h"
#include "ui/msgbox.h"
#include "ui/sft_tabs.h"
#include "ui/systray.h"

#include <QListWidget>
#include <QTimer>

namespace automation {

void addIncident(Frm_Main& form, const QString& text) {
    insertIncident(*form.ListeIncidents, text,
                   [&form] { form.SftTabsMain->setTabAlert(IncidentsTabIndex, true); });
    // The window asks for attention until the incidents are purged.
    if (!form.TimerFlash->isActive())
        form.TimerFlash->start();
    // Asleep behind the icon, the icon tells.
    Lib_SysTray::TellIncident(Untrusted::Clean(text));
}

void appendIncident(Frm_Main& form, const QString& text) {
    appendIncident(*form.ListeIncidents, text);
}

} // namespace automation

void Frm_Main::CommandIncidentsPurge_Click(int Index) {
    Q_UNUSED(Index);
    const QString label = QStringLiteral("Frm_Main:CommandIncidentsPurge_Click");
    const MsgBox::Answer answer =
        MsgBox::Show(QStringLiteral("Voulez-vous purger la liste des incidents ?"),
                     MsgBox::Icon::Question, MsgBox::Buttons::YesNo);
    if (answer != MsgBox::Answer::Yes)
        return;
    Lib_Public::Trap(label, [&] { ListeIncidents->clear(); });
    Lib_Public::Trap(label, [&] {
        QString error;
        if (!automation::recordIncidentPurge(&error))
            throw Lib_Public::RunTimeError(75, error);
    });
    Lib_Public::Trap(label, [&] { TimerFlash->stop(); });
    Lib_Public::Trap(label, [&] {
        setWindowTitle(QStringLiteral("Velmora: Postique - ") + Lib_Systeme::VersionApplication() +
                       QStringLiteral(" - ") + Lib_Public::NomStation());
    });
    Lib_Public::Trap(label,
                     [&] { SftTabsMain->setTabAlert(automation::IncidentsTabIndex, false); });
    // The tab collection's current index back to 0: the first page comes to the front.
    Lib_Public::Trap(label, [&] { SftTabsMain->setCurrentIndex(0); });
}
