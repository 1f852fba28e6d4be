// MX look-up with c-ares and delivery to the recipients' own mail exchangers.
#include "mail/transport/direct_delivery.h"

#include "mail/engine/c_handles.h"
#include "mail/engine/library_init.h"
#include "mail/transport/mta_sts.h"
#include "mail/transport/smtp_transport.h"

#include <QMap>

#include <ares.h>
#include <arpa/inet.h>
#include <arpa/nameser.h>
#include <netdb.h>
#include <sys/select.h>

#include <algorithm>
#include <memory>

namespace mail::detail {

namespace {

using Channel = AresChannel;

// A c-ares channel pointed at VELMORA_DNS when set; null with `error` on failure.
Channel openChannel(int timeoutMs, QString& error) {
    InitMailLibraries();
    ares_options options{};
    options.timeout = std::max(100, timeoutMs / 2);
    options.tries = 2;
    ares_channel raw = nullptr;
    const int status = ares_init_options(&raw, &options, ARES_OPT_TIMEOUTMS | ARES_OPT_TRIES);
    if (status != ARES_SUCCESS) {
        error = QStringLiteral("Initialisation DNS impossible (%1).")
                    .arg(QString::fromUtf8(ares_strerror(status)));
        return nullptr;
    }
    Channel channel(raw);
    const QString server = DnsServerSetting();
    if (!server.isEmpty()) {
        const int set = ares_set_servers_ports_csv(channel.get(), server.toLatin1().constData());
        if (set != ARES_SUCCESS) {
            error = QStringLiteral("Serveur DNS invalide dans VELMORA_DNS : %1 (%2).")
                        .arg(server, QString::fromUtf8(ares_strerror(set)));
            return nullptr;
        }
    }
    return channel;
}

// Runs the channel's queries to their end (c-ares calls every callback by then).
void runQueries(ares_channel channel) {
    for (;;) {
        fd_set readers;
        fd_set writers;
        FD_ZERO(&readers);
        FD_ZERO(&writers);
        const int nfds = ares_fds(channel, &readers, &writers);
        if (nfds == 0)
            return;
        // Waits of at most a fifth of a second, so that a stop request is seen at once.
        if (AbortRequested()) {
            ares_cancel(channel);
            continue;
        }
        timeval most{0, 200000};
        timeval wait{};
        timeval* tv = ares_timeout(channel, &most, &wait);
        select(nfds, &readers, &writers, nullptr, tv);
        ares_process(channel, &readers, &writers);
    }
}

struct MxState {
    int status = ARES_ECANCELLED;
    QList<MxHost> hosts;
};

void mxCallback(void* arg, int status, int, unsigned char* answer, int length) {
    auto* state = static_cast<MxState*>(arg);
    state->status = status;
    if (status != ARES_SUCCESS)
        return;
    ares_mx_reply* replies = nullptr;
    const int parsed = ares_parse_mx_reply(answer, length, &replies);
    const AresMxReplies owned(replies);
    if (parsed != ARES_SUCCESS) {
        state->status = parsed;
        return;
    }
    for (ares_mx_reply* r = replies; r; r = r->next)
        state->hosts.append({r->priority, QString::fromUtf8(r->host)});
}

struct AddressState {
    QStringList addresses;
};

void addressCallback(void* arg, int status, int, ares_addrinfo* result) {
    auto* state = static_cast<AddressState*>(arg);
    const AresAddresses owned(result);
    if (status != ARES_SUCCESS || !result)
        return;
    for (ares_addrinfo_node* node = result->nodes; node; node = node->ai_next) {
        char text[INET6_ADDRSTRLEN] = {0};
        if (node->ai_family == AF_INET) {
            const auto* in = reinterpret_cast<const sockaddr_in*>(node->ai_addr);
            inet_ntop(AF_INET, &in->sin_addr, text, sizeof text);
            state->addresses << QString::fromLatin1(text);
        } else if (node->ai_family == AF_INET6) {
            const auto* in6 = reinterpret_cast<const sockaddr_in6*>(node->ai_addr);
            inet_ntop(AF_INET6, &in6->sin6_addr, text, sizeof text);
            state->addresses << u'[' + QString::fromLatin1(text) + u']';
        }
    }
    state->addresses.removeDuplicates();
}

struct TxtState {
    int status = ARES_ECANCELLED;
    QList<QByteArray> records;
};

void txtCallback(void* arg, int status, int, unsigned char* answer, int length) {
    auto* state = static_cast<TxtState*>(arg);
    state->status = status;
    if (status != ARES_SUCCESS)
        return;
    ares_txt_ext* replies = nullptr;
    const int parsed = ares_parse_txt_reply_ext(answer, length, &replies);
    const AresTxtReplies owned(replies);
    if (parsed != ARES_SUCCESS) {
        state->status = parsed;
        return;
    }
    // A record longer than 255 bytes comes as several strings, to be joined without a space.
    for (ares_txt_ext* r = replies; r; r = r->next) {
        const QByteArray piece(reinterpret_cast<const char*>(r->txt), qsizetype(r->length));
        if (r->record_start || state->records.isEmpty())
            state->records.append(piece);
        else
            state->records.back() += piece;
    }
}

struct ReverseState {
    QString name;
};

void reverseCallback(void* arg, int status, int, hostent* host) {
    if (status == ARES_SUCCESS && host && host->h_name)
        static_cast<ReverseState*>(arg)->name = QString::fromLatin1(host->h_name);
}

// One domain's share of the message and how it went.
struct DomainRun {
    QString domain;
    QStringList recipients;
    SmtpReport report;
    QString via;
};

SmtpReport deliverDomain(const SendJob& job, DomainRun& run) {
    const int timeoutMs = int(job.limits.connect.count());
    const MxLookup mx = LookUpMailExchangers(run.domain, timeoutMs);
    SmtpReport report;
    if (mx.code != Error::None) {
        report.code = mx.code;
        report.description = mx.description;
        // A domain that does not exist or takes no mail will not take it later either.
        report.permanent = mx.code == Error::NoMailDomain;
        return report;
    }
    // MTA-STS "enforce": only the exchangers the policy names, over verified TLS.
    const StsPolicy sts = StsPolicyFor(run.domain, job.caFolder, timeoutMs);
    const bool enforce = sts.mode == StsPolicy::Mode::Enforce;
    QList<MxHost> hosts = mx.hosts;
    if (enforce)
        hosts.removeIf([&](const MxHost& host) {
            return std::none_of(sts.mx.cbegin(), sts.mx.cend(), [&](const QString& pattern) {
                return StsMxMatches(pattern, host.host);
            });
        });
    if (enforce && hosts.isEmpty()) {
        report.code = Error::MtaStsUnmet;
        report.description =
            QStringLiteral("MTA-STS : aucun serveur de messagerie du domaine %1 ne figure dans "
                           "sa politique (mode enforce, mx %2) ; le mail attend que le domaine "
                           "corrige son DNS ou sa politique.")
                .arg(run.domain, sts.mx.join(QStringLiteral(", ")));
        return report;
    }
    report.code = Error::ConnectFailed;
    report.description =
        QStringLiteral("Aucun serveur de messagerie du domaine %1 n'a pu être joint.")
            .arg(run.domain);
    for (const MxHost& host : std::as_const(hosts)) {
        if (AbortRequested()) {
            report.code = Error::Aborted;
            report.description = QStringLiteral("Envoi interrompu par l'arrêt du programme.");
            break;
        }
        const QStringList addresses = ResolveHost(host.host, timeoutMs);
        if (addresses.isEmpty()) {
            report.description = QStringLiteral("Le serveur de messagerie %1 du domaine %2 n'a "
                                                "pas d'adresse dans le DNS.")
                                     .arg(host.host, run.domain);
            continue;
        }
        SmtpTarget target;
        target.server.host = host.host;
        target.server.port = MailExchangerPort(job.server.port);
        target.opportunisticTls = true;
        target.verifiedTls = enforce;
        target.connectAddresses = addresses.join(u',');
        target.envelopeId = job.envelopeId;
        report = SendSmtp(target, job.limits, job.caFolder, job.envelopeFrom, run.recipients,
                          job.message);
        if (enforce && report.code != Error::None && !report.permanent &&
            (report.code == Error::TlsFailed || report.code == Error::CertificateUntrusted ||
             report.code == Error::StartTlsUnavailable)) {
            report.code = Error::MtaStsUnmet;
            report.description =
                QStringLiteral("MTA-STS : le domaine %1 exige TLS avec un certificat valide "
                               "(mode enforce), que %2 n'offre pas ; le mail attend. %3")
                    .arg(run.domain, host.host, report.description);
        }
        run.via = host.host;
        // Only a host that could not be reached at all makes the next exchanger worth a try;
        // an answer (even a refusal) is the domain's answer.
        if (report.code == Error::None || report.reachedServer)
            break;
    }
    return report;
}

} // namespace

QString DnsServerSetting() {
    return qEnvironmentVariable("VELMORA_DNS").trimmed();
}

qint32 MailExchangerPort(qint32 given) {
    bool ok = false;
    const int port = qEnvironmentVariable("VELMORA_MX_PORT").trimmed().toInt(&ok);
    return ok && port > 0 && port <= 65535 ? port : given;
}

MxLookup LookUpMailExchangers(const QString& domain, int timeoutMs) {
    MxLookup lookup;
    QString error;
    Channel channel = openChannel(timeoutMs, error);
    if (!channel) {
        lookup.code = Error::DnsFailed;
        lookup.description = error;
        return lookup;
    }
    MxState state;
    const QByteArray name = domain.toLatin1();
    ares_query(channel.get(), name.constData(), ns_c_in, ns_t_mx, mxCallback, &state);
    runQueries(channel.get());

    if (state.status == ARES_ENODATA) {
        lookup.hosts.append({0, domain}); // no MX: the domain's own address (RFC 5321 5.1)
        return lookup;
    }
    if (state.status == ARES_ENOTFOUND) {
        lookup.code = Error::NoMailDomain;
        lookup.description =
            QStringLiteral("Le domaine %1 n'existe pas. Vérifiez l'adresse du destinataire.")
                .arg(domain);
        return lookup;
    }
    if (state.status != ARES_SUCCESS) {
        lookup.code = Error::DnsFailed;
        lookup.description =
            QStringLiteral("Recherche DNS des serveurs de messagerie du domaine %1 impossible "
                           "(%2). Vérifiez la connexion réseau et le serveur DNS.")
                .arg(domain, QString::fromUtf8(ares_strerror(state.status)));
        return lookup;
    }
    // A null MX (one record naming the root) says the domain accepts no mail (RFC 7505).
    for (const MxHost& host : std::as_const(state.hosts)) {
        if (host.host.isEmpty() || host.host == u".") {
            lookup.code = Error::NoMailDomain;
            lookup.description =
                QStringLiteral("Le domaine %1 n'accepte pas de mail (MX nul). Vérifiez l'adresse "
                               "du destinataire.")
                    .arg(domain);
            return lookup;
        }
    }
    lookup.hosts = state.hosts;
    std::stable_sort(lookup.hosts.begin(), lookup.hosts.end(),
                     [](const MxHost& a, const MxHost& b) { return a.preference < b.preference; });
    return lookup;
}

QStringList ResolveHost(const QString& host, int timeoutMs) {
    QString error;
    Channel channel = openChannel(timeoutMs, error);
    if (!channel)
        return {};
    AddressState state;
    ares_addrinfo_hints hints{};
    hints.ai_family = AF_UNSPEC;
    const QByteArray name = host.toLatin1();
    ares_getaddrinfo(channel.get(), name.constData(), nullptr, &hints, addressCallback, &state);
    runQueries(channel.get());
    return state.addresses;
}

TxtLookup LookUpTxt(const QString& name, int timeoutMs) {
    TxtLookup lookup;
    Channel channel = openChannel(timeoutMs, lookup.description);
    if (!channel) {
        lookup.code = Error::DnsFailed;
        return lookup;
    }
    TxtState state;
    const QByteArray ascii = name.toLatin1();
    ares_query(channel.get(), ascii.constData(), ns_c_in, ns_t_txt, txtCallback, &state);
    runQueries(channel.get());
    if (state.status == ARES_ENOTFOUND) {
        lookup.code = Error::NoMailDomain;
        lookup.description = QStringLiteral("Le nom %1 n'existe pas dans le DNS.").arg(name);
    } else if (state.status != ARES_SUCCESS && state.status != ARES_ENODATA) {
        lookup.code = Error::DnsFailed;
        lookup.description = QStringLiteral("Recherche DNS de %1 impossible (%2).")
                                 .arg(name, QString::fromUtf8(ares_strerror(state.status)));
    }
    lookup.records = state.records;
    return lookup;
}

QString ReverseName(const QString& address, int timeoutMs) {
    QString error;
    Channel channel = openChannel(timeoutMs, error);
    if (!channel)
        return {};
    QByteArray text = address.toLatin1();
    if (text.startsWith('[') && text.endsWith(']'))
        text = text.mid(1, text.size() - 2);
    unsigned char raw[16] = {0};
    int family = AF_INET;
    int size = 4;
    if (inet_pton(AF_INET, text.constData(), raw) != 1) {
        family = AF_INET6;
        size = 16;
        if (inet_pton(AF_INET6, text.constData(), raw) != 1)
            return {};
    }
    ReverseState state;
    ares_gethostbyaddr(channel.get(), raw, size, family, reverseCallback, &state);
    runQueries(channel.get());
    return state.name;
}

SendOutcome DirectDelivery::send(const SendJob& job) {
    QMap<QString, DomainRun> runs;
    QStringList order;
    for (const QString& recipient : job.recipients) {
        const QString domain = recipient.section(u'@', -1).toLower();
        if (!runs.contains(domain)) {
            runs[domain].domain = domain;
            order << domain;
        }
        runs[domain].recipients << recipient;
    }
    int failed = 0;
    qint32 firstFailure = Error::None;
    QStringList lines;
    for (const QString& domain : std::as_const(order)) {
        DomainRun& run = runs[domain];
        run.report = deliverDomain(job, run);
        if (run.report.code == Error::None) {
            QString line = QStringLiteral("%1 : envoyé via %2").arg(domain, run.via);
            if (!run.report.refused.isEmpty())
                line += QStringLiteral(" (destinataires refusés : %1)")
                            .arg(run.report.refused.join(QStringLiteral(" ; ")));
            if (run.report.unconfirmed)
                line += QStringLiteral(" (%1)").arg(run.report.description);
            lines << line;
        } else {
            ++failed;
            if (firstFailure == Error::None)
                firstFailure = run.report.code;
            lines << QStringLiteral("%1 : échec - %2").arg(domain, run.report.description);
        }
    }
    SendOutcome outcome;
    for (const QString& domain : std::as_const(order)) {
        const DomainRun& run = runs[domain];
        if (run.report.code == Error::None) {
            outcome.refused << run.report.refused;
            outcome.deferred << run.report.deferred;
            outcome.served << run.report.served;
        }
        // Each recipient keeps the answer of its own domain's server.
        for (const QString& recipient : run.recipients) {
            ServerReply reply =
                run.report.recipientReplies.value(recipient.toLower(), run.report.reply);
            if (reply.text.isEmpty())
                reply.text = run.report.description;
            outcome.recipientReplies.insert(recipient.toLower(), reply);
        }
        if (outcome.reply.code == 0 || run.report.code != Error::None)
            outcome.reply = run.report.reply;
        outcome.throttled = outcome.throttled || run.report.throttled != Throttle::None;
        outcome.unconfirmed = outcome.unconfirmed || run.report.unconfirmed;
        if (!run.report.notice.isEmpty())
            outcome.notice +=
                (outcome.notice.isEmpty() ? QString() : QStringLiteral(" ")) + run.report.notice;
    }
    const bool anyRefused = std::any_of(
        runs.cbegin(), runs.cend(), [](const DomainRun& r) { return !r.report.refused.isEmpty(); });
    if (failed == 0) {
        if (anyRefused || outcome.unconfirmed || order.size() > 1)
            outcome.description =
                QStringLiteral("Envoi direct : ") + lines.join(QStringLiteral(" | "));
        return outcome;
    }
    outcome.code = failed == order.size() ? firstFailure : Error::PartialDelivery;
    outcome.notAttempted = failed == order.size() &&
                           std::all_of(runs.cbegin(), runs.cend(),
                                       [](const DomainRun& r) { return r.report.notAttempted; });
    // Permanent only when every domain failed for good: a retry would reach nobody new.
    outcome.permanent = failed == order.size() &&
                        std::all_of(runs.cbegin(), runs.cend(),
                                    [](const DomainRun& r) { return r.report.permanent; });
    outcome.description =
        QStringLiteral("Envoi direct (sans serveur) : ") + lines.join(QStringLiteral(" | "));
    return outcome;
}

} // namespace mail::detail
