// Supervision of a running station: readiness, status and watchdog for the service manager,
// incidents as journal entries with their fields, the metrics endpoint and the state file
// that `--status` reads.
#pragma once

#include "automation/jobs/incidents.h"
#include "station/sending_settings.h"

#include <QString>

#include <functional>

namespace Supervision {

// Once the start-up is over and the first poll is armed: tells the service manager the
// program is ready, pings its watchdog from the event loop, keeps its status line and the
// state file current, and serves the metrics when `[Supervision] Metriques=host:port` is set
// in the settings file (an address that cannot be used gives one incident).
// `saved` gives the station's saved settings: the OAuth 2.0 sign-in they use is renewed while
// idle, at least once a week.
void StartService(std::function<station::SendingSettings()> saved);

// The program is leaving: the service manager is told, the state file removed.
void NotifyStopping();

// Receives every incident: counts it, and writes it to the journal with its priority, job
// file, row and recipient when the program runs under the service manager, otherwise its line
// to standard error when `echo` (headless).
void OnIncident(const automation::Incident& incident, bool echo);

// Where the running copy keeps its state (native path), from the program's own folder.
QString StateFilePath();

// `--status` (`--status --json`): prints the running copy's state and returns 0 when it is
// alive and no job is older than the retry lifetime, 1 otherwise (no running copy included).
int StatusCommand(bool json);

} // namespace Supervision
