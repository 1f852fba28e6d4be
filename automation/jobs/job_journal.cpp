// Job journal: append-only records beside the job, flushed with fsync, bound to the job file.
#include "automation/jobs/job_journal.h"

#include "system/clock.h"
#include "system/stop_points.h"
#include "system/textfile.h"
#include "system/winpath.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <mutex>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace automation {

// Makes the folder's entries (a new, deleted or renamed file) durable.
void syncFolder(const QString& folder) {
    UniqueFd fd = UniqueFd::open(folder, O_RDONLY | O_DIRECTORY);
    if (fd.valid())
        ::fsync(fd.get());
}

namespace {

const QString kSuffix = QStringLiteral(".postique-journal");
// Suffix of the journals of jobs whose name is too long to be repeated in the journal's.
const QString kHashedSuffix = QStringLiteral(".postique-journal-h");
const QByteArray kHeader = "POSTIQUE-JOURNAL 1\n";

QString errnoText(const QString& what, const QString& path) {
    return QStringLiteral("%1 %2: %3")
        .arg(what, path, QString::fromLocal8Bit(std::strerror(errno)));
}

// Flushes journals to disk beside the window's thread, which writes the records: a flush
// may take tens of milliseconds on a busy disk. Each request holds its own descriptor of the
// journal, so the journal may close or go meanwhile. Requests still waiting at exit are done.
class BackgroundFlush {
public:
    ~BackgroundFlush() {
        {
            std::lock_guard lock(mutex_);
            quitting_ = true;
        }
        wake_.notify_all();
        if (thread_.joinable())
            thread_.join();
    }

    void request(UniqueFd fd, std::shared_ptr<JournalFlushState> state) {
        {
            std::lock_guard lock(mutex_);
            pending_.push_back({std::move(fd), std::move(state)});
            if (!thread_.joinable())
                thread_ = std::thread([this] { run(); });
        }
        wake_.notify_one();
    }

private:
    struct Request {
        UniqueFd fd;
        std::shared_ptr<JournalFlushState> state;
    };

