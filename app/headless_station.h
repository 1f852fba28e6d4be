// The station without a display: the core started on a QCoreApplication (no window, no
// platform plugin), its start-up steps, its poll timer and its close on a stop signal.
#pragma once

#include "station/sending_settings.h"

#include <QString>

namespace HeadlessStation {

// The sending settings as the settings page shows them once it has loaded the settings file
// `file`: each key in the page's order, with the effects of the page's own handlers (a
// well-known server's preset, the sender filling an empty user or server, Exchange Web
// Services switching SSL on, the component's character set). A value the page refuses leaves
// the field as it was. Never fails.
station::SendingSettings ReadSendingSettings(const QString& file);

// Runs the station until a stop signal (SIGTERM, SIGINT, SIGHUP): the start-up steps that need
// no window (folders, incident day files, settings, the installation's marker, the version
// notice, the hosted-mail deadlines), then a poll cycle every 30 ticks with the saved settings,
// read again when the settings file changes. Needs the QCoreApplication. Returns the exit
// status.
int Run();

} // namespace HeadlessStation
