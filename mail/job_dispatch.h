// The dispatch of one loaded job: one automatic mail per used row through SendEmail
// (Frm_Main::EnvoiMailAutomation, declared in ui/frm_main.h) and the routing rule.
#pragma once

#include <QString>

namespace JobDispatch {

// Trap label of the dispatch.
inline const QString kLabel = QStringLiteral("Frm_Main:EnvoiMailAutomation");

// The two fixed mailboxes of the routing rule (build options of the program).
QString PartnerItMailbox();
QString SupportMailbox();

// The To list of a job row: the partner network's IT mailbox when `partnerMark` (column 11)
// is exactly "1"; otherwise the support mailbox when `to` (column 5) is blank after
// trimming; otherwise `to` unchanged.
QString RouteTo(const QString& to, const QString& partnerMark);

// Incident text for an attachment name refused because it leaves the job folder.
QString RefusedAttachmentText(const QString& name, const QString& jobName, int row);

} // namespace JobDispatch
