// The SMTP transfer: libcurl opens the session (connection, greeting, EHLO, STARTTLS, login)
// with its debug callback feeding an SmtpConversation, which stops a login asked of a server
// without AUTH; the mail transaction itself then runs on the open session, pooled for the next.
#include "mail/transport/smtp_transport.h"

#include "mail/engine/c_handles.h"
#include "mail/engine/ca_trust.h"
#include "mail/engine/destinations.h"
#include "mail/engine/library_init.h"
#include "mail/engine/transfer_stop.h"
#include "mail/engine/transport_failure.h"
#include "mail/transport/smtp_conversation.h"
#include "mail/transport/smtp_session_pool.h"
#include "mail/transport/smtp_transaction.h"
#include "system/untrusted_text.h"

#include <QRegularExpression>
#include <QSysInfo>

#include <algorithm>
#include <atomic>
#include <string>

namespace mail::detail {

namespace {

std::atomic<int> connectionsOpened{0};
std::atomic<qint32> implicitTlsPort{465};

int debugCallback(CURL*, curl_infotype type, char* data, size_t size, void* user) {
    auto* talk = static_cast<SmtpConversation*>(user);
    if (!talk)
        return 0;
    switch (type) {
    case CURLINFO_HEADER_OUT:
        talk->commandSent(QByteArray(data, qsizetype(size)));
        break;
    case CURLINFO_HEADER_IN:
        talk->repliesReceived(data, size);
        break;
    default:
        break;
    }
    return 0;
}

// Called by libcurl at least once a second, even while the server is silent: the place
// where a login the server cannot take, or a stop request, ends the transfer in flight.
int progressCallback(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    const auto* talk = static_cast<const SmtpConversation*>(user);
    return AbortRequested() || (talk && talk->loginUnavailable()) ? 1 : 0;
}

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
        .arg(QString::number(target.opportunisticTls) + QString::number(target.verifiedTls))
        .toStdString();
}

QString serverName(const SmtpTarget& target) {
    return QStringLiteral("%1:%2").arg(target.server.host).arg(target.server.port);
}

// The French description of a failed transaction: a login the server cannot take, then the
// server's refusal of a command, then libcurl's own outcome.
void describeFailure(CURLcode result, const char* errorBuffer, const SmtpConversation& talk,
                     const SmtpTarget& target, const QString& caFolder, SmtpReport& report) {
    const QString server = serverName(target);
    SendOutcome failure;
    const SmtpReply* refusal = talk.lastFailure();
    const QString reply = refusal ? Untrusted::CleanQuoted(refusal->text) : QString();
    if (AbortRequested() && !talk.loginUnavailable())
        failure = CurlFailure(Peer::Smtp, result, server, target.server.host, QString(), caFolder);
    else if (talk.loginUnavailable())
        failure = SmtpLoginUnavailable(server);
    else if (const auto refused = refusal ? SmtpRefusal(refusal->command, refusal->argument, reply,
                                                        server, report.refused)
                                          : std::nullopt)
        failure = *refused;
    else
        failure = CurlFailure(Peer::Smtp, result, server, target.server.host,
                              CurlTechnicalText(result, errorBuffer), caFolder,
                              ServerAnswerSuffix(reply));
    report.code = failure.code;
    report.description = failure.description;
    // Refused for good, for every recipient or for the message itself (5xx): the same mail
    // will never go. A sender refused is the settings' fault, not the mail's.
    // A spent daily quota (5.4.5) ends with its 24 hours: the mail waits, it does not fail.
    report.refusalReply = reply;
    report.quotaSpent =
        refusal && failure.code != Error::Aborted && reply.contains(QStringLiteral("5.4.5"));
    if (refusal && refusal->code >= 500 && failure.code != Error::Aborted && !report.quotaSpent &&
        (failure.code == Error::RecipientRefused || failure.code == Error::DataRefused)) {
        report.permanent =
            std::all_of(talk.replies().cbegin(), talk.replies().cend(), [](const SmtpReply& r) {
                return r.command != u"RCPT" || r.code < 400 || r.code >= 500;
            });
    }
}

// Opens the session of `curl` with `target` up to the point where a mail may start, the
// conversation going to `talk`.
CURLcode openSession(CURL* curl, const SmtpTarget& target, const TimeLimits& limits,
                     const QString& caFolder, SmtpConversation& talk, char* errorBuffer) {
    const SmtpSetup setup = ApplySmtpSetup(curl, target, limits, caFolder);
    talk.loginWanted = setup.login;
    talk.tlsWanted = target.opportunisticTls || target.server.mode == ConnectionMode::Ssl;
    talk.tlsStarted = setup.implicitTls;

    StopOnRequest(curl);
    curl_easy_setopt(curl, CURLOPT_CONNECT_ONLY, 1L);
    curl_easy_setopt(curl, CURLOPT_VERBOSE, 1L);
    curl_easy_setopt(curl, CURLOPT_DEBUGFUNCTION, debugCallback);
    curl_easy_setopt(curl, CURLOPT_DEBUGDATA, &talk);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorBuffer);
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, progressCallback);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &talk);

    const CURLcode result = curl_easy_perform(curl);
    long newConnections = 0;
    curl_easy_getinfo(curl, CURLINFO_NUM_CONNECTS, &newConnections);
    connectionsOpened += int(newConnections);
    // The handle may wait in the pool: nothing in it may point at this call's locals.
    curl_easy_setopt(curl, CURLOPT_RESOLVE, nullptr);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, nullptr);
    curl_easy_setopt(curl, CURLOPT_VERBOSE, 0L);
    curl_easy_setopt(curl, CURLOPT_DEBUGDATA, nullptr);
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 1L);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, nullptr);
    curl_easy_setopt(curl, CURLOPT_SSL_CTX_DATA, nullptr);
    return result;
}

