// Job dispatch: each used row of a loaded job becomes one automatic mail; the row's
// attachment is deleted once the row went out, and the send journal keeps a retried job from
// sending a row twice.
#include "mail/job_dispatch.h"

#include "system/error_reporting.h"
#include "system/globals.h"
#include "automation/fp_spread.h"
#include "automation/incidents.h"
#include "automation/job_guard.h"
#include "automation/poller.h"
#include "system/files.h"
#include "system/winpath.h"
#include "ui/controls.h"
#include "ui/frm_main.h"
#include "ui/frm_mainbis.h"

#include <QCoreApplication>
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

QString RefusedAttachmentText(const QString& name, const QString& jobName, int row) {
    QString text = QStringLiteral("Pièce jointe refusée (hors du dossier partagé): ") + name;
    if (!jobName.isEmpty())
        text += QStringLiteral(" (%1, ligne %2)").arg(jobName).arg(row);
    return text;
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
    const automation::ActiveJob* job = automation::activeJob();
    automation::JobJournal* journal = job ? job->journal : nullptr;
    const QString jobName = job ? job->fileName : QString();
    QString nativeFolder;

    const int count = sheet.MaxRows();
    for (int row = 1; row <= count; ++row) {
        // Quitting: the rest of the job waits for the next run (the journal keeps what
        // went out), rather than holding the program open for thousands of rows.
        if (Lib_Public::QuitterDemande) {
            statusBar()->clearMessage();
            return 0;
        }
        QString to, cc, cci, subject, body, attachment, partner;
        sheet.Row = row;
        sheet.Col = 1;
        if (sheet.Text().trimmed().isEmpty())
            continue;
        auto read = [&sheet](int column) {
            sheet.Col = column;
            return sheet.Text();
        };
        to = read(5);
        cc = read(6);
        cci = read(7);
        subject = read(8);
        body = read(9);
        attachment = read(10);
        partner = read(11);
        read(12); // read, not used

        // Column 10 must stay inside the job folder; anything else is neither attached nor
        // deleted, and the operator is told.
        auto verdict = automation::checkAttachmentName(attachment);
        if (verdict == automation::AttachmentName::Inside) {
            if (nativeFolder.isEmpty())
                nativeFolder = nativeJobFolder(folder);
            const QString nativeFile = WinPath::nativePath(folder + attachment.trimmed());
            if (!nativeFile.isEmpty() && !automation::resolvesInside(nativeFolder, nativeFile))
                verdict = automation::AttachmentName::Refused;
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

        const bool alreadySent = journal && journal->rowSent(row);
        if (!alreadySent) {
            if (verdict == automation::AttachmentName::Refused)
                automation::addIncident(*this, JobDispatch::RefusedAttachmentText(attachment, jobName, row));
            // Progress where the operator looks: the row in the grid and the status bar.
            sheet.showRow(row);
            statusBar()->showMessage(QStringLiteral("Envoi %1 / %2 %3").arg(row).arg(count).arg(jobName));
            QCoreApplication::processEvents();

            automation::setActiveJobRow(journal, row);
            Lib_Public::Trap(label, [&] { SendEmail(bis, 0, Abandon); });
            automation::clearActiveJobRow();
            if (Abandon != 0)
                continue;
            QString error;
            if (journal && !journal->markRowSent(row, verdict == automation::AttachmentName::Inside, &error))
                Lib_Public::ReportError(label, 75, error);
        }
        // A row that went out (now or before an interruption) loses its attachment.
        if (verdict == automation::AttachmentName::Inside) {
            Lib_Public::Trap(label, [&] {
                const QString path = folder + attachment;
                if (Lib_Systeme::File_Exist(path, label, true))
                    Lib_Systeme::File_Delete(path, label, 0, 0);
            });
        }
    }
    statusBar()->clearMessage();
    return Abandon == 0 ? -1 : 0;
}
