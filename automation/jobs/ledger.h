// The register of every mail sent: one JSON line per recipient and outcome, in one file a
// day ("Historique/envois-AAAA-MM-JJ.jsonl" of the settings folder), kept a number of days.
// Written from any thread: lines are gathered in memory and written out at least once a
// second, when many wait, at the end of each job and at exit.
#pragma once

#include "mail/engine/mail_component.h"

#include <QByteArray>
#include <QDate>
#include <QHash>
#include <QString>
#include <QStringList>

namespace automation {

// What became of one recipient of one row.
enum class LedgerOutcome { Sent, Waiting, Failed, Dropped };

// One line of the register.
struct LedgerEntry {
    qint64 timeMs = 0; // wall clock; 0: now
    QString job;       // the job file's name
    int row = 0;
    QString recipient;   // bare address
    QString destination; // the server it went to, or the recipient's domain without one
    QString transport;   // "smtp", "direct", "ews", "webdav", "graph"
    LedgerOutcome outcome = LedgerOutcome::Sent;
    mail::ServerReply reply;
};

// Who a row's mail went to, through what, and what the servers answered: filled by the
// dispatch from a send's outcome, turned into register lines by the job's run.
struct RowDelivery {
    QStringList recipients; // bare addresses of this send's envelope
    QString destination;    // the server ("" without one: each recipient's domain)
    QString transport;
    mail::ServerReply reply; // the answer about the whole mail
    // Sent copy by copy: `recipients` are the copies tried and each has its own answer,
    // which decides its line (taken, refused for good, or as the row).
    bool perCopy = false;
    QHash<QString, mail::ServerReply> perRecipient; // lower-case address -> its own answer
    // The answer about `recipient`: its own, else the whole mail's.
    mail::ServerReply replyFor(const QString& recipient) const;
    QString destinationFor(const QString& recipient) const;
};

namespace Ledger {

inline constexpr int DefaultKeepDays = 30;
// Lines are written out once this many bytes wait, or a second after the last write.
inline constexpr qsizetype FlushBytes = qsizetype{64} * 1024;
inline constexpr qint64 FlushIntervalMs = 1000;

// The word of `outcome` in the register ("sent", "waiting", "failed", "dropped").
QString outcomeName(LedgerOutcome outcome);
// "envois-AAAA-MM-JJ.jsonl".
QString fileName(const QDate& day);
// The register's line of `entry` (a JSON object and a line feed), at local time `timeMs`.
QByteArray line(const LedgerEntry& entry);

// Days of files kept (1 at least); DefaultKeepDays until set.
void setKeepDays(int days);
// The native folder of the files; "" (the default): "Historique" of the settings folder
// (DossierConfigGlobal), looked up at each write.
void setFolder(const QString& nativeFolder);
QString folder();

// Adds one line. Thread-safe; never waits on the disk unless a second passed or many lines
// wait. POSTIQUE_LEDGER=0 in the environment keeps the register off (the benchmark of its
// cost). Under the service manager the line also goes to its journal, with the same fields.
void record(const LedgerEntry& entry);
// Writes out the lines waiting. False with `error` when the file could not be written (the
// lines are then dropped: the register never holds back a job).
bool flush(QString* error = nullptr);
// Removes the day files of `nativeFolder` older than `keepDays` days before `today`.
void prune(const QString& nativeFolder, const QDate& today, int keepDays);

} // namespace Ledger

} // namespace automation
