// The job folder poller: every 30 ticks of TimerSendEmail, checks the sending settings,
// lists the job files of the job folder and sends each one through the job dispatch; plus
// the three handlers of the shared-folder frame.
#include "automation/poller.h"

#include "system/error_reporting.h"
#include "system/globals.h"
#include "automation/fp_spread.h"
#include "automation/incidents.h"
#include "automation/job_guard.h"
#include "system/clock.h"
#include "system/files.h"
#include "system/paths.h"
#include "system/shell.h"
#include "system/untrusted_text.h"
#include "system/winpath.h"
#include "ui/frm_main.h"
#include "ui/frm_mainbis.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QLineEdit>
#include <QListWidget>
#include <QSet>
#include <QTimer>

#include <cstdio>

namespace automation {

namespace {

struct PollerState {
    qint16 counter = 0;
    bool initialised = false;
    int cycles = 0;
    int tickMs = 0; // 0: not chosen yet
    StabilityTracker settling;
    QSet<QString> unreadable; // "path|stamp" of jobs already traced as unreadable
    const ActiveJob* active = nullptr;
};

PollerState& state() {
    static PollerState s;
    return s;
}

// Ticks left before the next cycle when a job was still being written: soon, not 30 s later.
constexpr qint16 SettleRetryTicks = 3;

} // namespace

int pollTickMs() {
    PollerState& s = state();
    if (s.tickMs == 0) {
        bool ok = false;
        const int env = qEnvironmentVariableIntValue("POSTIQUE_POLL_TICK_MS", &ok);
        s.tickMs = ok && env >= 1 && env <= 1000 ? env : 1000;
    }
    return s.tickMs;
}

void setPollTickMs(int ms) { state().tickMs = std::clamp(ms, 1, 1000); }

void resetPoller() {
    PollerState& s = state();
    s.counter = 0;
    s.initialised = false;
    s.cycles = 0;
    s.settling = StabilityTracker();
    s.unreadable.clear();
}

qint16 pollCounter() { return state().counter; }
bool pollCounterInitialised() { return state().initialised; }
int pollCycles() { return state().cycles; }

const ActiveJob* activeJob() { return state().active; }
void setActiveJob(const ActiveJob* job) { state().active = job; }

QString journalFolder() {
    if (Lib_Public::DossierSettingsProgramme.trimmed().isEmpty())
        return {};
    const QString native = WinPath::nativePath(Lib_Public::CheckRep(Lib_Public::DossierSettingsProgramme));
    return native.isEmpty() ? QString() : QDir(native).filePath(QStringLiteral("Journal"));
}

namespace {

// Diagnostic line for a job that stays in the folder without an incident line, written once
// per state of the file so that a stuck job does not flood the trace.
void traceKeptJob(const QString& nativePath, const FileStamp& stamp, const QString& why) {
    const QString key = QStringLiteral("%1|%2|%3").arg(nativePath).arg(stamp.size).arg(stamp.mtimeNs);
    if (state().unreadable.contains(key))
        return;
    state().unreadable.insert(key);
    std::fprintf(stderr, "Postique: job %s kept: %s\n", qPrintable(nativePath),
                 qPrintable(Untrusted::Clean(why)));
}

} // namespace

} // namespace automation

namespace {

const QString kTimerLabel = QStringLiteral("Frm_Main:TimerSendEmail_Timer");

// What became of one job of the cycle.
enum class JobOutcome { Sent, Kept, Unsettled };

} // namespace

// One job: settled, held exclusively, read, dispatched, and deleted when every row went out
// and nobody changed it meanwhile.
static JobOutcome processJob(Frm_Main& form, const QString& path, const QString& folder, qint16& abandon) {
    using namespace automation;
    const QString native = WinPath::nativePath(path);
    FileStamp seen;
    if (native.isEmpty() || !stampOf(native, seen))
        return JobOutcome::Kept; // gone meanwhile
    if (!state().settling.isSettled(native, seen, Clock::WallMs()))
        return JobOutcome::Unsettled;

    JobLock lock;
    QString error;
    switch (lock.acquire(native, &error)) {
    case JobLock::Outcome::Locked:
        break;
    case JobLock::Outcome::Busy: // another copy of the program is sending it
    case JobLock::Outcome::Gone:
        return JobOutcome::Kept;
    case JobLock::Outcome::Failed:
        traceKeptJob(native, seen, error);
        return JobOutcome::Kept;
    }
    const FileStamp loaded = lock.stamp();
    if (!(loaded == seen))
        return JobOutcome::Unsettled; // written again between the look and the lock

    QByteArray bytes;
    if (!lock.readAll(bytes, MaxJobBytes, &error)) {
        traceKeptJob(native, loaded, error);
        return JobOutcome::Kept;
    }
    JobReadResult read = readJobBytes(bytes);
    if (!read.ok) {
        traceKeptJob(native, loaded, QStringLiteral("could not be loaded: ") + read.error);
        return JobOutcome::Kept;
    }
    form.fpSpreadData->setSheet(read.sheet);

    const QString fileName = QFileInfo(native).fileName();
    JobJournal journal;
    const QString journalDir = journalFolder();
    if (journalDir.isEmpty() || !journal.open(journalDir, JobJournal::jobKey(fileName, bytes), &error))
        Lib_Public::ReportError(kTimerLabel, 75,
                                journalDir.isEmpty() ? QStringLiteral("no settings folder for the send journal")
                                                     : error);
    bytes = QByteArray(); // the sheet holds the job now

    ActiveJob job;
    job.journal = journal.isOpen() ? &journal : nullptr;
    job.nativeFolder = QFileInfo(native).absolutePath();
    job.fileName = fileName;
    setActiveJob(&job);
    qint16 result = 0;
    Lib_Public::Trap(kTimerLabel, [&] { result = form.EnvoiMailAutomation(*form.fpSpreadData, folder, abandon); });
    setActiveJob(nullptr);

    if (result == 0 || abandon != 0)
        return JobOutcome::Kept;
    // A job rewritten while it was being sent is a new job: it stays for the next cycle.
    if (!lock.unchangedSince(loaded)) {
        traceKeptJob(native, loaded, QStringLiteral("changed while it was being sent"));
        return JobOutcome::Kept;
    }
    if (Lib_Systeme::File_Delete(path, kTimerLabel, 0, 0) || !QFileInfo::exists(native)) {
        journal.remove();
        state().settling.forget(native);
    }
    return JobOutcome::Sent;
}

