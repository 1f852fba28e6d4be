// Job dispatch: each used row of a loaded job becomes one automatic mail; the row's
// attachment is deleted once the row went out, and the send journal keeps a retried job from
// sending a row twice.
#include "station/job_dispatch.h"

#include "automation/jobs/incidents.h"
#include "automation/jobs/job_guard.h"
#include "station/job_loop.h"
#include "system/error_reporting.h"
#include "system/files.h"
#include "system/globals.h"
#include "system/supervision.h"
#include "system/untrusted_text.h"
#include "system/winpath.h"

#include "automation/jobs/job_journal.h"
#include "automation/jobs/job_run.h"
#include "mail/engine/destinations.h"
#include "mail/engine/protocols.h"
#include "mail/engine/send_queue.h"
#include "mail/transport/graph.h"
#include "mail/transport/mta_sts.h"
#include "station/delivery_record.h"
#include "station/mail_builder.h"
#include "station/operator_queue.h"
#include "station/settings_store.h"
#include "system/ini.h"
#include "system/stop_points.h"

#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QRegularExpression>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <map>
#include <optional>
#include <unistd.h>

namespace JobDispatch {

namespace {

// A mailbox of section [Routage] of the settings file, or `built` when it sets none.
QString routingMailbox(const char* key, const QString& built) {
    const QString set = Lib_Systeme::LectureIni(
                            Lib_Public::DossierConfigGlobal[0] + QStringLiteral("VL3_Postique.ini"),
                            QStringLiteral("Routage"), QString::fromLatin1(key), QString())
                            .trimmed();
    return set.isEmpty() ? built : set;
}

} // namespace

QString PartnerItMailbox() {
    return routingMailbox("Partenaire", QStringLiteral(POSTIQUE_PARTNER_IT_MAILBOX));
}

QString SupportMailbox() {
    return routingMailbox("Support", QStringLiteral(POSTIQUE_SUPPORT_MAILBOX));
}

QString RouteTo(const QString& to, const QString& partnerMark) {
    if (partnerMark == QStringLiteral("1"))
        return PartnerItMailbox();
    if (to.trimmed().isEmpty())
        return SupportMailbox();
    return to;
}

QString RefusedAttachmentText(const QString& name, const QString& jobName, int row,
                              const QString& why) {
    QString text = QStringLiteral("Pièce jointe refusée (%1): ").arg(why) + name;
    if (!jobName.isEmpty())
        text += QStringLiteral(" (%1, ligne %2)").arg(jobName).arg(row);
    return text;
}

QString FailedRowText(const QString& jobName, int row, const QString& reason) {
    return QStringLiteral("Ligne %1 de %2 non envoyée (refus définitif) : %3")
        .arg(row)
        .arg(jobName.isEmpty() ? QStringLiteral("la tâche") : jobName, reason);
}

} // namespace JobDispatch

