// Stopping transfers in flight on request: libcurl waits for some replies (the answer to the
// end of a message) without calling any callback, so the connections themselves are cut.
#pragma once

#include <curl/curl.h>

namespace mail::detail {

// Makes the sockets `curl` opens known to a process-wide watcher that, once AbortRequested()
// reads true, shuts every such connection down within a fifth of a second, so any wait of
// libcurl on it ends at once with an error. Call before curl_easy_perform; the callbacks
// stay valid for the life of the process. Never fails (without the watcher, transfers end
// by their own time limits).
void StopOnRequest(CURL* curl);

} // namespace mail::detail