// One attempt on one session. `reused` tells whether it is already open.
SmtpReport attempt(SmtpSession& session, bool reused, const SmtpTarget& target,
                   const TimeLimits& limits, const QString& caFolder, const QString& from,
                   const QStringList& recipients, const QByteArray& message, bool& retryable) {
    SmtpReport report;
    retryable = false;
    CURL* curl = session.handle.get();
    SmtpConversation talk;
    char errorBuffer[CURL_ERROR_SIZE] = {0};
    CURLcode result = CURLE_OK;
    if (!reused) {
        result = openSession(curl, target, limits, caFolder, talk, errorBuffer);
        session.features = talk.features();
    }
    if (result == CURLE_OK && !talk.loginUnavailable())
        result = RunSmtpTransaction(curl, session.features, limits.response, talk, from, recipients,
                                    message, errorBuffer, target.envelopeId);

    report.reachedServer = !talk.replies().empty();
    report.accepted = talk.acceptedRecipients();
    report.refused = talk.refusedRecipients();
    for (const SmtpReply& reply : talk.replies()) {
        if (reply.command == u"RCPT" && reply.code == 452 &&
            (reply.text.contains(QStringLiteral("4.5.3")) ||
             reply.text.contains(QStringLiteral("too many recipients"), Qt::CaseInsensitive))) {
            // Enough recipients for one transaction: no refusal of this address.
            report.overflow << reply.argument;
            report.refused.removeIf([&](const QString& r) {
                return r.startsWith(reply.argument + QStringLiteral(" ("));
            });
            continue;
        }
        // A recipient refused for a while is greylisting or a mailbox matter, not a request to
        // slow down, unless the server closes the session.
        if ((reply.command != u"RCPT" || reply.code == 421) && report.throttled == Throttle::None)
            report.throttled = ThrottleOf(reply.code, reply.text);
        if (reply.command == u"RCPT" && reply.code >= 400 && reply.code < 500)
            report.deferred << reply.argument;
        else if (reply.command == u"RCPT")
            report.served << reply.argument;
        if (reply.command == u"RCPT" && reply.code >= 400)
            report.recipientReplies.insert(reply.argument.toLower(), ReplyOf(reply));
        if (reply.command == u".")
            report.reply = ReplyOf(reply);
    }
    if (const SmtpReply* refusal = talk.lastFailure(); refusal && result != CURLE_OK)
        report.reply = ReplyOf(*refusal);

    if (result == CURLE_OK && !talk.loginUnavailable()) {
        if (!report.refused.isEmpty())
            report.description =
                QStringLiteral("Mail envoyé, mais le serveur %1 a refusé ces destinataires : %2")
                    .arg(serverName(target), report.refused.join(QStringLiteral(" ; ")));
        return report;
    }
    // Stopping, the whole message went out and its answer was lost: the server most likely
    // holds it, and sending it again after the restart would make a second copy.
    if (AbortRequested() && talk.endUnanswered()) {
        report.unconfirmed = true;
        report.description =
            QStringLiteral("Mail remis au serveur %1 sans sa réponse, perdue pendant l'arrêt du "
                           "programme : il est compté comme envoyé et ne repartira pas (%2)")
                .arg(serverName(target), recipients.join(QStringLiteral(", ")));
        return report;
    }
    // A reused session that the server had dropped fails before any command of this
    // transaction was answered: the caller may try again on a fresh connection.
    retryable = reused && !talk.anyCommandAnswered() && !talk.bodySent() &&
                (result == CURLE_SEND_ERROR || result == CURLE_RECV_ERROR);
    describeFailure(result, errorBuffer, talk, target, caFolder, report);
    return report;
}

} // namespace

