// Durable record of what part of a job already went out, so that a job taken up again after
// a failure or a restart never sends a row, or a per-recipient copy, a second time.
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include "system/unique_fd.h"

#include <set>
#include <utility>

namespace automation {

using Posix::UniqueFd;

// The journal of one job, a small append-only text file "<key>.journal" in a folder of the
// program's settings. Every record is written at once (it survives a crash of the program);
// a durable record is also flushed to disk (fsync) before the call returns, so the caller may
// delete the row's attachment right after it. Other records are flushed at least every
// SyncIntervalMs and when the journal is closed, which keeps a job of thousands of rows from
// waiting on the disk for every row.
class JobJournal {
public:
    static constexpr qint64 SyncIntervalMs = 1000;

    JobJournal() = default;
    ~JobJournal() { flush(); }
    JobJournal(const JobJournal&) = delete;
    JobJournal& operator=(const JobJournal&) = delete;

    // The key of a job: SHA-256 (hex) of its file name, without regard to case, and its
    // bytes. A job rewritten with other content is a new job.
    static QByteArray jobKey(const QString& fileName, const QByteArray& content);

    // Opens the journal of `key` in the native folder `folder` (created when missing) and
    // reads the records already there; a torn last record is ignored. False with `error`
    // when the folder or the file cannot be read or created.
    bool open(const QString& folder, const QByteArray& key, QString* error = nullptr);
    bool isOpen() const { return !path_.isEmpty(); }
    const QString& path() const { return path_; }

    // True when row `row` (from 1) went out completely.
    bool rowSent(int row) const { return rows_.count(row) != 0; }
    // True when the copy of row `row` for `recipient` went out (address, any case).
    bool copySent(int row, const QString& recipient) const;

    // Record a whole row, or one per-recipient copy of a row; `durable` flushes it to disk
    // before returning. False with `error` when the record could not be written (or flushed).
    bool markRowSent(int row, bool durable, QString* error = nullptr);
    bool markCopySent(int row, const QString& recipient, QString* error = nullptr);
    // Flushes what was written to disk. False when the flush failed.
    bool flush();

    // Deletes the journal file (the job is done). True when it is gone.
    bool remove();

    // Deletes journals in `folder` last written before `cutoff` (jobs that vanished).
    static void pruneOlderThan(const QString& folder, const QDateTime& cutoff);

private:
    bool append(const QByteArray& record, bool durable, QString* error);

    QString path_;
    UniqueFd fd_;
    bool dirty_ = false;
    qint64 lastSyncMs_ = 0;
    std::set<int> rows_;
    std::set<std::pair<int, QString>> copies_;
};

// The job row being sent by the dispatch, for the per-recipient sending: it asks before
// each copy whether that copy already went out and notes each copy that did. Without an
// active row (a manual send) nothing is recorded and nothing counts as sent.
void setActiveJobRow(JobJournal* journal, int row);
void clearActiveJobRow();
// True when a job row is active and its copy for `recipient` already went out.
bool copyAlreadySent(const QString& recipient);
// Records that the active row's copy for `recipient` went out (no-op without active row).
void noteCopySent(const QString& recipient);

} // namespace automation
