// Incident lines: time stamp, cleaning of untrusted text, handing over to the view.
#include "automation/jobs/incidents.h"

#include "automation/jobs/incident_log.h"
#include "system/clock.h"
#include "system/untrusted_text.h"

#include <mutex>

namespace automation {

namespace {

// Incidents come from the window's thread and from the job loop's: one at a time, and a view
// taken away is no longer called once setIncidentView returns.
std::recursive_mutex incidentMutex;
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
    std::lock_guard lock(incidentMutex);
    incidentEcho = std::move(e);
}

void setIncidentLogFolder(const QString& folder) {
    std::lock_guard lock(incidentMutex);
    logFolder = folder;
}

bool recordIncidentPurge(QString* error) {
    std::lock_guard lock(incidentMutex);
    return logFolder.isEmpty() || appendIncidentPurge(logFolder, Clock::Now(), error);
}

QString incidentLine(const QString& text) {
    return Clock::Now().toString(QStringLiteral("yyyy/MM/dd HH:mm:ss")) + QStringLiteral(": ") +
           Untrusted::Clean(text);
}

void setIncidentView(IncidentView view) {
    std::lock_guard lock(incidentMutex);
    incidentView = std::move(view);
}

void postIncident(const QString& text, IncidentKind kind) {
    const QString line = incidentLine(text);
    std::lock_guard lock(incidentMutex);
    if (incidentView)
        incidentView(line, kind);
    echo(line);
}

} // namespace automation
