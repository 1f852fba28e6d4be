// The SMTP client on libcurl. libcurl keeps the server's replies to itself, so the debug
// callback follows the conversation: it pairs every command with its reply, watches the
// EHLO capabilities (a login asked of a server without AUTH is stopped before the message
// goes out) and collects the per-recipient replies for the description.
#include "mail/smtp_transport.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QSysInfo>

#include <curl/curl.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace mail::detail {

namespace {

struct EasyCleanup {
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
using Easy = std::unique_ptr<CURL, EasyCleanup>;

struct SlistFree {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using Slist = std::unique_ptr<curl_slist, SlistFree>;

std::atomic<int> connectionsOpened{0};
std::atomic<long> idleTimeMs{30000};
std::atomic<qint32> implicitTlsPort{465};

void ensureCurl() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// Server text for a description: no control characters, bounded length.
QString cleanReply(const QString& text) {
    QString out;
    for (QChar c : text)
        out += (c.unicode() < 0x20 || c.unicode() == 0x7f) ? QChar(u' ') : c;
    out = out.simplified();
    if (out.size() > 300)
        out = out.left(300) + QStringLiteral("...");
    return out;
}

// Idle sessions kept for reuse, keyed by everything that makes a session different.
class SessionPool {
public:
    ~SessionPool() {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        wake_.notify_all();
        if (reaper_.joinable())
            reaper_.join();
        closeAll();
    }

    // An idle session for `key` (reused = true) or a fresh handle.
    Easy take(const std::string& key, bool& reused) {
        std::lock_guard lock(mutex_);
        for (auto it = idle_.begin(); it != idle_.end(); ++it) {
            if (it->key == key) {
                Easy handle = std::move(it->handle);
                idle_.erase(it);
                reused = true;
                return handle;
            }
        }
        reused = false;
        return Easy(curl_easy_init());
    }

    void give(const std::string& key, Easy handle) {
        {
            std::lock_guard lock(mutex_);
            if (stopping_)
                return;
            idle_.push_back({key, std::move(handle), std::chrono::steady_clock::now()});
            if (!reaper_.joinable())
                reaper_ = std::thread([this] { reap(); });
        }
        wake_.notify_all();
    }

    void closeAll() {
        std::vector<Idle> closing;
        {
            std::lock_guard lock(mutex_);
            closing.swap(idle_);
        }
        closing.clear(); // curl_easy_cleanup says QUIT on each session
    }

    void wake() { wake_.notify_all(); }

private:
    struct Idle {
        std::string key;
        Easy handle;
        std::chrono::steady_clock::time_point since;
    };

