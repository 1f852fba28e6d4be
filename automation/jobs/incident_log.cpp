// Incident lines on disk: day files, size cap, pruning, reading back at start-up.
#include "automation/jobs/incident_log.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace automation {

namespace {

const QString kPattern = QStringLiteral("Incidents_????????.log");
const QByteArray kFullNote = "--- journal du jour plein : les incidents suivants ne sont "
                             "gardés que dans la liste ---\n";

// The day files of `folder`, oldest first (their names sort by date).
QStringList dayFiles(const QString& folder) {
    return QDir(folder).entryList({kPattern}, QDir::Files, QDir::Name);
}

} // namespace

QString incidentLogName(const QDate& day) {
    return QStringLiteral("Incidents_") + day.toString(QStringLiteral("yyyyMMdd")) +
           QStringLiteral(".log");
}

bool appendIncidentLog(const QString& folder, const QString& line, const QDate& day,
                       QString* error) {
    const auto fail = [&](const QString& why) {
        if (error)
            *error = why;
        return false;
    };
    // The folder is never created here: a folder that went away takes no more lines.
    if (!QFileInfo(folder).isDir())
        return fail(QStringLiteral("no folder %1").arg(folder));
    const QString path = QDir(folder).filePath(incidentLogName(day));
    const QFileInfo info(path);
    if (info.exists() && !info.isFile())
        return fail(QStringLiteral("%1 is not a plain file").arg(path));
    const bool fresh = !info.exists();
    const qint64 size = info.exists() ? info.size() : 0;
    QByteArray bytes = line.toUtf8() + '\n';
    if (size >= MaxIncidentLogBytes)
        return true; // full: the note is there already
    if (size + bytes.size() + kFullNote.size() > MaxIncidentLogBytes)
        bytes = kFullNote;
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append) || file.write(bytes) != bytes.size())
        return fail(QStringLiteral("cannot write %1: %2").arg(path, file.errorString()));
    if (fresh) {
        const QStringList files = dayFiles(folder);
        for (qsizetype i = 0; i + IncidentLogDays < files.size(); ++i)
            QFile::remove(QDir(folder).filePath(files[i]));
    }
    return true;
}

QStringList readIncidentLog(const QString& folder, int maxLines) {
    QStringList lines;
    const QStringList files = dayFiles(folder);
    // Newest file first, until enough lines.
    for (qsizetype i = files.size() - 1; i >= 0 && lines.size() < maxLines; --i) {
        QFile file(QDir(folder).filePath(files[i]));
        if (!QFileInfo(file).isFile() || !file.open(QIODevice::ReadOnly))
            continue;
        QStringList day = QString::fromUtf8(file.read(MaxIncidentLogBytes + 4096)).split(u'\n');
        if (!day.isEmpty() && day.last().isEmpty())
            day.removeLast();
        lines = day + lines;
        if (lines.size() > maxLines)
            lines = lines.mid(lines.size() - maxLines);
    }
    return lines;
}

} // namespace automation
