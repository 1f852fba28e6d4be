// Incidents: one time-stamped line per problem met while sending, handed to whoever shows
// them (the window's list, newest at the top), echoed and kept on disk.
#pragma once

#include <QDateTime>
#include <QString>

#include <functional>

namespace automation {

// Index of the Incidents page in the main window's tab control.
inline constexpr int IncidentsTabIndex = 3;

// How an incident is shown: a problem goes on top with every alert (tab, flashing window,
// tray balloon), a warning on top with the tab's alert only, a piece of information on top
// without alert, a reminder of a lasting condition at the bottom without alert.
enum class IncidentKind { Problem, Warning, Information, Reminder };

// One incident as the station keeps it: when, how it is shown, what it is about (the job file,
// its row and a recipient of it, each empty or 0 when it is about none) and its text, cleaned.
struct Incident {
    QDateTime time;
    IncidentKind kind = IncidentKind::Problem;
    QString job;
    int row = 0;
    QString recipient;
    QString text;
    // Its line in the list and the day files: "yyyy/MM/dd hh:mm:ss: " and the text.
    QString line() const;
};

// Receives every incident as it is added (the supervision counts it, writes it to the system
// journal or, without a display, to standard error). Empty function: no echo.
using IncidentEcho = std::function<void(const Incident& incident)>;
void setIncidentEcho(IncidentEcho echo);

// What the incidents posted on the calling thread are about while this lives: a row of the
// current job (automation/jobs/job_context.h), and one recipient of it. Scopes nest; the
// innermost one counts.
class IncidentAbout {
public:
    explicit IncidentAbout(int row, const QString& recipient = QString());
    ~IncidentAbout();
    IncidentAbout(const IncidentAbout&) = delete;
    IncidentAbout& operator=(const IncidentAbout&) = delete;
    int row() const { return row_; }
    const QString& recipient() const { return recipient_; }

private:
    int row_;
    QString recipient_;
    const IncidentAbout* outer_;
    friend struct IncidentSubject;
};

// Native folder where every incident line is also kept on disk (automation/jobs/
// incident_log.h), so that the list survives a restart; "" (the default): not kept.
void setIncidentLogFolder(const QString& folder);

// Keeps a purge of the list in the incident folder set above, so that the purged lines do
// not come back at the next start. False (with `error`) when it could not be kept.
bool recordIncidentPurge(QString* error = nullptr);

// The incident line for `text`: local time "yyyy/MM/dd hh:mm:ss" of the program's clock
// (system/clock.h), ": ", the text cleaned by Untrusted::Clean (one line, no bidi controls).
QString incidentLine(const QString& text);

// Shows an incident where an operator sees it (the window installs its list; it may be called
// on any thread). Empty function: nobody shows them (headless).
using IncidentView = std::function<void(const Incident& incident)>;
void setIncidentView(IncidentView view);

// Reports `text`: the incident, stamped now and about the current job and the innermost
// IncidentAbout of the calling thread, goes to the view, the echo and the day file (its line).
// Never fails: a line that cannot be kept on disk is still shown and echoed.
void postIncident(const QString& text, IncidentKind kind = IncidentKind::Problem);

} // namespace automation
