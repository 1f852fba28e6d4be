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

// While alive, a stop request leaves the connection of `curl` alone: the whole message went
// out and the server's answer to it decides whether the mail counts as sent, so it is
// awaited (up to the reply limit) rather than cut off.
class AnswerAwaited {
public:
    explicit AnswerAwaited(CURL* curl);
    // The same for a connection known by its socket (inside a transfer, where libcurl does
    // not tell the active one yet).
    explicit AnswerAwaited(curl_socket_t socket);
    ~AnswerAwaited();
    AnswerAwaited(const AnswerAwaited&) = delete;
    AnswerAwaited& operator=(const AnswerAwaited&) = delete;

private:
    curl_socket_t socket_ = CURL_SOCKET_BAD;
};

} // namespace mail::detail
