// The supervision figures: one registry under a mutex (sending workers and the OAuth code
// update it from their threads), read as snapshots for the metrics, the status and the state.
#include "system/supervision.h"

#include "system/clock.h"

#include <QFileInfo>
#include <QHash>
#include <QJsonArray>
#include <QMutex>
#include <QRegularExpression>
#include <QSet>

#include <algorithm>
#include <unistd.h>

namespace Supervision {

namespace {

// Whole seconds of a time in milliseconds, as a JSON number.
double wholeSeconds(qint64 ms) {
    return static_cast<double>(ms - ms % 1000) / 1000.0;
}

struct Registry {
    QMutex mutex;
    qint64 startedMs = Clock::WallMs();
    QMap<QString, Counts> mails;
    QMap<QString, qint64> lastSuccessMs;
    qint64 lastSentMs = 0;
    int rowsWaiting = 0;
    QHash<QString, qint64> jobs; // native path -> oldest known time
    QSet<QString> deferred;
    QMap<QString, quint64> incidents;
    int sessionsOpen = 0;
    qint64 tokenExpiryMs = 0;
    qint64 renewalDueMs = 0;
    qint64 retryLifetimeSec = DefaultRetryLifetimeSec;
    QString jobFolderMissing;
    QString jobFolderFileSystem;
    QMap<QString, qint64> failingSinceMs;
    QString signInProblem;
    int queueRows = 0;
    qint64 queueOldestMs = 0;
    QStringList held;
};

Registry& registry() {
    static Registry r;
    return r;
}

QString transportName(const QString& server, int protocol) {
    if (server.trimmed().isEmpty())
        return QStringLiteral("mx");
    switch (protocol) {
    case 1:
        return QStringLiteral("ews");
    case 2:
        return QStringLiteral("webdav");
    default:
        return QStringLiteral("smtp");
    }
}

QString destinationName(const QString& server) {
    const QString s = server.trimmed().toLower();
    return s.isEmpty() ? QStringLiteral("mx") : s;
}

// A label value of the exposition format: backslash, quote and line feed escaped.
QByteArray labelValue(const QString& value) {
    QByteArray out;
    for (const char c : value.toUtf8()) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '"')
            out += "\\\"";
        else if (c == '\n')
            out += "\\n";
        else if (static_cast<unsigned char>(c) >= 0x20 || c == '\t')
            out += c;
    }
    return out;
}

QString ageText(qint64 seconds) {
    if (seconds < 120)
        return QStringLiteral("%1 s").arg(seconds);
    if (seconds < qint64{2} * 3600)
        return QStringLiteral("%1 min").arg(seconds / 60);
    if (seconds < qint64{2} * 86400)
        return QStringLiteral("%1 h").arg(seconds / 3600);
    return QStringLiteral("%1 j").arg(seconds / 86400);
}

QString timeText(qint64 ms) {
    return QDateTime::fromMSecsSinceEpoch(ms).toLocalTime().toString(
        QStringLiteral("yyyy/MM/dd hh:mm:ss"));
}

} // namespace

void CountRow(RowOutcome outcome, const QString& server, int protocol) {
    Registry& r = registry();
    const QString destination = destinationName(server);
    const QString key = destination + u'\t' + transportName(server, protocol);
    QMutexLocker lock(&r.mutex);
    Counts& c = r.mails[key];
    switch (outcome) {
    case RowOutcome::Sent: {
        ++c.sent;
        const qint64 now = Clock::WallMs();
        r.lastSentMs = now;
        r.lastSuccessMs[destination] = now;
        r.failingSinceMs.remove(destination);
        break;
    }
    case RowOutcome::Deferred:
        ++c.deferred;
        if (!r.failingSinceMs.contains(destination))
            r.failingSinceMs.insert(destination, Clock::WallMs());
        break;
    case RowOutcome::Failed:
        ++c.failed;
        break;
    }
}

