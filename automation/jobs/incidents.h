// Incidents: one time-stamped line per problem met while sending, handed to whoever shows
// them (the window's list, newest at the top), echoed and kept on disk.
#pragma once

#include <QString>

#include <functional>

namespace automation {

// Index of the Incidents page in the main window's tab control.
inline constexpr int IncidentsTabIndex = 3;

// Receives every incident line as it is added (the program writes them to standard error
// when it runs without a display). Empty function: no echo.
using IncidentEcho = std::function<void(const QString& line)>;
void setIncidentEcho(IncidentEcho echo);

// Native folder where every incident line is also kept on disk (automation/jobs/
// incident_log.h), so that the list survives a restart; "" (the default): not kept.
void setIncidentLogFolder(const QString& folder);

// Keeps a purge of the list in the incident folder set above, so that the purged lines do
// not come back at the next start. False (with `error`) when it could not be kept.
bool recordIncidentPurge(QString* error = nullptr);

// The incident line for `text`: local time "yyyy/MM/dd hh:mm:ss" of the program's clock
// (system/clock.h), ": ", the text cleaned by Untrusted::Clean (one line, no bidi controls).
QString incidentLine(const QString& text);

// How an incident is shown: a problem goes on top with every alert (tab, flashing window,
// tray balloon), a warning on top with the tab's alert only, a piece of information on top
// without alert, a reminder of a lasting condition at the bottom without alert.
enum class IncidentKind { Problem, Warning, Information, Reminder };

// Shows an incident line where an operator sees it (the window installs its list). Empty
// function: nobody shows them (headless).
using IncidentView = std::function<void(const QString& line, IncidentKind kind)>;
void setIncidentView(IncidentView view);

// Reports `text`: its line (incidentLine) goes to the view, the echo and the day file.
// Never fails: a line that cannot be kept on disk is still shown and echoed.
void postIncident(const QString& text, IncidentKind kind = IncidentKind::Problem);

} // namespace automation
