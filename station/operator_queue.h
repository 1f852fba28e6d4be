// The queue in the operator's hands: the rows of the job folder that still wait, read from the
// jobs and their journals, and what the operator asks of them (try now, hold or release a
// destination, drop a row), kept where the job loop picks it up between rows.
#pragma once

#include "station/sending_settings.h"

#include <QByteArray>
#include <QHash>
#include <QJsonArray>
#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>

#include <mutex>

namespace station {

// One waiting row of a job, or one waiting recipient of a row that went out to the others.
struct QueueEntry {
    QString job; // job file name
    int row = 0;
    QString recipients; // "a@x.org, b@y.org"
    QString state;      // "waiting", "held" or "in_flight"
    QString reason;     // the server's last answer, cleaned; "" before a first try
    int attempts = 0;
    qint64 nextTry = 0; // Unix seconds; 0: at the next cycle
    QString destination;
    qint64 waitingSinceMs = 0; // first refusal (0: never tried)
};

// The destination of a row's mail: the server of the settings (the Graph host for Graph),
// or without one the recipients' domains, lower case, joined with ", ".
QString QueueDestination(const SendingSettings& saved, const QString& recipients);

// The waiting rows of the job files ("Email_*.ss8") of the native folder `nativeFolder`, as
// their journals tell: rows neither sent nor failed for good, one entry per waiting recipient
// for a row that went out in part. States are "waiting" here; QueueControl::overlay adds the
// holds and the rows in flight. Jobs that cannot be read are left out.
QList<QueueEntry> ListQueue(const QString& nativeFolder, const SendingSettings& saved);

// The entries as a JSON array (the running copy's answer), and as text lines for `--queue`.
QJsonArray QueueJson(const QList<QueueEntry>& entries);
// The entries as the JSON text of `--queue --json`: one object a line (all on one line when
// `oneLine`), the keys in the order of the listing, written without building a document (a
// long queue prints at once).
QByteArray QueueJsonText(const QList<QueueEntry>& entries, bool oneLine = false);
QStringList QueueLines(const QList<QueueEntry>& entries);
QList<QueueEntry> QueueFromJson(const QJsonArray& array);

// The reason given to a row the operator removed.
inline const QString DroppedByOperator = QStringLiteral("retiré par l'opérateur");

// What the operator asked and the job loop applies, shared between the thread that serves
// the commands and the one that runs the jobs. Holds are kept in a file so that they survive
// a restart. Thread-safe.
class QueueControl {
public:
    static QueueControl& instance();

    // The file that keeps the holds (native path, "" keeps them in memory only); read now.
    void setHoldFile(const QString& nativePath);
    bool isHeld(const QString& destination) const;
    QStringList held() const;
    // False (with `error`) when the hold file cannot be written; nothing changes then.
    bool hold(const QString& destination, QString* error);
    bool release(const QString& destination, QString* error);

    // The rows `rows` ("job\trow") go at their next turn, whatever their wait, once each.
    void retryNow(const QList<QPair<QString, int>>& rows);
    // True once for a row asked for by retryNow.
    bool takeRetry(const QString& job, int row);
    // The row `row` of `job` leaves the queue at its next turn. False when it was asked for
    // already.
    bool drop(const QString& job, int row);
    bool dropPending(const QString& job, int row) const;
    // True once for a row asked for by drop.
    bool takeDrop(const QString& job, int row);

    // The job loop's rows on their way to a server.
    void setInFlight(const QString& job, int row, bool inFlight);
    void clearInFlight(const QString& job);

    // Asks the job loop for a cycle at once (a command came); true once per request.
    void requestCycle();
    bool takeCycleRequest();

    // The listing with the holds, the rows in flight and the drops not yet applied.
    QList<QueueEntry> overlay(QList<QueueEntry> entries) const;

    // The running copy's last listing, for the window and the tray.
    void publish(const QList<QueueEntry>& entries);
    QList<QueueEntry> published() const;

    // Forgets everything but the hold file's content (tests).
    void reset();

private:
    bool saveHolds(const QSet<QString>& holds, QString* error) const;
    bool setHeld(const QString& destination, bool held, QString* error);
    static QString unit(const QString& job, int row);

    mutable std::mutex mutex_;
    QString holdFile_;
    QSet<QString> holds_;
    QSet<QString> retries_;
    QSet<QString> drops_;
    QSet<QString> inFlight_;
    bool cycle_ = false;
    QList<QueueEntry> published_;
};

// The row count and the oldest wait (ms since the epoch of its first refusal, 0: none) of
// the listing `entries`.
struct QueueSummary {
    int rows = 0;
    qint64 oldestMs = 0;
};
QueueSummary Summarise(const QList<QueueEntry>& entries);

} // namespace station
