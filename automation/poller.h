// The job folder poller's state and its test hooks: the poll tick, the clock that decides
// when a job has settled, and the job being dispatched (its journal and folder).
#pragma once

#include "automation/jobs/job_journal.h"

#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <functional>

namespace automation {

// Ticks between two poll cycles.
inline constexpr qint16 TicksPerCycle = 30;

// Length of one tick of TimerSendEmail in milliseconds: 1000 unless set here or by the
// environment variable POSTIQUE_POLL_TICK_MS (1 to 1000; tests drive the real program faster).
int pollTickMs();
void setPollTickMs(int ms);

// Forgets the counter, its initialised flag and what was seen of the jobs (tests).
void resetPoller();
// Current poll counter and whether it was initialised (tests).
qint16 pollCounter();
bool pollCounterInitialised();
// Number of cycles started since the last reset (tests).
int pollCycles();

// The job being sent by the dispatch, set by the poller around the call.
struct ActiveJob {
    JobJournal* journal = nullptr; // null when the journal could not be opened
    QString nativeFolder;          // the job folder, native
    QString fileName;              // the job's file name, for incident lines
    // Called after each row that went out or failed: notices a new version renamed over the
    // job meanwhile and binds the journal to it.
    std::function<void()> afterRow;
    // Rows failed for good in this run ("Ligne N : reason"), also without a journal.
    QStringList failures;
    // Keys of rows that went out but could not be journaled: recorded before the job is
    // taken up again, so that they never go twice.
    QList<QByteArray> unrecorded;
};
// The job being dispatched, or nullptr outside a poll cycle (a direct call).
ActiveJob* activeJob();
void setActiveJob(ActiveJob* job);

// How long a job file must keep its size and modification time, as seen by this program's
// own clock, before it is read (tests may shorten it; 0 reads a job at first sight).
qint64 settleMs();
void setSettleMs(qint64 ms);

// Name of the subfolder of the job folder where a job that ended with failed rows is moved,
// with a note of what failed. The scan never enters subfolders.
// True when the job folder `folder` (a Windows text) leads to an existing folder.
bool jobFolderExists(const QString& folder);

// Incident text for a job folder that does not exist.
QString missingJobFolderText(const QString& folder);

inline const QString DeadLetterFolder = QStringLiteral("Mails non envoyés");

} // namespace automation
