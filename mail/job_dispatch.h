// The dispatch of one loaded job: one automatic mail per used row through SendEmail
// (Frm_Main::EnvoiMailAutomation, declared in ui/frm_main.h) and the routing rule.
#pragma once

#include <QString>

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

} // namespace JobDispatch
