// The local socket through which the queue commands of the command line reach the running
// copy of the same installation: one JSON request and one JSON answer per connection, in a
// folder only the program's user can open.
#pragma once

#include "station/sending_settings.h"

#include <QJsonObject>
#include <QObject>
#include <QString>

#include <functional>

class QLocalServer;
class QLocalSocket;

namespace station {

// Exit statuses of the queue commands.
enum QueueStatus { QueueDone = 0, QueueBadArguments = 2, QueueNoCopy = 3, QueueNoMatch = 4 };

// The socket's path for the settings folder `nativeFolder`: a folder of its own there (mode
// 0700) holding the socket; where that path is too long for a socket's address, a private
// folder of the user in $XDG_RUNTIME_DIR (else /tmp) named after the settings folder.
QString QueueSocketPath(const QString& nativeFolder);

// Answers one request ({"command": "queue"|"retry"|"hold"|"release"|"drop", "target": ...})
// with {"status": QueueStatus, "text": line for the operator, "entries": [...]}, acting on
// QueueControl. `saved` gives the settings the job loop runs with.
QJsonObject AnswerQueueRequest(const QJsonObject& request, const SendingSettings& saved);

// The server of the running copy.
class QueueServer : public QObject {
public:
    QueueServer(std::function<SendingSettings()> saved, QObject* parent = nullptr);
    ~QueueServer() override;
    // Listens at `path`, making its folder private first. A socket left by a copy that is gone
    // is replaced; one where a copy answers is left alone (false). False with `error`.
    bool listen(const QString& path, QString* error);

private:
    void serve(QLocalSocket* socket);

    std::function<SendingSettings()> saved_;
    QLocalServer* server_ = nullptr;
};

// Sends `request` to the running copy at `path`. False when no copy answers there (no socket,
// a socket left by a copy that is gone, or one that is not the user's own).
bool AskRunningCopy(const QString& path, const QJsonObject& request, QJsonObject& answer);

} // namespace station
