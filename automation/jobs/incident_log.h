// The incident lines kept on disk, so that they survive a restart: one file a day in the
// program's settings folder, each capped in size, the oldest removed.
#pragma once

#include <QDate>
#include <QDateTime>
#include <QString>
#include <QStringList>

namespace automation {

// Largest day file; the lines of a day beyond it are not kept (one line says so).
inline constexpr qint64 MaxIncidentLogBytes = 1024 * 1024;
// Number of day files kept.
inline constexpr int IncidentLogDays = 7;

// Name of the file of `day`: "Incidents_yyyyMMdd.log".
QString incidentLogName(const QDate& day);

// Appends `line` to the file of `day` in the existing native folder `folder`.
// A day file that is full takes no more lines; the line that fills it is replaced by a note
// saying so. The first write of a file removes the day files beyond the IncidentLogDays
// newest. Returns false with `error` filled when the line could not be written.
bool appendIncidentLog(const QString& folder, const QString& line, const QDate& day,
                       QString* error = nullptr);

// Records a purge of the list at `when` in the day file of that date, whatever its size.
// Returns false with `error` filled when it could not be written.
bool appendIncidentPurge(const QString& folder, const QDateTime& when, QString* error = nullptr);

// The lines of the day files in `folder` after the last purge, oldest first, at most the
// `maxLines` newest.
QStringList readIncidentLog(const QString& folder, int maxLines);

} // namespace automation
