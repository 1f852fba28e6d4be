// The shared HTTPS exchange on libcurl.
#include "mail/engine/https_call.h"

#include "mail/engine/c_handles.h"
#include "mail/engine/ca_trust.h"
#include "mail/engine/kerberos.h"
#include "mail/engine/library_init.h"
#include "mail/engine/mail_component.h"
#include "mail/engine/transfer_stop.h"
#include "mail/engine/transport_failure.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>

namespace mail::detail {

namespace {

struct Collector {
    QByteArray* body = nullptr;
    qsizetype limit = 0;
    bool truncated = false;
};

size_t collectBody(char* data, size_t size, size_t count, void* user) {
    auto* c = static_cast<Collector*>(user);
    const size_t bytes = size * count;
    if (c->body->size() + static_cast<qsizetype>(bytes) > c->limit) {
        c->truncated = true;
        return 0; // ends the transfer: nothing this large is an answer we expect
    }
    c->body->append(data, static_cast<qsizetype>(bytes));
    return bytes;
}

size_t collectHeader(char* data, size_t size, size_t count, void* user) {
    auto* headers = static_cast<QList<QPair<QByteArray, QByteArray>>*>(user);
    const size_t bytes = size * count;
    const QByteArray line = QByteArray(data, static_cast<qsizetype>(bytes)).trimmed();
    if (line.startsWith("HTTP/")) {
        headers->clear(); // a new answer (after a 100 Continue or an authentication round)
    } else if (const qsizetype colon = line.indexOf(':'); colon > 0 && headers->size() < 200) {
        headers->append({line.left(colon).trimmed().toLower(), line.mid(colon + 1).trimmed()});
    }
    return bytes;
}

// Remembers the login method of each request sent: the last one is that of the final answer.
int watchRequests(CURL*, curl_infotype type, char* data, size_t size, void* user) {
    if (type != CURLINFO_HEADER_OUT)
        return 0;
    auto* method = static_cast<QString*>(user);
    method->clear();
    for (const QByteArray& line : QByteArray(data, static_cast<qsizetype>(size)).split('\n'))
        if (line.toLower().startsWith("authorization:"))
            *method = AuthenticationName(line.mid(14));
    return 0;
}

// The body of a request that hands a mail over, given to libcurl so that its last byte goes
// only while no stop is asked, and the connection is spared from then on.
struct Upload {
    curl_socket_t socket = CURL_SOCKET_BAD; // the connection's, once open
    const QByteArray* body = nullptr;
    qsizetype offset = 0;
    bool ended = false;
    std::optional<AnswerAwaited> spared;
};

// The request's last byte is about to go: until then a stop may cut the connection (the
// server throws the request away); from then on the answer decides, so the connection is
// spared. The flag is read again once it is: a stop asked before may have cut it already.
// False when the transfer must end now.
bool handOver(Upload& u) {
    if (AbortRequested())
        return false;
    if (u.socket == CURL_SOCKET_BAD)
        return true; // no connection known to spare: a stop cuts it like any other
    u.spared.emplace(u.socket);
    if (AbortRequested()) {
        u.spared.reset();
        return false;
    }
    u.ended = true;
    return true;
}

size_t readBody(char* buffer, size_t size, size_t count, void* user) {
    auto* u = static_cast<Upload*>(user);
    const qsizetype left = u->body->size() - u->offset;
    if (left <= 0)
        return 0;
    qsizetype n = std::min(static_cast<qsizetype>(size * count), left);
    if (n == left && left > 1)
        n = left - 1; // the last byte goes on its own
    else if (n == left && !handOver(*u))
        return CURL_READFUNC_ABORT;
    std::memcpy(buffer, u->body->constData() + u->offset, static_cast<size_t>(n));
    u->offset += n;
    return static_cast<size_t>(n);
}

// The hand-over of a request without a body (Graph's send of a draft): the whole request is
// its last byte.
int beforeRequest(void* user, char*, char*, int, int) {
    return handOver(*static_cast<Upload*>(user)) ? CURL_PREREQFUNC_OK : CURL_PREREQFUNC_ABORT;
}

int noteSocket(void* user, curl_socket_t fd, curlsocktype) {
    static_cast<Upload*>(user)->socket = fd;
    return CURL_SOCKOPT_OK;
}

int stopRequested(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    const auto* upload = static_cast<const Upload*>(user);
    return AbortRequested() && !(upload && upload->ended) ? 1 : 0;
}

} // namespace

QByteArray HttpsReply::header(const QByteArray& name) const {
    for (const auto& [key, value] : headers)
        if (key == name)
            return value;
    return {};
}

HttpsReply HttpsCall(const HttpsRequest& request) {
    InitMailLibraries();
    HttpsReply reply;
    CurlEasy curl(curl_easy_init());
    if (!curl) {
        reply.result = CURLE_FAILED_INIT;
        reply.technical = QStringLiteral("libcurl");
        return reply;
    }
    CURL* c = curl.get();
    char errorBuffer[CURL_ERROR_SIZE] = {};
    const QByteArray url = request.url.toUtf8();
    const QByteArray method = request.method.toLatin1();
    curl_easy_setopt(c, CURLOPT_URL, url.constData());
    Upload upload;
    upload.body = &request.body;
    curl_easy_setopt(c, CURLOPT_SOCKOPTFUNCTION, noteSocket);
    curl_easy_setopt(c, CURLOPT_SOCKOPTDATA, &upload);
    const bool handsOver = request.awaitAnswerOnStop && method != "GET" && !request.body.isEmpty();
    if (request.awaitAnswerOnStop && method != "GET" && request.body.isEmpty()) {
        curl_easy_setopt(c, CURLOPT_PREREQFUNCTION, beforeRequest);
        curl_easy_setopt(c, CURLOPT_PREREQDATA, &upload);
    }
    if (method == "GET") {
        curl_easy_setopt(c, CURLOPT_HTTPGET, 1L);
    } else if (handsOver) {
        curl_easy_setopt(c, CURLOPT_POST, 1L);
        curl_easy_setopt(c, CURLOPT_CUSTOMREQUEST, method.constData());
        curl_easy_setopt(c, CURLOPT_READFUNCTION, readBody);
        curl_easy_setopt(c, CURLOPT_READDATA, &upload);
        curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE,
                         static_cast<curl_off_t>(request.body.size()));
    } else {
        curl_easy_setopt(c, CURLOPT_CUSTOMREQUEST, method.constData());
        curl_easy_setopt(c, CURLOPT_POSTFIELDS, request.body.constData());
        curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE,
                         static_cast<curl_off_t>(request.body.size()));
    }
    curl_easy_setopt(c, CURLOPT_ERRORBUFFER, errorBuffer);
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(c, CURLOPT_NOPROXY, "localhost,127.0.0.1,::1");
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, request.allowPlainHttp ? "http,https" : "https");
    curl_easy_setopt(c, CURLOPT_USERAGENT, "Postique");
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS,
                     static_cast<long>(request.connectTimeout.count()));
    // A server that stops answering is given up after the response time without progress.
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_TIME,
                     std::max(1L, static_cast<long>(request.responseTimeout.count() / 1000)));
    if (request.totalTimeout.count() > 0)
        curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, static_cast<long>(request.totalTimeout.count()));
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(c, CURLOPT_SSL_CTX_FUNCTION, TrustCaFolder);
    curl_easy_setopt(c, CURLOPT_SSL_CTX_DATA, const_cast<QString*>(&request.caFolder));

    const QByteArray user = request.user.toUtf8();
    const QByteArray password = request.password.toUtf8();
    CurlList list;
    QByteArray bearerHeader;
    const bool negotiate = (request.authMethods & CURLAUTH_NEGOTIATE) != 0;
    std::unique_ptr<KeytabLogin> keytabLogin;
    if (request.bearer.isEmpty() && negotiate && !request.keytab.isEmpty()) {
        keytabLogin = std::make_unique<KeytabLogin>(request.keytab, request.principal);
        reply.principal = keytabLogin->principal();
        if (!keytabLogin->problem().isEmpty()) {
            reply.result = CURLE_LOGIN_DENIED;
            reply.loginProblem = keytabLogin->problem();
            reply.technical = reply.loginProblem;
            return reply;
        }
    }
    if (!request.bearer.isEmpty()) {
        bearerHeader = "Authorization: Bearer " + request.bearer.toUtf8();
        list.reset(curl_slist_append(list.release(), bearerHeader.constData()));
    } else if (!request.user.isEmpty() || negotiate) {
        // libcurl starts its login machinery only with a user name, even an empty one.
        curl_easy_setopt(c, CURLOPT_HTTPAUTH, request.authMethods);
        curl_easy_setopt(c, CURLOPT_USERNAME, user.constData());
        curl_easy_setopt(c, CURLOPT_PASSWORD, password.constData());
    }
    for (const QByteArray& h : request.headers)
        list.reset(curl_slist_append(list.release(), h.constData()));
    list.reset(curl_slist_append(list.release(), "Expect:"));
    curl_easy_setopt(c, CURLOPT_HTTPHEADER, list.get());

    Collector collector{&reply.body, std::max<qsizetype>(0, request.maxReply), false};
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, collectBody);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &collector);
    curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, collectHeader);
    curl_easy_setopt(c, CURLOPT_HEADERDATA, &reply.headers);
    curl_easy_setopt(c, CURLOPT_VERBOSE, 1L);
    curl_easy_setopt(c, CURLOPT_DEBUGFUNCTION, watchRequests);
    curl_easy_setopt(c, CURLOPT_DEBUGDATA, &reply.authentication);

    // A stop request ends the exchange within a second, whatever the server does: the progress
    // callback ends transfers that move, the watcher cuts connections that wait.
    StopOnRequest(c);
    curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, stopRequested);
    curl_easy_setopt(c, CURLOPT_XFERINFODATA, &upload);
    reply.result = curl_easy_perform(c);
    upload.spared.reset();
    reply.bodyEnded = upload.ended;
    curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &reply.status);
    curl_easy_getinfo(c, CURLINFO_HTTPAUTH_AVAIL, &reply.authOffered);
    char* location = nullptr;
    if (curl_easy_getinfo(c, CURLINFO_REDIRECT_URL, &location) == CURLE_OK && location)
        reply.location = QString::fromUtf8(location);
    reply.truncated = collector.truncated;
    reply.aborted = reply.result != CURLE_OK && AbortRequested() && !upload.ended;
    if (reply.truncated)
        reply.technical =
            QStringLiteral("réponse de plus de %1 octets abandonnée").arg(request.maxReply);
    else if (reply.result != CURLE_OK)
        reply.technical = CurlTechnicalText(reply.result, errorBuffer);
    return reply;
}

} // namespace mail::detail