    void run() {
        std::unique_lock lock(mutex_);
        for (;;) {
            wake_.wait(lock, [this] { return quitting_ || !pending_.empty(); });
            if (pending_.empty())
                return;
            Request next = std::move(pending_.front());
            pending_.pop_front();
            lock.unlock();
            if (::fsync(next.fd.get()) != 0)
                next.state->failedErrno = errno;
            next.fd.reset();
            next.state->busy = false;
            lock.lock();
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Request> pending_;
    std::thread thread_;
    bool quitting_ = false;
};

BackgroundFlush& backgroundFlush() {
    static BackgroundFlush instance;
    return instance;
}

QString normalRecipient(const QString& recipient) {
    return recipient.trimmed().toLower();
}

// Record fields never hold blanks or line breaks: texts are percent-encoded.
QByteArray field(const QString& text) {
    return text.toUtf8().toPercentEncoding();
}
QString unfield(const QByteArray& bytes) {
    return TextFile::fromUtf8Exact(QByteArray::fromPercentEncoding(bytes));
}

QByteArray unitOf(const QByteArray& key, int occurrence) {
    return key + ' ' + QByteArray::number(occurrence);
}

// Journals written before rows were told apart by rank hold "sent" and "failed" records
// without one: they take the lowest ranks free, the sent ones first.
void placeUnranked(const QHash<QByteArray, int>& counts, QSet<QByteArray>& into,
                   const QSet<QByteArray>& other) {
    for (auto it = counts.cbegin(); it != counts.cend(); ++it)
        for (int left = it.value(), occurrence = 0; left > 0; ++occurrence)
            if (!into.contains(unitOf(it.key(), occurrence)) &&
                !other.contains(unitOf(it.key(), occurrence))) {
                into.insert(unitOf(it.key(), occurrence));
                --left;
            }
}

QByteArray identityRecord(const JobIdentity& id) {
    return "I " + QByteArray::number(id.device) + ' ' + QByteArray::number(id.inode) + ' ' +
           QByteArray::number(id.birthNs) + '\n';
}

QByteArray stampRecord(const FileStamp& s) {
    return "F " + QByteArray::number(static_cast<quint64>(s.device)) + ' ' +
           QByteArray::number(static_cast<quint64>(s.inode)) + ' ' + QByteArray::number(s.size) +
           ' ' + QByteArray::number(s.mtimeNs) + '\n';
}

// Same file: same device and inode, and the same birth time where both are known.
bool sameFile(const JobIdentity& a, const JobIdentity& b) {
    return a.device == b.device && a.inode == b.inode &&
           (a.birthNs == 0 || b.birthNs == 0 || a.birthNs == b.birthNs);
}

bool fromStatx(const struct statx& st, JobIdentity& identity) {
    identity.device = (static_cast<quint64>(st.stx_dev_major) << 32) | st.stx_dev_minor;
    identity.inode = st.stx_ino;
    identity.birthNs =
        (st.stx_mask & STATX_BTIME)
            ? static_cast<qint64>(st.stx_btime.tv_sec) * 1000000000LL + st.stx_btime.tv_nsec
            : 0;
    return true;
}

} // namespace

bool identityOfFd(int fd, JobIdentity& identity) {
    struct statx st {};
    if (::statx(fd, "", AT_EMPTY_PATH, STATX_INO | STATX_BTIME, &st) != 0)
        return false;
    return fromStatx(st, identity);
}

bool identityOf(const QString& nativePath, JobIdentity& identity) {
    struct statx st {};
    if (::statx(AT_FDCWD, QFile::encodeName(nativePath).constData(), 0, STATX_INO | STATX_BTIME,
                &st) != 0)
        return false;
    return fromStatx(st, identity);
}

QString JobJournal::journalName(const QString& jobFileName) {
    const QString plain = u'.' + jobFileName + kSuffix;
    if (QFile::encodeName(plain).size() <= 240)
        return plain;
    return u'.' +
           QString::fromLatin1(
               QCryptographicHash::hash(jobFileName.toUtf8(), QCryptographicHash::Sha1).toHex()) +
           kHashedSuffix;
}

QString JobJournal::jobNameOf(const QString& journalFileName) {
    if (!journalFileName.startsWith(u'.') || !journalFileName.endsWith(kSuffix) ||
        journalFileName.size() <= kSuffix.size() + 1)
        return {};
    return journalFileName.mid(1, journalFileName.size() - 1 - kSuffix.size());
}

QByteArray JobJournal::rowKey(const QStringList& cells) {
    // SHA-256 of the cells' UTF-8, each followed by 0x1F; the first 40 hex digits are the key
    // the journals on disk hold. OpenSSL's digest: one per row of every job.
    QByteArray text;
    for (const QString& cell : cells) {
        text += cell.toUtf8();
        text += '\x1f';
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    // Never an empty key: every row would share it. Qt's digest gives the same key.
    const QByteArray hash = EVP_Digest(text.constData(), size_t(text.size()), digest, &length,
                                       EVP_sha256(), nullptr) == 1
                                ? QByteArray(reinterpret_cast<const char*>(digest), int(length))
                                : QCryptographicHash::hash(text, QCryptographicHash::Sha256);
    return hash.toHex().left(40);
}

void JobJournal::forget() {
    fd_.reset();
    dirty_ = false;
    flushState_ = std::make_shared<JournalFlushState>(); // what the last one left is not ours
    path_.clear();
    identities_.clear();
    sent_.clear();
    failed_.clear();
    copies_.clear();
    copyCounts_.clear();
    deferrals_.clear();
    noticed_.clear();
    failureLines_.clear();
    replaced_ = false;
}

JobJournal::State JobJournal::open(const QString& folder, const QString& jobFileName,
                                   const JobIdentity& identity, const FileStamp& stamp,
                                   QString* error) {
    flush();
    forget();
    const QString path = QDir(folder).filePath(journalName(jobFileName));
    // Never block on, nor follow, something that is not a plain file.
    UniqueFd fd = UniqueFd::open(path, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY);
    if (!fd.valid() && errno != ENOENT) {
        if (error)
            *error = errnoText(QStringLiteral("cannot read the journal"), path);
        return State::Failed;
    }
    State state = State::Fresh;
    if (fd.valid()) {
        struct stat st {};
        QByteArray all;
        if (::fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode) &&
            st.st_size < off_t{64} * 1024 * 1024) {
            char buffer[65536];
            for (;;) {
                const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
                if (n < 0 && errno == EINTR)
                    continue;
                if (n <= 0)
                    break;
                all.append(buffer, n);
            }
        }
        fd.reset();
        // Only records ended by a line feed count: a crash may leave a torn last line.
        const qsizetype end = all.lastIndexOf('\n');
        bool mine = false;
        bool finished = false;
        bool finishedOther = false; // every row of the file it was made for went out
        QHash<QByteArray, int> unrankedSent;
        QHash<QByteArray, int> unrankedFailed;
        for (const QByteArray& line : all.left(end < 0 ? 0 : end).split('\n')) {
            const QList<QByteArray> p = line.split(' ');
            if (p.isEmpty())
                continue;
            if (p[0] == "I" && p.size() == 4) {
                const JobIdentity id{p[1].toULongLong(), p[2].toULongLong(), p[3].toLongLong()};
                identities_ << id;
                mine = mine || sameFile(id, identity);
            } else if (p[0] == "R" && p.size() == 3) {
                sent_.insert(p[1] + ' ' + p[2]);
            } else if (p[0] == "R" && p.size() == 2) {
                ++unrankedSent[p[1]];
            } else if (p[0] == "X" && (p.size() == 4 || p.size() == 5 || p.size() == 7)) {
                // Ranked records may carry the server's last answer (code, enhanced code).
                const bool ranked = p.size() >= 5;
                if (ranked)
                    failed_.insert(p[1] + ' ' + p[2]);
                else
                    ++unrankedFailed[p[1]];
                failureLines_ << QStringLiteral("Ligne %1 : %2")
                                     .arg(QString::fromLatin1(p[ranked ? 3 : 2]),
                                          unfield(p[ranked ? 4 : 3]));
            } else if (p[0] == "C" && p.size() == 4) {
                const QByteArray entry =
                    p[1] + ' ' + p[2] + ' ' + field(normalRecipient(unfield(p[3])));
                if (!copies_.contains(entry))
                    ++copyCounts_[p[1] + ' ' + p[2]];
                copies_.insert(entry);
            } else if (p[0] == "D" && (p.size() == 7 || p.size() == 10)) {
                Deferral& wait = deferrals_[p[1] + ' ' + p[2]];
                wait = {};
                wait.firstMs = p[3].toLongLong();
                wait.nextMs = p[4].toLongLong();
                wait.attempts = p[5].toInt();
                wait.reason = unfield(p[6]);
                if (p.size() == 10) {
                    wait.code = p[7].toInt();
                    wait.enhanced = unfield(p[8]);
                    wait.queueId = unfield(p[9]);
                }
            } else if (p[0] == "N" && p.size() == 4) {
                noticed_.insert(p[1] + ' ' + p[2] + ' ' + p[3]);
            } else if (p[0] == "F" && p.size() == 5) {
                finishedOther = true;
                finished = finished ||
                           (p[1].toULongLong() == static_cast<quint64>(stamp.device) &&
                            p[2].toULongLong() == static_cast<quint64>(stamp.inode) &&
                            p[3].toLongLong() == stamp.size && p[4].toLongLong() == stamp.mtimeNs);
            }
        }
        placeUnranked(unrankedSent, sent_, failed_);
        placeUnranked(unrankedFailed, failed_, sent_);
        if (finished) {
            state = State::Finished;
        } else if (mine) {
            state = State::Resumed;
        } else if (!finishedOther) {
            // The job still had rows to do and another file took its name (a copy written
            // and renamed over it): the same job, whose rows the content keys recognise.
            state = State::Resumed;
            replaced_ = true;
        } else {
            // The journal of an earlier job of the same name: it says nothing of this one.
            forget();
            if (::unlink(QFile::encodeName(path).constData()) != 0 && errno != ENOENT) {
                if (error)
                    *error = errnoText(QStringLiteral("cannot remove the old journal"), path);
                return State::Failed;
            }
        }
    }
    path_ = path;
    if (state == State::Fresh)
        identities_ = {identity};
    if (replaced_ && !adopt(identity, error))
        return State::Failed;
    return state;
}

bool JobJournal::copySent(const QByteArray& key, int occurrence, const QString& recipient) const {
    return copies_.contains(key + ' ' + QByteArray::number(occurrence) + ' ' +
                            field(normalRecipient(recipient)));
}

bool JobJournal::rowSent(const QByteArray& key, int occurrence) const {
    return sent_.contains(unitOf(key, occurrence));
}

bool JobJournal::rowDone(const QByteArray& key, int occurrence) const {
    return rowSent(key, occurrence) || failed_.contains(unitOf(key, occurrence));
}

bool JobJournal::markRowSent(const QByteArray& key, int occurrence, bool durable, QString* error) {
    const QByteArray unit = unitOf(key, occurrence);
    bool written = false;
    const bool ok = append("R " + unit + '\n', durable, error, &written);
    if (written)
        sent_.insert(unit);
    return ok;
}

bool JobJournal::markRowFailed(const QByteArray& key, int occurrence, int row,
                               const QString& reason, QString* error, int code,
                               const QString& enhanced) {
    const QByteArray unit = unitOf(key, occurrence);
    bool written = false;
    const QByteArray answer =
        code > 0 ? ' ' + QByteArray::number(code) + ' ' + field(enhanced) : QByteArray();
    const bool ok =
        append("X " + unit + ' ' + QByteArray::number(row) + ' ' + field(reason) + answer + '\n',
               true, error, &written);
    if (written && !failed_.contains(unit)) {
        failed_.insert(unit);
        failureLines_ << QStringLiteral("Ligne %1 : %2").arg(row).arg(reason);
    }
    return ok;
}

bool JobJournal::markCopySent(const QByteArray& key, int occurrence, const QString& recipient,
                              QString* error) {
    const QByteArray entry =
        key + ' ' + QByteArray::number(occurrence) + ' ' + field(normalRecipient(recipient));
    bool written = false;
    const bool ok = append("C " + entry + '\n', false, error, &written);
    if (written && !copies_.contains(entry)) {
        ++copyCounts_[key + ' ' + QByteArray::number(occurrence)];
        copies_.insert(entry);
    }
    return ok;
}

bool JobJournal::record(const UnrecordedSend& send, QString* error) {
    if (send.recipient.isEmpty())
        return markRowSent(send.key, send.occurrence, true, error);
    if (!markCopySent(send.key, send.occurrence, send.recipient, error))
        return false;
    if (flush())
        return true;
    if (error)
        *error = errnoText(QStringLiteral("cannot flush the journal"), path_);
    return false;
}

int JobJournal::copiesSent(const QByteArray& key, int occurrence) const {
    return copyCounts_.value(key + ' ' + QByteArray::number(occurrence));
}

const Deferral* JobJournal::deferral(const QByteArray& key, int occurrence) const {
    const auto it = deferrals_.constFind(key + ' ' + QByteArray::number(occurrence));
    return it == deferrals_.cend() ? nullptr : &*it;
}

bool JobJournal::markDeferred(const QByteArray& key, int occurrence, const Deferral& wait,
                              QString* error) {
    const QByteArray unit = key + ' ' + QByteArray::number(occurrence);
    bool written = false;
    const bool ok =
        append("D " + unit + ' ' + QByteArray::number(wait.firstMs) + ' ' +
                   QByteArray::number(wait.nextMs) + ' ' + QByteArray::number(wait.attempts) + ' ' +
                   field(wait.reason) + ' ' + QByteArray::number(wait.code) + ' ' +
                   field(wait.enhanced) + ' ' + field(wait.queueId) + '\n',
               false, error, &written);
    if (written)
        deferrals_[unit] = wait;
    return ok;
}

bool JobJournal::noticed(const QByteArray& key, int occurrence, NoticeState state) const {
    return noticed_.contains(unitOf(key, occurrence) + ' ' + static_cast<char>(state));
}

bool JobJournal::markNoticed(const QByteArray& key, int occurrence, NoticeState state,
                             QString* error) {
    const QByteArray entry = unitOf(key, occurrence) + ' ' + static_cast<char>(state);
    bool written = false;
    const bool ok = append("N " + entry + '\n', true, error, &written);
    if (written)
        noticed_.insert(entry);
    return ok;
}

bool JobJournal::prepare(QString* error) {
    return append({}, true, error);
}

bool JobJournal::adopt(const JobIdentity& identity, QString* error) {
    for (const JobIdentity& known : std::as_const(identities_))
        if (sameFile(known, identity))
            return true;
    if (!append(identityRecord(identity), true, error))
        return false;
    identities_ << identity;
    return true;
}

bool JobJournal::markFinished(const FileStamp& stamp, QString* error) {
    if (!append(stampRecord(stamp), true, error))
        return false;
    StopPoints::reach("finishing");
    return true;
}

namespace {
// POSTIQUE_JOURNAL_DURABLE=1 flushes every record to disk before the call returns (the
// benchmark of the journal's cost measures it against the flush once a second).
bool everyRecordDurable() {
    static const bool set = qEnvironmentVariableIntValue("POSTIQUE_JOURNAL_DURABLE") == 1;
    return set;
}
} // namespace

bool JobJournal::append(const QByteArray& record, bool durable, QString* error, bool* written) {
    durable = durable || everyRecordDurable();
    if (path_.isEmpty()) {
        if (error)
            *error = QStringLiteral("journal not open");
        return false;
    }
    if (!fd_.valid()) {
        fd_ = UniqueFd::open(path_, O_RDWR | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK, 0644);
        if (!fd_.valid()) {
            if (error)
                *error = errnoText(QStringLiteral("cannot open the journal"), path_);
            return false;
        }
        struct stat st {};
        if (::fstat(fd_.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
            fd_.reset();
            if (error)
                *error = QStringLiteral("the journal %1 is not a plain file").arg(path_);
            return false;
        }
        // A crash may have left a torn last line: the next record starts a line of its own.
        char last = '\n';
        if (st.st_size > 0 && ::pread(fd_.get(), &last, 1, st.st_size - 1) == 1 && last != '\n') {
            const char end = '\n';
            if (::write(fd_.get(), &end, 1) != 1) {
                fd_.reset();
                if (error)
                    *error = errnoText(QStringLiteral("cannot write the journal"), path_);
                return false;
            }
        }
        if (st.st_size == 0) {
            // A new journal: its header and the job it belongs to come first.
            QByteArray head = kHeader;
            for (const JobIdentity& id : std::as_const(identities_))
                head += identityRecord(id);
            if (!append(head, false, error))
                return false;
            // Hidden from the suite's modules on a Windows share too.
            WinPath::writeAttributes(path_, WinPath::AttrHidden | WinPath::AttrArchive);
            syncFolder(QFileInfo(path_).absolutePath());
            durable = true;
        }
    }
    qsizetype done = 0;
    // A test may stop the program with half of the record written, as a crash could.
    qsizetype half = StopPoints::active() ? record.size() / 2 : 0;
    while (done < record.size()) {
        if (half > 0 && done >= half) {
            StopPoints::reach("recording");
            half = 0;
        }
        const qsizetype upTo = half > 0 && done < half ? half : record.size();
        const ssize_t n =
            ::write(fd_.get(), record.constData() + done, static_cast<size_t>(upTo - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (error)
                *error = errnoText(QStringLiteral("cannot write the journal"), path_);
            return false;
        }
        done += n;
    }
    dirty_ = true;
    if (written)
        *written = true;
    const bool flushed = durable ? flush() : flushBeside();
    if (!flushed && error)
        *error = errnoText(QStringLiteral("cannot flush the journal"), path_);
    return flushed;
}

bool JobJournal::earlierFlushFailed() {
    const int failed = flushState_->failedErrno.exchange(0);
    if (failed != 0)
        errno = failed;
    return failed != 0;
}

bool JobJournal::flushBeside() {
    if (earlierFlushFailed())
        return false;
    if (Clock::WallMs() - lastSyncMs_ < SyncIntervalMs || flushState_->busy)
        return true;
    UniqueFd copy(::fcntl(fd_.get(), F_DUPFD_CLOEXEC, 0));
    if (!copy.valid())
        return flush();
    flushState_->busy = true;
    dirty_ = false;
    lastSyncMs_ = Clock::WallMs();
    backgroundFlush().request(std::move(copy), flushState_);
    return true;
}

bool JobJournal::flush() {
    if (earlierFlushFailed())
        return false;
    if (!fd_.valid() || !dirty_)
        return true;
    if (::fsync(fd_.get()) != 0)
        return false;
    dirty_ = false;
    lastSyncMs_ = Clock::WallMs();
    return true;
}

bool JobJournal::remove() {
    if (path_.isEmpty())
        return true;
    fd_.reset();
    dirty_ = false;
    // The job beside it was deleted or moved just before: that must reach the disk first, or
    // a crash could bring the job back without its journal.
    syncFolder(QFileInfo(path_).absolutePath());
    const bool gone = ::unlink(QFile::encodeName(path_).constData()) == 0 || errno == ENOENT;
    if (gone)
        forget();
    return gone;
}

void JobJournal::prune(const QString& folder, qint64 nowMs) {
    const QDir dir(folder);
    const QFileInfoList list = dir.entryInfoList({QStringLiteral(".*.postique-journal*")},
                                                 QDir::Files | QDir::Hidden | QDir::System);
    for (const QFileInfo& info : list) {
        const QString name = info.fileName();
        const qint64 idleMs = nowMs - info.lastModified().toMSecsSinceEpoch();
        bool drop = false;
        if (name.endsWith(kSuffix)) {
            const QString job = jobNameOf(name);
            struct stat st {};
            const bool jobThere =
                !job.isEmpty() &&
                ::lstat(QFile::encodeName(dir.filePath(job)).constData(), &st) == 0;
            drop = !jobThere && idleMs >= OrphanGraceMs;
        } else if (name.endsWith(kHashedSuffix)) {
            drop = idleMs >= StaleAfterMs;
        }
        if (drop)
            ::unlink(QFile::encodeName(info.absoluteFilePath()).constData());
    }
}

} // namespace automation
