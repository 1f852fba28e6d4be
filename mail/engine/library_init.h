// The one start of the C libraries the mail engine runs on (libcurl, c-ares, GMime), done on
// first use by whichever thread sends first.
#pragma once

namespace mail::detail {

// Initialises libcurl, c-ares and GMime once per process; later calls return at once.
// Thread-safe. A library that fails to start reports it on its own first use.
void InitMailLibraries();

} // namespace mail::detail
