// Job journal: append-only records flushed with fsync, one file per job key.
#include "automation/job_journal.h"

#include "system/unique_fd.h"
#include "system/clock.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace automation {

namespace {

QString errnoText(const QString& what, const QString& path) {
    return QStringLiteral("%1 %2: %3").arg(what, path, QString::fromLocal8Bit(std::strerror(errno)));
}

// Makes a new directory entry durable.
void syncFolder(const QString& folder) {
    UniqueFd fd = UniqueFd::open(folder, O_RDONLY | O_DIRECTORY);
    if (fd.valid())
        ::fsync(fd.get());
}

QString normalRecipient(const QString& recipient) {
    QString r = recipient.trimmed().toLower();
    for (QChar& c : r)
        if (c.isSpace() || c.category() == QChar::Other_Control)
            c = u'_';
    return r;
}

} // namespace

QByteArray JobJournal::jobKey(const QString& fileName, const QByteArray& content) {
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData(fileName.toLower().toUtf8());
    hash.addData(QByteArrayView("\0", 1));
    hash.addData(content);
    return hash.result().toHex();
}

bool JobJournal::open(const QString& folder, const QByteArray& key, QString* error) {
    flush();
    fd_.reset();
    dirty_ = false;
    path_.clear();
    rows_.clear();
    copies_.clear();
    if (!QDir().mkpath(folder)) {
        if (error)
            *error = QStringLiteral("cannot create the journal folder %1").arg(folder);
        return false;
    }
    const QString path = QDir(folder).filePath(QString::fromLatin1(key) + QStringLiteral(".journal"));
    QFile file(path);
    if (file.exists()) {
        if (!file.open(QIODevice::ReadOnly)) {
            if (error)
                *error = QStringLiteral("cannot read the journal %1: %2").arg(path, file.errorString());
            return false;
        }
        const QByteArray all = file.readAll();
        // Only records ended by a line feed count: a crash may leave a torn last line.
        const qsizetype end = all.lastIndexOf('\n');
        for (const QByteArray& line : all.left(end < 0 ? 0 : end).split('\n')) {
            const QList<QByteArray> parts = line.split(' ');
            bool ok = false;
            const int row = parts.size() >= 2 ? parts[1].toInt(&ok) : 0;
            if (!ok || row < 1)
                continue;
            if (parts[0] == "R" && parts.size() == 2)
                rows_.insert(row);
            else if (parts[0] == "C" && parts.size() == 3)
                copies_.emplace(row, QString::fromUtf8(parts[2]));
        }
    }
    path_ = path;
    return true;
}

bool JobJournal::copySent(int row, const QString& recipient) const {
    return rowSent(row) || copies_.count({row, normalRecipient(recipient)}) != 0;
}

bool JobJournal::markRowSent(int row, bool durable, QString* error) {
    if (!append("R " + QByteArray::number(row) + '\n', durable, error))
        return false;
    rows_.insert(row);
    return true;
}

bool JobJournal::markCopySent(int row, const QString& recipient, QString* error) {
    const QString r = normalRecipient(recipient);
    if (!append("C " + QByteArray::number(row) + ' ' + r.toUtf8() + '\n', false, error))
        return false;
    copies_.emplace(row, r);
    return true;
}

bool JobJournal::append(const QByteArray& record, bool durable, QString* error) {
    if (path_.isEmpty()) {
        if (error)
            *error = QStringLiteral("journal not open");
        return false;
    }
    if (!fd_.valid()) {
        const bool created = !QFileInfo::exists(path_);
        fd_ = UniqueFd::open(path_, O_WRONLY | O_APPEND | O_CREAT);
        if (!fd_.valid()) {
            if (error)
                *error = errnoText(QStringLiteral("cannot open the journal"), path_);
            return false;
        }
        if (created)
            syncFolder(QFileInfo(path_).absolutePath());
    }
    qsizetype done = 0;
    while (done < record.size()) {
        const ssize_t n = ::write(fd_.get(), record.constData() + done, static_cast<size_t>(record.size() - done));
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
    if (durable || Clock::WallMs() - lastSyncMs_ >= SyncIntervalMs) {
        if (!flush()) {
            if (error)
                *error = errnoText(QStringLiteral("cannot flush the journal"), path_);
            return false;
        }
    }
    return true;
}

bool JobJournal::flush() {
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
    const bool gone = QFile::remove(path_) || !QFileInfo::exists(path_);
    if (gone) {
        path_.clear();
        rows_.clear();
        copies_.clear();
    }
    return gone;
}

void JobJournal::pruneOlderThan(const QString& folder, const QDateTime& cutoff) {
    const QDir dir(folder);
    const QFileInfoList list = dir.entryInfoList({QStringLiteral("*.journal")}, QDir::Files);
    for (const QFileInfo& info : list)
        if (info.lastModified() < cutoff)
            QFile::remove(info.absoluteFilePath());
}

namespace {
JobJournal* activeJournal = nullptr;
int activeRow = 0;
} // namespace

void setActiveJobRow(JobJournal* journal, int row) {
    activeJournal = journal;
    activeRow = row;
}

void clearActiveJobRow() {
    activeJournal = nullptr;
    activeRow = 0;
}

bool copyAlreadySent(const QString& recipient) {
    return activeJournal && activeJournal->isOpen() && activeJournal->copySent(activeRow, recipient);
}

void noteCopySent(const QString& recipient) {
    if (activeJournal && activeJournal->isOpen())
        activeJournal->markCopySent(activeRow, recipient);
}

} // namespace automation
