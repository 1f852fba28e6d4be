// One job's delivery state. Every outcome goes through here, so the journal records a row
// before it counts as sent, and the operator hears of a row once per change of its state.
#include "automation/jobs/job_run.h"

#include "system/clock.h"
#include "system/untrusted_text.h"

#include <QDateTime>

#include <algorithm>
#include <mutex>

namespace automation {

qint64 RetryPolicy::delayAfter(int attempts) const {
    qint64 delay = std::max<qint64>(firstMs, 0);
    for (int i = 1; i < attempts && delay < maxMs; ++i)
        delay *= 2;
    return std::min(delay, std::max(maxMs, firstMs));
}

namespace {
std::optional<RetryPolicy> g_override;

std::mutex g_noticeMutex;
RowNoticeSink g_noticeSink;
qint64 g_noticeWaitMs = 4 * 3'600'000LL;
} // namespace

void setRowNotices(RowNoticeSink sink, qint64 waitMs) {
    std::lock_guard lock(g_noticeMutex);
    g_noticeSink = std::move(sink);
    g_noticeWaitMs = waitMs;
}

std::optional<RetryPolicy> retryPolicyOverride() {
    return g_override;
}

void setRetryPolicyOverride(std::optional<RetryPolicy> policy) {
    g_override = policy;
}

JobRun::JobRun(JobJournal* journal, QString jobName, QString nativeFolder, RetryPolicy policy,
               Incident incident)
    : journal_(journal), jobName_(std::move(jobName)), nativeFolder_(std::move(nativeFolder)),
      policy_(policy), incident_(std::move(incident)) {
    if (journal_ && journal_->replacedFile())
        incident_(Untrusted::Clean(
            QStringLiteral("%1 a été remplacé par une nouvelle copie pendant son attente : les "
                           "lignes déjà envoyées ne repartent pas, les attentes continuent")
                .arg(jobName_)));
}

JobRun::~JobRun() {
    Ledger::flush();
}

void JobRun::registerRow(const RowUnit& unit, LedgerOutcome outcome,
                         const QStringList& waiting) const {
    const RowDelivery& d = unit.delivery;
    LedgerEntry entry;
    entry.job = jobName_;
    entry.row = unit.row;
    entry.transport = d.transport;
    const auto answer = [&](const QString& recipient) {
        mail::ServerReply reply = recipient.isEmpty() ? d.reply : d.replyFor(recipient);
        if (reply.text.isEmpty())
            reply.text = unit.reason;
        return reply;
    };
    // A row whose recipients are unknown here still leaves its line.
    const QStringList recipients = d.recipients.isEmpty() ? QStringList{QString()} : d.recipients;
    for (const QString& recipient : recipients) {
        entry.recipient = recipient;
        entry.destination = recipient.isEmpty() ? d.destination : d.destinationFor(recipient);
        entry.reply = answer(recipient);
        entry.outcome = outcome;
        const int code = entry.reply.code;
        if (waiting.contains(recipient, Qt::CaseInsensitive))
            entry.outcome = LedgerOutcome::Waiting;
        else if (outcome == LedgerOutcome::Sent && code >= 400)
            entry.outcome = LedgerOutcome::Failed; // refused for good while others took it
        else if (d.perCopy && code >= 200 && code < 300)
            entry.outcome = LedgerOutcome::Sent; // its copy went, whatever became of the row
        else if (d.perCopy && code >= 500)
            entry.outcome = LedgerOutcome::Failed;
        Ledger::record(entry);
    }
}

void JobRun::notice(const RowUnit& unit, NoticeState state, const Deferral* wait) {
    RowNoticeSink sink;
    qint64 waitMs = 0;
    {
        std::lock_guard lock(g_noticeMutex);
        sink = g_noticeSink;
        waitMs = g_noticeWaitMs;
    }
    // Without a journal nothing remembers a notice: none goes, rather than one per run.
    if (!sink || !journal_ || journalBroken())
        return;
    if (state == NoticeState::Waiting && (!wait || Clock::WallMs() - wait->firstMs < waitMs))
        return;
    if (journal_->noticed(unit.key, unit.occurrence, state))
        return;
    QString error;
    if (!journal_->markNoticed(unit.key, unit.occurrence, state, &error)) {
        journalFailed(error);
        return;
    }
    RowNotice notice;
    notice.state = state;
    notice.job = jobName_;
    notice.row = unit.row;
    notice.recipients = unit.delivery.recipients;
    notice.last = unit.delivery.reply;
    for (const QString& recipient : unit.delivery.recipients)
        if (unit.delivery.perRecipient.contains(recipient.toLower()))
            notice.last = unit.delivery.replyFor(recipient);
    if (wait && notice.last.code == 0) {
        notice.last.code = wait->code;
        notice.last.enhanced = wait->enhanced;
    }
    notice.last.text = unit.reason.isEmpty() ? notice.last.text : unit.reason;
    notice.firstMs = wait ? wait->firstMs : 0;
    sink(notice);
}

void JobRun::countAttachment(const QString& attachment) {
    if (!attachment.isEmpty())
        ++attachmentRows_[attachment];
}

QString JobRun::deferredText(const QString& job, int row, const QString& reason, qint64 nextTryMs) {
    return QStringLiteral("Ligne %1 de %2 en attente, nouvel essai vers %3 : %4")
        .arg(row)
        .arg(job.isEmpty() ? QStringLiteral("la tâche") : job,
             QDateTime::fromMSecsSinceEpoch(nextTryMs).toString(QStringLiteral("dd/MM HH:mm")),
             reason);
}

QString JobRun::resumedText(const QString& job, int row) {
    return QStringLiteral("Ligne %1 de %2 envoyée après attente")
        .arg(row)
        .arg(job.isEmpty() ? QStringLiteral("la tâche") : job);
}

QString JobRun::journalText(const QString& job, const QString& folder, const QString& error) {
    return QStringLiteral("Envoi de %1 arrêté : le journal d'envoi ne peut pas être écrit dans "
                          "le dossier %2 (%3). Rendez le dossier accessible en écriture ou "
                          "libérez de la place ; rien ne sera envoyé deux fois.")
        .arg(job, folder, error);
}

JobRun::Start JobRun::begin(RowUnit& unit) {
    if (journal_ && journal_->rowDone(unit.key, unit.occurrence)) {
        unit.state =
            journal_->rowSent(unit.key, unit.occurrence) ? UnitState::Sent : UnitState::Failed;
        return Start::Done;
    }
    if (journalBroken()) {
        ++waiting_;
        return Start::Waiting;
    }
    if (!unit.dropReason.isEmpty()) {
        failed(unit, unit.dropReason);
        return Start::Done;
    }
    if (const Deferral* wait = journal_ ? journal_->deferral(unit.key, unit.occurrence) : nullptr) {
        const qint64 now = Clock::WallMs();
        if (now - wait->firstMs >= policy_.lifetimeMs) {
            failed(unit, QStringLiteral("toujours refusée après %1 h d'essais (%2)")
                             .arg(policy_.lifetimeMs / 3'600'000)
                             .arg(wait->reason));
            return Start::Done;
        }
        if (wait->nextMs > now && !unit.tryNow) {
            unit.state = UnitState::Deferred;
            unit.reason = wait->reason;
            unit.nextTryMs = wait->nextMs;
            ++waiting_;
            notice(unit, NoticeState::Waiting, wait);
            return Start::Waiting;
        }
    }
    unit.state = UnitState::InFlight;
    return Start::Send;
}

void JobRun::journalFailed(const QString& error) {
    if (!journalBroken())
        incident_(Untrusted::Clean(journalText(jobName_, nativeFolder_, error)));
    journalError_ = error.isEmpty() ? QStringLiteral("?") : error;
}

void JobRun::sent(RowUnit& unit) {
    // Recorded before it counts: a record that cannot be written stops the job.
    QString error;
    if (journal_ &&
        !journal_->markRowSent(unit.key, unit.occurrence, !unit.attachment.isEmpty(), &error)) {
        unrecorded_ << UnrecordedSend{unit.key, unit.occurrence, {}};
        journalFailed(error);
    }
    const bool waited = journal_ && journal_->deferral(unit.key, unit.occurrence);
    unit.state = UnitState::Sent;
    registerRow(unit, LedgerOutcome::Sent);
    if (waited)
        incident_(resumedText(jobName_, unit.row));
}

void JobRun::partlySent(RowUnit& unit, const QStringList& accepted, const QStringList& waiting,
                        const QString& reason) {
    for (const QString& recipient : accepted)
        copySent(unit, recipient);
    registerRow(unit, LedgerOutcome::Sent, waiting);
    // The waiting ones' answer is the row's: the first of them that has one of its own.
    for (const QString& recipient : waiting)
        if (unit.delivery.perRecipient.contains(recipient.toLower())) {
            unit.delivery.reply = unit.delivery.replyFor(recipient);
            break;
        }
    defer(unit,
          reason + QStringLiteral(" (") + waiting.join(QStringLiteral(", ")) + QLatin1Char(')'), 0,
          0, false, false);
}

void JobRun::deferred(RowUnit& unit, const QString& reason, qint64 longestWaitMs, qint64 untilMs,
                      bool quiet) {
    defer(unit, reason, longestWaitMs, untilMs, quiet, true);
}

void JobRun::defer(RowUnit& unit, const QString& reason, qint64 longestWaitMs, qint64 untilMs,
                   bool quiet, bool registered) {
    const QString clean = Untrusted::Clean(reason);
    const Deferral* before = journal_ ? journal_->deferral(unit.key, unit.occurrence) : nullptr;
    const qint64 now = Clock::WallMs();
    Deferral wait;
    wait.firstMs = before ? before->firstMs : now;
    wait.attempts = before ? before->attempts + 1 : 1;
    const qint64 delay = policy_.delayAfter(wait.attempts);
    wait.nextMs =
        std::max(now + (longestWaitMs > 0 ? std::min(delay, longestWaitMs) : delay), untilMs);
    wait.reason = clean;
    wait.code = unit.delivery.reply.code;
    wait.enhanced = unit.delivery.reply.enhanced;
    wait.queueId = unit.delivery.reply.queueId;
    if (now - wait.firstMs >= policy_.lifetimeMs) {
        failed(unit, QStringLiteral("toujours refusée après %1 h d'essais (%2)")
                         .arg(policy_.lifetimeMs / 3'600'000)
                         .arg(clean));
        return;
    }
    QString error;
    if (journal_ && !journal_->markDeferred(unit.key, unit.occurrence, wait, &error))
        journalFailed(error);
    unit.state = UnitState::Deferred;
    unit.reason = clean;
    unit.nextTryMs = wait.nextMs;
    ++waiting_;
    if (registered)
        registerRow(unit, LedgerOutcome::Waiting);
    if (!before && !quiet)
        incident_(deferredText(jobName_, unit.row, clean, wait.nextMs));
    notice(unit, NoticeState::Waiting, &wait);
}

void JobRun::failed(RowUnit& unit, const QString& reason) {
    const QString clean = Untrusted::Clean(reason);
    QString error;
    if (journal_ &&
        !journal_->markRowFailed(unit.key, unit.occurrence, unit.row, clean, &error,
                                 unit.delivery.reply.code, unit.delivery.reply.enhanced))
        journalFailed(error);
    unit.state = UnitState::Failed;
    unit.reason = clean;
    // A row the operator removed is his own doing: the register says so, and he gets no
    // notice about it.
    const bool dropped = !unit.dropReason.isEmpty();
    registerRow(unit, dropped ? LedgerOutcome::Dropped : LedgerOutcome::Failed);
    if (!dropped)
        notice(unit, NoticeState::Failed,
               journal_ ? journal_->deferral(unit.key, unit.occurrence) : nullptr);
    failures_ << QStringLiteral("Ligne %1 : %2").arg(unit.row).arg(clean);
    incident_(QStringLiteral("Ligne %1 de %2 non envoyée (refus définitif) : %3")
                  .arg(unit.row)
                  .arg(jobName_.isEmpty() ? QStringLiteral("la tâche") : jobName_, clean));
}

void JobRun::notTried(RowUnit& unit) {
    unit.state = UnitState::Pending;
    ++waiting_;
}

bool JobRun::copySent(const RowUnit& unit, const QString& recipient) {
    QString error;
    if (journal_ && !journal_->markCopySent(unit.key, unit.occurrence, recipient, &error)) {
        unrecorded_ << UnrecordedSend{unit.key, unit.occurrence, recipient};
        journalFailed(error);
        return false;
    }
    return true;
}

void JobRun::copyAnswered(RowUnit& unit, const QString& recipient, const mail::ServerReply& reply) {
    RowDelivery& d = unit.delivery;
    if (!d.perCopy) {
        d.perCopy = true;
        d.recipients.clear();
    }
    d.recipients << recipient;
    d.perRecipient.insert(recipient.toLower(), reply);
}

bool JobRun::copyAlreadySent(const RowUnit& unit, const QString& recipient) const {
    return journal_ && journal_->copySent(unit.key, unit.occurrence, recipient);
}

bool JobRun::attachmentSettled(const RowUnit& unit, bool rowSent) {
    if (unit.attachment.isEmpty())
        return false;
    if (!rowSent)
        attachmentKept_[unit.attachment] = true;
    int& left = attachmentRows_[unit.attachment];
    left = std::max(0, left - 1);
    return left == 0 && !attachmentKept_.value(unit.attachment);
}

} // namespace automation
