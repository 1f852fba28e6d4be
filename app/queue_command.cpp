// Queue commands: parsed here, answered by the running copy through its socket, or for the
// listing read from the journals when no copy runs.
#include "app/queue_command.h"

#include "app/folders.h"
#include "app/headless_station.h"
#include "app/startup.h"
#include "automation/jobs/incidents.h"
#include "station/queue_server.h"
#include "station/settings_store.h"
#include "system/error_reporting.h"
#include "system/globals.h"
#include "system/paths.h"
#include "system/supervision.h"
#include "system/untrusted_text.h"
#include "system/winpath.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QThreadPool>
#include <QTimer>

#include <atomic>
#include <cstdio>
#include <memory>

namespace QueueCommand {

namespace {

const QStringList kCommands = {QStringLiteral("--queue"), QStringLiteral("--retry-now"),
                               QStringLiteral("--hold"), QStringLiteral("--release"),
                               QStringLiteral("--drop")};

// How often the running copy lists its queue for --status, the tray and the window.
constexpr int kListingIntervalMs = 5000;

void print(FILE* to, const QByteArray& bytes) {
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), to);
    std::fflush(to);
}

void print(FILE* to, const QString& text) {
    print(to, text.toUtf8());
}

// The installation's own settings folder, where the state file lies too.
QString socketPath() {
    const QString folder = WinPath::nativePath(Lib_Public::ProgramSettingsFolderFor(
        Startup::ApplicationFolder(QCoreApplication::applicationDirPath())));
    return folder.isEmpty() ? QString() : station::QueueSocketPath(folder);
}

// The holds of the installation, beside its settings file.
QString holdFile() {
    return WinPath::nativePath(Lib_Public::DossierConfigGlobal[0] +
                               QStringLiteral("VL3_Postique_Retenues.txt"));
}

// The request for the command at `at` of `arguments`; a text in `error` when it is malformed.
QJsonObject requestOf(const QStringList& arguments, qsizetype at, QString& error) {
    const QString& command = arguments[at];
    const QString next = arguments.value(at + 1);
    const bool hasValue = !next.isEmpty() && !next.startsWith(QStringLiteral("--"));
    if (command == QStringLiteral("--queue"))
        return {{QStringLiteral("command"), QStringLiteral("queue")}};
    if (command == QStringLiteral("--retry-now"))
        return {{QStringLiteral("command"), QStringLiteral("retry")},
                {QStringLiteral("target"), hasValue ? next : QString()}};
    if (!hasValue) {
        error = QStringLiteral("%1 attend %2")
                    .arg(command, command == QStringLiteral("--drop")
                                      ? QStringLiteral("JOB:LIGNE")
                                      : QStringLiteral("une DESTINATION"));
        return {};
    }
    if (command == QStringLiteral("--drop")) {
        static const QRegularExpression form(QStringLiteral("^(.+):([1-9][0-9]{0,8})$"));
        if (!form.match(next).hasMatch()) {
            error = QStringLiteral("--drop attend JOB:LIGNE (par exemple Email_1.ss8:3) : %1")
                        .arg(Untrusted::Clean(next));
            return {};
        }
    }
    return {{QStringLiteral("command"),
             command.mid(2) == QStringLiteral("hold") ? QStringLiteral("hold")
             : command == QStringLiteral("--release") ? QStringLiteral("release")
                                                      : QStringLiteral("drop")},
            {QStringLiteral("target"), next}};
}

// The listing without a running copy: the folders and settings as the station finds them.
QList<station::QueueEntry> readQueue() {
    Lib_Public::DossierApplication =
        Startup::ApplicationFolder(QCoreApplication::applicationDirPath());
    Lib_Public::Trap(QStringLiteral("QueueCommand"), [] {
        if (Lib_Public::DossierSettingsProgramme.trimmed().isEmpty())
            Lib_Public::NomDossierSettings();
        Lib_Public::InitGeneralPath(true);
    });
    const station::SendingSettings saved =
        HeadlessStation::ReadSendingSettings(Lib_Public::SettingsFilePath());
    station::QueueControl::instance().setHoldFile(holdFile());
    return station::QueueControl::instance().overlay(
        station::ListQueue(WinPath::nativePath(Lib_Public::CheckRep(saved.jobFolder)), saved));
}

