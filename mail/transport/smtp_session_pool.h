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
SmtpSession TakeSmtpSession(const std::string& key, bool& reused);

// Keeps `session`, open and idle, for the next TakeSmtpSession of `key`. Thread-safe.
void GiveBackSmtpSession(const std::string& key, SmtpSession session);

} // namespace mail::detail
