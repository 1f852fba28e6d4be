// The operator's queue: the waiting rows read from the jobs and their journals without
// touching either, and the operator's requests the job loop applies between rows.
#include "station/operator_queue.h"

#include "automation/jobs/job_file.h"
#include "automation/jobs/job_guard.h"
#include "automation/jobs/job_journal.h"
#include "mail/engine/protocols.h"
#include "mail/transport/graph.h"
#include "station/addresses.h"
#include "station/job_dispatch.h"
#include "system/atomicfile.h"
#include "system/json_text.h"
#include "system/untrusted_text.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonObject>

#include <algorithm>
#include <mutex>
#include <sys/stat.h>

namespace station {

namespace {

// Every address of a recipient list cell ("Name <a@x>; b@y"), as written.
QStringList addressesOf(const QString& cell) {
    QStringList out;
    for (QString entry : Addresses::SplitEx(QString(cell).replace(u';', u','), u',')) {
        Addresses::FnTrim(entry, Addresses::kListEntrySet);
        QString name, address;
        Addresses::FnParseAddr(entry, name, address);
        if (!address.isEmpty())
            out << address;
    }
    return out;
}

// What a journal says of its job's rows, read without changing it: "key occurrence" units.
struct JournalView {
    QSet<QByteArray> done;   // sent or failed for good
    QSet<QByteArray> copies; // unit + ' ' + percent-encoded lower-case recipient
    QHash<QByteArray, automation::Deferral> deferrals;
    bool finished = false; // every row went out and the job is about to go
};

// Reads the journal at `path` for the job of stamp `stamp`. A journal that ended with
// another file of the job's name (an earlier job) says nothing of this one.
JournalView readJournal(const QString& path, const automation::FileStamp& stamp) {
    JournalView view;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.size() > qint64{64} * 1024 * 1024)
        return view;
    const QByteArray all = file.readAll();
    const qsizetype end = all.lastIndexOf('\n'); // a torn last line does not count
    bool finishedOther = false;
    for (const QByteArray& line : all.left(end < 0 ? 0 : end).split('\n')) {
        const QList<QByteArray> p = line.split(' ');
        if (p.size() < 3)
            continue;
        const QByteArray unit = p[1] + ' ' + p[2];
        if (p[0] == "R" || (p[0] == "X" && p.size() >= 5)) {
            view.done.insert(unit);
        } else if (p[0] == "C" && p.size() >= 4) {
            view.copies.insert(unit + ' ' + p[3]);
        } else if (p[0] == "D" && p.size() >= 7) {
            view.deferrals[unit] = {p[3].toLongLong(), p[4].toLongLong(), p[5].toInt(),
                                    QString::fromUtf8(QByteArray::fromPercentEncoding(p[6]))};
        } else if (p[0] == "F" && p.size() >= 5) {
            const bool same = p[1].toULongLong() == static_cast<quint64>(stamp.device) &&
                              p[2].toULongLong() == static_cast<quint64>(stamp.inode) &&
                              p[3].toLongLong() == stamp.size && p[4].toLongLong() == stamp.mtimeNs;
            view.finished = view.finished || same;
            finishedOther = finishedOther || !same;
        }
    }
    if (finishedOther && !view.finished)
        return {};
    return view;
}

// The routing rule of the dispatch, its two mailboxes read once for a whole listing.
struct Routing {
    QString partner = JobDispatch::PartnerItMailbox();
    QString support = JobDispatch::SupportMailbox();
    QString to(const QString& cell, const QString& mark) const {
        if (mark == QStringLiteral("1"))
            return partner;
        return cell.trimmed().isEmpty() ? support : cell;
    }
};

// The last listing of each job, kept while neither the job, its journal nor the destination
// changed: the running copy lists its queue every few seconds.
struct CachedJob {
    QByteArray version;
    QList<QueueEntry> entries;
};
std::mutex g_cacheMutex;
QHash<QString, CachedJob> g_cache;

QByteArray versionOf(const automation::FileStamp& job, const QString& journal,
                     const QString& server) {
    struct stat st {};
    const bool there = ::stat(QFile::encodeName(journal).constData(), &st) == 0;
    return QByteArray::number(quint64(job.device)) + ' ' + QByteArray::number(quint64(job.inode)) +
           ' ' + QByteArray::number(job.size) + ' ' + QByteArray::number(job.mtimeNs) + ' ' +
           QByteArray::number(there ? qint64(st.st_size) : -1) + ' ' +
           QByteArray::number(there ? qint64(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec
                                    : 0) +
           ' ' + server.toUtf8();
}

void readJob(const QString& native, const automation::FileStamp& stamp, const QString& journalPath,
             const SendingSettings& saved, const Routing& routing, QList<QueueEntry>& out);

void listJob(const QString& native, const SendingSettings& saved, const Routing& routing,
             QList<QueueEntry>& out) {
    automation::FileStamp stamp;
    if (!automation::stampOf(native, stamp) || stamp.size > automation::MaxJobBytes)
        return;
    const QFileInfo info(native);
    const QString journalPath =
        info.dir().filePath(automation::JobJournal::journalName(info.fileName()));
    const QByteArray version =
        versionOf(stamp, journalPath, QueueDestination(saved, QStringLiteral("@")));
    {
        std::lock_guard lock(g_cacheMutex);
        if (const auto it = g_cache.constFind(native);
            it != g_cache.cend() && it->version == version) {
            out += it->entries;
            return;
        }
    }
    QList<QueueEntry> entries;
    readJob(native, stamp, journalPath, saved, routing, entries);
    out += entries;
    std::lock_guard lock(g_cacheMutex);
    g_cache.insert(native, {version, entries});
}

void readJob(const QString& native, const automation::FileStamp& stamp, const QString& journalPath,
             const SendingSettings& saved, const Routing& routing, QList<QueueEntry>& out) {
    QFile file(native);
    if (!file.open(QIODevice::ReadOnly))
        return;
    const automation::JobReadResult read = automation::readJobBytes(file.readAll());
    if (!read.ok || !read.sheet)
        return;
    const QString jobName = QFileInfo(native).fileName();
    const JournalView journal = readJournal(journalPath, stamp);
    if (journal.finished)
        return;
    const qint64 jobSinceMs = stamp.mtimeNs / 1'000'000;
    const automation::JobSheet& sheet = *read.sheet;
    QHash<QByteArray, int> seen;
    QStringList cells;
    for (int row = 1; row <= sheet.rowCount(); ++row) {
        if (sheet.cell(row, 1).trimmed().isEmpty())
            continue;
        cells.clear();
        for (int column = 1; column <= 12; ++column)
            cells << sheet.cell(row, column);
        const QByteArray key = automation::JobJournal::rowKey(cells);
        const QByteArray unit = key + ' ' + QByteArray::number(seen[key]++);
        if (journal.done.contains(unit))
            continue;
        QStringList recipients = addressesOf(routing.to(cells[4], cells[10]));
        recipients << addressesOf(cells[5]) << addressesOf(cells[6]);
        QStringList waiting;
        for (const QString& recipient : std::as_const(recipients))
            if (!journal.copies.contains(
                    unit + ' ' + recipient.trimmed().toLower().toUtf8().toPercentEncoding()))
                waiting << recipient;
        if (waiting.isEmpty())
            continue; // every copy went: the row is recorded as sent at its next turn
        QueueEntry entry;
        entry.job = jobName;
        entry.row = row;
        entry.state = QStringLiteral("waiting");
        entry.waitingSinceMs = jobSinceMs;
        if (const auto it = journal.deferrals.constFind(unit); it != journal.deferrals.cend()) {
            entry.reason = Untrusted::Clean(it->reason);
            entry.attempts = it->attempts;
            entry.nextTry = it->nextMs / 1000;
            entry.waitingSinceMs = it->firstMs;
        }
        // A row that went out in part waits for each of the others.
        const bool inPart = waiting.size() < recipients.size();
        const QStringList each = inPart ? waiting : QStringList{waiting.join(QStringLiteral(", "))};
        for (const QString& who : each) {
            entry.recipients = Untrusted::Clean(who);
            entry.destination = QueueDestination(saved, who);
            out << entry;
        }
    }
}

} // namespace

QString QueueDestination(const SendingSettings& saved, const QString& recipients) {
    const QString server = saved.server.trimmed();
    if (!server.isEmpty()) {
        const mail::ProtocolInfo* protocol = mail::FindProtocol(saved.protocol);
        return (protocol && protocol->route == mail::Route::Graph ? mail::GraphLimitsHost(server)
                                                                  : server)
            .toLower();
    }
    QStringList domains;
    for (const QString& address : addressesOf(recipients)) {
        const QString domain = address.section(u'@', -1).trimmed().toLower();
        if (!domain.isEmpty() && !domains.contains(domain))
            domains << domain;
    }
    return domains.join(QStringLiteral(", "));
}

QList<QueueEntry> ListQueue(const QString& nativeFolder, const SendingSettings& saved) {
    QList<QueueEntry> out;
    if (nativeFolder.isEmpty())
        return out;
    const Routing routing;
    const QFileInfoList jobs =
        QDir(nativeFolder).entryInfoList({QStringLiteral("Email_*.ss8")}, QDir::Files, QDir::Name);
    QSet<QString> listed;
    for (const QFileInfo& job : jobs) {
        if (job.size() > 0)
            listJob(job.absoluteFilePath(), saved, routing, out);
        listed.insert(job.absoluteFilePath());
    }
    // Jobs no longer listed are forgotten.
    std::lock_guard lock(g_cacheMutex);
    for (auto it = g_cache.begin(); it != g_cache.end();)
        it = listed.contains(it.key()) ? std::next(it) : g_cache.erase(it);
    return out;
}

QJsonArray QueueJson(const QList<QueueEntry>& entries) {
    QJsonArray array;
    for (const QueueEntry& e : entries)
        array.append(QJsonObject{{QStringLiteral("job"), e.job},
                                 {QStringLiteral("row"), e.row},
                                 {QStringLiteral("recipients"), e.recipients},
                                 {QStringLiteral("state"), e.state},
                                 {QStringLiteral("reason"), e.reason},
                                 {QStringLiteral("attempts"), e.attempts},
                                 {QStringLiteral("next_try"), e.nextTry},
                                 {QStringLiteral("destination"), e.destination}});
    return array;
}

QByteArray QueueJsonText(const QList<QueueEntry>& entries, bool oneLine) {
    const QByteArray newLine = oneLine ? QByteArray() : QByteArrayLiteral("\n");
    QByteArray out;
    out.reserve(entries.size() * 256 + 4);
    out += '[';
    for (const QueueEntry& e : entries) {
        if (out.size() > 1)
            out += ',';
        out += newLine + "{\"job\":";
        JsonText::AppendString(out, e.job);
        out += ",\"row\":" + QByteArray::number(e.row) + ",\"recipients\":";
        JsonText::AppendString(out, e.recipients);
        out += ",\"state\":";
        JsonText::AppendString(out, e.state);
        out += ",\"reason\":";
        JsonText::AppendString(out, e.reason);
        out += ",\"attempts\":" + QByteArray::number(e.attempts) +
               ",\"next_try\":" + QByteArray::number(e.nextTry) + ",\"destination\":";
        JsonText::AppendString(out, e.destination);
        out += '}';
    }
    out += newLine + ']' + newLine;
    return out;
}

QList<QueueEntry> QueueFromJson(const QJsonArray& array) {
    QList<QueueEntry> out;
    for (const auto& value : array) {
        const QJsonObject o = value.toObject();
        QueueEntry e;
        e.job = o.value(QStringLiteral("job")).toString();
        e.row = o.value(QStringLiteral("row")).toInt();
        e.recipients = o.value(QStringLiteral("recipients")).toString();
        e.state = o.value(QStringLiteral("state")).toString();
        e.reason = o.value(QStringLiteral("reason")).toString();
        e.attempts = o.value(QStringLiteral("attempts")).toInt();
        e.nextTry = static_cast<qint64>(o.value(QStringLiteral("next_try")).toDouble());
        e.destination = o.value(QStringLiteral("destination")).toString();
        e.waitingSinceMs = static_cast<qint64>(o.value(QStringLiteral("since_ms")).toDouble());
        out << e;
    }
    return out;
}

QStringList QueueLines(const QList<QueueEntry>& entries) {
    if (entries.isEmpty())
        return {QStringLiteral("File d'attente vide")};
    QStringList lines{QStringLiteral("job\tligne\tdestinataires\tétat\tessais\tprochain essai\t"
                                     "destination\traison")};
    for (const QueueEntry& e : entries)
        lines << QStringList{e.job,
                             QString::number(e.row),
                             e.recipients,
                             e.state,
                             QString::number(e.attempts),
                             e.nextTry > 0 ? QDateTime::fromSecsSinceEpoch(e.nextTry).toString(
                                                 QStringLiteral("yyyy-MM-dd HH:mm:ss"))
                                           : QStringLiteral("au prochain cycle"),
                             e.destination,
                             e.reason}
                     .join(u'\t');
    return lines;
}

QueueSummary Summarise(const QList<QueueEntry>& entries) {
    QueueSummary summary;
    QSet<QString> rows;
    for (const QueueEntry& e : entries) {
        rows.insert(e.job + u'\t' + QString::number(e.row));
        if (e.waitingSinceMs > 0 && (summary.oldestMs == 0 || e.waitingSinceMs < summary.oldestMs))
            summary.oldestMs = e.waitingSinceMs;
    }
    summary.rows = int(rows.size());
    return summary;
}

QueueControl& QueueControl::instance() {
    static QueueControl control;
    return control;
}

QString QueueControl::unit(const QString& job, int row) {
    return job + u'\t' + QString::number(row);
}

void QueueControl::setHoldFile(const QString& nativePath) {
    QSet<QString> holds;
    if (const auto bytes = nativePath.isEmpty() ? std::nullopt : AtomicFile::readAll(nativePath))
        for (const QString& line : QString::fromUtf8(*bytes).split(u'\n', Qt::SkipEmptyParts))
            if (const QString host = line.trimmed().toLower(); !host.isEmpty())
                holds.insert(host);
    std::lock_guard lock(mutex_);
    holdFile_ = nativePath;
    holds_ = holds;
}

bool QueueControl::saveHolds(const QSet<QString>& holds, QString* error) const {
    if (holdFile_.isEmpty())
        return true;
    QStringList sorted(holds.cbegin(), holds.cend());
    sorted.sort();
    QByteArray bytes;
    for (const QString& host : std::as_const(sorted))
        bytes += host.toUtf8() + '\n';
    return AtomicFile::replace(holdFile_, bytes, error, 0600);
}

bool QueueControl::isHeld(const QString& destination) const {
    std::lock_guard lock(mutex_);
    if (holds_.isEmpty())
        return false;
    // A row for several domains is held when one of them is.
    for (const QString& one : destination.split(QStringLiteral(", ")))
        if (holds_.contains(one.trimmed().toLower()))
            return true;
    return false;
}

QStringList QueueControl::held() const {
    std::lock_guard lock(mutex_);
    QStringList out(holds_.cbegin(), holds_.cend());
    out.sort();
    return out;
}

bool QueueControl::hold(const QString& destination, QString* error) {
    return setHeld(destination, true, error);
}

bool QueueControl::release(const QString& destination, QString* error) {
    return setHeld(destination, false, error);
}

// The hold is kept on disk before it counts; a release lets what waited for it go now.
bool QueueControl::setHeld(const QString& destination, bool held, QString* error) {
    std::lock_guard lock(mutex_);
    QSet<QString> next = holds_;
    const QString key = destination.trimmed().toLower();
    if (held)
        next.insert(key);
    else
        next.remove(key);
    if (!saveHolds(next, error))
        return false;
    holds_ = next;
    if (!held)
        cycle_ = true;
    return true;
}

void QueueControl::retryNow(const QList<QPair<QString, int>>& rows) {
    std::lock_guard lock(mutex_);
    for (const auto& row : rows)
        retries_.insert(unit(row.first, row.second));
    cycle_ = true;
}

bool QueueControl::takeRetry(const QString& job, int row) {
    std::lock_guard lock(mutex_);
    return retries_.remove(unit(job, row));
}

bool QueueControl::drop(const QString& job, int row) {
    std::lock_guard lock(mutex_);
    if (drops_.contains(unit(job, row)))
        return false;
    drops_.insert(unit(job, row));
    cycle_ = true;
    return true;
}

bool QueueControl::dropPending(const QString& job, int row) const {
    std::lock_guard lock(mutex_);
    return drops_.contains(unit(job, row));
}

bool QueueControl::takeDrop(const QString& job, int row) {
    std::lock_guard lock(mutex_);
    return drops_.remove(unit(job, row));
}

void QueueControl::setInFlight(const QString& job, int row, bool inFlight) {
    std::lock_guard lock(mutex_);
    if (inFlight)
        inFlight_.insert(unit(job, row));
    else
        inFlight_.remove(unit(job, row));
}

void QueueControl::clearInFlight(const QString& job) {
    std::lock_guard lock(mutex_);
    const QString prefix = job + u'\t';
    for (auto it = inFlight_.begin(); it != inFlight_.end();)
        it = it->startsWith(prefix) ? inFlight_.erase(it) : std::next(it);
}

void QueueControl::requestCycle() {
    std::lock_guard lock(mutex_);
    cycle_ = true;
}

bool QueueControl::takeCycleRequest() {
    std::lock_guard lock(mutex_);
    return std::exchange(cycle_, false);
}

QList<QueueEntry> QueueControl::overlay(QList<QueueEntry> entries) const {
    QList<QueueEntry> out;
    out.reserve(entries.size());
    for (QueueEntry& e : entries) {
        {
            std::lock_guard lock(mutex_);
            if (drops_.contains(unit(e.job, e.row)))
                continue;
            if (inFlight_.contains(unit(e.job, e.row)))
                e.state = QStringLiteral("in_flight");
        }
        if (e.state == QStringLiteral("waiting") && isHeld(e.destination))
            e.state = QStringLiteral("held");
        out << std::move(e);
    }
    return out;
}

void QueueControl::publish(const QList<QueueEntry>& entries) {
    std::lock_guard lock(mutex_);
    published_ = entries;
}

QList<QueueEntry> QueueControl::published() const {
    std::lock_guard lock(mutex_);
    return published_;
}

void QueueControl::reset() {
    std::lock_guard lock(mutex_);
    retries_.clear();
    drops_.clear();
    inFlight_.clear();
    cycle_ = false;
}

} // namespace station
