// The register of mails sent: lines formatted by the caller's thread, gathered under a lock,
// appended to the day's file by whoever finds the batch due.
#include "automation/jobs/ledger.h"

#include "system/clock.h"
#include "system/globals.h"
#include "system/json_text.h"
#include "system/service_manager.h"
#include "system/untrusted_text.h"
#include "system/winpath.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <mutex>
#include <vector>

namespace automation {

namespace {

const QString kPrefix = QStringLiteral("envois-");
const QString kSuffix = QStringLiteral(".jsonl");

// The local offset from UTC, taken again once a minute (asking for the zone reads its files).
int localOffsetSeconds(qint64 ms) {
    static std::mutex mutex;
    static int offset = 0;
    static qint64 takenMs = -1;
    std::lock_guard lock(mutex);
    if (takenMs < 0 || ms - takenMs > 60'000 || ms < takenMs) {
        offset = QDateTime::fromMSecsSinceEpoch(ms).offsetFromUtc();
        takenMs = ms;
    }
    return offset;
}

QDateTime localTime(qint64 ms) {
    return QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC).toOffsetFromUtc(localOffsetSeconds(ms));
}

bool enabled() {
    static const bool on = qEnvironmentVariable("POSTIQUE_LEDGER") != QStringLiteral("0");
    return on;
}

struct Pending {
    QDate day;
    QByteArray bytes;
};

struct Register {
    std::mutex mutex; // the lines waiting and the settings
    std::vector<Pending> pending;
    qsizetype pendingBytes = 0;
    qint64 lastFlushMs = 0;
    QString folder;
    int keepDays = Ledger::DefaultKeepDays;
    std::mutex writing; // one writer at a time, in order
    QDate prunedFor;    // the day whose pruning was done (writer only)

    ~Register() { Ledger::flush(); }
};

Register& reg() {
    static Register instance;
    return instance;
}

QString nativeFolder(const QString& configured) {
    if (!configured.isEmpty())
        return configured;
    const QString base = Lib_Public::DossierConfigGlobal[0];
    if (base.isEmpty())
        return {};
    const QString native = WinPath::nativePath(base + QStringLiteral("Historique"));
    return native.isEmpty() ? QString() : QDir::cleanPath(native);
}

void toJournal(const LedgerEntry& e, const QString& outcome) {
    ServiceManager::Fields fields{
        {"MESSAGE", QStringLiteral("Envoi %1 : %2, ligne %3 de %4 (%5)")
                        .arg(outcome, Untrusted::Clean(e.recipient))
                        .arg(e.row)
                        .arg(Untrusted::Clean(e.job), e.reply.text)
                        .toUtf8()},
        {"PRIORITY", e.outcome == LedgerOutcome::Failed    ? "3"
                     : e.outcome == LedgerOutcome::Waiting ? "4"
                                                           : "6"},
        {"SYSLOG_IDENTIFIER", "VL3_Postique"},
        {"POSTIQUE_JOB_FILE", Untrusted::Clean(e.job).toUtf8()},
        {"POSTIQUE_JOB_ROW", QByteArray::number(e.row)},
        {"POSTIQUE_RECIPIENT", Untrusted::Clean(e.recipient).toUtf8()},
        {"POSTIQUE_DESTINATION", Untrusted::Clean(e.destination).toUtf8()},
        {"POSTIQUE_TRANSPORT", e.transport.toUtf8()},
        {"POSTIQUE_OUTCOME", outcome.toUtf8()},
        {"POSTIQUE_CODE", QByteArray::number(e.reply.code)},
        {"POSTIQUE_ENHANCED", Untrusted::Clean(e.reply.enhanced).toUtf8()},
        {"POSTIQUE_TEXT", e.reply.text.toUtf8()},
        {"POSTIQUE_QUEUE_ID", Untrusted::Clean(e.reply.queueId).toUtf8()},
    };
    ServiceManager::SendToJournal(fields);
}

} // namespace

mail::ServerReply RowDelivery::replyFor(const QString& recipient) const {
    return perRecipient.value(recipient.toLower(), reply);
}

QString RowDelivery::destinationFor(const QString& recipient) const {
    return destination.isEmpty() ? recipient.section(u'@', -1).toLower() : destination;
}

