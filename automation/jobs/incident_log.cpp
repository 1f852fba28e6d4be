// Incident lines on disk: day files, size cap, pruning, reading back at start-up.
#include "automation/jobs/incident_log.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace automation {

namespace {

const QString kPattern = QStringLiteral("Incidents_????????.log");
const QString kPurgeNote = QStringLiteral("--- liste des incidents purgée ---");
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

bool appendIncidentPurge(const QString& folder, const QDateTime& when, QString* error) {
    if (!QFileInfo(folder).isDir()) {
        if (error)
            *error = QStringLiteral("no folder %1").arg(folder);
        return false;
    }
    // Written even into a full day file: a purge that did not stick would bring every purged
    // line back at the next start.
    const QString path = QDir(folder).filePath(incidentLogName(when.date()));
    const QByteArray bytes = (when.toString(QStringLiteral("yyyy/MM/dd HH:mm:ss")) +
                              QStringLiteral(": ") + kPurgeNote + u'\n')
                                 .toUtf8();
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append) || file.write(bytes) != bytes.size()) {
        if (error)
            *error = QStringLiteral("cannot write %1: %2").arg(path, file.errorString());
        return false;
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
        // Only what came after the last purge comes back.
        qsizetype purge = day.size() - 1;
        while (purge >= 0 && !day[purge].endsWith(QStringLiteral(": ") + kPurgeNote))
            --purge;
        if (purge >= 0)
            day = day.mid(purge + 1);
        lines = day + lines;
        if (lines.size() > maxLines)
            lines = lines.mid(lines.size() - maxLines);
        if (purge >= 0)
            break;
    }
    return lines;
}

} // namespace automation
