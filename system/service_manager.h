// Talking to the service manager and its journal over their datagram sockets: readiness,
// status and watchdog notifications, and journal entries with fields of their own.
#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>
#include <QtGlobal>

namespace ServiceManager {

// Sends `state` ("READY=1", "STATUS=...", "WATCHDOG=1", "STOPPING=1", several separated by
// line feeds) to the socket named by $NOTIFY_SOCKET (a path, or "@name" for an abstract
// socket). False when the variable is unset or the datagram could not be sent.
bool Notify(const QByteArray& state);

// Half the watchdog period the service manager asks for ($WATCHDOG_USEC, addressed to this
// process when $WATCHDOG_PID is set), in milliseconds; 0 when there is no watchdog.
qint64 WatchdogPingMs();

// True when standard error is the journal ($JOURNAL_STREAM set by the service manager).
bool UnderJournal();

// One journal entry in the native protocol: "NAME=value\n" for each field, or the name, a
// line feed, the 64-bit little-endian length and the value when the value holds a line feed.
// Names are upper-case letters, digits and "_"; a field with another name is left out.
using Fields = QList<QPair<QByteArray, QByteArray>>;
QByteArray JournalEntry(const Fields& fields);

// Sends `fields` to the journal socket (default /run/systemd/journal/socket, or
// $POSTIQUE_JOURNAL_SOCKET). False when it could not be sent.
bool SendToJournal(const Fields& fields);

} // namespace ServiceManager
