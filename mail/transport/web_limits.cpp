// Web requests inside their destination's slot: the scheduler's sessions and rate, and the
// server's own pauses shared by every worker.
#include "mail/transport/web_limits.h"

#include <QDateTime>

#include <algorithm>

namespace mail::detail {

namespace {

bool busy(const HttpsReply& a) {
    return a.result == CURLE_OK && (a.status == 429 || a.status == 503);
}

// A server that says "too many at once" wants fewer sessions; any other 429 or 503 a slower
// pace.
Throttle throttleOf(const HttpsReply& a) {
    return a.body.contains("oncurrency") || a.body.contains("OnCurrency") ? Throttle::Sessions
                                                                          : Throttle::Rate;
}

// No connection could be made: the destination rests (a slow answer is no such thing).
bool unreachable(const HttpsReply& a) {
    return !a.aborted &&
           (a.result == CURLE_COULDNT_RESOLVE_HOST || a.result == CURLE_COULDNT_CONNECT);
}

} // namespace

qint64 RetryAfterSeconds(const HttpsReply& reply) {
    const QByteArray value = reply.header("retry-after").trimmed();
    if (value.isEmpty())
        return -1;
    bool ok = false;
    const qint64 seconds = value.toLongLong(&ok);
    if (ok)
        return seconds < 0 ? -1 : seconds;
    const QDateTime when = QDateTime::fromString(QString::fromLatin1(value), Qt::RFC2822Date);
    if (!when.isValid())
        return -1;
    return std::max<qint64>(0, QDateTime::currentDateTimeUtc().secsTo(when));
}

SendOutcome NotGranted(const DestinationSlot& slot, const QString& service) {
    SendOutcome out;
    out.notAttempted = true;
    if (AbortRequested()) {
        out.code = Error::Aborted;
        out.description =
            QStringLiteral("Envoi interrompu par l'arrêt du programme (serveur %1).").arg(service);
        return out;
    }
    out.code = Error::HttpStatus;
    out.description = QStringLiteral("Envoi différé : %1.").arg(slot.refusal);
    if (slot.budgetSpent)
        out.retryAtMs = slot.retryAtMs;
    return out;
}

bool ReportReply(DestinationSlot& slot, const HttpsReply& reply, qint64 longestWaitMs) {
    if (busy(reply)) {
        slot.report(false, throttleOf(reply), false, 0);
        const qint64 wait = RetryAfterSeconds(reply);
        if (wait > 0)
            slot.pause(wait * 1000, longestWaitMs);
        return true;
    }
    const bool success = reply.result == CURLE_OK && reply.status >= 200 && reply.status <= 299;
    slot.report(success, Throttle::None, unreachable(reply), success ? -1 : 0);
    return false;
}

WebCall CallWithinLimits(const WebDestination& to, const HttpsRequest& request,
                         const QString& service) {
    WebCall call;
    const qint64 longest = qint64(to.longestRetryWait.count()) * 1000;
    for (int attempt = 0;; ++attempt) {
        DestinationSlot slot = AcquireDestination(to.host, to.key, to.recipients);
        if (!slot.granted()) {
            call.refusal = NotGranted(slot, service);
            return call;
        }
        call.reply = HttpsCall(request);
        call.throttled = ReportReply(slot, call.reply, longest);
        if (!slot.notice.isEmpty())
            call.notice = slot.notice;
        if (!call.throttled)
            return call;
        // The pause asked is the destination's: the next acquisition waits it out, as every
        // other worker's does.
        const qint64 wait = RetryAfterSeconds(call.reply);
        if (attempt >= 2 || wait < 0 || wait * 1000 > longest)
            return call;
    }
}

} // namespace mail::detail