void NoteJobsListed(const QStringList& nativePaths) {
    const qint64 now = Clock::WallMs();
    // A job's own time stamp counts when it is older than the first sight: a job left over
    // from before a restart keeps its age. A stamp from the future (a server's clock) does not.
    QHash<QString, qint64> stamps;
    for (const QString& path : nativePaths) {
        const qint64 mtime = QFileInfo(path).lastModified().toMSecsSinceEpoch();
        stamps.insert(path, mtime > 0 ? std::min(mtime, now) : now);
    }
    Registry& r = registry();
    QMutexLocker lock(&r.mutex);
    QHash<QString, qint64> jobs;
    for (auto it = stamps.cbegin(); it != stamps.cend(); ++it)
        jobs.insert(it.key(), std::min(r.jobs.value(it.key(), now), it.value()));
    r.jobs = std::move(jobs);
    for (auto it = r.deferred.begin(); it != r.deferred.end();)
        it = r.jobs.contains(*it) ? std::next(it) : r.deferred.erase(it);
}

void NoteJobGone(const QString& nativePath) {
    Registry& r = registry();
    QMutexLocker lock(&r.mutex);
    r.jobs.remove(nativePath);
    r.deferred.remove(nativePath);
}

void NoteJobDeferred(const QString& nativePath) {
    Registry& r = registry();
    QMutexLocker lock(&r.mutex);
    if (r.jobs.contains(nativePath))
        r.deferred.insert(nativePath);
}

void SetRowsWaiting(int rows) {
    Registry& r = registry();
    QMutexLocker lock(&r.mutex);
    r.rowsWaiting = std::max(0, rows);
}

void SetQueue(int rows, qint64 oldestMs, const QStringList& held) {
    Registry& r = registry();
    QMutexLocker lock(&r.mutex);
    r.queueRows = std::max(0, rows);
    r.queueOldestMs = oldestMs;
    r.held = held;
}

QString IncidentKind(const QString& text) {
    static const struct {
        const char16_t* start;
        const char* kind;
    } byStart[] = {
        {u"Fichier de mail non traité", "job_unread"},
        {u"Pièce jointe refusée", "attachment_refused"},
        {u"Adresse Email d'envoi non renseignée", "settings"},
        {u"Veuillez renseigner", "settings"},
        {u"Supervision", "supervision"},
        {u"Avis de nouvelle version", "notice"}, // information: the notice to the maker
    };
    for (const auto& k : byStart)
        if (text.startsWith(QString::fromUtf16(k.start)))
            return QString::fromLatin1(k.kind);
    static const QRegularExpression failedRow(QStringLiteral("^Ligne \\d+ de .* non envoyée"));
    if (failedRow.match(text).hasMatch())
        return QStringLiteral("row_failed");
    if (text.contains(QStringLiteral(" déplacé dans le dossier ")))
        return QStringLiteral("dead_letter");
    return QStringLiteral("send");
}

void CountIncident(const QString& text) {
    const QString kind = IncidentKind(text);
    Registry& r = registry();
    QMutexLocker lock(&r.mutex);
    ++r.incidents[kind];
}

void AddSessions(int delta) {
    Registry& r = registry();
    QMutexLocker lock(&r.mutex);
    r.sessionsOpen = std::max(0, r.sessionsOpen + delta);
}

void SetTokenExpiry(const QDateTime& expiresUtc) {
    Registry& r = registry();
    QMutexLocker lock(&r.mutex);
    r.tokenExpiryMs = expiresUtc.isValid() ? expiresUtc.toMSecsSinceEpoch() : 0;
    if (expiresUtc.isValid())
        r.signInProblem.clear();
    r.queueRows = 0;
    r.queueOldestMs = 0;
    r.held.clear();
}

void SetSignInRenewalDue(const QDateTime& dueUtc) {
    Registry& r = registry();
    QMutexLocker lock(&r.mutex);
    r.renewalDueMs = dueUtc.isValid() ? dueUtc.toMSecsSinceEpoch() : 0;
}

void SetJobFolderMissing(const QString& folder) {
    Registry& r = registry();
    QMutexLocker lock(&r.mutex);
    r.jobFolderMissing = folder;
}

void SetJobFolderFileSystem(const QString& text) {
    Registry& r = registry();
    QMutexLocker lock(&r.mutex);
    r.jobFolderFileSystem = text;
}