    void reap() {
        std::unique_lock lock(mutex_);
        while (!stopping_) {
            const auto idle = std::chrono::milliseconds(idleTimeMs.load());
            const auto now = std::chrono::steady_clock::now();
            std::vector<Idle> expired;
            auto next = now + std::chrono::hours(1);
            for (auto it = idle_.begin(); it != idle_.end();) {
                if (it->since + idle <= now) {
                    expired.push_back(std::move(*it));
                    it = idle_.erase(it);
                } else {
                    next = std::min(next, it->since + idle);
                    ++it;
                }
            }
            if (!expired.empty()) {
                lock.unlock();
                expired.clear();
                lock.lock();
                continue;
            }
            wake_.wait_until(lock, next);
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::vector<Idle> idle_;
    std::thread reaper_;
    bool stopping_ = false;
};

SessionPool& pool() {
    static SessionPool instance;
    return instance;
}

// One SMTP reply paired with the command it answers.
struct Reply {
    QString command; // "", "EHLO", "AUTH", "STARTTLS", "MAIL", "RCPT", "DATA", "." ...
    QString argument;
    int code = 0;
    QString text;
};

// What the debug callback learns from the conversation.
struct Conversation {
    bool loginWanted = false;
    bool tlsWanted = false;  // STARTTLS will be attempted when offered
    bool tlsStarted = false; // implicit TLS, or STARTTLS accepted
    bool authSent = false;
    bool authInProgress = false;
    bool bodySent = false;
    std::atomic<bool> abortNoAuth{false};
    QString command;
    QString argument;
    QStringList lines;
    QByteArray pendingIn;
    std::vector<Reply> replies;

    void commandSent(const QByteArray& raw) {
        lines.clear();
        if (authInProgress) {
            // Continuation lines of an AUTH exchange carry credentials: never kept.
            command = QStringLiteral("AUTH");
            argument.clear();
            return;
        }
        const QString line = QString::fromUtf8(raw).trimmed();
        const qsizetype space = line.indexOf(u' ');
        command = (space < 0 ? line : line.left(space)).toUpper();
        argument = space < 0 ? QString() : line.mid(space + 1);
        if (command == u"AUTH") {
            authSent = true;
            authInProgress = true;
            argument = argument.section(u' ', 0, 0); // the mechanism, never the credentials
        } else if (command == u"MAIL" || command == u"RCPT") {
            const qsizetype open = argument.indexOf(u'<');
            const qsizetype close = argument.indexOf(u'>', open + 1);
            if (open >= 0 && close > open)
                argument = argument.mid(open + 1, close - open - 1);
            // A login was asked but the server never offered one: stop before the message.
            if (command == u"MAIL" && loginWanted && !authSent)
                abortNoAuth = true;
        }
    }

    void replyLine(const QString& line) {
        lines << line;
        if (line.size() >= 4 && line.at(3) == u'-')
            return; // continuation
        Reply reply;
        reply.command = command;
        reply.argument = argument;
        reply.code = line.left(3).toInt();
        QStringList texts;
        for (const QString& l : std::as_const(lines))
            texts << l.mid(4);
        reply.text = line.left(3) + u' ' + texts.join(u' ');
        if ((command == u"EHLO" || command == u"HELO") && reply.code == 250)
            capabilities(texts);
        if (command == u"AUTH" && reply.code != 334)
            authInProgress = false;
        if (command == u"STARTTLS" && reply.code == 220)
            tlsStarted = true;
        replies.push_back(reply);
        lines.clear();
        if (command == u".")
            command.clear();
    }

    void capabilities(const QStringList& texts) {
        bool auth = false;
        bool starttls = false;
        for (const QString& t : texts) {
            const QString upper = t.trimmed().toUpper();
            if (upper.startsWith(u"AUTH ") || upper.startsWith(u"AUTH="))
                auth = true;
            if (upper == u"STARTTLS")
                starttls = true;
        }
        const bool tlsStillToCome = starttls && tlsWanted && !tlsStarted;
        if (loginWanted && !auth && !tlsStillToCome)
            abortNoAuth = true;
    }

    void dataIn(const char* data, size_t size) {
        pendingIn.append(data, qsizetype(size));
        qsizetype eol;
        while ((eol = pendingIn.indexOf('\n')) >= 0) {
            QByteArray line = pendingIn.left(eol);
            pendingIn.remove(0, eol + 1);
            if (line.endsWith('\r'))
                line.chop(1);
            replyLine(QString::fromUtf8(line));
        }
    }

    // The last reply with an error code, if any.
    const Reply* lastFailure() const {
        for (auto it = replies.rbegin(); it != replies.rend(); ++it)
            if (it->code >= 400)
                return &*it;
        return nullptr;
    }
};

int debugCallback(CURL*, curl_infotype type, char* data, size_t size, void* user) {
    auto* talk = static_cast<Conversation*>(user);
    if (!talk)
        return 0;
    switch (type) {
    case CURLINFO_HEADER_OUT:
        talk->commandSent(QByteArray(data, qsizetype(size)));
        break;
    case CURLINFO_HEADER_IN:
        talk->dataIn(data, size);
        break;
    case CURLINFO_DATA_OUT:
        if (!talk->bodySent) {
            talk->bodySent = true;
            talk->command = QStringLiteral(".");
            talk->argument.clear();
        }
        break;
    default:
        break;
    }
    return 0;
}

struct Upload {
    const QByteArray* data = nullptr;
    qsizetype offset = 0;
    Conversation* talk = nullptr;
};

size_t readCallback(char* buffer, size_t size, size_t count, void* user) {
    auto* upload = static_cast<Upload*>(user);
    if (!upload || upload->talk->abortNoAuth)
        return CURL_READFUNC_ABORT;
    const size_t room = size * count;
    const size_t left = size_t(upload->data->size() - upload->offset);
    const size_t n = std::min(room, left);
    memcpy(buffer, upload->data->constData() + upload->offset, n);
    upload->offset += qsizetype(n);
    return n;
}

int progressCallback(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    const auto* talk = static_cast<const Conversation*>(user);
    return talk && talk->abortNoAuth ? 1 : 0;
}

} // namespace

CURLcode sslContextCallback(CURL*, void* sslContext, void* user) {
    const auto* folderText = static_cast<const QString*>(user);
    if (!folderText || folderText->isEmpty())
        return CURLE_OK;
    const QString& folder = *folderText;
    X509_STORE* store = SSL_CTX_get_cert_store(static_cast<SSL_CTX*>(sslContext));
    const QDir dir(folder);
    const QStringList files = dir.entryList({QStringLiteral("*")}, QDir::Files | QDir::Readable);
    for (const QString& name : files) {
        QFile file(dir.filePath(name));
        if (!file.open(QIODevice::ReadOnly) || file.size() > 4 * 1024 * 1024)
            continue;
        const QByteArray pem = file.readAll();
        std::unique_ptr<BIO, decltype(&BIO_free)> bio(
            BIO_new_mem_buf(pem.constData(), int(pem.size())), &BIO_free);
        while (X509* cert = PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr)) {
            X509_STORE_add_cert(store, cert); // a duplicate is refused harmlessly
            X509_free(cert);
        }
        ERR_clear_error();
    }
    return CURLE_OK;
}

namespace {

QString hostForUrl(const QString& host) {
    return host.contains(u':') && !host.startsWith(u'[') ? u'[' + host + u']' : host;
}

QString ehloName() {
    static const QString name = [] {
        QString host = QSysInfo::machineHostName();
        host.remove(QRegularExpression(QStringLiteral("[^A-Za-z0-9.-]")));
        return host.isEmpty() ? QStringLiteral("localhost") : host;
    }();
    return name;
}

std::string poolKey(const SmtpTarget& target) {
    const ServerSettings& s = target.server;
    return QStringLiteral("%1\n%2\n%3\n%4\n%5\n%6\n%7")
        .arg(s.host.toLower())
        .arg(s.port)
        .arg(s.mode)
        .arg(s.user, s.password + u'\n' + s.bearer, target.connectAddresses)
        .arg(target.opportunisticTls)
        .toStdString();
}

QString serverName(const SmtpTarget& target) {
    return QStringLiteral("%1:%2").arg(target.server.host).arg(target.server.port);
}

// The French description of a failed transaction.
void describeFailure(CURLcode result, const char* errorBuffer, const Conversation& talk,
                     const SmtpTarget& target, const QString& caFolder, SmtpReport& report) {
    const QString server = serverName(target);
    const QString technical =
        cleanReply(QString::fromUtf8(*errorBuffer ? errorBuffer : curl_easy_strerror(result)));
    const Reply* failure = talk.lastFailure();
    const QString reply = failure ? cleanReply(failure->text) : QString();
    const QString answer =
        reply.isEmpty() ? QString() : QStringLiteral(" Réponse du serveur : %1").arg(reply);

    if (talk.abortNoAuth) {
        report.code = Error::LoginUnavailable;
        report.description =
            QStringLiteral("Le serveur %1 ne propose pas d'authentification (AUTH) alors qu'un "
                           "utilisateur et un mot de passe sont renseignés ; le mail n'a pas été "
                           "envoyé. Activez SSL si le serveur n'accepte la connexion authentifiée "
                           "qu'en chiffré, ou désactivez l'authentification.")
                .arg(server);
        return;
    }
    if (failure) {
        const QString& cmd = failure->command;
        if (cmd == u"AUTH") {
            report.code = Error::LoginRefused;
            report.description = QStringLiteral("Authentification refusée par le serveur %1. "
                                                "Vérifiez l'utilisateur et le mot de passe.%2")
                                     .arg(server, answer);
            return;
        }
        if (cmd == u"MAIL") {
            report.code = Error::SenderRefused;
            report.description =
                QStringLiteral("Le serveur %1 refuse l'expéditeur %2. Vérifiez l'adresse de "
                               "l'expéditeur et les droits d'envoi du compte.%3")
                    .arg(server, failure->argument, answer);
            return;
        }
        if (cmd == u"RCPT") {
            report.code = Error::RecipientRefused;
            report.description =
                QStringLiteral("Le serveur %1 refuse tous les destinataires : %2. Vérifiez les "
                               "adresses des destinataires.")
                    .arg(server, report.refused.join(QStringLiteral(" ; ")));
            return;
        }
        if (cmd == u"DATA" || cmd == u".") {
            report.code = Error::DataRefused;
            report.description =
                QStringLiteral("Le serveur %1 refuse le message (taille, contenu ou pièce "
                               "jointe).%2")
                    .arg(server, answer);
            return;
        }
    }
    switch (result) {
    case CURLE_COULDNT_RESOLVE_HOST:
        report.code = Error::ServerNotFound;
        report.description = QStringLiteral("Serveur SMTP introuvable : %1. Vérifiez l'adresse "
                                            "du serveur et la configuration DNS (%2).")
                                 .arg(target.server.host, technical);
        return;
    case CURLE_COULDNT_CONNECT:
        report.code = Error::ConnectFailed;
        report.description = QStringLiteral("Connexion impossible au serveur SMTP %1. Vérifiez "
                                            "l'adresse du serveur, le port et le pare-feu (%2).")
                                 .arg(server, technical);
        return;
    case CURLE_OPERATION_TIMEDOUT:
        report.code = Error::Timeout;
        report.description =
            QStringLiteral("Le serveur SMTP %1 ne répond pas dans le délai imparti. Vérifiez le "
                           "serveur, le port et l'option SSL (%2).%3")
                .arg(server, technical, answer);
        return;
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CACERT_BADFILE:
        report.code = Error::CertificateUntrusted;
        report.description =
            QStringLiteral("Le certificat du serveur %1 n'est pas reconnu (%2). Si ce serveur "
                           "est celui de la station, copiez le certificat de son autorité "
                           "(fichier PEM) dans le dossier « %3 » du programme.")
                .arg(server, technical, caFolder.isEmpty() ? QStringLiteral("CA") : caFolder);
        return;
    case CURLE_SSL_CONNECT_ERROR:
        report.code = Error::TlsFailed;
        report.description =
            QStringLiteral("Échec de la connexion SSL/TLS avec le serveur %1 (%2). Vérifiez le "
                           "port et l'option SSL : SSL direct sur le port 465, STARTTLS sur les "
                           "autres ports.")
                .arg(server, technical);
        return;
    case CURLE_USE_SSL_FAILED:
        report.code = Error::StartTlsUnavailable;
        report.description =
            QStringLiteral("Le serveur %1 ne propose pas STARTTLS alors que SSL est demandé. "
                           "Utilisez le port 465 pour le SSL direct ou désactivez SSL.%2")
                .arg(server, answer);
        return;
    case CURLE_LOGIN_DENIED:
        report.code = Error::LoginRefused;
        report.description = QStringLiteral("Authentification refusée par le serveur %1. "
                                            "Vérifiez l'utilisateur et le mot de passe.%2")
                                 .arg(server, answer);
        return;
    default:
        report.code = Error::ConnectionLost;
        report.description =
            QStringLiteral("La communication avec le serveur SMTP %1 a échoué (%2). Vérifiez le "
                           "serveur, le port et l'option SSL.%3")
                .arg(server, technical, answer);
        return;
    }
}

// One attempt on one handle. `reused` tells whether the handle carries an open session.
SmtpReport attempt(CURL* curl, const SmtpTarget& target, const TimeLimits& limits,
                   const QString& caFolder, const QString& from, const QStringList& recipients,
                   const QByteArray& message, bool& retryable) {
    SmtpReport report;
    retryable = false;
    const ServerSettings& s = target.server;
    const bool implicitTls = s.mode == ConnectionMode::Ssl && s.port == implicitTlsPort.load() &&
                             !target.opportunisticTls;
    const bool bearer = !s.bearer.isEmpty();
    const bool login = !s.user.isEmpty() && (!s.password.isEmpty() || bearer) &&
                       !target.opportunisticTls;

    Conversation talk;
    talk.loginWanted = login;
    talk.tlsWanted = target.opportunisticTls || s.mode == ConnectionMode::Ssl;
    talk.tlsStarted = implicitTls;

    const QByteArray url = QStringLiteral("%1://%2:%3/%4")
                               .arg(implicitTls ? u"smtps" : u"smtp", hostForUrl(s.host))
                               .arg(s.port)
                               .arg(ehloName())
                               .toUtf8();
    curl_easy_setopt(curl, CURLOPT_URL, url.constData());
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_VERBOSE, 1L);
    curl_easy_setopt(curl, CURLOPT_DEBUGFUNCTION, debugCallback);
    curl_easy_setopt(curl, CURLOPT_DEBUGDATA, &talk);
    char errorBuffer[CURL_ERROR_SIZE] = {0};
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorBuffer);