void Frm_Main::TimerSendEmail_Timer() {
    using namespace automation;
    PollerState& s = state();
    if (!Lib_Public::DemarrageTermine)
        return;
    if (Lib_Public::QuitterDemande) {
        TimerSendEmail->stop();
        return;
    }
    if (TimerSendEmail->interval() != pollTickMs())
        TimerSendEmail->setInterval(pollTickMs());
    if (CheckBloquer->isChecked()) {
        s.counter = TicksPerCycle;
        return;
    }
    if (!s.initialised) {
        s.initialised = true;
        s.counter = TicksPerCycle;
    } else {
        ++s.counter;
    }
    if (s.counter < TicksPerCycle)
        return;
    ++s.cycles;

    qint16 abandon = 0;
    bool unsettled = false;
    Lib_Public::Trap(kTimerLabel, [&] {
        if (ListeIncidents->count() > 1000)
            ListeIncidents->clear();
    });

    if (TexteFrom->text().trimmed().isEmpty()) {
        addIncident(*this, QStringLiteral("Adresse Email d'envoi non renseignée"));
    } else if (CheckBoxAuth->isChecked() &&
               (TexteUser->text().trimmed().isEmpty() || TextePW->text().trimmed().isEmpty())) {
        appendIncident(*this, QStringLiteral("Veuillez renseigner l'utilisateur et/ou le mot de passe"));
    } else {
        TimerSendEmail->stop();
        Frm_MainBis* bis = Frm_MainBis::instance();
        const QString folder = Lib_Public::CheckRep(TexteDossier[0]->text());
        bis->ListeSousDossiers->clear();
        bis->ListeSousDossiers->addItem(folder);
        const int folders = bis->ListeSousDossiers->count();
        bool leave = false;
        for (int f = 0; f < folders && !leave; ++f) {
            const QString sub = bis->ListeSousDossiers->item(f)->text();
            bis->ListeFichiersSS8->clear();
            const WinPath::SearchResult found = WinPath::findFiles(sub + QStringLiteral("Email_*.ss8"));
            for (const WinPath::FoundEntry& entry : found.entries) {
                const bool plainFile =
                    (entry.attributes & (WinPath::AttrDirectory | WinPath::AttrHidden | WinPath::AttrSystem)) == 0;
                if (plainFile && entry.name != QStringLiteral(".") && entry.name != QStringLiteral("..") &&
                    Lib_Systeme::File_Exist(sub + entry.name, kTimerLabel, true))
                    bis->ListeFichiersSS8->addItem(sub + entry.name);
                if (Lib_Public::QuitterDemande)
                    break;
                QCoreApplication::processEvents();
            }
            for (int i = 0; i < bis->ListeFichiersSS8->count(); ++i) {
                const QString path = bis->ListeFichiersSS8->item(i)->text();
                if (Lib_Systeme::File_Exist(path, kTimerLabel, true) &&
                    processJob(*this, path, folder, abandon) == JobOutcome::Unsettled)
                    unsettled = true;
                if (Lib_Public::QuitterDemande || abandon != 0) {
                    leave = true;
                    break;
                }
            }
        }
        TimerSendEmail->start();
    }
    // A job still being written is looked at again in a few ticks rather than a whole cycle.
    s.counter = unsettled ? static_cast<qint16>(TicksPerCycle - SettleRetryTicks) : 0;
}

void Frm_Main::TexteDossier_Change(int Index) {
    Q_UNUSED(Index);
    ParametresModifies = true;
}

void Frm_Main::CheckSousDossiers_Click() { ParametresModifies = true; }

void Frm_Main::CommandDossier_Click(int Index) {
    const QString label = QStringLiteral("Frm_Main:CommandDossier_Click");
    Lib_Public::Trap(label, [&] {
        if (Index < 0 || Index >= static_cast<int>(TexteDossier.size()))
            throw Lib_Public::RunTimeError(9, QStringLiteral("Subscript out of range"));
        const QString chosen = Lib_Systeme::FolderSelect(this, TexteDossier[Index]->text(), QString());
        if (chosen != QStringLiteral("*"))
            TexteDossier[Index]->setText(chosen);
    });
}
