// One line per send: "U <job path> <row key> <occurrence> <recipient or ->", texts
// percent-encoded; the file is replaced whole at every change, so a crash leaves the old list
// or the new one.
#include "automation/jobs/pending_records.h"

#include "system/atomicfile.h"

#include <QFile>

namespace automation {

namespace {

QByteArray encoded(const QString& text) {
    return text.toUtf8().toPercentEncoding();
}

QString decoded(const QByteArray& bytes) {
    return QString::fromUtf8(QByteArray::fromPercentEncoding(bytes));
}

} // namespace

void PendingRecords::setFile(const QString& native) {
    file_ = native;
    forget();
}

void PendingRecords::forget() {
    loaded_ = false;
    byJob_.clear();
}

void PendingRecords::load() {
    if (loaded_)
        return;
    loaded_ = true;
    if (file_.isEmpty())
        return;
    const std::optional<QByteArray> all = AtomicFile::readAll(file_);
    if (!all)
        return;
    for (const QByteArray& line : all->split('\n')) {
        const QList<QByteArray> p = line.split(' ');
        if (p.size() != 5 || p[0] != "U")
            continue;
        bool ok = false;
        const int occurrence = p[3].toInt(&ok);
        if (!ok || p[2].isEmpty())
            continue;
        UnrecordedSend send{p[2], occurrence, p[4] == "-" ? QString() : decoded(p[4])};
        byJob_[decoded(p[1])] << send;
    }
}

bool PendingRecords::save() {
    if (file_.isEmpty())
        return false;
    QByteArray text;
    for (auto it = byJob_.cbegin(); it != byJob_.cend(); ++it)
        for (const UnrecordedSend& send : it.value())
            text += "U " + encoded(it.key()) + ' ' + send.key + ' ' +
                    QByteArray::number(send.occurrence) + ' ' +
                    (send.recipient.isEmpty() ? QByteArray("-") : encoded(send.recipient)) + '\n';
    if (text.isEmpty())
        return !QFile::exists(file_) || QFile::remove(file_);
    return AtomicFile::replace(file_, text);
}

QList<UnrecordedSend> PendingRecords::of(const QString& nativeJob) {
    load();
    return byJob_.value(nativeJob);
}

bool PendingRecords::add(const QString& nativeJob, const QList<UnrecordedSend>& sends) {
    load();
    if (sends.isEmpty())
        return true;
    byJob_[nativeJob] << sends;
    return save();
}

bool PendingRecords::remove(const QString& nativeJob) {
    load();
    if (byJob_.remove(nativeJob) == 0)
        return true;
    return save();
}

} // namespace automation