    const QByteArray mailFrom = '<' + from.toUtf8() + '>';
    curl_easy_setopt(curl, CURLOPT_MAIL_FROM, mailFrom.constData());
    Slist rcpt;
    for (const QString& r : recipients) {
        const QByteArray one = '<' + r.toUtf8() + '>';
        rcpt.reset(curl_slist_append(rcpt.release(), one.constData()));
    }
    curl_easy_setopt(curl, CURLOPT_MAIL_RCPT, rcpt.get());
    curl_easy_setopt(curl, CURLOPT_MAIL_RCPT_ALLLOWFAILS, 1L);

    Upload upload{&message, 0, &talk};
    curl_easy_setopt(curl, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(curl, CURLOPT_READFUNCTION, readCallback);
    curl_easy_setopt(curl, CURLOPT_READDATA, &upload);
    curl_easy_setopt(curl, CURLOPT_INFILESIZE_LARGE, curl_off_t(message.size()));
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, progressCallback);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &talk);

    const QByteArray user = s.user.toUtf8();
    const QByteArray password = s.password.toUtf8();
    curl_easy_setopt(curl, CURLOPT_USERNAME, login ? user.constData() : nullptr);
    curl_easy_setopt(curl, CURLOPT_PASSWORD, login && !bearer ? password.constData() : nullptr);
    // OAuth 2.0: the login name with the access token (AUTH XOAUTH2 or OAUTHBEARER).
    const QByteArray token = s.bearer.toUtf8();
    curl_easy_setopt(curl, CURLOPT_XOAUTH2_BEARER, login && bearer ? token.constData() : nullptr);

