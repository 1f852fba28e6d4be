// MTA-STS policies: discovered through DNS, fetched with libcurl, parsed and kept here.
#include "mail/transport/mta_sts.h"

#include "mail/engine/c_handles.h"
#include "mail/engine/ca_trust.h"
#include "mail/engine/transfer_stop.h"
#include "mail/transport/direct_delivery.h"
#include "system/atomicfile.h"
#include "system/clock.h"
#include "system/untrusted_text.h"

#include <QDir>
#include <QMap>
#include <QRegularExpression>

#include <algorithm>
#include <mutex>

namespace mail::detail {

namespace {

constexpr qsizetype kMaxPolicyBytes = qsizetype{64} * 1024;

struct Kept {
    StsPolicy policy;
    qint64 expiresMs = 0;
};

std::mutex keptMutex;
QMap<QString, Kept> kept;
QString keptFolder; // where policies are kept across restarts, "" for memory only

// The file of `domain`'s policy in the kept folder; "" when there is none or the domain is
// not a plain host name.
QString keptFile(const QString& domain) {
    static const QRegularExpression plain(QStringLiteral("^[a-z0-9]([a-z0-9.-]{0,252})$"));
    if (keptFolder.isEmpty() || !plain.match(domain).hasMatch() || domain.contains(".."))
        return {};
    return QDir(keptFolder).filePath(QStringLiteral("MTA-STS %1.txt").arg(domain));
}

// The policy file as fetched, preceded by the record id it was fetched for and when it
// expires (keys a policy file does not have, so the file reads back as the policy).
void keepOnDisk(const QString& domain, const QByteArray& body, const Kept& known) {
    const QString file = keptFile(domain);
    if (!file.isEmpty())
        AtomicFile::replace(file, "postique-id: " + known.policy.id + "\npostique-expires: " +
                                      QByteArray::number(known.expiresMs) + '\n' + body);
}

Kept readFromDisk(const QString& domain) {
    const QString file = keptFile(domain);
    const std::optional<QByteArray> text =
        file.isEmpty() ? std::nullopt : AtomicFile::readAll(file);
    Kept known;
    QString error;
    if (!text || text->size() > kMaxPolicyBytes || !ParseStsPolicy(*text, known.policy, error))
        return {};
    for (const QByteArray& line : text->split('\n')) {
        if (line.startsWith("postique-id:"))
            known.policy.id = line.mid(12).trimmed();
        else if (line.startsWith("postique-expires:"))
            known.expiresMs = line.mid(17).trimmed().toLongLong();
    }
    return known;
}

size_t collect(char* data, size_t size, size_t count, void* user) {
    auto* body = static_cast<QByteArray*>(user);
    const size_t bytes = size * count;
    if (body->size() + qsizetype(bytes) > kMaxPolicyBytes)
        return 0; // too large for a policy: the transfer stops
    body->append(data, qsizetype(bytes));
    return bytes;
}

// The policy file's bytes; empty when it cannot be fetched with a verified certificate.
QByteArray fetchPolicy(const QString& domain, const QString& caFolder, int timeoutMs) {
    const QString host = QStringLiteral("mta-sts.") + domain;
    bool ok = false;
    const int port = qEnvironmentVariable("VELMORA_MTA_STS_PORT").toInt(&ok);
    const QByteArray url = QStringLiteral("https://%1:%2/.well-known/mta-sts.txt")
                               .arg(host)
                               .arg(ok && port > 0 && port < 65536 ? port : 443)
                               .toUtf8();
    const CurlEasy curl(curl_easy_init());
    if (!curl)
        return {};
    CURL* c = curl.get();
    curl_easy_setopt(c, CURLOPT_URL, url.constData());
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    StopOnRequest(c);
    curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 0L); // RFC 8461 §3.3: no redirects
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "https");
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, long(timeoutMs));
    curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, long(timeoutMs) * 2);
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(c, CURLOPT_SSL_CTX_FUNCTION, TrustCaFolder);
    curl_easy_setopt(c, CURLOPT_SSL_CTX_DATA, const_cast<QString*>(&caFolder));
    // The policy host is found through the same DNS server as the mail exchangers.
    CurlList resolve;
    const QStringList addresses = ResolveHost(host, timeoutMs);
    if (!addresses.isEmpty()) {
        const QByteArray entry = QStringLiteral("%1:%2:%3")
                                     .arg(host)
                                     .arg(ok && port > 0 && port < 65536 ? port : 443)
                                     .arg(addresses.join(u','))
                                     .toUtf8();
        resolve.reset(curl_slist_append(nullptr, entry.constData()));
        curl_easy_setopt(c, CURLOPT_RESOLVE, resolve.get());
    }
    QByteArray body;
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, collect);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &body);
    long status = 0;
    if (curl_easy_perform(c) != CURLE_OK ||
        curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status) != CURLE_OK || status != 200)
        return {};
    return body;
}

} // namespace

