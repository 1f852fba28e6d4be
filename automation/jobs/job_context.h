// The one job being sent, as every part of its run sees it: the poller's journal and names,
// the dispatch's hand-over and copy record, and the verdict of each of its sends.
#pragma once

#include "automation/jobs/job_journal.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

namespace mail {
struct SendPlan;
struct ServerReply;
} // namespace mail

namespace automation {

// How a send ended, for a caller that must tell a failure worth retrying from one that is not.
enum class Outcome {
    Sent,      // the mail went out (perhaps without some refused recipients, reported)
    Transient, // connection, time-out, TLS, 4xx, settings, server gone, stop request: retry later
    Permanent  // this mail can never go as it is (bad address, 5xx for the whole mail)
};
struct Verdict {
    Outcome outcome = Outcome::Sent;
    QString reason; // why it failed, cleaned for an incident line; empty when sent
};

// Per-recipient memory of the row being sent: `alreadySent` tells whether the copy (or the
// envelope recipient) for an address went out before; `noteSent` records a copy that went out
// now (without a server, one copy per recipient). `noteRefused`, when set, takes a copy refused
// (for good or for a while) instead of an incident line: the job says it once per change of
// the row's state. `stopped` turns true once a copy could not be recorded: no further copy
// starts. Through a server, the recipients already served are left out of the envelope.
struct CopyRecord {
    std::function<bool(const QString& recipient)> alreadySent;
    std::function<void(const QString& recipient)> noteSent;
    std::function<bool()> stopped;
    std::function<void(const QString& recipient, bool permanent, const QString& reason)>
        noteRefused;
    // Names the row in the delivery status notifications a server may send back.
    QString envelopeId;
    // Takes the server's answer to each copy sent one by one (direct delivery), for the
    // register of mails sent.
    std::function<void(const QString& recipient, const mail::ServerReply& reply)> noteReply;
};

// Where an automatic send hands its finished mail instead of sending it and waiting: the job
// dispatch gives one, so that rows go to the job's sending worker while the next row is read.
// It receives the detached mail and the server text (for the provider hint of a refusal).
using DeferredSender =
    std::function<void(std::shared_ptr<const mail::SendPlan> mail, const QString& server)>;

struct JobContext {
    // Set by the poller for a job it took from the folder (empty for a direct call).
    JobJournal* journal = nullptr; // null when the journal could not be opened
    QString fileName;              // the job's file name, for incident lines
    // Called after each row that went out or failed: notices a new version renamed over the
    // job meanwhile and binds the journal to it.
    std::function<void()> afterRow;

    // Set by the dispatch while it runs.
    DeferredSender handOver;            // empty: sent in place
    const CopyRecord* copies = nullptr; // the row being sent, or null

    // Set by each send of the job: how the last one ended.
    Verdict verdict;

    // Left by the dispatch for the poller. Rows failed for good in this run ("Ligne N :
    // reason"), also without a journal; keys of rows that went out but could not be
    // journaled, recorded before the job is taken up again so that they never go twice.
    QStringList failures;
    QList<UnrecordedSend> unrecorded;
};

// The job being sent, or nullptr outside any job (an operator's own send).
JobContext* currentJob();

// Makes `context` the current job for its lifetime (the previous one comes back after).
class JobScope {
public:
    explicit JobScope(JobContext& context);
    ~JobScope();
    JobScope(const JobScope&) = delete;
    JobScope& operator=(const JobScope&) = delete;

private:
    JobContext* previous_;
};

} // namespace automation