void SetSignInProblem(const QString& text) {
    Registry& r = registry();
    QMutexLocker lock(&r.mutex);
    r.signInProblem = text;
}

void SetRetryLifetimeSec(qint64 seconds) {
    Registry& r = registry();
    QMutexLocker lock(&r.mutex);
    r.retryLifetimeSec = seconds > 0 ? seconds : DefaultRetryLifetimeSec;
}

void Reset() {
    Registry& r = registry();
    QMutexLocker lock(&r.mutex);
    r.startedMs = Clock::WallMs();
    r.mails.clear();
    r.lastSuccessMs.clear();
    r.lastSentMs = 0;
    r.rowsWaiting = 0;
    r.jobs.clear();
    r.deferred.clear();
    r.incidents.clear();
    r.sessionsOpen = 0;
    r.tokenExpiryMs = 0;
    r.renewalDueMs = 0;
    r.retryLifetimeSec = DefaultRetryLifetimeSec;
    r.jobFolderMissing.clear();
    r.jobFolderFileSystem.clear();
    r.failingSinceMs.clear();
    r.signInProblem.clear();
    r.queueRows = 0;
    r.queueOldestMs = 0;
    r.held.clear();
}

qint64 Snapshot::renewalDaysLeft() const {
    return renewalDueMs > 0 ? std::max<qint64>(0, (renewalDueMs - nowMs) / 86'400'000) : -1;
}

qint64 Snapshot::oldestJobAgeSec() const {
    return oldestJobMs > 0 ? std::max<qint64>(0, (nowMs - oldestJobMs) / 1000) : 0;
}

Snapshot Take() {
    Registry& r = registry();
    Snapshot s;
    s.nowMs = Clock::WallMs();
    s.pid = ::getpid();
    QMutexLocker lock(&r.mutex);
    s.startedMs = r.startedMs;
    s.mails = r.mails;
    s.lastSuccessMs = r.lastSuccessMs;
    s.lastSentMs = r.lastSentMs;
    s.rowsWaiting = r.rowsWaiting;
    s.jobsWaiting = static_cast<int>(r.jobs.size());
    s.jobsDeferred = static_cast<int>(r.deferred.size());
    for (const qint64 t : std::as_const(r.jobs))
        s.oldestJobMs = s.oldestJobMs == 0 ? t : std::min(s.oldestJobMs, t);
    s.incidents = r.incidents;
    s.sessionsOpen = r.sessionsOpen;
    s.tokenExpiryMs = r.tokenExpiryMs;
    s.renewalDueMs = r.renewalDueMs;
    s.retryLifetimeSec = r.retryLifetimeSec;
    s.jobFolderMissing = r.jobFolderMissing;
    s.jobFolderFileSystem = r.jobFolderFileSystem;
    s.failingSinceMs = r.failingSinceMs;
    s.signInProblem = r.signInProblem;
    s.queueRows = r.queueRows;
    s.queueOldestMs = r.queueOldestMs;
    s.held = r.held;
    return s;
}

