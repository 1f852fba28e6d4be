// Idle SMTP sessions kept open for the next send to the same server with the same settings,
// and closed by a reaper thread once they have waited longer than the idle time.
#pragma once

#include "mail/c_handles.h"

#include <chrono>
#include <string>

namespace mail::detail {

// An idle session for `key` (`reused` set to true), or a fresh libcurl handle (`reused`
// false; the handle is null when libcurl cannot make one). Thread-safe.
CurlEasy TakeSmtpSession(const std::string& key, bool& reused);

// Keeps `handle`, whose session is open and idle, for the next TakeSmtpSession of `key`.
// Thread-safe.
void GiveBackSmtpSession(const std::string& key, CurlEasy handle);

// How long a session may wait idle, in milliseconds (the pool's and libcurl's limit).
long SmtpSessionIdleMs();

} // namespace mail::detail