int ConnectionsOpened() {
    return connectionsOpened.load();
}

void SetImplicitTlsPort(qint32 port) {
    implicitTlsPort = port;
}

qint32 ImplicitTlsPort() {
    return implicitTlsPort.load();
}

SmtpSetup ApplySmtpSetup(CURL* curl, const SmtpTarget& target, const TimeLimits& limits,
                         const QString& caFolder) {
    SmtpSetup setup;
    const ServerSettings& s = target.server;
    setup.implicitTls = s.mode == ConnectionMode::Ssl && s.port == implicitTlsPort.load() &&
                        !target.opportunisticTls;
    setup.bearer = !s.bearer.isEmpty();
    setup.login =
        !s.user.isEmpty() && (!s.password.isEmpty() || setup.bearer) && !target.opportunisticTls;

    // libcurl copies the strings it is given: the texts below may go with this call.
    setup.url = QStringLiteral("%1://%2:%3/%4")
                    .arg(setup.implicitTls ? u"smtps" : u"smtp", hostForUrl(s.host))
                    .arg(s.port)
                    .arg(ehloName())
                    .toUtf8();
    curl_easy_setopt(curl, CURLOPT_URL, setup.url.constData());
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);

    const QByteArray user = s.user.toUtf8();
    const QByteArray password = s.password.toUtf8();
    curl_easy_setopt(curl, CURLOPT_USERNAME, setup.login ? user.constData() : nullptr);
    curl_easy_setopt(curl, CURLOPT_PASSWORD,
                     setup.login && !setup.bearer ? password.constData() : nullptr);
    // OAuth 2.0: the login name with the access token (AUTH XOAUTH2 or OAUTHBEARER).
    const QByteArray token = s.bearer.toUtf8();
    curl_easy_setopt(curl, CURLOPT_XOAUTH2_BEARER,
                     setup.login && setup.bearer ? token.constData() : nullptr);

    long useSsl = CURLUSESSL_NONE;
    if (target.opportunisticTls)
        useSsl = target.verifiedTls ? CURLUSESSL_ALL : CURLUSESSL_TRY;
    else if (s.mode == ConnectionMode::Ssl && !setup.implicitTls)
        useSsl = CURLUSESSL_ALL;
    curl_easy_setopt(curl, CURLOPT_USE_SSL, useSsl);
    const long verify = target.opportunisticTls && !target.verifiedTls ? 0L : 1L;
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, verify);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, verify ? 2L : 0L);
    // Certificates added to the CA folder count from the next session on.
    curl_easy_setopt(curl, CURLOPT_CA_CACHE_TIMEOUT, 0L);
    curl_easy_setopt(curl, CURLOPT_SSL_CTX_FUNCTION, TrustCaFolder);
    curl_easy_setopt(curl, CURLOPT_SSL_CTX_DATA, const_cast<QString*>(&caFolder));

    if (!target.connectAddresses.isEmpty()) {
        const QByteArray entry = QStringLiteral("%1:%2:%3")
                                     .arg(s.host)
                                     .arg(s.port)
                                     .arg(target.connectAddresses)
                                     .toUtf8();
        setup.resolve.reset(curl_slist_append(nullptr, entry.constData()));
    }
    curl_easy_setopt(curl, CURLOPT_RESOLVE, setup.resolve.get());

    const long connectMs = long(std::max<qint64>(1, limits.connect.count()));
    const long responseSeconds = long(std::max<qint64>(1, (limits.response.count() + 999) / 1000));
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, connectMs);
    curl_easy_setopt(curl, CURLOPT_SERVER_RESPONSE_TIMEOUT, responseSeconds);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, responseSeconds);
    return setup;
}

