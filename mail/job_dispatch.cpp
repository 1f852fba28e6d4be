// Job dispatch: each used row of a loaded job becomes one automatic mail; the row's
// attachment is deleted once the row went out, and the send journal keeps a retried job from
// sending a row twice.
#include "mail/job_dispatch.h"

#include "app/error_reporting.h"
#include "app/globals.h"
#include "automation/fp_spread.h"
#include "automation/incidents.h"
#include "automation/job_guard.h"
#include "automation/poller.h"
#include "system/files.h"
#include "system/winpath.h"
#include "ui/controls.h"
#include "ui/frm_main.h"
#include "ui/frm_mainbis.h"

#include "automation/job_journal.h"
#include "mail/send_email.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QHash>

#include <cerrno>
#include <cstring>
#include <unistd.h>
#include <QDir>
#include <QStatusBar>

namespace JobDispatch {

QString PartnerItMailbox() { return QStringLiteral(POSTIQUE_PARTNER_IT_MAILBOX); }

QString SupportMailbox() { return QStringLiteral(POSTIQUE_SUPPORT_MAILBOX); }

QString RouteTo(const QString& to, const QString& partnerMark) {
    if (partnerMark == QStringLiteral("1"))
        return PartnerItMailbox();
    if (to.trimmed().isEmpty())
        return SupportMailbox();
    return to;
}

QString RefusedAttachmentText(const QString& name, const QString& jobName, int row, const QString& why) {
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
    for (int row = 1; row <= count; ++row) {
        // Quitting: the rest of the job waits for the next run (the journal keeps what
        // went out), rather than holding the program open for thousands of rows.
        if (Lib_Public::QuitterDemande) {
            statusBar()->clearMessage();
            return 0;
        }
        sheet.Row = row;
        sheet.Col = 1;
        if (sheet.Text().trimmed().isEmpty())
            continue;
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
        const QByteArray key = automation::JobJournal::rowKey(cells);
        const int occurrence = seenRows[key]++;

        // Column 10 must name a plain file inside the job folder; anything else is neither
        // attached nor deleted, and the operator is told.
        auto verdict = automation::checkAttachmentName(attachment);
        QString attachmentNative;
        QString refusal = QStringLiteral("hors du dossier partagé");
        if (verdict == automation::AttachmentName::Inside) {
            attachmentNative = WinPath::nativePath(folder + attachment);
            const QFileInfo info(attachmentNative);
            if (attachmentNative.isEmpty() || !automation::resolvesInside(nativeFolder, attachmentNative)) {
                verdict = automation::AttachmentName::Refused;
            } else if (info.exists() && !info.isFile()) {
                verdict = automation::AttachmentName::Refused;
                refusal = QStringLiteral("pas un fichier ordinaire");
            }
        }

        Lib_Public::Trap(label, [&] {
            if (!bis)
                throw Lib_Public::RunTimeError(91, QStringLiteral("Object variable not set (Frm_MainBis)"));
            Controls::SetText(bis, QStringLiteral("TexteTo"), JobDispatch::RouteTo(to, partner));
            Controls::SetText(bis, QStringLiteral("TexteCc"), cc);
            Controls::SetText(bis, QStringLiteral("TexteCci"), cci);
            Controls::SetText(bis, QStringLiteral("TexteSubject"), subject);
            Controls::SetText(bis, QStringLiteral("TexteBody"), body);
            Controls::SetText(bis, QStringLiteral("TexteAttachments"),
                              verdict == automation::AttachmentName::Inside
                                  ? folder + attachment + QStringLiteral("; ")
                                  : QString());
        });

        if (Abandon != 0)
            continue;

        const bool done = journal && occurrence < journal->doneCount(key);
        bool sentNow = false;
        if (!done) {
            if (verdict == automation::AttachmentName::Refused)
                automation::addIncident(*this, JobDispatch::RefusedAttachmentText(cells[9], jobName, row, refusal));
            // Progress where the operator looks: the row in the grid and the status bar.
            sheet.showRow(row);
            statusBar()->showMessage(QStringLiteral("Envoi %1 / %2 %3").arg(row).arg(count).arg(jobName));
            QCoreApplication::processEvents();

            // Without a server each recipient gets a copy of its own: the journal keeps
            // which copies went out, so a retried row sends only the missing ones.
            Sending::CopyRecord copies;
            copies.alreadySent = [&](const QString& r) { return journal->copySent(key, occurrence, r); };
            copies.noteSent = [&](const QString& r) { journal->markCopySent(key, occurrence, r); };
            Sending::SetCopyRecord(journal ? &copies : nullptr);
            Lib_Public::Trap(label, [&] { SendEmail(bis, 0, Abandon); });
            Sending::SetCopyRecord(nullptr);

            const Sending::Verdict outcome = Sending::LastVerdict();
            if (Abandon != 0 && outcome.outcome == Sending::Outcome::Permanent) {
                // This row can never go as it is: recorded as failed, and the job goes on.
                Abandon = 0;
                const QString reason = automation::cleanIncidentText(outcome.reason);
                automation::addIncident(*this, JobDispatch::FailedRowText(jobName, row, reason));
                QString error;
                if (journal && !journal->markRowFailed(key, row, reason, &error))
                    Lib_Public::ReportError(label, 75, error);
                if (job)
                    job->failures << QStringLiteral("Ligne %1 : %2").arg(row).arg(reason);
                if (job && job->afterRow)
                    job->afterRow();
                continue;
            }
            if (Abandon != 0 && outcome.outcome == Sending::Outcome::Sent)
                Abandon = 0; // copies refused for good while others went out: reported, sent
            if (Abandon != 0)
                continue; // the row and its job wait for the next cycle
            sentNow = true;
            QString error;
            if (journal && !journal->markRowSent(key, verdict == automation::AttachmentName::Inside, &error))
                Lib_Public::ReportError(label, 75, error);
            if (job && job->afterRow)
                job->afterRow();
        }
        // A row that went out (now or before an interruption) loses its attachment.
        const bool wentOut = sentNow || (done && occurrence < journal->sentCount(key));
        if (wentOut && verdict == automation::AttachmentName::Inside && automation::nonEmptyFile(attachmentNative)) {
            if (::unlink(QFile::encodeName(attachmentNative).constData()) != 0 && errno != ENOENT)
                Lib_Public::ReportError(label, 75,
                                        QStringLiteral("cannot delete %1: %2")
                                            .arg(attachmentNative, QString::fromLocal8Bit(std::strerror(errno))));
        }
    }
    statusBar()->clearMessage();
    return Abandon == 0 ? -1 : 0;
}
