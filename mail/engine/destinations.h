// What each mail server the program talks to allows (sessions at once, messages a minute,
// recipients a day) and how it behaves lately: every transport asks here before it connects.
#pragma once

#include <QHash>
#include <QString>
#include <QtGlobal>

#include <functional>
#include <memory>

namespace mail {

// The limits of one destination. 0 means "no cap" for the rate and the daily budget.
struct DestinationLimits {
    int sessions = 4;                 // connections open at the same time (1..8)
    int perMinute = 0;                // messages started in any 60 s
    int recipientsPerDay = 0;         // recipients handed over since local midnight
    int recipientsPerTransaction = 0; // recipients of one mail transaction
    // The longest rest after the destination could not be reached (the rests double up to it).
    qint64 restMaxMs = 3'600'000;
    // The largest message the service takes, in bytes (0: its own default; Microsoft Graph's
    // is a tenant's 35 MB).
    qint64 messageBytes = 0;
    friend bool operator==(const DestinationLimits&, const DestinationLimits&) = default;
};

// The limits of `host` when the settings say nothing: the published limits of the large
// hosted services (matched without regard to case), 4 sessions without caps for any other.
DestinationLimits DefaultDestinationLimits(const QString& host);

// Limits set by the settings file, by host name (lower case): they replace the defaults of
// those hosts. Takes effect for the next session. Thread-safe.
void SetConfiguredDestinations(const QHash<QString, DestinationLimits>& byHost);

// The limits in force for `host` (configured, else default).
DestinationLimits DestinationLimitsOf(const QString& host);

// What a reply asks of the client, beyond the mail it answers.
enum class Throttle {
    None,
    Sessions, // fewer connections at once: 421, 432, 4.3.2, "too many connections"
    Rate,     // fewer mails a minute: 451/452 with an enhanced code 4.7.x, other "too many"
};
Throttle ThrottleOf(int code, const QString& text);
inline bool IsThrottlingReply(int code, const QString& text) {
    return ThrottleOf(code, text) != Throttle::None;
}

// Permission to run one mail on `host` (port included in `key`): holds a session of the
// destination until destroyed. Not granted when the destination rests after a failure or
// its daily budget is spent: `refusal` then says why and `retryAtMs` when to come back.
class DestinationSlot {
public:
    DestinationSlot() = default;
    ~DestinationSlot();
    DestinationSlot(DestinationSlot&&) noexcept = default;
    DestinationSlot& operator=(DestinationSlot&&) noexcept = default;
    DestinationSlot(const DestinationSlot&) = delete;
    DestinationSlot& operator=(const DestinationSlot&) = delete;

    bool granted() const { return granted_; }
    QString refusal;
    qint64 retryAtMs = 0;
    // Not granted because the day's recipient budget is spent (`retryAtMs`: next midnight).
    bool budgetSpent = false;
    // Set by report() once, when the destination's rate stayed cut deep for ten minutes:
    // a line for the operator.
    QString notice;

    // What came of the mail: `throttle` cuts the destination's sessions or rate at once (a
    // lone refusal of the rate a little, refusals in a row deep) and makes it pause a short,
    // jittered while; `unreachable` (no connection, no greeting) makes it rest on the retry
    // schedule; successes bring the sessions back step by step and the rate within a minute.
    // `accepted`: the recipients the server took (the rest goes back to the day's budget;
    // -1: all of them).
    void report(bool success, Throttle throttle, bool unreachable, int accepted = -1);
    // The server said the account's quota for 24 hours is spent (5.4.5): the destination
    // takes no mail until the window it counts in has surely ended, 24 hours from now (the
    // provider does not tell when it started). Returns that time.
    qint64 quotaSpent();
    // The server asked every client to wait `ms` (a 429 or 503 with Retry-After): the whole
    // destination pauses, every worker alike. A pause of at most `waitedMs` is waited for in
    // place by the next acquisitions; a longer one makes them give up until it is over.
    void pause(qint64 ms, qint64 waitedMs);

    struct State; // one destination's counters, shared by its slots

private:
    friend DestinationSlot AcquireDestination(const QString&, const QString&, int);
    void giveBackBudget(int accepted);

    std::shared_ptr<State> state_;
    QString name_;
    QString budgetFile_;        // the day's budget this slot took from, or ""
    bool budgetMemory_ = false; // took from the budget kept in memory
    int budgetTaken_ = 0;
    bool granted_ = false;
    bool reported_ = false;
};

// Waits until `host` (`key`: host and port) may take one more mail of `recipients`
// recipients: a free session and room in its rate. A stop request ends the wait (not granted).
// A rest that ends within a few seconds is waited for; a longer one is not granted.
DestinationSlot AcquireDestination(const QString& host, const QString& key, int recipients);

// The time a destination rests after it could not be reached for the `failures`-th time in
// a row: 1 min, doubling, at most `maxMs` (by default 1 h, the same steps as the job's retry
// schedule).
qint64 DestinationRestMs(int failures, qint64 maxMs = 3'600'000);

// The native folder where each destination's recipients of the day are counted (the settings
// folder), shared by restarts and by every copy of the program; "" counts in memory only.
void SetDestinationBudgetFolder(const QString& nativeFolder);

// The messages a minute `key` is held to now (0: no cap).
int DestinationRate(const QString& key);
// Replaces the clock of the destinations' counters (tests); nullptr restores the real one.
void SetDestinationClock(std::function<qint64()> wallMs);

// Rights a destination refused an account (an authorization problem, which only an
// administrator mends), by `key` (destination and account). NoteMissingRight is true when
// `right` is new for `key` or replaces another one; ClearMissingRight is true when one stood.
// So the operator hears of it once per change of state, not once per mail. Thread-safe.
bool NoteMissingRight(const QString& key, const QString& right);
bool ClearMissingRight(const QString& key);

// The operator asked to try `host` now: a rest after failures ends (a pause the server asked
// for, or its spent quota of 24 hours, stays). Thread-safe.
void LiftDestinationRest(const QString& host);

// Forgets every destination's state and configured limits (tests).
void ResetDestinations();

} // namespace mail
