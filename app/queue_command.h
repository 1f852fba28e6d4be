// The queue commands of the command line (--queue, --retry-now, --hold, --release, --drop)
// and, in the running copy, the socket that answers them and the queue's figures kept up to
// date for --status, the tray and the window.
#pragma once

#include "station/operator_queue.h"
#include "station/sending_settings.h"

#include <QString>
#include <QStringList>

#include <functional>

namespace QueueCommand {

// The queue command among `arguments` (without the program name), or "" when there is none.
QString Find(const QStringList& arguments);

// Runs the queue command of `arguments`: prints its answer and returns its exit status
// (0 done, 2 bad arguments, 3 no running copy for a command that acts, 4 nothing matched).
// Needs the core application.
int Run(const QStringList& arguments);

// In the running copy: loads the holds, serves the commands on the installation's socket
// (a problem gives one incident) and lists the queue every few seconds for --status, the tray
// and the window (QueueControl::published).
void StartServer(const std::function<station::SendingSettings()>& saved);

} // namespace QueueCommand
