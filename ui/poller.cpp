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
    if (jobLoop_->busy())
        return; // a cycle runs: it restarts the timer when it ends
    station::LoopHost host;
    // The loop runs on its own thread with the settings as saved now; the page "Données
    // reçues" shows the job being sent.
    host.sendJob = [this, saved = SavedSettings](std::shared_ptr<const automation::JobSheet> sheet,
                                                 const QString& folder, qint16& abandon) {
        InWindow([this, sheet] { fpSpreadData->setSheet(sheet); });
        return JobDispatch::SendJob(std::move(sheet), folder, saved, DispatchView(*fpSpreadData),
                                    abandon != 0);
    };
    host.tellSending = [this](const QString& jobName) {
        InWindow([jobName] { Lib_SysTray::TellSending(jobName); });
    };
    host.tellNextPoll = [this](const QDateTime& next) {
        InWindow([next] { Lib_SysTray::TellNextPoll(next); });
    };
    // No tick while a cycle runs; the window answers its events meanwhile.
    TimerSendEmail->stop();
    jobLoop_->start([saved = SavedSettings, blocked = CheckBloquer->isChecked(),
                     host] { station::Tick(saved, blocked, host); },
                    [this] {
                        if (!Lib_Public::QuitterDemande)
                            TimerSendEmail->start();
                    });
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
