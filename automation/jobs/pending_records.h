// Sends that went out while their job's journal could not be written, kept in a small file of
// their own (beside the settings, not in the job folder whose disk may be full or read-only),
// so that a restart records them before it sends anything of their job again.
#pragma once

#include "automation/jobs/job_journal.h"

#include <QHash>
#include <QList>
#include <QString>

namespace automation {

class PendingRecords {
public:
    // The native file that keeps them; "" keeps them in memory only. Forgets what is held
    // in memory: the file is read again at the next use.
    void setFile(const QString& native);
    // The sends waiting to be recorded in the journal of the job at `nativeJob`.
    QList<UnrecordedSend> of(const QString& nativeJob);
    // Adds sends of a job (written to the file at once); false when the file could not be
    // written (they are still held in memory).
    bool add(const QString& nativeJob, const QList<UnrecordedSend>& sends);
    // The job's sends are in its journal now.
    bool remove(const QString& nativeJob);
    // Forgets what is held in memory (the file stays).
    void forget();

private:
    void load();
    bool save();

    QString file_;
    bool loaded_ = false;
    QHash<QString, QList<UnrecordedSend>> byJob_;
};

} // namespace automation
