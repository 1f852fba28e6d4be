// The web transports (Microsoft Graph, Exchange Web Services, WebDAV) under the destination
// scheduler, as SMTP is: sessions at once and messages a minute per mailbox, and a server's
// "429/503 Retry-After" pausing the whole destination rather than the one worker it answered.
#pragma once

#include "mail/engine/destinations.h"
#include "mail/engine/https_call.h"
#include "mail/engine/mail_component.h"

#include <QString>

#include <chrono>
#include <optional>

namespace mail::detail {

// Where a web request goes, for the scheduler.
struct WebDestination {
    QString host; // whose limits apply (mail/engine/destinations.h), lower case
    QString key;  // the destination's counters: the service's address and the mailbox
    int recipients = 0;
    // A Retry-After of at most this long is waited for (every worker of the destination
    // waits it out) and the request made again, twice at most; a longer one ends the send.
    std::chrono::seconds longestRetryWait{30};
};

// The wait a 429 or 503 asks for (seconds or an HTTP date); -1 when it names none.
qint64 RetryAfterSeconds(const HttpsReply& reply);

// The outcome of a mail that could not start: the destination rests or the program stops
// (code Aborted then), with `slot`'s reason.
SendOutcome NotGranted(const DestinationSlot& slot, const QString& service);

// What a web exchange came to: the server's reply, or the outcome of a mail that never left
// (`refusal`, set when no slot was granted).
struct WebCall {
    std::optional<SendOutcome> refusal;
    HttpsReply reply;
    bool throttled = false; // the last reply asked to slow down (429, 503)
    QString notice;         // the destination's line for the operator, if any
};

// Performs `request` inside a slot of `to`: waits for a session and room in the rate (a stop
// ends the wait), reports the outcome to the destination, and after a 429 or 503 pauses the
// destination for the Retry-After asked and tries again (see WebDestination). `service`
// names the server in texts. Runs on any thread; blocks.
WebCall CallWithinLimits(const WebDestination& to, const HttpsRequest& request,
                         const QString& service);

// Reports one reply to a slot already held (a send made of several requests): a 429 or 503
// cuts the destination and pauses it for its Retry-After. True when the reply asked to slow
// down.
bool ReportReply(DestinationSlot& slot, const HttpsReply& reply, qint64 longestWaitMs);

} // namespace mail::detail
