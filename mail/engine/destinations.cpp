// Per-destination sessions, rate, daily budget and back-off. One state per host and port,
// shared by every sending thread; waits happen outside the lock in short steps so that a stop
// request ends them.
#include "mail/engine/destinations.h"

#include "mail/engine/mail_component.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <random>
#include <thread>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace mail {

namespace {

// A rest shorter than this is waited for in place; a longer one sends the mail back.
constexpr qint64 kWaitRestMs = 5000;
// Successes in a row after which a cut limit grows by one step.
constexpr int kStepUpAfter = 20;

std::function<qint64()> g_clock;
std::mutex g_budgetMutex;
QString g_budgetFolder; // native; "" keeps the day's budgets in memory only

qint64 nowMs() {
    return g_clock ? g_clock() : QDateTime::currentMSecsSinceEpoch();
}

// A rate cut back is back whole after this long without another refusal.
constexpr qint64 kRateRecoveryMs = 60'000;
// A destination held below a quarter of its rate for this long is named to the operator.
constexpr qint64 kLowRateNamedAfterMs = 600'000;

struct Published {
    const char* host;
    DestinationLimits limits;
};

// The hosted services' published submission limits (per mailbox).
constexpr Published kPublished[] = {
    {"smtp.office365.com", {3, 30, 10000, 0}},
    {"smtp-mail.outlook.com", {3, 30, 10000, 0}},
    {"smtp.gmail.com", {3, 60, 2000, 0}},
    {"smtp-relay.gmail.com", {3, 60, 10000, 100}},
    {"smtp.mail.yahoo.com", {3, 30, 500, 0}},
    {"smtp.aol.com", {3, 30, 500, 0}},
    // Exchange Online through Microsoft Graph (4 requests at once per mailbox) and Exchange
    // Web Services: 30 messages a minute and 10,000 recipients a day per mailbox.
    {"graph.microsoft.com", {4, 30, 10000, 0}},
    {"outlook.office365.com", {3, 30, 10000, 0}},
    {"outlook.office.com", {3, 30, 10000, 0}},
};

} // namespace

struct DestinationSlot::State {
    std::mutex mutex;
    std::condition_variable freed;
    DestinationLimits limits;
    int sessionCap = 4;        // the sessions allowed now (cut after a throttling reply)
    int rateCap = 0;           // messages a minute allowed now; 0: none
    int active = 0;            // sessions running
    std::deque<qint64> starts; // when the mails of the last minute started
    qint64 restUntilMs = 0;
    bool restForThrottle = false; // a short pause the server asked for: waited in place
    bool restForQuota = false;    // the server's quota of 24 hours is spent
    int throttles = 0;            // throttling replies in a row
    int unreachable = 0;          // failures to reach it in a row
    int successes = 0;            // successes since the last cut or step
    int cuts = 0;                 // session cuts so far: each one makes the way back slower
    int ratePeak = 0;             // while the rate is cut: the rate it grows back to
    qint64 rateGrownMs = 0;       // when the cut rate last grew
    qint64 lowSinceMs = 0; // since when the rate is below a quarter of its peak (0: it is not)
    bool lowNamed = false; // the operator heard of this low spell
    qint64 dayStartMs = 0;
    int recipientsToday = 0; // without a budget folder
    std::mt19937 random{std::random_device{}()};
};

namespace {

struct Registry {
    std::mutex mutex;
    QHash<QString, DestinationLimits> configured;
    QHash<QString, std::shared_ptr<DestinationSlot::State>> states;
    QHash<QString, QString> missingRights; // account key -> the right it lacks
};

Registry& registry() {
    static Registry instance;
    return instance;
}

qint64 localMidnightMs(qint64 ms) {
    QDateTime t = QDateTime::fromMSecsSinceEpoch(ms);
    t.setTime(QTime(0, 0));
    return t.toMSecsSinceEpoch();
}

// The file of `host`'s recipients on the day starting at `midnightMs`, in the budget folder.
QString budgetFile(const QString& host, qint64 midnightMs) {
    std::lock_guard lock(g_budgetMutex);
    if (g_budgetFolder.isEmpty())
        return {};
    QString name = host.trimmed().toLower();
    name.replace(QRegularExpression(QStringLiteral("[^a-z0-9.-]")), QStringLiteral("_"));
    return QDir(g_budgetFolder)
        .filePath(QStringLiteral("Quota %1 %2.txt")
                      .arg(name, QDateTime::fromMSecsSinceEpoch(midnightMs)
                                     .toString(QStringLiteral("yyyy-MM-dd"))));
}

// Adds `delta` recipients to the count of `path` under an exclusive lock, so that every copy
// of the program shares one budget. With `limit` > 0 the count may not pass it (unless it
// was 0): false then, nothing added. False too when the file cannot be used (`usable` false).
bool addToBudget(const QString& path, int delta, int limit, bool& usable) {
    usable = false;
    const int fd = ::open(QFile::encodeName(path).constData(),
                          O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0)
        return false;
    bool added = false;
    if (::flock(fd, LOCK_EX) == 0) {
        usable = true;
        char text[32] = {0};
        const ssize_t n = ::pread(fd, text, sizeof text - 1, 0);
        const int count = n > 0 ? std::max(0, QByteArray(text, int(n)).trimmed().toInt()) : 0;
        if (limit <= 0 || count == 0 || count + delta <= limit) {
            const QByteArray next = QByteArray::number(std::max(0, count + delta)) + '\n';
            added = ::ftruncate(fd, 0) == 0 &&
                    ::pwrite(fd, next.constData(), size_t(next.size()), 0) == next.size();
        }
    }
    ::close(fd); // releases the lock
    return added;
}

} // namespace

