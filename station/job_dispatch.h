// The dispatch of one loaded job: one automatic mail per used row, handed to the job's
// sending worker, and the routing rule.
#pragma once

#include "automation/jobs/job_file.h"
#include "station/sending_settings.h"

#include <QString>
#include <QtGlobal>

#include <functional>
#include <memory>

namespace JobDispatch {

// Trap label of the dispatch.
inline const QString kLabel = QStringLiteral("Frm_Main:EnvoiMailAutomation");

// The two mailboxes of the routing rule: `Partenaire` and `Support` of section [Routage] of
// the settings file, else the build options of the program.
QString PartnerItMailbox();
QString SupportMailbox();

// The To list of a job row: the partner network's IT mailbox when `partnerMark` (column 11)
// is exactly "1"; otherwise the support mailbox when `to` (column 5) is blank after
// trimming; otherwise `to` unchanged.
QString RouteTo(const QString& to, const QString& partnerMark);

// Incident text for an attachment name refused, `why` saying what is wrong with it ("hors du
// dossier partagé", "pas un fichier ordinaire").
QString RefusedAttachmentText(const QString& name, const QString& jobName, int row,
                              const QString& why = QStringLiteral("hors du dossier partagé"));

// Incident text for a row that failed for good: which row of which job, and why.
QString FailedRowText(const QString& jobName, int row, const QString& reason);

// What the dispatch asks of whoever runs it (the window, or the station without one).
struct DispatchHost {
    // Builds the mail of one row as an automatic send: it goes to the current job's sending
    // worker (automation::JobContext::handOver) or out in place. `abandon`: -1 when it could
    // not be built or sent. Empty: the station's own (Sending::BuildAndSend with the job's
    // settings, problems as incident lines).
    std::function<void(const station::MailFields& fields, qint16& abandon)> sendRow;
    // The job's progress a few times a second: the row last handed over and a status text.
    std::function<void(int row, const QString& text)> progress;
    // The job is over: the fields of the last row read (when a row was), then the end itself
    // (the sends may have renewed the sign-in token).
    std::function<void(const station::MailFields& lastRow)> lastRow;
    std::function<void()> finished;
};

// Sends the used rows of `sheet`, the job read from the folder `folder` (with its "\"), with
// the saved `settings`. `writeOnly`: the rows are only read (the caller had abandoned
// already). Returns -1 when no row was abandoned, 0 otherwise.
qint16 SendJob(std::shared_ptr<const automation::JobSheet> sheet, const QString& folder,
               const station::SendingSettings& settings, const DispatchHost& host, bool writeOnly);

} // namespace JobDispatch