bool ParseStsPolicy(const QByteArray& text, StsPolicy& policy, QString& error) {
    policy = StsPolicy{};
    bool version = false, mode = false, age = false;
    for (QByteArray line : text.split('\n')) {
        line = line.trimmed();
        const qsizetype colon = line.indexOf(':');
        if (colon < 0)
            continue;
        const QByteArray key = line.left(colon).trimmed();
        const QByteArray value = line.mid(colon + 1).trimmed();
        if (key == "version")
            version = value == "STSv1";
        else if (key == "mode") {
            mode = true;
            if (value == "enforce")
                policy.mode = StsPolicy::Mode::Enforce;
            else if (value == "testing")
                policy.mode = StsPolicy::Mode::Testing;
            else if (value == "none")
                policy.mode = StsPolicy::Mode::None;
            else
                mode = false;
        } else if (key == "mx")
            policy.mx << Untrusted::Clean(QString::fromLatin1(value)); // shown in incidents
        else if (key == "max_age") {
            bool ok = false;
            policy.maxAge = value.toLongLong(&ok);
            age = ok && policy.maxAge >= 0 && policy.maxAge <= 31557600;
        }
    }
    if (!version || !mode || !age ||
        (policy.mode != StsPolicy::Mode::None && policy.mx.isEmpty())) {
        error = QStringLiteral("politique MTA-STS invalide (version, mode, mx ou max_age "
                               "absent ou faux)");
        policy = StsPolicy{};
        return false;
    }
    return true;
}

bool StsMxMatches(const QString& pattern, const QString& host) {
    const auto normal = [](QString name) {
        name = name.trimmed().toLower();
        while (name.endsWith(u'.'))
            name.chop(1);
        return name;
    };
    const QString p = normal(pattern), h = normal(host);
    if (p.startsWith(QStringLiteral("*."))) {
        const qsizetype dot = h.indexOf(u'.');
        return dot > 0 && h.mid(dot + 1) == p.mid(2);
    }
    return !p.isEmpty() && p == h;
}

StsPolicy StsPolicyFor(const QString& domain, const QString& caFolder, int timeoutMs) {
    const QString key = domain.toLower();
    const qint64 now = Clock::WallMs();
    Kept known;
    {
        std::lock_guard lock(keptMutex);
        if (!kept.contains(key))
            kept.insert(key, readFromDisk(key)); // kept by an earlier run
        known = kept.value(key);
    }
    const bool fresh = known.expiresMs > now;
    QByteArray id;
    const TxtLookup txt = LookUpTxt(QStringLiteral("_mta-sts.") + key, timeoutMs);
    for (const QByteArray& record : txt.records) {
        if (!record.trimmed().startsWith("v=STSv1"))
            continue;
        for (const QByteArray& tag : record.split(';'))
            if (tag.trimmed().startsWith("id="))
                id = tag.trimmed().mid(3);
    }
    // No record (or no answer): a kept policy still holds until its max_age runs out.
    if (id.isEmpty() || (fresh && known.policy.id == id))
        return fresh ? known.policy : StsPolicy{};
    StsPolicy policy;
    QString error;
    const QByteArray body = fetchPolicy(key, caFolder, timeoutMs);
    if (!ParseStsPolicy(body, policy, error))
        return fresh ? known.policy : StsPolicy{};
    policy.id = id;
    const Kept fetched{policy, now + policy.maxAge * 1000};
    std::lock_guard lock(keptMutex);
    kept.insert(key, fetched);
    keepOnDisk(key, body, fetched);
    return policy;
}

void SetStsPolicyFolder(const QString& nativeFolder) {
    std::lock_guard lock(keptMutex);
    keptFolder = nativeFolder;
}

void ForgetStsPolicies() {
    std::lock_guard lock(keptMutex);
    kept.clear();
}

} // namespace mail::detail