DestinationLimits DefaultDestinationLimits(const QString& host) {
    const QString lower = host.trimmed().toLower();
    for (const Published& p : kPublished)
        if (lower == QLatin1String(p.host))
            return p.limits;
    return {};
}

void SetConfiguredDestinations(const QHash<QString, DestinationLimits>& byHost) {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    r.configured.clear();
    for (auto it = byHost.cbegin(); it != byHost.cend(); ++it)
        r.configured.insert(it.key().trimmed().toLower(), it.value());
    // States keep their counters; their limits are read again at the next acquisition.
}

DestinationLimits DestinationLimitsOf(const QString& host) {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    const auto it = r.configured.constFind(host.trimmed().toLower());
    return it != r.configured.cend() ? *it : DefaultDestinationLimits(host);
}

Throttle ThrottleOf(int code, const QString& text) {
    static const QRegularExpression enhanced(QStringLiteral("^\\d{3}[ -]4\\.7\\.\\d+"));
    if (code < 400 || code >= 500)
        return Throttle::None;
    const bool tooMany = text.contains(QStringLiteral("too many"), Qt::CaseInsensitive);
    if (code == 421 || code == 432 || text.contains(QStringLiteral("4.3.2")) ||
        (tooMany && text.contains(QStringLiteral("connection"), Qt::CaseInsensitive)))
        return Throttle::Sessions;
    // 4.2.1 at 450: a relay's passing peak, which a slower pace gets through.
    if (((code == 451 || code == 452) && enhanced.match(text).hasMatch()) || tooMany ||
        (code == 450 && text.contains(QStringLiteral("4.2.1"))))
        return Throttle::Rate;
    return Throttle::None;
}

qint64 DestinationRestMs(int failures, qint64 maxMs) {
    qint64 rest = 60'000;
    for (int i = 1; i < failures && rest < maxMs; ++i)
        rest *= 2;
    return std::min(rest, maxMs);
}