QByteArray PrometheusText(const Snapshot& s) {
    QByteArray out;
    const auto family = [&](const char* name, const char* type, const char* help) {
        out += QByteArray("# HELP ") + name + ' ' + help + "\n# TYPE " + name + ' ' + type + '\n';
    };
    const auto perMail = [&](const char* name, const char* help, quint64 Counts::*field) {
        family(name, "counter", help);
        for (auto it = s.mails.cbegin(); it != s.mails.cend(); ++it) {
            const QStringList parts = it.key().split(u'\t');
            out += QByteArray(name) + "{destination=\"" + labelValue(parts.value(0)) +
                   "\",transport=\"" + labelValue(parts.value(1)) + "\"} " +
                   QByteArray::number(it.value().*field) + '\n';
        }
    };
    const auto gauge = [&](const char* name, const char* help, qint64 value) {
        family(name, "gauge", help);
        out += QByteArray(name) + ' ' + QByteArray::number(value) + '\n';
    };
    perMail("postique_mails_sent_total", "Mails sent.", &Counts::sent);
    perMail("postique_mails_deferred_total", "Mails that had to wait for a later cycle.",
            &Counts::deferred);
    perMail("postique_mails_failed_total", "Mails refused for good.", &Counts::failed);
    family("postique_last_success_timestamp_seconds", "gauge",
           "When a mail last went out, per destination.");
    for (auto it = s.lastSuccessMs.cbegin(); it != s.lastSuccessMs.cend(); ++it)
        out += "postique_last_success_timestamp_seconds{destination=\"" + labelValue(it.key()) +
               "\"} " + QByteArray::number(it.value() / 1000) + '\n';
    gauge("postique_rows_waiting", "Rows of the job in hand not yet sent.", s.rowsWaiting);
    gauge("postique_jobs_waiting", "Job files waiting in the job folder.", s.jobsWaiting);
    gauge("postique_jobs_deferred", "Waiting jobs with a row deferred.", s.jobsDeferred);
    gauge("postique_oldest_job_age_seconds", "Age of the oldest waiting job.", s.oldestJobAgeSec());
    family("postique_incidents_total", "counter", "Incident lines, by kind.");
    for (auto it = s.incidents.cbegin(); it != s.incidents.cend(); ++it)
        out += "postique_incidents_total{kind=\"" + labelValue(it.key()) + "\"} " +
               QByteArray::number(it.value()) + '\n';
    gauge("postique_sessions_open", "Sending sessions open.", s.sessionsOpen);
    gauge("postique_oauth_token_expiry_timestamp_seconds",
          "When the OAuth access token expires (0: none).", s.tokenExpiryMs / 1000);
    gauge("postique_oauth_renewal_days_left",
          "Days left before the OAuth sign-in must be renewed (-1: no sign-in).",
          s.renewalDaysLeft());
    gauge("postique_start_time_seconds", "When the program started.", s.startedMs / 1000);
    return out;
}

QString StatusLine(const Snapshot& s) {
    QString line = QStringLiteral("%1 tâche(s) en attente").arg(s.jobsWaiting);
    if (s.jobsWaiting > 0)
        line += QStringLiteral(" (la plus ancienne depuis %1)").arg(ageText(s.oldestJobAgeSec()));
    line += QStringLiteral(", %1 différée(s)").arg(s.jobsDeferred);
    line += s.lastSentMs > 0
                ? QStringLiteral(", dernier mail envoyé %1").arg(timeText(s.lastSentMs))
                : QStringLiteral(", aucun mail envoyé depuis le démarrage");
    return line;
}

QString QueueLine(const Snapshot& s) {
    QString line = QStringLiteral("Lignes en file d'attente : %1").arg(s.queueRows);
    if (s.queueRows > 0 && s.queueOldestMs > 0)
        line += QStringLiteral(" (la plus ancienne attend depuis %1)")
                    .arg(ageText(std::max<qint64>(0, (s.nowMs - s.queueOldestMs) / 1000)));
    return line;
}

QStringList Report(const Snapshot& s) {
    QStringList lines;
    lines << QStringLiteral("Processus %1, démarré %2").arg(s.pid).arg(timeText(s.startedMs));
    lines << StatusLine(s);
    lines << QStringLiteral("Lignes en attente dans la tâche en cours : %1").arg(s.rowsWaiting);
    lines << QueueLine(s);
    if (!s.held.isEmpty())
        lines
            << QStringLiteral("Destinations retenues : %1").arg(s.held.join(QStringLiteral(", ")));
    if (!s.jobFolderFileSystem.isEmpty())
        lines << QStringLiteral("Dossier partagé : %1").arg(s.jobFolderFileSystem);
    for (auto it = s.mails.cbegin(); it != s.mails.cend(); ++it) {
        const QStringList parts = it.key().split(u'\t');
        lines << QStringLiteral("Mails vers %1 (%2) : %3 envoyé(s), %4 différé(s), %5 refusé(s)")
                     .arg(parts.value(0), parts.value(1))
                     .arg(it.value().sent)
                     .arg(it.value().deferred)
                     .arg(it.value().failed);
    }
    for (auto it = s.lastSuccessMs.cbegin(); it != s.lastSuccessMs.cend(); ++it)
        lines << QStringLiteral("Dernier envoi réussi vers %1 : %2")
                     .arg(it.key(), timeText(it.value()));
    for (auto it = s.incidents.cbegin(); it != s.incidents.cend(); ++it)
        lines << QStringLiteral("Incidents %1 : %2").arg(it.key()).arg(it.value());
    lines << QStringLiteral("Sessions d'envoi ouvertes : %1").arg(s.sessionsOpen);
    if (s.tokenExpiryMs > 0)
        lines << QStringLiteral("Jeton OAuth valable jusqu'au %1").arg(timeText(s.tokenExpiryMs));
    if (s.renewalDueMs > 0)
        lines << QStringLiteral("Connexion OAuth à renouveler dans %1 jour(s), avant le %2")
                     .arg(s.renewalDaysLeft())
                     .arg(timeText(s.renewalDueMs));
    return lines;
}

