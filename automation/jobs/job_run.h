// The state of one job from its reading to its end: each row's delivery (pending, in flight,
// sent, waiting until a time with its reason, failed with its reason), the journal that keeps
// it, the attachments that rows share, and the incident lines said once per change of state.
#pragma once

#include "automation/jobs/job_journal.h"
#include "automation/jobs/ledger.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

namespace automation {

// When a row refused for a while is tried again, and for how long.
struct RetryPolicy {
    qint64 firstMs = 60'000;                    // the first wait
    qint64 maxMs = 3'600'000;                   // the longest wait (the waits double)
    qint64 lifetimeMs = 5LL * 24 * 3600 * 1000; // after this, the row fails for good
    // The wait after the `attempts`-th failed try (1 = the first).
    qint64 delayAfter(int attempts) const;
};

// A schedule that replaces the settings file's (tests); nullopt reads the settings again.
std::optional<RetryPolicy> retryPolicyOverride();
void setRetryPolicyOverride(std::optional<RetryPolicy> policy);

enum class UnitState { Pending, InFlight, Sent, Deferred, Failed };

// A notice to the operator about one row that has waited long or failed for good.
struct RowNotice {
    NoticeState state = NoticeState::Waiting;
    QString job;
    int row = 0;
    QStringList recipients;
    mail::ServerReply last; // the server's last answer (its text: the reason)
    qint64 firstMs = 0;     // since when the row waits (0: unknown)
};
using RowNoticeSink = std::function<void(const RowNotice& notice)>;
// Where notices go (empty: nowhere), and how long a row waits before its notice. One notice
// per row and state: the job's journal remembers it. Thread-safe.
void setRowNotices(RowNoticeSink sink, qint64 waitMs);

// One row of the job as the run sees it.
struct RowUnit {
    int row = 0;
    QByteArray key;     // the journal key of its content
    int occurrence = 0; // rank among the rows of identical content
    QString attachment; // native path of its attachment inside the job folder, or ""
    UnitState state = UnitState::Pending;
    QString reason;       // why it waits or failed
    qint64 nextTryMs = 0; // while it waits
    bool tryNow = false;  // the operator lifted its wait
    QString dropReason;   // set: the operator removed it, it fails for good with this reason
    RowDelivery delivery; // of its last send: the register's recipients and answers
};

class JobRun {
public:
    using Incident = std::function<void(const QString& text)>;

    // `journal` may be null (a dispatch called outside a poll cycle): nothing is remembered
    // then. `incident` receives every line for the operator, the first one at once when the
    // journal follows a new file that replaced the waiting job.
    JobRun(JobJournal* journal, QString jobName, QString nativeFolder, RetryPolicy policy,
           Incident incident);
    // The register's lines of the job are written out.
    ~JobRun();
    JobRun(const JobRun&) = delete;
    JobRun& operator=(const JobRun&) = delete;

    // Counts a row that names `attachment` (native, inside the folder), before any row goes:
    // a file is deleted only once every row naming it went out.
    void countAttachment(const QString& attachment);

    enum class Start {
        Send,    // the row goes now (its unit is in flight)
        Done,    // the journal has it (sent or failed)
        Waiting, // it waits for its next try
    };
    // Decides what becomes of a row read from the sheet. A row whose wait outlived the
    // lifetime, or that the operator removed, fails for good here (Done).
    Start begin(RowUnit& unit);

    // The row went out to everybody (`recipients` are those it reached now, for the journal
    // when the row was split before).
    void sent(RowUnit& unit);
    // The row went out to some recipients; `waiting` were refused for a while: the accepted
    // ones are recorded one by one, and the row waits for the others.
    void partlySent(RowUnit& unit, const QStringList& accepted, const QStringList& waiting,
                    const QString& reason);
    // The row was refused for a while (a 4xx, no connection, a time-out). `longestWaitMs`,
    // when positive, caps the wait before its next try; `untilMs`, when known, is the earliest
    // time it may go again. `quiet`: the operator heard of the cause already (a right the
    // account lacks, told once for every row), so the row's wait gives no line of its own.
    void deferred(RowUnit& unit, const QString& reason, qint64 longestWaitMs = 0,
                  qint64 untilMs = 0, bool quiet = false);
    // The row can never go as it is.
    void failed(RowUnit& unit, const QString& reason);
    // The row was not tried (stop request, its destination resting): it stays pending.
    void notTried(RowUnit& unit);
    // Records one copy (direct delivery, one mail per recipient) as sent. False when the
    // journal cannot be written (the run then stops).
    bool copySent(const RowUnit& unit, const QString& recipient);
    bool copyAlreadySent(const RowUnit& unit, const QString& recipient) const;
    // The server's answer to one copy of the row sent one by one, for the register.
    static void copyAnswered(RowUnit& unit, const QString& recipient,
                             const mail::ServerReply& reply);
    // Settles the row's attachment: true when the caller may delete the file now.
    bool attachmentSettled(const RowUnit& unit, bool rowSent);

    // The journal could not be written: nothing more of this job goes out.
    bool journalBroken() const { return !journalError_.isEmpty(); }
    // Rows and copies that went out but could not be recorded (to record before anything else).
    const QList<UnrecordedSend>& unrecordedSent() const { return unrecorded_; }
    // True when every row is done (sent or failed for good) and the journal is sound.
    bool complete() const { return waiting_ == 0 && !journalBroken(); }
    int waiting() const { return waiting_; }
    QStringList failures() const { return failures_; }
    const QString& jobName() const { return jobName_; }

    // The incident texts (exposed for the window's other paths and tests).
    static QString deferredText(const QString& job, int row, const QString& reason,
                                qint64 nextTryMs);
    static QString resumedText(const QString& job, int row);
    static QString journalText(const QString& job, const QString& folder, const QString& error);

private:
    void journalFailed(const QString& error);
    // The register's line for each recipient of the row's last send: `outcome`, except those
    // in `waiting` (Waiting) and those refused for good by their own answer (Failed).
    void registerRow(const RowUnit& unit, LedgerOutcome outcome,
                     const QStringList& waiting = {}) const;
    // Sends the notice of `state` about the row once (the journal remembers it).
    void notice(const RowUnit& unit, NoticeState state, const Deferral* wait);
    // deferred(), with `registered` false when the caller wrote the register's lines.
    void defer(RowUnit& unit, const QString& reason, qint64 longestWaitMs, qint64 untilMs,
               bool quiet, bool registered);

    JobJournal* journal_;
    QString jobName_;
    QString nativeFolder_;
    RetryPolicy policy_;
    Incident incident_;
    QHash<QString, int> attachmentRows_;  // rows naming each file, not yet settled
    QHash<QString, bool> attachmentKept_; // a row naming it did not go out
    int waiting_ = 0;
    QString journalError_;
    QList<UnrecordedSend> unrecorded_;
    QStringList failures_;
};

} // namespace automation
