// The incidents list on the main window: showing the lines with their alerts, and the purge.
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

void Frm_Main::ShowIncident(const QString& line, automation::IncidentKind kind) {
    using automation::IncidentKind;
    if (kind == IncidentKind::Reminder) {
        ListeIncidents->addItem(line);
        return;
    }
    ListeIncidents->insertItem(0, line);
    if (kind == IncidentKind::Information)
        return;
    SftTabsMain->setTabAlert(automation::IncidentsTabIndex, true);
    if (kind != IncidentKind::Problem)
        return;
    // The window asks for attention until the incidents are purged.
    if (!TimerFlash->isActive())
        TimerFlash->start();
    // Asleep behind the icon, the icon tells (the line's text after its time stamp).
    Lib_SysTray::TellIncident(line.section(QStringLiteral(": "), 1, -1));
}

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