QJsonObject ToJson(const Snapshot& s) {
    QJsonArray mails;
    for (auto it = s.mails.cbegin(); it != s.mails.cend(); ++it) {
        const QStringList parts = it.key().split(u'\t');
        mails.append(QJsonObject{{QStringLiteral("destination"), parts.value(0)},
                                 {QStringLiteral("transport"), parts.value(1)},
                                 {QStringLiteral("sent"), double(it.value().sent)},
                                 {QStringLiteral("deferred"), double(it.value().deferred)},
                                 {QStringLiteral("failed"), double(it.value().failed)}});
    }
    QJsonObject last;
    for (auto it = s.lastSuccessMs.cbegin(); it != s.lastSuccessMs.cend(); ++it)
        last.insert(it.key(), wholeSeconds(it.value()));
    QJsonObject incidents;
    for (auto it = s.incidents.cbegin(); it != s.incidents.cend(); ++it)
        incidents.insert(it.key(), double(it.value()));
    QJsonObject failing;
    for (auto it = s.failingSinceMs.cbegin(); it != s.failingSinceMs.cend(); ++it)
        failing.insert(it.key(), wholeSeconds(it.value()));
    return QJsonObject{
        {QStringLiteral("job_folder_missing"), s.jobFolderMissing},
        {QStringLiteral("job_folder_fs"), s.jobFolderFileSystem},
        {QStringLiteral("failing_since"), failing},
        {QStringLiteral("sign_in_problem"), s.signInProblem},
        {QStringLiteral("pid"), double(s.pid)},
        {QStringLiteral("updated"), wholeSeconds(s.nowMs)},
        {QStringLiteral("started"), wholeSeconds(s.startedMs)},
        {QStringLiteral("mails"), mails},
        {QStringLiteral("last_success"), last},
        {QStringLiteral("last_sent"), wholeSeconds(s.lastSentMs)},
        {QStringLiteral("rows_waiting"), s.rowsWaiting},
        {QStringLiteral("jobs_waiting"), s.jobsWaiting},
        {QStringLiteral("jobs_deferred"), s.jobsDeferred},
        {QStringLiteral("oldest_job"), wholeSeconds(s.oldestJobMs)},
        {QStringLiteral("incidents"), incidents},
        {QStringLiteral("sessions_open"), s.sessionsOpen},
        {QStringLiteral("oauth_token_expiry"), wholeSeconds(s.tokenExpiryMs)},
        {QStringLiteral("oauth_renewal_due"), wholeSeconds(s.renewalDueMs)},
        {QStringLiteral("oauth_renewal_days_left"), double(s.renewalDaysLeft())},
        {QStringLiteral("retry_lifetime"), double(s.retryLifetimeSec)},
        {QStringLiteral("queue_rows"), s.queueRows},
        {QStringLiteral("queue_oldest"), wholeSeconds(s.queueOldestMs)},
        {QStringLiteral("held"), QJsonArray::fromStringList(s.held)},
    };
}

