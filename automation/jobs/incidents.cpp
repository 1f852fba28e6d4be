// Incident lines: time stamp, cleaning of untrusted text, handing over to the view.
#include "automation/jobs/incidents.h"

#include "automation/jobs/incident_log.h"
#include "automation/jobs/job_context.h"
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

QString Incident::line() const {
    return time.toString(QStringLiteral("yyyy/MM/dd HH:mm:ss")) + QStringLiteral(": ") + text;
}

QString incidentLine(const QString& text) {
    return Incident{Clock::Now(), {}, {}, 0, {}, Untrusted::Clean(text)}.line();
}

struct IncidentSubject {
    static thread_local const IncidentAbout* innermost;
};
thread_local const IncidentAbout* IncidentSubject::innermost = nullptr;

IncidentAbout::IncidentAbout(int row, const QString& recipient)
    : row_(row), recipient_(recipient), outer_(IncidentSubject::innermost) {
    IncidentSubject::innermost = this;
}

IncidentAbout::~IncidentAbout() {
    IncidentSubject::innermost = outer_;
}

void setIncidentView(IncidentView view) {
    std::lock_guard lock(incidentMutex);
    incidentView = std::move(view);
}

void postIncident(const QString& text, IncidentKind kind) {
    Incident incident{Clock::Now(), kind, {}, 0, {}, Untrusted::Clean(text)};
    if (const JobContext* job = currentJob())
        incident.job = Untrusted::Clean(job->fileName);
    if (const IncidentAbout* about = IncidentSubject::innermost) {
        incident.row = about->row();
        incident.recipient = Untrusted::Clean(about->recipient());
    }
    std::lock_guard lock(incidentMutex);
    if (incidentView)
        incidentView(incident);
    if (incidentEcho)
        incidentEcho(incident);
    // A line that cannot be kept on disk is still in the list (and echoed).
    if (!logFolder.isEmpty())
        appendIncidentLog(logFolder, incident.line(), incident.time.date());
}

} // namespace automation