namespace Ledger {

QString outcomeName(LedgerOutcome outcome) {
    switch (outcome) {
    case LedgerOutcome::Sent:
        return QStringLiteral("sent");
    case LedgerOutcome::Waiting:
        return QStringLiteral("waiting");
    case LedgerOutcome::Failed:
        return QStringLiteral("failed");
    case LedgerOutcome::Dropped:
        return QStringLiteral("dropped");
    }
    return {};
}

QString fileName(const QDate& day) {
    return kPrefix + day.toString(QStringLiteral("yyyy-MM-dd")) + kSuffix;
}

QByteArray line(const LedgerEntry& e) {
    QByteArray out;
    out.reserve(320);
    const auto key = [&out](const char* name) {
        out += out.isEmpty() ? "{\"" : ",\"";
        out += name;
        out += "\":";
    };
    key("time");
    JsonText::AppendString(out, localTime(e.timeMs).toString(Qt::ISODate));
    key("job");
    JsonText::AppendString(out, Untrusted::Clean(e.job));
    key("row");
    out += QByteArray::number(e.row);
    key("recipient");
    JsonText::AppendString(out, Untrusted::Clean(e.recipient));
    key("destination");
    JsonText::AppendString(out, Untrusted::Clean(e.destination));
    key("transport");
    JsonText::AppendString(out, e.transport);
    key("outcome");
    JsonText::AppendString(out, outcomeName(e.outcome));
    key("code");
    out += e.reply.code > 0 ? QByteArray::number(e.reply.code) : QByteArray("null");
    key("enhanced");
    JsonText::AppendString(out, Untrusted::Clean(e.reply.enhanced));
    key("text");
    JsonText::AppendString(out, Untrusted::Clean(e.reply.text));
    key("queue_id");
    JsonText::AppendString(out, Untrusted::Clean(e.reply.queueId));
    out += "}\n";
    return out;
}

void setKeepDays(int days) {
    Register& r = reg();
    std::lock_guard lock(r.mutex);
    r.keepDays = std::max(1, days);
}

void setFolder(const QString& nativeFolder) {
    Register& r = reg();
    std::lock_guard lock(r.mutex);
    r.folder = nativeFolder;
}

QString folder() {
    Register& r = reg();
    std::lock_guard lock(r.mutex);
    return nativeFolder(r.folder);
}

void record(const LedgerEntry& given) {
    if (!enabled())
        return;
    LedgerEntry entry = given;
    if (entry.timeMs == 0)
        entry.timeMs = Clock::WallMs();
    const QByteArray text = line(entry);
    const QDate day = localTime(entry.timeMs).date();
    if (ServiceManager::UnderJournal())
        toJournal(entry, outcomeName(entry.outcome));
    Register& r = reg();
    bool due = false;
    {
        std::lock_guard lock(r.mutex);
        if (r.pending.empty() || r.pending.back().day != day)
            r.pending.push_back({day, {}});
        r.pending.back().bytes += text;
        r.pendingBytes += text.size();
        due = r.pendingBytes >= FlushBytes || entry.timeMs - r.lastFlushMs >= FlushIntervalMs ||
              entry.timeMs < r.lastFlushMs;
    }
    if (due)
        flush();
}

bool flush(QString* error) {
    Register& r = reg();
    std::lock_guard writing(r.writing);
    std::vector<Pending> batch;
    QString folder;
    int keepDays = DefaultKeepDays;
    {
        std::lock_guard lock(r.mutex);
        batch.swap(r.pending);
        r.pendingBytes = 0;
        r.lastFlushMs = Clock::WallMs();
        folder = nativeFolder(r.folder);
        keepDays = r.keepDays;
    }
    if (batch.empty())
        return true;
    if (folder.isEmpty() || !QDir().mkpath(folder)) {
        if (error)
            *error = QStringLiteral("no folder for the register (%1)").arg(folder);
        return false;
    }
    bool ok = true;
    for (const Pending& p : batch) {
        const QString path = QDir(folder).filePath(fileName(p.day));
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Append) ||
            file.write(p.bytes) != p.bytes.size()) {
            ok = false;
            if (error)
                *error = QStringLiteral("cannot write %1: %2").arg(path, file.errorString());
        }
    }
    // A new day (or the first write of this run) removes the files that aged out.
    const QDate today = localTime(Clock::WallMs()).date();
    if (r.prunedFor != today) {
        r.prunedFor = today;
        prune(folder, today, keepDays);
    }
    return ok;
}

void prune(const QString& nativeFolder, const QDate& today, int keepDays) {
    const QDir dir(nativeFolder);
    const QDate oldest = today.addDays(-(std::max(1, keepDays) - 1));
    for (const QString& name :
         dir.entryList({kPrefix + QStringLiteral("*") + kSuffix}, QDir::Files)) {
        const QDate day =
            QDate::fromString(name.mid(kPrefix.size(), 10), QStringLiteral("yyyy-MM-dd"));
        if (day.isValid() && day < oldest)
            QFile::remove(dir.filePath(name));
    }
}

} // namespace Ledger

} // namespace automation
