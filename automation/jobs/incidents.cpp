// Incident lines: time stamp, cleaning of untrusted text, handing over to the view.
#include "automation/jobs/incidents.h"

#include "automation/jobs/incident_log.h"
#include "system/clock.h"
#include "system/untrusted_text.h"

namespace automation {

namespace {

IncidentEcho incidentEcho;
IncidentView incidentView;
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

void setIncidentView(IncidentView view) {
    incidentView = std::move(view);
}

void postIncident(const QString& text, IncidentKind kind) {
    const QString line = incidentLine(text);
    if (incidentView)
        incidentView(line, kind);
    echo(line);
}

} // namespace automation