void printEntries(const QList<station::QueueEntry>& entries, bool json) {
    print(stdout, json ? station::QueueJsonText(entries)
                       : (station::QueueLines(entries).join(u'\n') + u'\n').toUtf8());
}

} // namespace

QString Find(const QStringList& arguments) {
    for (const QString& argument : arguments)
        if (kCommands.contains(argument))
            return argument;
    return {};
}

int Run(const QStringList& arguments) {
    qsizetype at = -1;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        if (!kCommands.contains(arguments[i]))
            continue;
        if (at >= 0) {
            print(stderr, QStringLiteral("VL3_Postique: une seule commande de file d'attente à "
                                         "la fois (%1, %2)\n")
                              .arg(arguments[at], arguments[i]));
            return station::QueueBadArguments;
        }
        at = i;
    }
    if (at < 0)
        return station::QueueBadArguments;
    QString error;
    const QJsonObject request = requestOf(arguments, at, error);
    if (!error.isEmpty()) {
        print(stderr, QStringLiteral("VL3_Postique: %1\n").arg(error));
        return station::QueueBadArguments;
    }
    const bool json = arguments.contains(QStringLiteral("--json"));
    const bool listing =
        request.value(QStringLiteral("command")).toString() == QStringLiteral("queue");
    QJsonObject answer;
    const QString path = socketPath();
    if (path.isEmpty() || !station::AskRunningCopy(path, request, answer)) {
        if (listing) {
            printEntries(readQueue(), json);
            return station::QueueDone;
        }
        print(stderr, QStringLiteral("VL3_Postique: aucune copie de VL3_Postique ne tourne pour "
                                     "cette installation (%1) : rien n'a été fait\n")
                          .arg(path));
        return station::QueueNoCopy;
    }
    const int status = answer.value(QStringLiteral("status")).toInt(1);
    if (listing && status == station::QueueDone) {
        printEntries(station::QueueFromJson(answer.value(QStringLiteral("entries")).toArray()),
                     json);
        return status;
    }
    const QString text = Untrusted::Clean(answer.value(QStringLiteral("text")).toString());
    print(status == station::QueueDone ? stdout : stderr, text + u'\n');
    return status;
}

void StartServer(const std::function<station::SendingSettings()>& saved) {
    station::QueueControl::instance().setHoldFile(holdFile());
    auto* server = new station::QueueServer(saved, QCoreApplication::instance());
    QString error;
    const QString path = socketPath();
    if (path.isEmpty() || !server->listen(path, &error)) {
        delete server;
        automation::postIncident(Untrusted::Clean(
            QStringLiteral("File d'attente : les commandes --queue, --retry-now, --hold, "
                           "--release et --drop ne joignent pas cette copie (%1)")
                .arg(error)));
    }
    // The listing reads every job and its journal: off the window's thread, one at a time, so
    // that a large job being sent never holds the window.
    auto listing = std::make_shared<std::atomic<bool>>(false);
    const auto refresh = [saved, listing] {
        if (listing->exchange(true))
            return; // the previous listing still runs
        const station::SendingSettings settings = saved();
        const QString folder = WinPath::nativePath(Lib_Public::CheckRep(settings.jobFolder));
        QThreadPool::globalInstance()->start([settings, folder, listing] {
            const QList<station::QueueEntry> entries =
                station::QueueControl::instance().overlay(station::ListQueue(folder, settings));
            const station::QueueSummary summary = station::Summarise(entries);
            Supervision::SetQueue(summary.rows, summary.oldestMs,
                                  station::QueueControl::instance().held());
            station::QueueControl::instance().publish(entries);
            *listing = false;
        });
    };
    auto* timer = new QTimer(QCoreApplication::instance());
    QObject::connect(timer, &QTimer::timeout, timer, refresh);
    timer->start(kListingIntervalMs);
    refresh();
}

} // namespace QueueCommand