    long useSsl = CURLUSESSL_NONE;
    if (target.opportunisticTls)
        useSsl = CURLUSESSL_TRY;
    else if (s.mode == ConnectionMode::Ssl && !implicitTls)
        useSsl = CURLUSESSL_ALL;
    curl_easy_setopt(curl, CURLOPT_USE_SSL, useSsl);
    const long verify = target.opportunisticTls ? 0L : 1L;
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, verify);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, verify ? 2L : 0L);
    curl_easy_setopt(curl, CURLOPT_CA_CACHE_TIMEOUT, 0L);
    curl_easy_setopt(curl, CURLOPT_SSL_CTX_FUNCTION, sslContextCallback);
    curl_easy_setopt(curl, CURLOPT_SSL_CTX_DATA, const_cast<QString*>(&caFolder));

    Slist resolve;
    QByteArray resolveEntry;
    if (!target.connectAddresses.isEmpty()) {
        resolveEntry = QStringLiteral("%1:%2:%3")
                           .arg(s.host)
                           .arg(s.port)
                           .arg(target.connectAddresses)
                           .toUtf8();
        resolve.reset(curl_slist_append(nullptr, resolveEntry.constData()));
    }
    curl_easy_setopt(curl, CURLOPT_RESOLVE, resolve.get());

    const long connectMs = long(std::max<qint64>(1, limits.connect.count()));
    const long responseSeconds = long(std::max<qint64>(1, (limits.response.count() + 999) / 1000));
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, connectMs);
    curl_easy_setopt(curl, CURLOPT_SERVER_RESPONSE_TIMEOUT, responseSeconds);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, responseSeconds);
    curl_easy_setopt(curl, CURLOPT_MAXAGE_CONN,
                     std::max(1L, long((idleTimeMs.load() + 999) / 1000)));

    const CURLcode result = curl_easy_perform(curl);
    long newConnections = 0;
    curl_easy_getinfo(curl, CURLINFO_NUM_CONNECTS, &newConnections);
    connectionsOpened += int(newConnections);
    // The handle may wait in the pool: nothing in it may point at this call's locals.
    curl_easy_setopt(curl, CURLOPT_MAIL_RCPT, nullptr);
    curl_easy_setopt(curl, CURLOPT_RESOLVE, nullptr);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, nullptr);
    curl_easy_setopt(curl, CURLOPT_VERBOSE, 0L);
    curl_easy_setopt(curl, CURLOPT_DEBUGDATA, nullptr);
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 1L);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, nullptr);
    curl_easy_setopt(curl, CURLOPT_READDATA, nullptr);
    curl_easy_setopt(curl, CURLOPT_SSL_CTX_DATA, nullptr);

    report.reachedServer = !talk.replies.empty();
    for (const Reply& reply : talk.replies) {
        if (reply.command != u"RCPT")
            continue;
        if (reply.code >= 200 && reply.code < 300)
            ++report.accepted;
        else
            report.refused << QStringLiteral("%1 (%2)").arg(reply.argument, cleanReply(reply.text));
    }

    if (result == CURLE_OK && !talk.abortNoAuth) {
        if (!report.refused.isEmpty())
            report.description =
                QStringLiteral("Mail envoyé, mais le serveur %1 a refusé ces destinataires : %2")
                    .arg(serverName(target), report.refused.join(QStringLiteral(" ; ")));
        return report;
    }
    // A reused session that the server had dropped fails before any command of this
    // transaction was answered: the caller may try again on a fresh connection.
    bool anyAnswered = false;
    for (const Reply& reply : talk.replies)
        if (!reply.command.isEmpty())
            anyAnswered = true;
    retryable = !anyAnswered && !talk.bodySent &&
                (result == CURLE_SEND_ERROR || result == CURLE_RECV_ERROR ||
                 result == CURLE_GOT_NOTHING || result == CURLE_WEIRD_SERVER_REPLY);
    describeFailure(result, errorBuffer, talk, target, caFolder, report);
    return report;
}

} // namespace

