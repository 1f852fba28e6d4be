// The queue commands' socket: a private folder, the peer's user checked on every connection,
// one request line and one answer line.
#include "station/queue_server.h"

#include "mail/engine/destinations.h"
#include "station/job_loop.h"
#include "station/operator_queue.h"
#include "system/paths.h"
#include "system/supervision.h"
#include "system/untrusted_text.h"
#include "system/winpath.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLocalServer>
#include <QLocalSocket>
#include <QTimer>

#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace station {

namespace {

// A request is one short line; anything longer is no client of ours.
constexpr qint64 kMaxRequestBytes = 4096;
constexpr int kRequestTimeoutMs = 5000;

QString errnoText(const QString& what, const QString& path) {
    return QStringLiteral("%1 %2 : %3")
        .arg(what, path, QString::fromLocal8Bit(std::strerror(errno)));
}

// True when `native` is a folder of this user that nobody else may enter (made so when it
// is a plain folder of this user).
bool privateFolder(const QString& native, QString* error) {
    const QByteArray path = QFile::encodeName(native);
    if (::mkdir(path.constData(), 0700) != 0 && errno != EEXIST) {
        *error = errnoText(QStringLiteral("impossible de créer le dossier"), native);
        return false;
    }
    struct stat st {};
    if (::lstat(path.constData(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid()) {
        *error =
            QStringLiteral("%1 n'est pas un dossier de l'utilisateur du programme").arg(native);
        return false;
    }
    if ((st.st_mode & 077) != 0 && ::chmod(path.constData(), 0700) != 0) {
        *error = errnoText(QStringLiteral("impossible de protéger le dossier"), native);
        return false;
    }
    return true;
}

// The socket at `path` is this user's, in a folder of this user closed to others.
bool trustedSocket(const QString& path) {
    struct stat st {};
    struct stat folder {};
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 && S_ISSOCK(st.st_mode) &&
           st.st_uid == ::geteuid() &&
           ::lstat(QFile::encodeName(QFileInfo(path).absolutePath()).constData(), &folder) == 0 &&
           S_ISDIR(folder.st_mode) && folder.st_uid == ::geteuid() && (folder.st_mode & 077) == 0;
}

QJsonObject answer(int status, const QString& text, const QList<QueueEntry>& entries = {}) {
    return {{QStringLiteral("status"), status},
            {QStringLiteral("text"), text},
            {QStringLiteral("entries"), QueueJson(entries)}};
}

QList<QueueEntry> currentQueue(const SendingSettings& saved) {
    return QueueControl::instance().overlay(
        ListQueue(WinPath::nativePath(Lib_Public::CheckRep(saved.jobFolder)), saved));
}

// Destinations the station knows: those of the waiting rows, its own server, those it sent to
// since it started, and those held.
bool knownDestination(const QString& wanted, const QList<QueueEntry>& entries,
                      const SendingSettings& saved) {
    if (QueueControl::instance().isHeld(wanted) || QueueDestination(saved, QString()) == wanted)
        return true;
    for (const QueueEntry& e : entries)
        if (e.destination.split(QStringLiteral(", ")).contains(wanted))
            return true;
    const Supervision::Snapshot snap = Supervision::Take();
    for (auto it = snap.mails.cbegin(); it != snap.mails.cend(); ++it)
        if (it.key().section(u'\t', 0, 0).toLower() == wanted)
            return true;
    return snap.failingSinceMs.contains(wanted) || snap.lastSuccessMs.contains(wanted);
}

QJsonObject retry(const QString& target, const SendingSettings& saved) {
    const QList<QueueEntry> entries = currentQueue(saved);
    QList<QPair<QString, int>> rows;
    QSet<QString> destinations;
    for (const QueueEntry& e : entries) {
        const bool match = target.isEmpty() || e.job.compare(target, Qt::CaseInsensitive) == 0 ||
                           e.destination.split(QStringLiteral(", ")).contains(target.toLower());
        if (!match || e.state == QStringLiteral("held"))
            continue;
        rows << qMakePair(e.job, e.row);
        for (const QString& one : e.destination.split(QStringLiteral(", ")))
            destinations.insert(one);
    }
    if (rows.isEmpty() && !target.isEmpty())
        return answer(QueueNoMatch, QStringLiteral("Rien ne correspond à « %1 » dans la file "
                                                   "d'attente (hors destinations retenues)")
                                        .arg(target));
    QueueControl::instance().retryNow(rows);
    for (const QString& destination : std::as_const(destinations))
        mail::LiftDestinationRest(destination);
    return answer(QueueDone,
                  QStringLiteral("%1 ligne(s) essayée(s) de nouveau maintenant").arg(rows.size()));
}

QJsonObject hold(const QString& destination, const SendingSettings& saved) {
    if (!knownDestination(destination, currentQueue(saved), saved))
        return answer(QueueNoMatch,
                      QStringLiteral("Destination inconnue de la station : %1").arg(destination));
    QString error;
    if (!QueueControl::instance().hold(destination, &error))
        return answer(1, QStringLiteral("Retenue non enregistrée : %1").arg(error));
    return answer(
        QueueDone,
        QStringLiteral("%1 retenue : rien ne lui est envoyé avant --release %1").arg(destination));
}

QJsonObject release(const QString& destination) {
    if (!QueueControl::instance().isHeld(destination))
        return answer(QueueNoMatch, QStringLiteral("%1 n'est pas retenue").arg(destination));
    QString error;
    if (!QueueControl::instance().release(destination, &error))
        return answer(1, QStringLiteral("Libération non enregistrée : %1").arg(error));
    return answer(QueueDone, QStringLiteral("%1 libérée").arg(destination));
}

QJsonObject drop(const QString& target, const SendingSettings& saved) {
    const qsizetype colon = target.lastIndexOf(u':');
    const QString job = target.left(colon);
    const int row = target.mid(colon + 1).toInt();
    bool waiting = false;
    for (const QueueEntry& e : currentQueue(saved))
        waiting = waiting || (e.job == job && e.row == row);
    if (!waiting || !QueueControl::instance().drop(job, row))
        return answer(
            QueueNoMatch,
            QStringLiteral("Aucune ligne %1 de %2 dans la file d'attente").arg(row).arg(job));
    return answer(QueueDone,
                  QStringLiteral("Ligne %1 de %2 retirée de la file : elle part dans « %3 »")
                      .arg(row)
                      .arg(job, DeadLetterFolder));
}

} // namespace

QString QueueSocketPath(const QString& nativeFolder) {
    const QString inFolder =
        QDir(nativeFolder).filePath(QStringLiteral("VL3_Postique_Commandes/socket"));
    if (QFile::encodeName(inFolder).size() < qsizetype(sizeof(sockaddr_un::sun_path)))
        return inFolder;
    // Too long for a socket's address: a private folder of this user in the runtime folder,
    // one socket per settings folder.
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    const QString base = QDir::isAbsolutePath(runtime) ? runtime : QStringLiteral("/tmp");
    const QByteArray hash =
        QCryptographicHash::hash(QFile::encodeName(QDir::cleanPath(nativeFolder)),
                                 QCryptographicHash::Sha256)
            .toHex()
            .left(24);
    return QStringLiteral("%1/VL3_Postique-%2/%3.sock")
        .arg(base)
        .arg(::geteuid())
        .arg(QString::fromLatin1(hash));
}

QJsonObject AnswerQueueRequest(const QJsonObject& request, const SendingSettings& saved) {
    const QString command = request.value(QStringLiteral("command")).toString();
    const QString target = request.value(QStringLiteral("target")).toString().trimmed();
    if (command == QStringLiteral("queue"))
        return answer(QueueDone, QString(), currentQueue(saved));
    if (command == QStringLiteral("retry"))
        return retry(target, saved);
    if (target.isEmpty() || target.size() > 1024)
        return answer(QueueBadArguments, QStringLiteral("Requête incomplète"));
    if (command == QStringLiteral("hold"))
        return hold(target.toLower(), saved);
    if (command == QStringLiteral("release"))
        return release(target.toLower());
    if (command == QStringLiteral("drop"))
        return drop(target, saved);
    return answer(QueueBadArguments, QStringLiteral("Requête inconnue"));
}

QueueServer::QueueServer(std::function<SendingSettings()> saved, QObject* parent)
    : QObject(parent), saved_(std::move(saved)), server_(new QLocalServer(this)) {
    connect(server_, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* socket = server_->nextPendingConnection())
            serve(socket);
    });
}

