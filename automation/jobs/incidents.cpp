// Incident lines: time stamp, cleaning of untrusted text, insertion into the list.
#include "automation/jobs/incidents.h"

#include "automation/jobs/incident_log.h"
#include "system/clock.h"
#include "system/untrusted_text.h"

#include <QListWidget>

namespace automation {

namespace {

IncidentEcho incidentEcho;
QString logFolder;

void echo(const QString& line) {
    if (incidentEcho)
        incidentEcho(line);
    // A line that cannot be kept on disk is still in the list (and echoed).
    if (!logFolder.isEmpty())
        appendIncidentLog(logFolder, line, Clock::Now().date());
}

} // namespace

void setIncidentEcho(IncidentEcho e) {
    incidentEcho = std::move(e);
}

void setIncidentLogFolder(const QString& folder) {
    logFolder = folder;
}

bool recordIncidentPurge(QString* error) {
    return logFolder.isEmpty() || appendIncidentPurge(logFolder, Clock::Now(), error);
}

QString incidentLine(const QString& text) {
    return Clock::Now().toString(QStringLiteral("yyyy/MM/dd HH:mm:ss")) + QStringLiteral(": ") +
           Untrusted::Clean(text);
}

void insertIncident(QListWidget& list, const QString& text, const std::function<void()>& alertOn) {
    const QString line = incidentLine(text);
    list.insertItem(0, line);
    if (alertOn)
        alertOn();
    echo(line);
}

void appendIncident(QListWidget& list, const QString& text) {
    const QString line = incidentLine(text);
    list.addItem(line);
    echo(line);
}

} // namespace automation
