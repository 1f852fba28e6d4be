// Idle SMTP sessions kept open for the next send to the same server with the same settings,
// and closed by a reaper thread once they have waited longer than the idle time.
#pragma once

#include "mail/engine/c_handles.h"
#include "mail/transport/smtp_conversation.h"

#include <chrono>
#include <string>

namespace mail::detail {

// A libcurl handle that holds (or will hold) one session, and what its server offered.
struct SmtpSession {
    CurlEasy handle;
    SmtpFeatures features;
};

// An idle session for `key` (`reused` set to true), or a fresh libcurl handle (`reused`
// false; the handle is null when libcurl cannot make one). Thread-safe.
// With `pooled` false, always a fresh handle. A session idle for longer than StaleAfter is
// closed rather than reused: a server may well have closed it meanwhile.
SmtpSession TakeSmtpSession(const std::string& key, bool& reused, bool pooled = true);

// Closes every idle session of `key` (its server was found to have dropped one).
void DropIdleSmtpSessions(const std::string& key);

inline constexpr std::chrono::milliseconds StaleAfter{10000};

// Keeps `session`, open and idle, for the next TakeSmtpSession of `key`. Thread-safe.
void GiveBackSmtpSession(const std::string& key, SmtpSession session);

} // namespace mail::detail
