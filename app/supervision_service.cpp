// The running station's supervision: service manager notifications, journal entries, the
// metrics endpoint and the state file, all driven from the window's event loop.
#include "app/supervision_service.h"

#include "app/folders.h"

#include "app/headless.h"
#include "app/metrics_server.h"
#include "app/oauth_panel.h"
#include "app/queue_command.h"
#include "app/settings_file.h"
#include "app/startup.h"
#include "automation/jobs/incidents.h"
#include "station/job_loop.h"
#include "system/atomicfile.h"
#include "system/clock.h"
#include "system/ini.h"
#include "system/paths.h"
#include "system/service_manager.h"
#include "system/supervision.h"
#include "system/untrusted_text.h"
#include "system/winpath.h"
#include "ui/frm_main.h"

#include <QCoreApplication>
#include <QFile>
#include <QJsonDocument>
#include <QPointer>
#include <QTimer>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <optional>

namespace Supervision {

namespace {

// How often the status line and the state file are brought up to date.
constexpr int kStatusIntervalMs = 5000;
// When the OAuth 2.0 sign-in is first looked at, and how often after that.
constexpr int kFirstSignInLookMs = 10'000;
constexpr int kSignInIntervalMs = 3'600'000;
// A state file older than this was left by a copy whose event loop no longer runs.
constexpr qint64 kStaleStateMs = 60000;

struct Service {
    bool started = false;
    QTimer* watchdog = nullptr;
    QTimer* status = nullptr;
    MetricsServer* metrics = nullptr;
    QTimer* signIn = nullptr;
    QString lastStatus;
};

Service& service() {
    static Service s;
    return s;
}

// The state file is disposable (a crash leaves a stale one that the pid check sees through):
// replaced by a rename, without waiting for the disk, so the window never waits on it.
void writeStateFile(const Snapshot& snap) {
    const QString path = StateFilePath();
    if (path.isEmpty())
        return;
    const QString temporary = path + QStringLiteral(".tmp");
    QFile f(temporary);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return;
    f.write(QJsonDocument(ToJson(snap)).toJson(QJsonDocument::Compact));
    f.close();
    if (f.error() != QFileDevice::NoError || ::rename(QFile::encodeName(temporary).constData(),
                                                      QFile::encodeName(path).constData()) != 0)
        QFile::remove(temporary);
}

void refreshStatus() {
    Service& s = service();
    const Snapshot snap = Take();
    writeStateFile(snap);
    const QString line = StatusLine(snap);
    if (line != s.lastStatus && ServiceManager::Notify("STATUS=" + line.toUtf8()))
        s.lastStatus = line;
}

void startMetrics() {
    const QString wanted =
        Lib_Systeme::LectureIni(Lib_Public::SettingsFilePath(), QStringLiteral("Supervision"),
                                QStringLiteral("Metriques"), QString())
            .trimmed();
    if (wanted.isEmpty())
        return;
    QHostAddress address;
    quint16 port = 0;
    QString error;
    auto* server =
        new MetricsServer([] { return PrometheusText(Take()); }, QCoreApplication::instance());
    if (!ParseListenAddress(wanted, address, port, &error) ||
        !server->listen(address, port, &error)) {
        delete server;
        automation::postIncident(
            Untrusted::Clean(QStringLiteral("Supervision : métriques non servies sur « %1 » "
                                            "(%2)")
                                 .arg(wanted, error)));
        return;
    }
    service().metrics = server;
}

int journalPriority(const QString& kind) {
    // 3 (error) for mails that did not go, 4 (warning) for what the operator must look at,
    // 6 (information) for the notice to the maker.
    if (kind == QStringLiteral("notice"))
        return 6;
    return kind == QStringLiteral("send") || kind == QStringLiteral("row_failed") ? 3 : 4;
}

bool processAlive(qint64 pid) {
    if (pid <= 0 || (::kill(static_cast<pid_t>(pid), 0) != 0 && errno != EPERM))
        return false;
    QFile comm(QStringLiteral("/proc/%1/comm").arg(pid));
    if (!comm.open(QIODevice::ReadOnly))
        return true; // no /proc: the pid alone says it
    return comm.readAll().trimmed() == QString::fromUtf16(Startup::ExecutableName).toUtf8();
}

} // namespace

QString StateFilePath() {
    // The installation's own settings folder: a copy of another prefix sharing the
    // executable has a state file of its own.
    const QString folder = Lib_Public::ProgramSettingsFolderFor(
        Startup::ApplicationFolder(QCoreApplication::applicationDirPath()));
    const QString native = WinPath::nativePath(folder);
    return native.isEmpty() ? QString() : native + QStringLiteral("/VL3_Postique_Etat.json");
}

void StartService(std::function<station::SendingSettings()> saved) {
    Service& s = service();
    if (s.started)
        return;
    s.started = true;
    QueueCommand::StartServer(saved);
    startMetrics();
    refreshStatus();
    s.status = new QTimer(QCoreApplication::instance());
    QObject::connect(s.status, &QTimer::timeout, s.status, refreshStatus);
    s.status->start(kStatusIntervalMs);
    // The OAuth 2.0 sign-in is renewed while the station sends nothing, so that it never ages
    // out: looked at soon after the start, then every hour.
    s.signIn = new QTimer(QCoreApplication::instance());
    QObject::connect(s.signIn, &QTimer::timeout, s.signIn, [saved = std::move(saved)] {
        if (saved)
            OAuthPanel::KeepSignInAlive(saved());
        service().signIn->setInterval(kSignInIntervalMs);
    });
    s.signIn->start(kFirstSignInLookMs);
    ServiceManager::Notify("READY=1");
    // The pings come from the event loop itself: a loop that hangs stops them.
    if (const qint64 ping = ServiceManager::WatchdogPingMs(); ping > 0) {
        ServiceManager::Notify("WATCHDOG=1");
        s.watchdog = new QTimer(QCoreApplication::instance());
        QObject::connect(s.watchdog, &QTimer::timeout, s.watchdog,
                         [] { ServiceManager::Notify("WATCHDOG=1"); });
        s.watchdog->start(static_cast<int>(std::min<qint64>(ping, 24LL * 3600 * 1000)));
    }
}

void NotifyStopping() {
    Service& s = service();
    if (!s.started)
        return;
    s.started = false;
    ServiceManager::Notify("STOPPING=1");
    if (s.status)
        s.status->stop();
    if (s.signIn)
        s.signIn->stop();
    const QString path = StateFilePath();
    if (!path.isEmpty())
        QFile::remove(path);
}

void OnIncident(const automation::Incident& incident, bool echo) {
    const QString& text = incident.text;
    const QString line = incident.line();
    CountIncident(text);
    if (ServiceManager::UnderJournal()) {
        const QString kind = IncidentKind(text);
        ServiceManager::Fields fields{
            {"MESSAGE", "Incident: " + Untrusted::Clean(line).toUtf8()},
            {"PRIORITY", QByteArray::number(journalPriority(kind))},
            {"SYSLOG_IDENTIFIER", QString::fromUtf16(Startup::ExecutableName).toUtf8()},
            {"POSTIQUE_INCIDENT_KIND", kind.toUtf8()},
        };
        if (!incident.job.isEmpty())
            fields.append({"POSTIQUE_JOB_FILE", incident.job.toUtf8()});
        if (incident.row > 0)
            fields.append({"POSTIQUE_JOB_ROW", QByteArray::number(incident.row)});
        if (!incident.recipient.isEmpty())
            fields.append({"POSTIQUE_RECIPIENT", incident.recipient.toUtf8()});
        if (ServiceManager::SendToJournal(fields))
            return;
    }
    if (echo)
        Lib_Public::EchoIncidentLine(line);
}

int StatusCommand(bool json) {
    const auto print = [](const QByteArray& text) {
        std::fwrite(text.constData(), 1, static_cast<size_t>(text.size()), stdout);
    };
    const QString path = StateFilePath();
    const std::optional<QByteArray> bytes =
        path.isEmpty() ? std::nullopt : AtomicFile::readAll(path);
    Snapshot snap;
    const bool known = bytes && FromJson(QJsonDocument::fromJson(*bytes).object(), snap);
    const qint64 now = Clock::WallMs();
    QString reason;
    bool alive = false;
    if (!known)
        reason = QStringLiteral("aucune copie de VL3_Postique ne tourne (pas d'état dans %1)")
                     .arg(path.isEmpty() ? QStringLiteral("le dossier du programme") : path);
    else if (!processAlive(snap.pid))
        reason = QStringLiteral("la copie %1 ne tourne plus").arg(snap.pid);
    else if (now - snap.nowMs > kStaleStateMs)
        reason = QStringLiteral("la copie %1 ne répond plus depuis %2 s")
                     .arg(snap.pid)
                     .arg((now - snap.nowMs) / 1000);
    else
        alive = true;
    if (alive)
        reason = StuckReason(snap, now);
    const bool healthy = alive && reason.isEmpty();
    if (json) {
        QJsonObject o = known ? ToJson(snap) : QJsonObject();
        o.insert(QStringLiteral("alive"), alive);
        o.insert(QStringLiteral("healthy"), healthy);
        o.insert(QStringLiteral("reason"), reason);
        print(QJsonDocument(o).toJson(QJsonDocument::Indented));
    } else {
        QString text = healthy ? QStringLiteral("VL3_Postique en marche\n")
                               : QStringLiteral("VL3_Postique en difficulté : %1\n").arg(reason);
        if (alive)
            for (const QString& line : Report(snap))
                text += line + u'\n';
        print(text.toUtf8());
    }
    return healthy ? 0 : 1;
}

} // namespace Supervision
