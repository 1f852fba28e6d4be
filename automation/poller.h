// The job folder poller's state and its test hooks: the poll tick, the clock that decides
// when a job has settled, and the job being dispatched (its journal and folder).
#pragma once

#include "automation/jobs/job_context.h"
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

// How long a job file must keep its size and modification time, as seen by this program's
// own clock, before it is read (tests may shorten it; 0 reads a job at first sight). On a
// share the wait is longer than the time its client caches a file's size and date.
qint64 settleMs();
void setSettleMs(qint64 ms);

// Name of the subfolder of the job folder where a job that ended with failed rows is moved,
// with a note of what failed. The scan never enters subfolders.
// True when the job folder `folder` (a Windows text) leads to an existing folder.
bool jobFolderExists(const QString& folder);

// Incident texts for a job folder that does not exist, and for one that is back.
QString missingJobFolderText(const QString& folder);
QString jobFolderBackText(const QString& folder);
// The job folder lies under the mount point `mountPoint` of a share that is not mounted.
QString unmountedShareText(const QString& folder, const QString& mountPoint);
// The job folder answers an I/O error `why` (a share gone away).
QString unreachableJobFolderText(const QString& folder, const QString& why);

inline const QString DeadLetterFolder = QStringLiteral("Mails non envoyés");

} // namespace automation
