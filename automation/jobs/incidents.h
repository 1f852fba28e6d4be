// The incidents list: one time-stamped line per problem met while sending, newest at the
// top, with the Incidents tab put into its alert state so an operator sees it from any page.
#pragma once

#include <QString>

#include <functional>

class QListWidget;
class Frm_Main;

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

// Inserts the incident line for `text` at the top of `list` and calls `alertOn` (when set).
void insertIncident(QListWidget& list, const QString& text, const std::function<void()>& alertOn);
// Appends the incident line for `text` at the bottom of `list`, alert unchanged.
void appendIncident(QListWidget& list, const QString& text);

// The same on the main window: its ListeIncidents and the alert of its Incidents tab.
// Every automatic failure of the program is reported through addIncident.
void addIncident(Frm_Main& form, const QString& text);
void appendIncident(Frm_Main& form, const QString& text);

} // namespace automation
