// The operator's check of a job file: reads it as the poller would and tells, row by row,
// what would be sent, without sending, deleting or journaling anything.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace automation {

// Exit statuses of the check.
inline constexpr int JobCheckFine = 0;       // every used row would go out as it is
inline constexpr int JobCheckRowRefused = 1; // a row would be refused or draw an incident
inline constexpr int JobCheckUnreadable = 2; // the file could not be loaded

// What the check found: the lines to print (French, job texts cleaned of control
// characters) and the exit status.
struct JobCheckReport {
    QStringList lines;
    int exitCode = JobCheckFine;
};

// Checks the job file at `path` (a native path, or a Windows path text of the suite). The
// job folder, for attachments, is the file's own folder. Only a regular file within the job
// size limit is read, without blocking. Never fails: problems are in the report.
JobCheckReport checkJobFile(const QString& path);

// Checks job bytes as if they were a job in the native folder `nativeFolder`.
JobCheckReport checkJobBytes(const QByteArray& bytes, const QString& nativeFolder,
                             const QString& jobFileName = QString());

} // namespace automation
