// The job folder poller's state and its test hooks: the poll tick, the clock that decides
// when a job has settled, and the job being dispatched (its journal and folder).
#pragma once

#include "automation/job_journal.h"

#include <QString>
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
};
// The job being dispatched, or nullptr outside a poll cycle (a direct call).
const ActiveJob* activeJob();
void setActiveJob(const ActiveJob* job);

// Native folder of the send journals: the program's settings folder + "Journal"; empty
// when the settings folder is not known yet.
QString journalFolder();

} // namespace automation
