// Notices to the operator's address about rows that waited long or failed for good: a
// delivery report (multipart/report with a message/delivery-status part), sent by a thread of
// their own with the station's saved sending settings, so that no job waits for them.
#pragma once

#include "automation/jobs/job_run.h"
#include "station/sending_settings.h"

#include <QByteArray>
#include <QString>

namespace Notices {

// The notice mail about `notice`: its subject, readable text and delivery-status fields.
struct NoticeMail {
    QString subject;
    QString body;
    QByteArray status;
};
NoticeMail Compose(const automation::RowNotice& notice);

// Notices go to `address` with the saved `settings`, once a row has waited `waitMs`; an
// empty address sends none. Called before each job.
void Install(const station::SendingSettings& settings, const QString& address, qint64 waitMs);

// Waits until the notices handed over went out or failed (tests, the end of the program).
void WaitIdle();

} // namespace Notices