namespace {

// The native form of the job folder text, for the containment check ("" is the current
// folder, as the directory search takes it).
QString nativeJobFolder(const QString& folder) {
    if (folder.trimmed().isEmpty())
        return QDir::currentPath();
    const QString native = WinPath::nativePath(folder);
    return native.isEmpty() ? QDir::currentPath() : native;
}

// Parallel sessions of a job's sending worker: 4, or POSTIQUE_SMTP_SESSIONS (1 to 8). Each
// keeps its connection for the whole job; on a distant server they hide the round trips of
// one another. The destination's own limit (destinations.h) may allow fewer.
int jobSessions() {
    bool ok = false;
    const int value = qEnvironmentVariableIntValue("POSTIQUE_SMTP_SESSIONS", &ok);
    return ok && value >= 1 && value <= 8 ? value : 4;
}

// How often the window shows the progress of a job.
constexpr int kProgressMs = 250;
// A mail the server asked to slow down for goes again after the destination's pause, up to
// this many times within the run, before it waits like any other refusal.
constexpr int kThrottleRetries = 5;

// A number of the settings file, or `fallback` when absent or not a positive number.
qint64 settingNumber(const QString& file, const QString& section, const QString& key,
                     qint64 fallback) {
    bool ok = false;
    const qint64 value =
        Lib_Systeme::LectureIni(file, section, key, QString()).trimmed().toLongLong(&ok);
    return ok && value >= 0 ? value : fallback;
}

// The retry schedule and the destinations' limits from the settings file: section
// "Relances" (PremiereAttente and AttenteMax in seconds, DureeDeVie in hours) and one
// section "Destination <host>" per server (Sessions, MessagesParMinute, DestinatairesParJour,
// ReposMax in seconds, DestinatairesParTransaction, TailleMessageMax in MB). The station's own
// server (`stationServer`, the one of the settings page) rests at most one poll period after
// an outage unless its section says otherwise, so that its mails go again as soon as it is
// back; recipients' mail exchangers keep the long rest.
automation::RetryPolicy loadDeliverySettings(const QString& stationServer) {
    automation::RetryPolicy policy =
        automation::retryPolicyOverride().value_or(automation::RetryPolicy{});
    const QString own = stationServer.trimmed().toLower();
    const qint64 pollMs = qint64{station::TicksPerCycle} * station::pollTickMs();
    const auto defaultsOf = [&](const QString& host) {
        mail::DestinationLimits limits = mail::DefaultDestinationLimits(host);
        if (!own.isEmpty() && host.toLower() == own)
            limits.restMaxMs = pollMs;
        return limits;
    };
    const QString file = Lib_Public::DossierConfigGlobal[0] + QStringLiteral("VL3_Postique.ini");
    const QString native = WinPath::nativePath(file);
    // The servers' recipients of the day are counted beside the settings.
    const QString settingsFolder = native.isEmpty() ? QString() : QFileInfo(native).absolutePath();
    mail::SetDestinationBudgetFolder(settingsFolder);
    // So are the recipient domains' MTA-STS policies, for their max_age.
    mail::detail::SetStsPolicyFolder(settingsFolder);
    QFile ini(native);
    QString text;
    if (!native.isEmpty() && ini.open(QIODevice::ReadOnly) && ini.size() <= qint64{1024} * 1024)
        text = QString::fromUtf8(ini.readAll());
    if (!text.isEmpty() && !automation::retryPolicyOverride()) {
        const QString section = QStringLiteral("Relances");
        policy.firstMs =
            settingNumber(file, section, QStringLiteral("PremiereAttente"), policy.firstMs / 1000) *
            1000;
        policy.maxMs =
            settingNumber(file, section, QStringLiteral("AttenteMax"), policy.maxMs / 1000) * 1000;
        // 0 hours: no lifetime, a row refused for a while waits until it goes (as 0 means
        // no cap for a destination's limits).
        const qint64 hours = settingNumber(file, section, QStringLiteral("DureeDeVie"),
                                           policy.lifetimeMs / 3'600'000);
        policy.lifetimeMs = hours == 0 ? std::numeric_limits<qint64>::max() : hours * 3'600'000;
    }
    static const QRegularExpression header(
        QStringLiteral("^\\s*\\[\\s*(Destination\\s+[^\\]]+?)\\s*\\]"),
        QRegularExpression::CaseInsensitiveOption | QRegularExpression::MultilineOption);
    QHash<QString, mail::DestinationLimits> byHost;
    for (auto it = header.globalMatch(text); it.hasNext();) {
        const QString section = it.next().captured(1);
        const QString host = section.section(QLatin1Char(' '), 1).trimmed();
        const mail::DestinationLimits fallback = defaultsOf(host);
        mail::DestinationLimits limits;
        limits.sessions = int(std::clamp<qint64>(
            settingNumber(file, section, QStringLiteral("Sessions"), fallback.sessions), 1, 8));
        limits.perMinute = int(std::min<qint64>(
            settingNumber(file, section, QStringLiteral("MessagesParMinute"), fallback.perMinute),
            1'000'000));
        limits.recipientsPerDay = int(
            std::min<qint64>(settingNumber(file, section, QStringLiteral("DestinatairesParJour"),
                                           fallback.recipientsPerDay),
                             100'000'000));
        const qint64 restSeconds = settingNumber(file, section, QStringLiteral("ReposMax"), -1);
        limits.restMaxMs =
            restSeconds < 0 ? fallback.restMaxMs : std::clamp<qint64>(restSeconds, 1, 3600) * 1000;
        limits.recipientsPerTransaction = int(std::min<qint64>(
            settingNumber(file, section, QStringLiteral("DestinatairesParTransaction"),
                          fallback.recipientsPerTransaction),
            100'000));
        limits.messageBytes =
            std::min<qint64>(settingNumber(file, section, QStringLiteral("TailleMessageMax"),
                                           fallback.messageBytes / (qint64{1024} * 1024)),
                             1024) *
            1024 * 1024;
        byHost.insert(host.toLower(), limits);
    }
    if (!own.isEmpty() && !byHost.contains(own))
        byHost.insert(own, defaultsOf(own));
    mail::SetConfiguredDestinations(byHost);
    // A monitor calls a job stuck once it has waited longer than its rows may (the default
    // when they may wait for ever).
    Supervision::SetRetryLifetimeSec(
        policy.lifetimeMs == std::numeric_limits<qint64>::max() ? 0 : policy.lifetimeMs / 1000);
    return policy;
}

// The station's own server for the destinations: the one of the settings page, or for
// Microsoft Graph the Graph host it stands for.
QString ownServer(const station::SendingSettings& saved) {
    const mail::ProtocolInfo* protocol = mail::FindProtocol(saved.protocol);
    return protocol && protocol->route == mail::Route::Graph ? mail::GraphLimitsHost(saved.server)
                                                             : saved.server;
}

// A row on its way: its unit, and its mail while it may have to go again.
struct RowWork {
    automation::RowUnit unit;
    QString server; // for the provider hint of a refusal
    std::shared_ptr<const mail::SendPlan> plan;
    int throttled = 0; // times the server asked to slow down for this mail
};

// One job's dispatch: reads the rows into the hidden form, hands each to SendEmail (which
// gives its finished mail to the job's sending worker), and takes every outcome into the
// job's run state.
class Dispatch {
public:
    // `writeOnly`: the rows are only written into the hidden form, nothing is sent (the
    // caller had abandoned already).
    Dispatch(std::shared_ptr<const automation::JobSheet> sheet, const QString& folder,
             const station::SendingSettings& settings, const JobDispatch::DispatchHost& host,
             bool writeOnly)
        : sheet_(std::move(sheet)), settings_(settings), host_(host), folder_(folder),
          nativeFolder_(nativeJobFolder(folder)), writeOnly_(writeOnly),
          job_(automation::currentJob()), queue_(jobSessions()),
          run_(job_ ? job_->journal : nullptr, job_ ? job_->fileName : QString(), nativeFolder_,
               loadDeliverySettings(ownServer(settings)),
               [](const QString& text) { automation::postIncident(text); }) {
        if (!job_) {
            // Called outside a poll cycle: a job of its own, that remembers nothing.
            job_ = &ownJob_;
            ownScope_.emplace(ownJob_);
        }
        station::ApplyRecordSettings(settings_);
    }

    qint16 exec();

private:
    void countAttachments();
    void takeRow(int row);
    void sendRow(RowWork work);
    void outcome(quint64 ticket, const mail::SendOutcome& outcome);
    void settle(const automation::RowUnit& unit, const QString* server = nullptr);
    void deleteAttachment(const QString& native);
    void feed();
    void scheduleFeed();
    void showProgress();
    bool mustStop() const { return stopped_ || run_.journalBroken(); }

    // The cell text at `row`, `column` (both from 1) of the job.
    QString cell(int row, int column) const {
        return sheet_ ? sheet_->cell(row, column) : QString();
    }

    std::shared_ptr<const automation::JobSheet> sheet_;
    const station::SendingSettings settings_; // as saved when the job started
    const JobDispatch::DispatchHost& host_;
    QString folder_;
    QString nativeFolder_;
    bool writeOnly_;
    automation::JobContext ownJob_;
    std::optional<automation::JobScope> ownScope_;
    automation::JobContext* job_; // the current job, this run's sends' context
    mail::SendQueue queue_;
    automation::JobRun run_;
    QHash<QByteArray, int> seenRows_;
    std::map<quint64, RowWork> inFlight_;
    quint64 nextTicket_ = 1;
    int count_ = 0;
    int nextRow_ = 1;
    int shownRow_ = 0;
    int doneRows_ = 0;
    bool feeding_ = false;
    bool feedScheduled_ = false;
    bool stopped_ = false;
    QEventLoop loop_;
    RowWork* current_ = nullptr;
    bool handedOver_ = false;
    station::MailFields lastRow_; // the mail fields of the last row read
    bool anyRow_ = false;
};

void Dispatch::deleteAttachment(const QString& native) {
    if (!automation::nonEmptyFile(native))
        return;
    // Another job of the folder names it too: the last of them to send it deletes it.
    if (!automation::jobsNamingAttachment(nativeFolder_, native, run_.jobName()).isEmpty())
        return;
    if (::unlink(QFile::encodeName(native).constData()) != 0 && errno != ENOENT)
        Lib_Public::ReportError(JobDispatch::kLabel, 75,
                                QStringLiteral("cannot delete %1: %2")
                                    .arg(native, QString::fromLocal8Bit(std::strerror(errno))));
}

// A row whose outcome is known lets its attachment go once every row naming it went out.
// `server` is set for a row that was tried now (the supervision counts it).
void Dispatch::settle(const automation::RowUnit& unit, const QString* server) {
    station::QueueControl::instance().setInFlight(run_.jobName(), unit.row, false);
    if (server)
        Supervision::CountRow(
            unit.state == automation::UnitState::Sent     ? Supervision::RowOutcome::Sent
            : unit.state == automation::UnitState::Failed ? Supervision::RowOutcome::Failed
                                                          : Supervision::RowOutcome::Deferred,
            *server, settings_.protocol);
    if (unit.state == automation::UnitState::Sent || unit.state == automation::UnitState::Failed)
        ++doneRows_;
    if (server && unit.state == automation::UnitState::Sent)
        StopPoints::reach("recorded");
    if (run_.attachmentSettled(unit, unit.state == automation::UnitState::Sent))
        deleteAttachment(unit.attachment);
    if (job_->afterRow)
        job_->afterRow();
}

// The attachment of a row: its native path when it names a plain file inside the folder.
void Dispatch::countAttachments() {
    for (int row = 1; row <= count_; ++row) {
        if (cell(row, 1).trimmed().isEmpty())
            continue;
        const QString name = cell(row, 10).trimmed();
        if (automation::checkAttachmentName(name) != automation::AttachmentName::Inside)
            continue;
        const QString native = WinPath::nativePath(folder_ + name);
        if (!native.isEmpty() && automation::resolvesInside(nativeFolder_, native))
            run_.countAttachment(QFileInfo(native).absoluteFilePath());
    }
}

// One row: read, routed, and sent unless it is done or waits.
void Dispatch::takeRow(int row) {
    if (cell(row, 1).trimmed().isEmpty())
        return;
    const automation::IncidentAbout about(row);
    QStringList cells;
    for (int column = 1; column <= 12; ++column)
        cells << cell(row, column);
    // Blanks around the attachment name are dropped once, for the check, the mail and the
    // deletion alike.
    const QString attachment = cells[9].trimmed();
    anyRow_ = true;
    RowWork work;
    automation::RowUnit& unit = work.unit;
    unit.row = row;
    unit.key = automation::JobJournal::rowKey(cells);
    unit.occurrence = seenRows_[unit.key]++;

    // Column 10 must name a plain file inside the job folder; anything else is neither
    // attached nor deleted, and the operator is told.
    auto verdict = automation::checkAttachmentName(attachment);
    QString refusal = QStringLiteral("hors du dossier partagé");
    QString attachmentNative;
    if (verdict == automation::AttachmentName::Inside) {
        attachmentNative = WinPath::nativePath(folder_ + attachment);
        const QFileInfo info(attachmentNative);
        if (attachmentNative.isEmpty() ||
            !automation::resolvesInside(nativeFolder_, attachmentNative)) {
            verdict = automation::AttachmentName::Refused;
        } else if (info.exists() && !info.isFile()) {
            verdict = automation::AttachmentName::Refused;
            refusal = QStringLiteral("pas un fichier ordinaire");
        }
    }
    const bool attachmentInside = verdict == automation::AttachmentName::Inside;
    if (attachmentInside)
        unit.attachment = QFileInfo(attachmentNative).absoluteFilePath();

    // The row's mail goes from its cells to the sending, through no widget; the hidden form
    // shows the last row once the job is over.
    lastRow_ = {JobDispatch::RouteTo(cells[4], cells[10]),
                cells[5],
                cells[6],
                cells[7],
                cells[8],
                attachmentInside ? folder_ + attachment + QStringLiteral("; ") : QString()};

    if (writeOnly_)
        return;
    // What the operator asked of this row: tried now, or removed.
    station::QueueControl& queue = station::QueueControl::instance();
    unit.tryNow = queue.takeRetry(run_.jobName(), row);
    if (queue.takeDrop(run_.jobName(), row))
        unit.dropReason = station::DroppedByOperator;
    unit.delivery = station::DeliveryBefore(lastRow_.to + u',' + lastRow_.cc + u',' + lastRow_.cci,
                                            settings_.server, settings_.protocol);
    switch (run_.begin(unit)) {
    case automation::JobRun::Start::Done:
        settle(unit);
        return;
    case automation::JobRun::Start::Waiting:
        settle(unit);
        return;
    case automation::JobRun::Start::Send:
        break;
    }
    // A held destination gets nothing until it is released: the row waits, untried.
    if (queue.isHeld(station::QueueDestination(
            settings_, QStringList{lastRow_.to, lastRow_.cc, lastRow_.cci}.join(u',')))) {
        run_.notTried(unit);
        settle(unit);
        return;
    }
    if (verdict == automation::AttachmentName::Refused)
        automation::postIncident(
            JobDispatch::RefusedAttachmentText(cells[9], run_.jobName(), row, refusal));
    shownRow_ = row;
    sendRow(std::move(work));
}

// Builds the row's mail in SendEmail: it goes to the sending worker, or (one copy per
// recipient without a server) out at once.
void Dispatch::sendRow(RowWork work) {
    automation::RowUnit& unit = work.unit;
    // The recipients that took this row before (a retry after a partial refusal) are left
    // out; those refused now are the run's to tell.
    automation::CopyRecord copies;
    copies.alreadySent = [&](const QString& r) { return run_.copyAlreadySent(unit, r); };
    copies.noteSent = [&](const QString& r) { run_.copySent(unit, r); };
    copies.noteRefused = [&](const QString& r, bool permanent, const QString& reason) {
        if (!permanent)
            return; // the row waits, and says so once
        const automation::IncidentAbout about(unit.row, r);
        automation::postIncident(Untrusted::Clean(reason));
        run_.copySent(unit, r); // never tried again
    };
    copies.stopped = [this] { return run_.journalBroken(); };
    copies.envelopeId = QStringLiteral("%1:%2").arg(run_.jobName()).arg(unit.row);
    copies.noteReply = [&](const QString& r, const mail::ServerReply& reply) {
        run_.copyAnswered(unit, r, reply);
    };
    job_->copies = &copies;
    station::QueueControl::instance().setInFlight(run_.jobName(), unit.row, true);
    current_ = &work;
    handedOver_ = false;
    qint16 abandon = 0;
    Lib_Public::Trap(JobDispatch::kLabel, [&] {
        if (host_.sendRow) {
            host_.sendRow(lastRow_, abandon);
            return;
        }
        Sending::MailRequest request;
        request.fields = lastRow_;
        request.settings = settings_;
        request.oauthLogin = OAuthSettings::LoginOf(settings_);
        Sending::Feedback feedback;
        feedback.report = [](const QString& text) {
            automation::postIncident(text, automation::IncidentKind::Warning);
        };
        abandon = Sending::BuildAndSend(request, feedback);
    });
    job_->copies = nullptr;
    current_ = nullptr;
    if (handedOver_)
        return; // its outcome comes from the sending worker

    // Sent (or not) in place: the direct copies, or a mail that could not be built.
    const automation::Verdict& verdict = job_->verdict;
    if (abandon == 0 || verdict.outcome == Sending::Outcome::Sent)
        run_.sent(unit);
    else if (mail::AbortRequested() || run_.journalBroken())
        run_.notTried(unit);
    else if (verdict.outcome == Sending::Outcome::Permanent)
        run_.failed(unit, verdict.reason);
    else
        run_.deferred(unit, verdict.reason);
    const QString server = settings_.server.trimmed();
    settle(unit, &server);
}

void Dispatch::outcome(quint64 ticket, const mail::SendOutcome& outcome) {
    const auto it = inFlight_.find(ticket);
    if (it == inFlight_.end())
        return;
    RowWork work = std::move(it->second);
    inFlight_.erase(it);
    automation::RowUnit& unit = work.unit;
    const automation::IncidentAbout about(unit.row);
    unit.delivery = station::DeliveryOf(work.plan.get(), work.server, settings_.protocol, outcome);
    if (outcome.code == mail::Error::None)
        StopPoints::reach("answered");
    if (!outcome.notice.isEmpty())
        automation::postIncident(Untrusted::Clean(outcome.notice));
    if (outcome.code == mail::Error::None) {
        // Sent, but not to everybody: those refused for good are named, with the job and the
        // row; those refused for a while get it later, and the row's waiting line says so.
        QStringList forGood;
        for (const QString& refused : outcome.refused)
            if (!outcome.deferred.contains(refused.section(QStringLiteral(" ("), 0, 0)))
                forGood << refused;
        if (!forGood.isEmpty())
            automation::postIncident(Untrusted::Clean(
                QStringLiteral("Ligne %1 de %2 envoyée, mais le serveur %3 a refusé "
                               "ces destinataires : %4")
                    .arg(unit.row)
                    .arg(run_.jobName().isEmpty() ? QStringLiteral("la tâche") : run_.jobName(),
                         work.server, forGood.join(QStringLiteral(" ; ")))));
        if (outcome.unconfirmed)
            automation::postIncident(Untrusted::Clean(outcome.description));
        if (outcome.deferred.isEmpty())
            run_.sent(unit);
        else
            run_.partlySent(unit, outcome.served, outcome.deferred,
                            QStringLiteral("destinataires refusés pour l'instant"));
    } else if (outcome.throttled && !outcome.permanent && work.throttled < kThrottleRetries &&
               !mustStop() && !Lib_Public::QuitterDemande) {
        // The server asked to slow down: the destination now runs slower, and the same mail
        // goes again after its pause.
        ++work.throttled;
        const quint64 again = nextTicket_++;
        auto plan = work.plan;
        inFlight_.emplace(again, std::move(work));
        queue_.resume();
        queue_.submit(again, std::move(plan));
        return;
    } else if (!outcome.missingRight.isEmpty()) {
        // A right the account lacks: the row waits like every other row of that account until
        // an administrator grants it; the operator heard of it once (the outcome's notice).
        run_.deferred(unit, outcome.description, 0, 0, true);
    } else if (outcome.retryAtMs > 0 && !outcome.permanent) {
        // The server's recipients of the day, or its quota of 24 hours, are spent: the row
        // waits until they are not.
        run_.deferred(unit, outcome.description, 0, outcome.retryAtMs);
    } else if (outcome.code == mail::Error::Aborted || outcome.notAttempted) {
        run_.notTried(unit);
    } else if (outcome.permanent) {
        // The row's own line gives the reason; only a provider's advice comes beside it.
        // The password hints do not apply to a token login.
        if (const QString hint = OAuthSettings::LoginOf(settings_)
                                     ? QString()
                                     : Sending::ProviderLoginHint(work.server);
            !hint.isEmpty())
            automation::postIncident(hint, automation::IncidentKind::Warning);
        run_.failed(unit, outcome.description);
    } else {
        const QString hint = Sending::ProviderLoginHint(work.server);
        // The station's own server out of reach: its rows are tried again once its rest is
        // over, so that they go as soon as it is back, not on the long schedule.
        const bool outOfReach =
            !work.server.isEmpty() && (outcome.code == mail::Error::ConnectFailed ||
                                       outcome.code == mail::Error::ServerNotFound);
        run_.deferred(unit,
                      outcome.code == mail::Error::LoginRefused && !hint.isEmpty()
                          ? outcome.description + QLatin1Char(' ') + hint
                          : outcome.description,
                      outOfReach ? mail::DestinationLimitsOf(work.server).restMaxMs : 0);
    }
    settle(unit, &work.server);
    // A failed mail held the queue: the rows queued behind it go on, unless the job stops.
    if (mustStop())
        queue_.dropQueued();
    else
        queue_.resume();
    scheduleFeed();
}

// Feeds rows while the worker has room; ends the job's loop once nothing is left to send or
// to wait for.
void Dispatch::feed() {
    if (feeding_)
        return; // a row being read let the outcomes in: the outer call goes on
    feeding_ = true;
    const int window = queue_.sessions() * 2;
    while (!mustStop() && nextRow_ <= count_ && queue_.pending() < window) {
        if (Lib_Public::QuitterDemande) {
            // Quitting: the rest of the job waits for the next run (the journal keeps what
            // went out); a transfer in flight is cut short by the stop request.
            stopped_ = true;
            queue_.dropQueued();
            break;
        }
        takeRow(nextRow_++);
    }
    feeding_ = false;
    if ((mustStop() || nextRow_ > count_) && queue_.pending() == 0)
        loop_.quit();
}

void Dispatch::scheduleFeed() {
    if (feedScheduled_)
        return;
    feedScheduled_ = true;
    QMetaObject::invokeMethod(
        &loop_,
        [this] {
            feedScheduled_ = false;
            feed();
        },
        Qt::QueuedConnection);
}

void Dispatch::showProgress() {
    if (Lib_Public::QuitterDemande && !stopped_) {
        stopped_ = true;
        queue_.dropQueued();
        if (queue_.pending() == 0)
            loop_.quit();
    }
    Supervision::SetRowsWaiting(count_ - doneRows_);
    if (shownRow_ > 0 && host_.progress) {
        host_.progress(shownRow_, QStringLiteral("Envoi %1 / %2 %3 (%4 traitées)")
                                      .arg(shownRow_)
                                      .arg(count_)
                                      .arg(run_.jobName())
                                      .arg(doneRows_));
    }
}

qint16 Dispatch::exec() {
    count_ = sheet_ ? sheet_->rowCount() : 0;
    // A stop request cuts the transfers in flight and starts no further row.
    mail::SetAbortFlag(&Lib_Public::QuitterDemande);
    countAttachments();

    // An automatic SendEmail of this job hands its finished mail over instead of waiting.
    job_->handOver = [this](std::shared_ptr<const mail::SendPlan> plan, const QString& server) {
        if (!current_)
            return;
        current_->server = server;
        current_->plan = plan;
        const quint64 ticket = nextTicket_++;
        inFlight_.emplace(ticket, std::move(*current_));
        handedOver_ = true;
        queue_.submit(ticket, std::move(plan));
    };

    QObject::connect(
        &queue_, &mail::SendQueue::sent, &loop_,
        [this](quint64 ticket, const mail::SendOutcome& result) { outcome(ticket, result); });
    QTimer progress;
    progress.setInterval(kProgressMs);
    QObject::connect(&progress, &QTimer::timeout, &loop_, [this] { showProgress(); });

    if (count_ > 0) {
        progress.start();
        QTimer::singleShot(0, &loop_, [this] { feed(); });
        loop_.exec();
        progress.stop();
        showProgress();
    }
    job_->handOver = nullptr; // it points at this dispatch
    station::QueueControl::instance().clearInFlight(run_.jobName());
    if (anyRow_ && host_.lastRow)
        host_.lastRow(lastRow_);
    if (host_.finished)
        host_.finished();
    job_->failures = run_.failures();
    job_->unrecorded = run_.unrecordedSent();
    if (stopped_ || writeOnly_)
        return 0;
    return run_.complete() && nextRow_ > count_ ? -1 : 0;
}

} // namespace

qint16 JobDispatch::SendJob(std::shared_ptr<const automation::JobSheet> sheet,
                            const QString& folder, const station::SendingSettings& settings,
                            const DispatchHost& host, bool writeOnly) {
    // A row that waits keeps its job, never the jobs behind it: the caller goes on.
    Dispatch dispatch(std::move(sheet), folder, settings, host, writeOnly);
    return dispatch.exec();
}
