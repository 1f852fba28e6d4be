// The figures a monitor watches (mails per destination, jobs waiting, incidents, sessions,
// token expiry) in one process-wide registry that the send path updates, and their texts.
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QJsonObject>
#include <QMap>
#include <QString>
#include <QStringList>
#include <QtGlobal>

namespace Supervision {

// How long a job may wait before a monitor calls the station stuck.
inline constexpr qint64 DefaultRetryLifetimeSec = 5LL * 24 * 3600;

// What became of one row sent: gone out, waiting for a later cycle, or refused for good.
enum class RowOutcome { Sent, Deferred, Failed };

// Counts one row for `server` (empty: direct delivery to the recipients' MX hosts) sent
// with the settings page's protocol index `protocol` (0 SMTP, 1 EWS, 2 WebDAV). Thread-safe.
void CountRow(RowOutcome outcome, const QString& server, int protocol);

// The job files of the last listing of the job folder (native paths): the jobs waiting.
// A job keeps the time it was first seen; one no longer listed is forgotten.
void NoteJobsListed(const QStringList& nativePaths);
// The job left the folder (sent, or moved aside).
void NoteJobGone(const QString& nativePath);
// A row of the job had to wait for a later cycle.
void NoteJobDeferred(const QString& nativePath);
// Rows of the job in hand not yet sent or refused.
void SetRowsWaiting(int rows);
// The operator's queue: rows waiting in every job, since when the oldest waits (ms, 0: none),
// and the destinations held. Thread-safe.
void SetQueue(int rows, qint64 oldestMs, const QStringList& held);

// Counts one incident line (its kind is told from its text, see IncidentKind).
void CountIncident(const QString& text);
// The kind of an incident line's text: a short stable word for a label.
QString IncidentKind(const QString& text);

// Sending sessions opened (positive) or closed (negative). Thread-safe.
void AddSessions(int delta);
// When the OAuth 2.0 access token in use expires (invalid: none). Thread-safe.
void SetTokenExpiry(const QDateTime& expiresUtc);
// When the OAuth 2.0 sign-in ages out unless it is renewed before (a refresh token unused
// for 90 days expires; invalid: no such sign-in). Thread-safe.
void SetSignInRenewalDue(const QDateTime& dueUtc);
// The job folder that cannot be reached ("" while it can). Thread-safe.
void SetJobFolderMissing(const QString& folder);
// Where the job folder lies: its file system and mount point ("" before the first cycle).
// Thread-safe.
void SetJobFolderFileSystem(const QString& text);
// Why the sign-in to the mail account is refused ("" when it works: a valid token clears
// it, see SetTokenExpiry). Thread-safe.
void SetSignInProblem(const QString& text);
// Lifetime of a waiting job before the station counts as stuck.
void SetRetryLifetimeSec(qint64 seconds);

// Forgets every figure (tests).
void Reset();

// A copy of every figure at one moment.
struct Counts {
    quint64 sent = 0;
    quint64 deferred = 0;
    quint64 failed = 0;
};
struct Snapshot {
    qint64 nowMs = 0;     // when it was taken (wall clock)
    qint64 startedMs = 0; // when the program started
    qint64 pid = 0;
    QMap<QString, Counts> mails;         // "destination\ttransport"
    QMap<QString, qint64> lastSuccessMs; // destination -> wall ms
    qint64 lastSentMs = 0;               // 0: none since start
    int rowsWaiting = 0;
    int jobsWaiting = 0;
    int jobsDeferred = 0;
    qint64 oldestJobMs = 0;           // first sight (or older time stamp); 0: none
    QMap<QString, quint64> incidents; // kind -> count
    int sessionsOpen = 0;
    qint64 tokenExpiryMs = 0; // 0: no token
    qint64 renewalDueMs = 0;  // when the sign-in ages out unless renewed; 0: no sign-in
    qint64 retryLifetimeSec = DefaultRetryLifetimeSec;
    QString jobFolderMissing;             // "" while the job folder is there
    QString jobFolderFileSystem;          // "fuse.rclone (réseau) sur /mnt/x"
    QMap<QString, qint64> failingSinceMs; // destination -> first wait since its last success
    QString signInProblem;                // "" while the sign-in works
    int queueRows = 0;                    // rows waiting in every job
    qint64 queueOldestMs = 0;             // since when the oldest of them waits; 0: none
    QStringList held;                     // destinations the operator holds

    qint64 oldestJobAgeSec() const;
    // Whole days left before the sign-in must be renewed (0 once overdue); -1: no sign-in.
    qint64 renewalDaysLeft() const;
};
Snapshot Take();

// The Prometheus text exposition of `s` (version 0.0.4).
QByteArray PrometheusText(const Snapshot& s);
// One line for the service manager's status: jobs waiting, oldest job's age, last mail
// sent, deferred jobs.
QString StatusLine(const Snapshot& s);
// "Lignes en file d'attente : N (la plus ancienne attend depuis …)".
QString QueueLine(const Snapshot& s);
// Readable report for an operator, one figure a line.
QStringList Report(const Snapshot& s);

// The snapshot as JSON and back (the state file read by `--status`). FromJson returns
// false when the object is not a state.
QJsonObject ToJson(const Snapshot& s);
bool FromJson(const QJsonObject& o, Snapshot& s);

// How long a destination may take nothing before the station counts as unhealthy.
inline constexpr qint64 DestinationDownSec = 3600;

// Why the station counts as stuck at `nowMs`, or "" when it is healthy: the job folder cannot
// be reached, the sign-in is refused, a destination has taken nothing for DestinationDownSec
// while mail waited for it, or a job is older than the retry lifetime.
QString StuckReason(const Snapshot& s, qint64 nowMs);

} // namespace Supervision