SmtpReport SendSmtp(const SmtpTarget& target, const TimeLimits& limits, const QString& caFolder,
                    const QString& from, const QStringList& recipients, const QByteArray& message) {
    InitMailLibraries();
    const std::string key = poolKey(target);
    // The destination's sessions, rate and rest: the transaction runs inside its slot.
    DestinationSlot slot =
        AcquireDestination(target.server.host, serverName(target), int(recipients.size()));
    if (!slot.granted()) {
        SmtpReport report;
        report.notAttempted = true;
        report.code = AbortRequested() ? Error::Aborted : Error::ConnectFailed;
        report.description = AbortRequested()
                                 ? QStringLiteral("Envoi interrompu : le programme s'arrête.")
                                 : QStringLiteral("Envoi différé : %1.").arg(slot.refusal);
        if (slot.budgetSpent)
            report.retryAtMs = slot.retryAtMs;
        return report;
    }
    // One transaction on a pooled or new session (a dropped pooled one is replaced once).
    const auto transaction = [&](const QStringList& part, SmtpSession& session) {
        for (int round = 0;; ++round) {
            bool reused = false;
            session = TakeSmtpSession(key, reused, round == 0);
            if (!session.handle) {
                SmtpReport report;
                report.code = Error::Internal;
                report.description = QStringLiteral("Impossible d'initialiser la connexion SMTP.");
                return report;
            }
            bool retryable = false;
            SmtpReport report =
                attempt(session, reused, target, limits, caFolder, from, part, message, retryable);
            if (!retryable || round > 0)
                return report;
            DropIdleSmtpSessions(key); // the dropped session is closed on the next take
        }
    };
    // The recipients go in transactions of at most the destination's number; those the
    // server had no room for go in the next transaction at once.
    const int perTransaction = DestinationLimitsOf(target.server.host).recipientsPerTransaction;
    QStringList left = recipients;
    SmtpReport total;
    bool anySent = false;
    while (!left.isEmpty()) {
        const QStringList part = perTransaction > 0 ? left.mid(0, perTransaction) : left;
        left = left.mid(part.size());
        SmtpSession session;
        SmtpReport report = transaction(part, session);
        if (report.code != Error::None && anySent) {
            // Earlier transactions went: the rest waits like recipients refused for a while.
            total.deferred << part << left;
            break;
        }
        if (report.code != Error::None || report.unconfirmed) {
            if (report.code == Error::None)
                report.deferred << left; // stopping: the rest waits for the next run
            total = std::move(report);
            break;
        }
        GiveBackSmtpSession(key, std::move(session));
        anySent = true;
        total.reachedServer = true;
        total.accepted += report.accepted;
        total.refused << report.refused;
        total.deferred << report.deferred;
        total.served << report.served;
        total.reply = report.reply;
        total.recipientReplies.insert(report.recipientReplies);
        if (total.throttled == Throttle::None)
            total.throttled = report.throttled;
        left = report.overflow + left;
    }
    if (total.code == Error::None && !total.unconfirmed && !total.refused.isEmpty())
        total.description =
            QStringLiteral("Mail envoyé, mais le serveur %1 a refusé ces destinataires : %2")
                .arg(serverName(target), total.refused.join(QStringLiteral(" ; ")));
    if (total.code == Error::None) {
        slot.report(true, total.throttled, false, total.accepted);
    } else if (total.quotaSpent) {
        slot.report(false, Throttle::None, false, 0);
        total.retryAtMs = slot.quotaSpent();
    } else {
        const bool unreachable =
            !total.reachedServer && total.code != Error::Aborted &&
            (total.code == Error::ConnectFailed || total.code == Error::Timeout ||
             total.code == Error::ServerNotFound || total.code == Error::ConnectionLost);
        slot.report(false, total.throttled, unreachable, 0);
    }
    total.notice = slot.notice;
    // A refusal for want of authentication is said once per server and change of state.
    if (total.code == Error::None) {
        AuthenticationAccepted(serverName(target));
    } else if (const QString said =
                   AuthenticationRefusalNotice(serverName(target), total.refusalReply);
               !said.isEmpty()) {
        total.notice = total.notice.isEmpty() ? said : total.notice + u' ' + said;
    }
    return total;
}

SendOutcome SmtpTransport::send(const SendJob& job) {
    SmtpTarget target;
    target.server = job.server;
    target.envelopeId = job.envelopeId;
    const SmtpReport report =
        SendSmtp(target, job.limits, job.caFolder, job.envelopeFrom, job.recipients, job.message);
    SendOutcome outcome{report.code, report.description};
    outcome.reply = report.reply;
    outcome.recipientReplies = report.recipientReplies;
    outcome.permanent = report.permanent;
    outcome.throttled = report.throttled != Throttle::None;
    outcome.notAttempted = report.notAttempted;
    outcome.unconfirmed = report.unconfirmed;
    outcome.notice = report.notice;
    outcome.retryAtMs = report.retryAtMs;
    if (report.code == Error::None) {
        outcome.refused = report.refused;
        outcome.deferred = report.deferred;
        outcome.served = report.served;
    }
    return outcome;
}

} // namespace mail::detail
