// Durable record, kept beside a job in the shared folder, of which of its rows already went
// out or failed for good, so that no copy of the program ever sends a row twice.
#pragma once

#include "automation/jobs/job_guard.h"
#include "system/unique_fd.h"

#include <QByteArray>
#include <QDateTime>
#include <QHash>
#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>

#include <atomic>
#include <memory>

namespace automation {

using Posix::UniqueFd;

// A journal's flushes that run beside the window's thread: one at a time, and the errno of
// one that failed until the journal reports it.
struct JournalFlushState {
    std::atomic<bool> busy{false};
    std::atomic<int> failedErrno{0};
};

// What binds a journal to one job file: the file itself, not its name or its content, so
// that a job dropped again later (even identical) never meets the journal of an earlier one.
// `birthNs` is 0 where the file system keeps no creation time.
struct JobIdentity {
    quint64 device = 0;
    quint64 inode = 0;
    qint64 birthNs = 0;
    friend bool operator==(const JobIdentity&, const JobIdentity&) = default;
};

// Makes the entries of the native folder `folder` durable (fsync of the folder).
void syncFolder(const QString& folder);

// Identity of an open file, or of a path (links followed). False when it cannot be read.
bool identityOfFd(int fd, JobIdentity& identity);
bool identityOf(const QString& nativePath, JobIdentity& identity);

// The journal of one job: a small append-only text file "." + job name + ".postique-journal"
// in the job's folder (hidden, and never matched by the scan of "Email_*.ss8"). Rows are
// keyed by their content, with a count for identical rows, so a job rewritten, appended to or
// renamed over while it is sent resends nothing that went out. Every record is written at
// once (it survives a crash of the program); durable records are also flushed to disk before
// the call returns, other records at least every SyncIntervalMs (by a thread of their own,
// so that the caller never waits on the disk) and when the journal closes. A flush that
// failed there makes the next record or flush fail.
// A row (or some of its recipients) that waits for a later try: since when, until when, how
// many tries failed, and the last reason.
struct Deferral {
    qint64 firstMs = 0;
    qint64 nextMs = 0;
    int attempts = 0;
    QString reason;
    // The server's last answer, as the register of mails sent keeps it (code 0: none).
    int code = 0;
    QString enhanced = {};
    QString queueId = {};
};

// The notices to the operator about a row: one when it has waited long, one when it failed.
enum class NoticeState : char { Waiting = 'W', Failed = 'F' };

// A send that went out while the journal could not be written: a whole row (`recipient`
// empty) or one recipient's copy of it, to record before the job is taken up again.
struct UnrecordedSend {
    QByteArray key;
    int occurrence = 0;
    QString recipient;
};

class JobJournal {
public:
    static constexpr qint64 SyncIntervalMs = 1000;
    // Journals whose job is gone are removed once they have not been written for this long
    // (another copy of the program may be finishing that job at this moment).
    static constexpr qint64 OrphanGraceMs = 60'000;
    // Journals that cannot be tied to a job name are removed after a week without writes.
    static constexpr qint64 StaleAfterMs = 7LL * 24 * 3600 * 1000;

    // What the journal says about the job it was opened for.
    enum class State {
        Fresh,    // no journal of this job: nothing went out yet
        Resumed,  // the journal of this very job: some rows may be done
        Finished, // every row went out and the job file was about to be deleted
        Failed    // the journal could not be read or created (see error)
    };

    JobJournal() = default;
    ~JobJournal() { flush(); }
    JobJournal(const JobJournal&) = delete;
    JobJournal& operator=(const JobJournal&) = delete;

    // The journal file name of the job `jobFileName`, and the reverse ("" when `name` is not
    // a journal name or names no job).
    static QString journalName(const QString& jobFileName);
    static QString jobNameOf(const QString& journalFileName);

    // The content key of a row: a hash of its cell texts (in column order).
    static QByteArray rowKey(const QStringList& cells);

    // Opens the journal of the job file `jobFileName` in the native folder `folder`, for the
    // job file of identity `identity` and stamp `stamp` (as loaded). A journal made for
    // another file of the same name is discarded (State::Fresh) when that file's job was
    // finished (an earlier drop); otherwise the job was replaced while it waited and the
    // journal follows the new file (State::Resumed, replacedFile()).
    State open(const QString& folder, const QString& jobFileName, const JobIdentity& identity,
               const FileStamp& stamp, QString* error = nullptr);
    bool isOpen() const { return !path_.isEmpty(); }
    // True when open() found the job's file replaced by another since the journal's last run.
    bool replacedFile() const { return replaced_; }
    const QString& path() const { return path_; }