int ConnectionsOpened() { return connectionsOpened.load(); }

void SetImplicitTlsPort(qint32 port) { implicitTlsPort = port; }

SmtpReport SendSmtp(const SmtpTarget& target, const TimeLimits& limits, const QString& caFolder,
                    const QString& from, const QStringList& recipients, const QByteArray& message) {
    ensureCurl();
    const std::string key = poolKey(target);
    for (int round = 0;; ++round) {
        bool reused = false;
        Easy handle = pool().take(key, reused);
        if (!handle) {
            SmtpReport report;
            report.code = Error::Internal;
            report.description = QStringLiteral("Impossible d'initialiser la connexion SMTP.");
            return report;
        }
        bool retryable = false;
        SmtpReport report =
            attempt(handle.get(), target, limits, caFolder, from, recipients, message, retryable);
        if (report.code == Error::None) {
            pool().give(key, std::move(handle));
            return report;
        }
        if (reused && retryable && round == 0)
            continue; // the dropped session is closed with `handle`; try a fresh one
        return report;
    }
}

SendOutcome SmtpTransport::send(const SendJob& job) {
    SmtpTarget target;
    target.server = job.server;
    const SmtpReport report =
        SendSmtp(target, job.limits, job.caFolder, job.envelopeFrom, job.recipients, job.message);
    return {report.code, report.description};
}

} // namespace mail::detail

namespace mail {

void CloseIdleSessions() { detail::pool().closeAll(); }

void SetSessionIdleTime(std::chrono::milliseconds idle) {
    detail::idleTimeMs = long(idle.count());
    detail::pool().wake();
}

} // namespace mail
