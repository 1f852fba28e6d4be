// The window's side of the job loop: the poll timer's handler, which ticks the station's loop
// with the saved settings, and the three handlers of the shared-folder frame.
#include "station/job_loop.h"

#include "system/error_reporting.h"
#include "system/globals.h"
#include "system/winpath.h"
#include "ui/fp_spread.h"
#include "ui/frm_main.h"
#include "ui/shell.h"
#include "ui/systray.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QTimer>

void Frm_Main::TimerSendEmail_Timer() {
    if (!Lib_Public::DemarrageTermine)
        return;
    if (Lib_Public::QuitterDemande) {
        TimerSendEmail->stop();
        return;
    }
    if (const bool unsaved = SettingsUnsaved();
        LabelNonEnregistre && LabelNonEnregistre->isHidden() == unsaved)
        LabelNonEnregistre->setVisible(unsaved);
    if (TimerSendEmail->interval() != station::pollTickMs())
        TimerSendEmail->setInterval(station::pollTickMs());
    Lib_Public::Trap(QStringLiteral("Frm_Main:TimerSendEmail_Timer"), [&] {
        if (ListeIncidents->count() > 1000)
            ListeIncidents->clear();
    });
    station::LoopHost host;
    // The page "Données reçues" shows the job being sent.
    host.sendJob = [this](std::shared_ptr<const automation::JobSheet> sheet, const QString& folder,
                          qint16& abandon) {
        fpSpreadData->setSheet(std::move(sheet));
        return EnvoiMailAutomation(*fpSpreadData, folder, abandon);
    };
    host.tellSending = [](const QString& jobName) { Lib_SysTray::TellSending(jobName); };
    host.tellNextPoll = [](const QDateTime& next) { Lib_SysTray::TellNextPoll(next); };
    // No tick while a cycle runs: the dispatch answers the window's events meanwhile.
    TimerSendEmail->stop();
    station::Tick(SavedSettings, CheckBloquer->isChecked(), host);
    if (!Lib_Public::QuitterDemande)
        TimerSendEmail->start();
}

void Frm_Main::TexteDossier_Change(int Index) {
    Q_UNUSED(Index);
    ParametresModifies = true;
    if (auto* line = findChild<QLabel*>(QStringLiteral("LabelSystemeFichiers")))
        line->setText(station::folderFileSystemText(TexteDossier[0]->text()));
}

void Frm_Main::CheckSousDossiers_Click() {
    ParametresModifies = true;
}

void Frm_Main::CommandDossier_Click(int Index) {
    const QString label = QStringLiteral("Frm_Main:CommandDossier_Click");
    Lib_Public::Trap(label, [&] {
        if (Index < 0 || Index >= static_cast<int>(TexteDossier.size()))
            throw Lib_Public::RunTimeError(9, QStringLiteral("Subscript out of range"));
        const QString chosen = Lib_Systeme::FolderSelect(
            this, WinPath::fromScreen(TexteDossier[Index]->text()), QString());
        if (chosen != QStringLiteral("*"))
            TexteDossier[Index]->setText(WinPath::forScreen(chosen));
    });
}