    // Whether the `occurrence`-th row (from 0) with content key `key` went out, or is done
    // (sent or failed for good). Identical rows are told apart by their rank only.
    bool rowSent(const QByteArray& key, int occurrence) const;
    bool rowDone(const QByteArray& key, int occurrence) const;
    // True when the copy for `recipient` (any case) of the `occurrence`-th row (from 0) with
    // key `key` went out.
    bool copySent(const QByteArray& key, int occurrence, const QString& recipient) const;

    // Records the `occurrence`-th row with key `key` as sent; `durable` flushes it to disk
    // first. Recording it again changes nothing. A record that was written but whose flush
    // failed still counts here (false is returned all the same).
    bool markRowSent(const QByteArray& key, int occurrence, bool durable, QString* error = nullptr);
    // Records one row as failed for good, with its row number, the reason and the server's
    // last answer (code 0: none) (durable).
    bool markRowFailed(const QByteArray& key, int occurrence, int row, const QString& reason,
                       QString* error = nullptr, int code = 0, const QString& enhanced = {});
    // Whether the notice of `state` about the `occurrence`-th row with key `key` went, and
    // records that it went (durable, so that a restart never sends it again).
    bool noticed(const QByteArray& key, int occurrence, NoticeState state) const;
    bool markNoticed(const QByteArray& key, int occurrence, NoticeState state,
                     QString* error = nullptr);
    // Records a send that could not be recorded when it happened (durable).
    bool record(const UnrecordedSend& send, QString* error = nullptr);
    // Records one per-recipient copy as sent.
    bool markCopySent(const QByteArray& key, int occurrence, const QString& recipient,
                      QString* error = nullptr);
    // The recipients recorded as sent for the `occurrence`-th row with key `key`.
    int copiesSent(const QByteArray& key, int occurrence) const;

    // The wait of the `occurrence`-th row with key `key`, or nullptr when it never waited.
    const Deferral* deferral(const QByteArray& key, int occurrence) const;
    // Records that this row waits (the last record of a row wins).
    bool markDeferred(const QByteArray& key, int occurrence, const Deferral& wait,
                      QString* error = nullptr);

    // Makes sure the journal file exists and can be written, before anything is sent.
    bool prepare(QString* error = nullptr);
    // Binds the journal also to `identity`: a new version renamed over the job while it was
    // being sent is the same job. Durable. Does nothing when already bound to it.
    bool adopt(const JobIdentity& identity, QString* error = nullptr);
    // Records that every row is done and the job file of stamp `stamp` is about to be
    // deleted (durable), so that a crash before its deletion does not send it again.
    bool markFinished(const FileStamp& stamp, QString* error = nullptr);

    // The rows recorded as failed: "Ligne N : reason" texts, in the order recorded.
    QStringList failures() const { return failureLines_; }
    bool hasFailures() const { return !failureLines_.isEmpty(); }

    // Flushes what was written to disk. False when the flush failed, or an earlier one beside
    // the caller did (errno tells why).
    bool flush();
    // Deletes the journal file, once the folder's entries (the job deleted or moved beside
    // it) are on disk. True when it is gone.
    bool remove();

    // Removes the journals of the native folder `folder` whose job file is gone (and that
    // were not written for OrphanGraceMs), and those that name no job and were not written
    // for StaleAfterMs. `nowMs` is the caller's clock.
    static void prune(const QString& folder, qint64 nowMs);

private:
    // `written` (when given) tells whether the record reached the file, even if its flush
    // then failed.
    bool append(const QByteArray& record, bool durable, QString* error, bool* written = nullptr);
    // Starts a flush beside the caller once SyncIntervalMs passed since the last one. False
    // when an earlier one failed.
    bool flushBeside();
    // True (errno set) once, when a flush beside the caller failed since the last call.
    bool earlierFlushFailed();
    void forget();

    QString path_;
    UniqueFd fd_;
    bool dirty_ = false;
    qint64 lastSyncMs_ = 0;
    std::shared_ptr<JournalFlushState> flushState_ = std::make_shared<JournalFlushState>();
    QList<JobIdentity> identities_;
    QSet<QByteArray> sent_;                 // key + ' ' + occurrence
    QSet<QByteArray> failed_;               // key + ' ' + occurrence
    QSet<QByteArray> copies_;               // key + ' ' + occurrence + ' ' + recipient
    QHash<QByteArray, int> copyCounts_;     // key + ' ' + occurrence
    QHash<QByteArray, Deferral> deferrals_; // key + ' ' + occurrence
    QSet<QByteArray> noticed_;              // key + ' ' + occurrence + ' ' + state
    QStringList failureLines_;
    bool replaced_ = false;
};

} // namespace automation
