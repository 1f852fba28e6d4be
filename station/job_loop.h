// The station's job loop: every 30 ticks it checks the saved sending settings, lists the job
// files of the job folder and hands each one, settled and held, to the job dispatch.
#pragma once

#include "automation/jobs/job_file.h"
#include "station/sending_settings.h"

#include <QDateTime>
#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <functional>
#include <memory>

namespace station {

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

// True when the job folder `folder` (a Windows text) leads to an existing folder.
bool jobFolderExists(const QString& folder);

// The settings page's line under the job folder `shown` (as the page shows it): the file
// system it lies on ("Système de fichiers : …"), "" for a blank folder.
QString folderFileSystemText(const QString& shown);

// Incident texts for a job folder that does not exist, and for one that is back.
QString missingJobFolderText(const QString& folder);
QString jobFolderBackText(const QString& folder);
// The job folder lies under the mount point `mountPoint` of a share that is not mounted.
QString unmountedShareText(const QString& folder, const QString& mountPoint);
// The job folder answers an I/O error `why` (a share gone away).
QString unreachableJobFolderText(const QString& folder, const QString& why);

// Name of the subfolder of the job folder where a job that ended with failed rows is moved,
// with a note of what failed. The scan never enters subfolders.
inline const QString DeadLetterFolder = QStringLiteral("Mails non envoyés");

// What the loop asks of whoever runs it (the window, or the station without one).
struct LoopHost {
    // Sends the used rows of the job read into `sheet` from the job folder `folder` (with its
    // "\"); returns -1 when no row was abandoned, 0 otherwise. `abandon` as the dispatch's.
    std::function<qint16(std::shared_ptr<const automation::JobSheet> sheet, const QString& folder,
                         qint16& abandon)>
        sendJob;
    // The job being sent now ("" once it is over), and when the next cycle is due; each may be
    // empty (nobody shows them).
    std::function<void(const QString& jobName)> tellSending;
    std::function<void(const QDateTime& next)> tellNextPoll;
};

// One tick of the poll timer. While `blocked` (automatic sending held by the operator) no
// cycle starts; otherwise every TicksPerCycle ticks a cycle runs with `saved`. Failures are
// incidents (automation/jobs/incidents.h) and trace lines; never throws.
void Tick(const SendingSettings& saved, bool blocked, const LoopHost& host);

} // namespace station