DestinationSlot AcquireDestination(const QString& host, const QString& key, int recipients) {
    std::shared_ptr<DestinationSlot::State> state;
    const DestinationLimits limits = DestinationLimitsOf(host);
    {
        Registry& r = registry();
        std::lock_guard lock(r.mutex);
        auto& slot = r.states[key.toLower()];
        if (!slot) {
            slot = std::make_shared<DestinationSlot::State>();
            slot->sessionCap = limits.sessions;
            slot->rateCap = limits.perMinute;
        }
        state = slot;
    }
    DestinationSlot result;
    result.state_ = state;
    result.name_ = host;
    std::unique_lock lock(state->mutex);
    if (!(state->limits == limits)) {
        // New settings: the cuts start again from them.
        state->limits = limits;
        state->sessionCap = std::clamp(limits.sessions, 1, 8);
        state->rateCap = limits.perMinute;
    }
    for (;;) {
        if (AbortRequested())
            return result;
        const qint64 now = nowMs();
        if (state->restUntilMs - now > kWaitRestMs && !state->restForThrottle) {
            result.retryAtMs = state->restUntilMs;
            result.budgetSpent = state->restForQuota;
            const QDateTime until = QDateTime::fromMSecsSinceEpoch(state->restUntilMs);
            result.refusal =
                state->restForQuota
                    ? QStringLiteral("le quota d'envoi de 24 heures du serveur %1 est épuisé "
                                     "jusqu'au %2")
                          .arg(host, until.toString(QStringLiteral("dd/MM HH:mm")))
                    : QStringLiteral("le serveur %1 est laissé au repos jusqu'à %2")
                          .arg(host, until.toString(QStringLiteral("HH:mm:ss")));
            return result;
        }
        if (state->limits.recipientsPerDay > 0 && result.budgetTaken_ == 0) {
            const qint64 midnight = localMidnightMs(now);
            if (state->dayStartMs != midnight) {
                state->dayStartMs = midnight;
                state->recipientsToday = 0;
            }
            // Kept in the settings folder where it can be: a restart or a second copy of the
            // program shares it. The recipients are counted now and given back when refused.
            const QString file = budgetFile(host, midnight);
            bool usable = false;
            const bool room = !file.isEmpty() &&
                              addToBudget(file, recipients, state->limits.recipientsPerDay, usable);
            if (usable && room) {
                result.budgetFile_ = file;
            } else if (!usable &&
                       (state->recipientsToday == 0 ||
                        state->recipientsToday + recipients <= state->limits.recipientsPerDay)) {
                state->recipientsToday += recipients;
                result.budgetMemory_ = true;
            } else {
                result.retryAtMs =
                    QDateTime::fromMSecsSinceEpoch(midnight).addDays(1).toMSecsSinceEpoch();
                result.refusal = QStringLiteral("quota journalier de %1 destinataires du serveur "
                                                "%2 atteint")
                                     .arg(state->limits.recipientsPerDay)
                                     .arg(host);
                result.budgetSpent = true;
                return result;
            }
            result.budgetTaken_ = recipients;
        }
        while (!state->starts.empty() && state->starts.front() <= now - 60'000)
            state->starts.pop_front();
        qint64 waitMs = 0;
        if (state->restUntilMs > now)
            waitMs = state->restUntilMs - now;
        else if (state->active >= state->sessionCap)
            waitMs = 200;
        else if (state->rateCap > 0 && int(state->starts.size()) >= state->rateCap)
            waitMs = state->starts.front() + 60'000 - now;
        else if (state->rateCap > 0 && !state->starts.empty()) {
            // Spread the minute's mails evenly rather than in one burst at its start.
            const qint64 spacing = 60'000 / state->rateCap;
            waitMs = std::max<qint64>(0, state->starts.back() + spacing - now);
        }
        if (waitMs <= 0)
            break;
        state->freed.wait_for(lock, std::chrono::milliseconds(std::min<qint64>(waitMs, 200)));
    }
    ++state->active;
    state->starts.push_back(nowMs());
    result.granted_ = true;
    return result;
}

qint64 DestinationSlot::quotaSpent() {
    if (!state_)
        return 0;
    std::lock_guard lock(state_->mutex);
    const qint64 until = nowMs() + 24LL * 3600 * 1000;
    state_->restUntilMs = std::max(state_->restUntilMs, until);
    state_->restForThrottle = false;
    state_->restForQuota = true;
    return state_->restUntilMs;
}

void DestinationSlot::report(bool success, Throttle throttle, bool unreachable, int accepted) {
    if (!state_ || !granted_ || reported_)
        return;
    reported_ = true;
    giveBackBudget(accepted);
    State& s = *state_;
    std::lock_guard lock(s.mutex);
    const qint64 now = nowMs();
    if (throttle != Throttle::None) {
        // Fewer sessions than were running when the server complained, or a slower rate than
        // the one it refused, and a jittered pause that grows while the complaints go on.
        // Replies to mails that were under way together count as one complaint.
        if (now >= s.restUntilMs) {
            if (throttle == Throttle::Sessions) {
                s.sessionCap = std::max(1, std::min(s.sessionCap, s.active) - 1);
                ++s.cuts;
            } else {
                const qint64 span =
                    std::max<qint64>(1000, s.starts.empty() ? 60'000 : now - s.starts.front());
                const int observed = int(qint64(s.starts.size()) * 60'000 / span);
                const int before = s.rateCap > 0 ? s.rateCap : observed;
                if (s.ratePeak == 0)
                    s.ratePeak = s.limits.perMinute > 0 ? s.limits.perMinute : std::max(1, before);
                // A lone refusal (a busy relay) trims the rate a little; refusals with no
                // success between them cut it deep, below what actually went.
                s.rateCap =
                    std::max(1, s.throttles > 0 ? std::min(before, observed) / 2 : before * 9 / 10);
                s.rateGrownMs = now;
            }
            ++s.throttles;
            const qint64 base = std::min<qint64>(500LL << std::min(s.throttles, 6), 30'000);
            std::uniform_int_distribution<qint64> jitter(base / 2, base);
            s.restUntilMs = now + jitter(s.random);
            s.restForThrottle = true;
            s.restForQuota = false;
        }
        s.successes = 0;
    } else if (unreachable) {
        ++s.unreachable;
        s.restUntilMs =
            std::max(s.restUntilMs, now + DestinationRestMs(s.unreachable, s.limits.restMaxMs));
        s.restForThrottle = false;
        s.restForQuota = false;
    } else if (success) {
        s.throttles = 0;
        s.unreachable = 0;
        if (++s.successes >= kStepUpAfter << std::min(s.cuts, 8)) {
            s.successes = 0;
            s.sessionCap = std::min(std::clamp(s.limits.sessions, 1, 8), s.sessionCap + 1);
        }
        // A cut rate grows back with time while mails go: the whole way in a minute.
        if (s.ratePeak > 0) {
            const qint64 grown = qint64(s.ratePeak) * (now - s.rateGrownMs) / kRateRecoveryMs;
            if (grown > 0) {
                s.rateCap = int(std::min<qint64>(s.ratePeak, s.rateCap + grown));
                s.rateGrownMs = now;
            }
            if (s.rateCap >= s.ratePeak) {
                s.rateCap = s.limits.perMinute; // 0: no cap again
                s.ratePeak = 0;
            }
        }
    }
    const bool low = s.ratePeak > 0 && s.rateCap * 4 < s.ratePeak;
    if (!low) {
        s.lowSinceMs = 0;
        s.lowNamed = false;
    } else if (s.lowSinceMs == 0) {
        s.lowSinceMs = now;
    } else if (now - s.lowSinceMs >= kLowRateNamedAfterMs && !s.lowNamed) {
        s.lowNamed = true;
        notice = QStringLiteral("Le serveur %1 refuse des envois depuis plus de 10 minutes : "
                                "Postique n'y envoie plus que %2 mails par minute au lieu de %3")
                     .arg(name_)
                     .arg(s.rateCap)
                     .arg(s.ratePeak);
    }
}

void DestinationSlot::pause(qint64 ms, qint64 waitedMs) {
    if (!state_ || ms <= 0)
        return;
    {
        State& s = *state_;
        std::lock_guard lock(s.mutex);
        const qint64 until = nowMs() + ms;
        if (until > s.restUntilMs) {
            s.restUntilMs = until;
            s.restForThrottle = ms <= waitedMs;
        }
    }
    state_->freed.notify_all();
}

bool NoteMissingRight(const QString& key, const QString& right) {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    QString& known = r.missingRights[key.toLower()];
    if (known == right)
        return false;
    known = right;
    return true;
}

bool ClearMissingRight(const QString& key) {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    return r.missingRights.remove(key.toLower()) > 0;
}

void SetDestinationClock(std::function<qint64()> wallMs) {
    g_clock = std::move(wallMs);
}

int DestinationRate(const QString& key) {
    std::shared_ptr<DestinationSlot::State> state;
    {
        Registry& r = registry();
        std::lock_guard lock(r.mutex);
        state = r.states.value(key.toLower());
    }
    if (!state)
        return 0;
    std::lock_guard lock(state->mutex);
    return state->rateCap;
}

void DestinationSlot::giveBackBudget(int accepted) {
    // Only the recipients the server took count against the day's budget.
    const int unused =
        budgetTaken_ - (accepted < 0 ? budgetTaken_ : std::min(accepted, budgetTaken_));
    budgetTaken_ -= unused;
    if (unused <= 0)
        return;
    if (!budgetFile_.isEmpty()) {
        bool usable = false;
        addToBudget(budgetFile_, -unused, 0, usable);
    } else if (budgetMemory_ && state_) {
        std::lock_guard lock(state_->mutex);
        state_->recipientsToday = std::max(0, state_->recipientsToday - unused);
    }
}

void SetDestinationBudgetFolder(const QString& nativeFolder) {
    std::lock_guard lock(g_budgetMutex);
    if (g_budgetFolder == nativeFolder)
        return;
    g_budgetFolder = nativeFolder;
    // The counts of days gone by are of no use any more.
    if (nativeFolder.isEmpty())
        return;
    const qint64 old = nowMs() - 2 * 86'400'000LL;
    for (const QFileInfo& file :
         QDir(nativeFolder).entryInfoList({QStringLiteral("Quota *.txt")}, QDir::Files))
        if (file.lastModified().toMSecsSinceEpoch() < old)
            QFile::remove(file.absoluteFilePath());
}

DestinationSlot::~DestinationSlot() {
    if (!state_)
        return;
    if (!reported_)
        giveBackBudget(0);
    if (!granted_)
        return;
    {
        std::lock_guard lock(state_->mutex);
        --state_->active;
    }
    state_->freed.notify_all();
}

void LiftDestinationRest(const QString& host) {
    const QString name = host.trimmed().toLower();
    QList<std::shared_ptr<DestinationSlot::State>> states;
    {
        Registry& r = registry();
        std::lock_guard lock(r.mutex);
        for (auto it = r.states.cbegin(); it != r.states.cend(); ++it)
            if (it.key() == name || it.key().startsWith(name + u':'))
                states << it.value();
    }
    for (const auto& state : states) {
        {
            std::lock_guard lock(state->mutex);
            if (state->restForThrottle || state->restForQuota)
                continue;
            state->restUntilMs = 0;
            state->unreachable = 0;
        }
        state->freed.notify_all();
    }
}

void ResetDestinations() {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    r.configured.clear();
    r.states.clear();
    r.missingRights.clear();
}

} // namespace mail
