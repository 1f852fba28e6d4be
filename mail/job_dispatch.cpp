// Job dispatch: each used row of a loaded job becomes one automatic mail; the row's
// attachment is deleted once the row went out, and the send journal keeps a retried job from
// sending a row twice.
#include "mail/job_dispatch.h"

#include "automation/jobs/fp_spread.h"
#include "automation/jobs/incidents.h"
#include "automation/jobs/job_guard.h"
#include "automation/poller.h"
#include "system/error_reporting.h"
#include "system/files.h"
#include "system/globals.h"
#include "system/supervision.h"
#include "system/untrusted_text.h"
#include "system/winpath.h"
#include "ui/controls.h"
#include "ui/frm_main.h"
#include "ui/frm_mainbis.h"

#include "automation/jobs/job_journal.h"
#include "mail/engine/send_queue.h"
#include "mail/send_email.h"

#include <QComboBox>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QStatusBar>
#include <QTimer>

#include <cerrno>
#include <cstring>
#include <map>
#include <unistd.h>

namespace JobDispatch {

QString PartnerItMailbox() {
    return QStringLiteral(POSTIQUE_PARTNER_IT_MAILBOX);
}

QString SupportMailbox() {
    return QStringLiteral(POSTIQUE_SUPPORT_MAILBOX);
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
// one another.
int jobSessions() {
    bool ok = false;
    const int value = qEnvironmentVariableIntValue("POSTIQUE_SMTP_SESSIONS", &ok);
    return ok && value >= 1 && value <= 8 ? value : 4;
}

// How often the window shows the progress of a job.
constexpr int kProgressMs = 250;

// A row read from the sheet and on its way: what its outcome needs.
struct RowWork {
    int row = 0;
    QByteArray key;     // the row's journal key
    int occurrence = 0; // rank among the rows identical to it
    bool attachmentInside = false;
    QString attachmentNative;
    QString server; // for the provider hint of a refusal
};

} // namespace

qint16 Frm_Main::EnvoiMailAutomation(FpSpread& sheet, const QString& folder, qint16& Abandon) {
    const QString& label = JobDispatch::kLabel;
    Frm_MainBis* bis = Frm_MainBis::instance();
    automation::ActiveJob* job = automation::activeJob();
    automation::JobJournal* journal = job ? job->journal : nullptr;
    const QString jobName = job ? job->fileName : QString();
    const QString nativeFolder = nativeJobFolder(folder);
    // Rows identical in content are told apart by their rank among themselves.
    QHash<QByteArray, int> seenRows;
    const int count = sheet.MaxRows();

    // The rows go to a sending worker of a few sessions, fed as they free up; their outcomes
    // come back here. The visible window is left alone per row: the progress is shown from a
    // timer a few times a second.
    // A stop request cuts the transfers in flight and starts no further row.
    mail::SetAbortFlag(&Lib_Public::QuitterDemande);
    mail::SendQueue queue(jobSessions());
    const int window = queue.sessions() * 2;
    std::map<quint64, RowWork> inFlight;
    quint64 nextTicket = 1;
    int nextRow = 1;
    int shownRow = 0;
    int doneRows = 0; // rows whose outcome came back, sent or failed for good
    bool feeding = false;
    bool stopped = false;
    QEventLoop loop;

    // A row that went out (now or before an interruption) loses its attachment.
    const auto deleteAttachment = [&](const RowWork& work) {
        if (!work.attachmentInside || !automation::nonEmptyFile(work.attachmentNative))
            return;
        if (::unlink(QFile::encodeName(work.attachmentNative).constData()) != 0 && errno != ENOENT)
            Lib_Public::ReportError(
                label, 75,
                QStringLiteral("cannot delete %1: %2")
                    .arg(work.attachmentNative, QString::fromLocal8Bit(std::strerror(errno))));
    };

    // The end of a row whose outcome is known: the journal, a failure for good, the
    // attachment of a row that went out.
    const auto finishRow = [&](const RowWork& work, const Sending::Verdict& verdict,
                               bool abandoned) {
        Supervision::CountRow(
            !abandoned || verdict.outcome == Sending::Outcome::Sent ? Supervision::RowOutcome::Sent
            : verdict.outcome == Sending::Outcome::Permanent ? Supervision::RowOutcome::Failed
                                                             : Supervision::RowOutcome::Deferred,
            work.server, SavedSettings.protocol);
        if (!abandoned || verdict.outcome != Sending::Outcome::Transient)
            ++doneRows;
        if (abandoned && verdict.outcome == Sending::Outcome::Permanent) {
            // This row can never go as it is: recorded as failed, and the job goes on.
            const QString reason = Untrusted::Clean(verdict.reason);
            automation::addIncident(*this, JobDispatch::FailedRowText(jobName, work.row, reason));
            QString error;
            if (journal && !journal->markRowFailed(work.key, work.row, reason, &error))
                Lib_Public::ReportError(label, 75, error);
            if (job)
                job->failures << QStringLiteral("Ligne %1 : %2").arg(work.row).arg(reason);
            if (job && job->afterRow)
                job->afterRow();
            return;
        }
        // Copies refused for good while others went out: reported, and the row is sent.
        if (abandoned && verdict.outcome != Sending::Outcome::Sent) {
            Abandon = -1; // the row and its job wait for the next cycle
            return;
        }
        QString error;
        if (journal && !journal->markRowSent(work.key, work.attachmentInside, &error))
            Lib_Public::ReportError(label, 75, error);
        if (job && job->afterRow)
            job->afterRow();
        deleteAttachment(work);
    };

    // An automatic SendEmail of this job hands its finished mail over instead of waiting.
    RowWork current;
    bool deferred = false;
    Sending::SetDeferredSender(
        [&](std::shared_ptr<const mail::SendPlan> plan, const QString& server) {
            current.server = server;
            const quint64 ticket = nextTicket++;
            inFlight.emplace(ticket, current);
            deferred = true;
            queue.submit(ticket, std::move(plan));
        });
    struct Uninstall {
        ~Uninstall() { Sending::SetDeferredSender({}); }
    } uninstall;

    // One row: read, routed, written into the hidden form, and sent unless the journal has it.
    const auto takeRow = [&](int row) {
        sheet.Row = row;
        sheet.Col = 1;
        if (sheet.Text().trimmed().isEmpty())
            return;
        QStringList cells;
        for (int column = 1; column <= 12; ++column) {
            sheet.Col = column;
            cells << sheet.Text();
        }
        const QString& to = cells[4];
        const QString& cc = cells[5];
        const QString& cci = cells[6];
        const QString& subject = cells[7];
        const QString& body = cells[8];
        // Blanks around the attachment name are dropped once, for the check, the mail and
        // the deletion alike.
        const QString attachment = cells[9].trimmed();
        const QString& partner = cells[10];
        RowWork work;
        work.row = row;
        work.key = automation::JobJournal::rowKey(cells);
        work.occurrence = seenRows[work.key]++;

        // Column 10 must name a plain file inside the job folder; anything else is neither
        // attached nor deleted, and the operator is told.
        auto verdict = automation::checkAttachmentName(attachment);
        QString refusal = QStringLiteral("hors du dossier partagé");
        if (verdict == automation::AttachmentName::Inside) {
            work.attachmentNative = WinPath::nativePath(folder + attachment);
            const QFileInfo info(work.attachmentNative);
            if (work.attachmentNative.isEmpty() ||
                !automation::resolvesInside(nativeFolder, work.attachmentNative)) {
                verdict = automation::AttachmentName::Refused;
            } else if (info.exists() && !info.isFile()) {
                verdict = automation::AttachmentName::Refused;
                refusal = QStringLiteral("pas un fichier ordinaire");
            }
        }
        work.attachmentInside = verdict == automation::AttachmentName::Inside;

        Lib_Public::Trap(label, [&] {
            if (!bis)
                throw Lib_Public::RunTimeError(
                    91, QStringLiteral("Object variable not set (Frm_MainBis)"));
            Controls::SetText(bis, QStringLiteral("TexteTo"), JobDispatch::RouteTo(to, partner));
            Controls::SetText(bis, QStringLiteral("TexteCc"), cc);
            Controls::SetText(bis, QStringLiteral("TexteCci"), cci);
            Controls::SetText(bis, QStringLiteral("TexteSubject"), subject);
            Controls::SetText(bis, QStringLiteral("TexteBody"), body);
            Controls::SetText(bis, QStringLiteral("TexteAttachments"),
                              work.attachmentInside ? folder + attachment + QStringLiteral("; ")
                                                    : QString());
        });

        if (Abandon != 0)
            return;

        const bool done = journal && work.occurrence < journal->doneCount(work.key);
        if (done) {
            if (work.occurrence < journal->sentCount(work.key))
                deleteAttachment(work);
            return;
        }
        if (verdict == automation::AttachmentName::Refused)
            automation::addIncident(
                *this, JobDispatch::RefusedAttachmentText(cells[9], jobName, row, refusal));
        shownRow = row;

        // Without a server each recipient gets a copy of its own: the journal keeps which
        // copies went out, so a retried row sends only the missing ones.
        Sending::CopyRecord copies;
        copies.alreadySent = [&](const QString& r) {
            return journal->copySent(work.key, work.occurrence, r);
        };
        copies.noteSent = [&](const QString& r) {
            journal->markCopySent(work.key, work.occurrence, r);
        };
        Sending::SetCopyRecord(journal ? &copies : nullptr);
        current = work;
        deferred = false;
        Lib_Public::Trap(label, [&] { SendEmail(bis, 0, Abandon); });
        Sending::SetCopyRecord(nullptr);
        if (deferred)
            return; // its outcome comes from the sending worker

        // A copy: the next row's send overwrites the last verdict.
        // NOLINTNEXTLINE(performance-unnecessary-copy-initialization)
        const Sending::Verdict outcome = Sending::LastVerdict();
        const bool abandoned = Abandon != 0;
        Abandon = 0;
        finishRow(work, outcome, abandoned);
    };

    // Feeds rows while the worker has room; ends the job's loop once nothing is left to send
    // or to wait for.
    std::function<void()> feed = [&] {
        if (feeding)
            return; // a row being read let the outcomes in: the outer call goes on
        feeding = true;
        while (!stopped && nextRow <= count && queue.pending() < window) {
            if (Lib_Public::QuitterDemande) {
                // Quitting: the rest of the job waits for the next run (the journal keeps
                // what went out); a transfer in flight is cut short by the stop request.
                stopped = true;
                queue.dropQueued();
                break;
            }
            takeRow(nextRow++);
            if (Abandon != 0)
                queue.dropQueued(); // nothing after a row that must wait is sent
        }
        // Once a row must wait, the remaining rows are only written into the form.
        while (Abandon != 0 && !stopped && nextRow <= count && !Lib_Public::QuitterDemande)
            takeRow(nextRow++);
        feeding = false;
        if ((stopped || nextRow > count) && queue.pending() == 0)
            loop.quit();
    };

    // The next rows are read once the outcomes at hand are taken in: one call for a batch.
    bool feedScheduled = false;
    const auto scheduleFeed = [&] {
        if (feedScheduled)
            return;
        feedScheduled = true;
        QMetaObject::invokeMethod(
            &loop,
            [&] {
                feedScheduled = false;
                feed();
            },
            Qt::QueuedConnection);
    };

    QObject::connect(&queue, &mail::SendQueue::sent, &loop,
                     [&](quint64 ticket, const mail::SendOutcome& outcome) {
                         const auto it = inFlight.find(ticket);
                         if (it == inFlight.end())
                             return;
                         const RowWork work = std::move(it->second);
                         inFlight.erase(it);
                         Sending::Verdict verdict;
                         bool abandoned = false;
                         if (outcome.code == mail::Error::None) {
                             // Sent, but not to everybody: the refused addresses are named.
                             if (!outcome.refused.isEmpty())
                                 Sending::Report(*this, Sending::False, outcome.description);
                         } else {
                             abandoned = true;
                             verdict = {outcome.permanent ? Sending::Outcome::Permanent
                                                          : Sending::Outcome::Transient,
                                        outcome.description};
                             Sending::ReportRefusal(*this, Sending::False, outcome.description,
                                                    work.server);
                         }
                         finishRow(work, verdict, abandoned);
                         // A failed mail held the queue: the rows queued behind it are dropped when
                         // the job must wait, and go on when it does not (a row refused for good).
                         if (Abandon != 0)
                             queue.dropQueued();
                         else if (abandoned)
                             queue.resume();
                         scheduleFeed();
                     });

    QTimer progress;
    progress.setInterval(kProgressMs);
    const auto showProgress = [&] {
        if (Lib_Public::QuitterDemande && !stopped) {
            stopped = true;
            queue.dropQueued();
            if (queue.pending() == 0)
                loop.quit();
        }
        Supervision::SetRowsWaiting(count - doneRows);
        if (shownRow > 0) {
            sheet.showRow(shownRow);
            statusBar()->showMessage(QStringLiteral("Envoi %1 / %2 %3 (%4 traitées)")
                                         .arg(shownRow)
                                         .arg(count)
                                         .arg(jobName)
                                         .arg(doneRows));
        }
    };
    QObject::connect(&progress, &QTimer::timeout, &loop, showProgress);

    if (count > 0) {
        progress.start();
        QTimer::singleShot(0, &loop, feed);
        loop.exec();
        progress.stop();
        showProgress();
    }
    statusBar()->clearMessage();
    RefreshOAuthStatus(); // the job's sends may have renewed the token
    if (stopped)
        return 0;
    return Abandon == 0 ? -1 : 0;
}