bool FromJson(const QJsonObject& o, Snapshot& s) {
    const auto ms = [&](const char* key) {
        return static_cast<qint64>(o.value(QLatin1String(key)).toDouble()) * 1000;
    };
    if (!o.value(QStringLiteral("pid")).isDouble() ||
        !o.value(QStringLiteral("updated")).isDouble())
        return false;
    s = Snapshot();
    s.pid = static_cast<qint64>(o.value(QStringLiteral("pid")).toDouble());
    s.nowMs = ms("updated");
    s.startedMs = ms("started");
    for (const auto& v : o.value(QStringLiteral("mails")).toArray()) {
        const QJsonObject m = v.toObject();
        Counts& c = s.mails[m.value(QStringLiteral("destination")).toString() + u'\t' +
                            m.value(QStringLiteral("transport")).toString()];
        c.sent = static_cast<quint64>(m.value(QStringLiteral("sent")).toDouble());
        c.deferred = static_cast<quint64>(m.value(QStringLiteral("deferred")).toDouble());
        c.failed = static_cast<quint64>(m.value(QStringLiteral("failed")).toDouble());
    }
    const QJsonObject last = o.value(QStringLiteral("last_success")).toObject();
    for (auto it = last.constBegin(); it != last.constEnd(); ++it)
        s.lastSuccessMs.insert(it.key(), static_cast<qint64>(it.value().toDouble()) * 1000);
    s.lastSentMs = ms("last_sent");
    s.rowsWaiting = o.value(QStringLiteral("rows_waiting")).toInt();
    s.jobsWaiting = o.value(QStringLiteral("jobs_waiting")).toInt();
    s.jobsDeferred = o.value(QStringLiteral("jobs_deferred")).toInt();
    s.oldestJobMs = ms("oldest_job");
    const QJsonObject incidents = o.value(QStringLiteral("incidents")).toObject();
    for (auto it = incidents.constBegin(); it != incidents.constEnd(); ++it)
        s.incidents.insert(it.key(), static_cast<quint64>(it.value().toDouble()));
    s.sessionsOpen = o.value(QStringLiteral("sessions_open")).toInt();
    s.tokenExpiryMs = ms("oauth_token_expiry");
    s.renewalDueMs = ms("oauth_renewal_due");
    const qint64 lifetime =
        static_cast<qint64>(o.value(QStringLiteral("retry_lifetime")).toDouble());
    s.retryLifetimeSec = lifetime > 0 ? lifetime : DefaultRetryLifetimeSec;
    s.jobFolderMissing = o.value(QStringLiteral("job_folder_missing")).toString();
    s.jobFolderFileSystem = o.value(QStringLiteral("job_folder_fs")).toString();
    const QJsonObject failing = o.value(QStringLiteral("failing_since")).toObject();
    for (auto it = failing.constBegin(); it != failing.constEnd(); ++it)
        s.failingSinceMs.insert(it.key(), static_cast<qint64>(it.value().toDouble()) * 1000);
    s.signInProblem = o.value(QStringLiteral("sign_in_problem")).toString();
    s.queueRows = o.value(QStringLiteral("queue_rows")).toInt();
    s.queueOldestMs = ms("queue_oldest");
    for (const auto& v : o.value(QStringLiteral("held")).toArray())
        s.held << v.toString();
    return true;
}

QString StuckReason(const Snapshot& s, qint64 nowMs) {
    if (!s.jobFolderMissing.isEmpty())
        return QStringLiteral("le dossier partagé %1 est introuvable").arg(s.jobFolderMissing);
    if (!s.signInProblem.isEmpty())
        return QStringLiteral("la connexion au compte d'envoi est refusée : %1")
            .arg(s.signInProblem);
    for (auto it = s.failingSinceMs.cbegin(); it != s.failingSinceMs.cend(); ++it)
        if (nowMs - it.value() > DestinationDownSec * 1000)
            return QStringLiteral("aucun mail n'a pu partir vers %1 depuis %2")
                .arg(it.key(), timeText(it.value()));
    if (s.oldestJobMs > 0 && nowMs - s.oldestJobMs > s.retryLifetimeSec * 1000)
        return QStringLiteral("une tâche attend depuis plus de %1")
            .arg(ageText(s.retryLifetimeSec));
    return {};
}

} // namespace Supervision