QueueServer::~QueueServer() {
    server_->close(); // removes the socket file
}

bool QueueServer::listen(const QString& path, QString* error) {
    if (!privateFolder(QFileInfo(path).absolutePath(), error))
        return false;
    server_->setSocketOptions(QLocalServer::UserAccessOption);
    if (server_->listen(path))
        return true;
    if (server_->serverError() == QAbstractSocket::AddressInUseError) {
        // Left by a copy that is gone, unless one answers there.
        QLocalSocket probe;
        probe.connectToServer(path);
        if (probe.waitForConnected(1000)) {
            *error = QStringLiteral("une autre copie répond déjà sur %1").arg(path);
            return false;
        }
        QLocalServer::removeServer(path);
        if (server_->listen(path))
            return true;
    }
    *error = QStringLiteral("%1 : %2").arg(path, server_->errorString());
    return false;
}

void QueueServer::serve(QLocalSocket* socket) {
    connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
    // Only the program's own user: the folder keeps others out, the peer's credentials say so.
    struct ucred peer {};
    socklen_t size = sizeof peer;
    if (::getsockopt(int(socket->socketDescriptor()), SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0 ||
        peer.uid != ::geteuid()) {
        socket->abort();
        socket->deleteLater();
        return;
    }
    QTimer::singleShot(kRequestTimeoutMs, socket, [socket] { socket->abort(); });
    connect(socket, &QLocalSocket::readyRead, socket, [this, socket] {
        if (!socket->canReadLine()) {
            if (socket->bytesAvailable() > kMaxRequestBytes)
                socket->abort();
            return;
        }
        const QJsonObject request =
            QJsonDocument::fromJson(socket->readLine(kMaxRequestBytes)).object();
        const SendingSettings saved = saved_ ? saved_() : SendingSettings();
        // The listing, long as the queue may be, is written without building a document.
        if (request.value(QStringLiteral("command")).toString() == QStringLiteral("queue"))
            socket->write("{\"status\":" + QByteArray::number(QueueDone) +
                          ",\"text\":\"\",\"entries\":" + QueueJsonText(currentQueue(saved), true) +
                          "}\n");
        else
            socket->write(
                QJsonDocument(AnswerQueueRequest(request, saved)).toJson(QJsonDocument::Compact) +
                '\n');
        socket->disconnectFromServer();
    });
}

bool AskRunningCopy(const QString& path, const QJsonObject& request, QJsonObject& answer) {
    if (!trustedSocket(path))
        return false;
    QLocalSocket socket;
    socket.connectToServer(path);
    if (!socket.waitForConnected(2000))
        return false;
    socket.write(QJsonDocument(request).toJson(QJsonDocument::Compact) + '\n');
    QByteArray reply;
    while (!reply.endsWith('\n') && socket.waitForReadyRead(30000))
        reply += socket.readAll();
    reply += socket.readAll();
    const QJsonDocument doc = QJsonDocument::fromJson(reply);
    if (!doc.isObject())
        return false;
    answer = doc.object();
    return true;
}

} // namespace station
