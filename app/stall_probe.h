// A watch on the user-interface thread for the benchmarks: how long the event loop went
// without running, written to a file while the program runs.
#pragma once

#include <QString>

namespace Lib_Public {

// Starts a precise 5 ms timer on the calling (user-interface) thread and appends a line
// "<milliseconds since the epoch> <gap in ms>" to the file `path` for every gap between two
// of its ticks longer than 10 ms, that is every time the event loop did not run for that
// long, and every 200 ticks a line "# <milliseconds since the epoch> <ticks so far>". Does
// nothing when `path` is empty; a file that cannot be opened is ignored.
void StartStallProbe(const QString& path);

} // namespace Lib_Public
