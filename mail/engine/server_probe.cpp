// The settings check: an SMTP session that logs in and says NOOP instead of MAIL (libcurl's
// custom command with no recipient), the MX look-up of direct delivery, and Exchange
// requests that read instead of send. Failures get the texts a real send would get.
#include "mail/engine/server_probe.h"

#include "mail/engine/c_handles.h"
#include "mail/engine/ca_trust.h"
#include "mail/engine/library_init.h"
#include "mail/engine/protocols.h"
#include "mail/engine/transport_failure.h"
#include "mail/oauth/oauth.h"
#include "mail/transport/direct_delivery.h"
#include "mail/transport/exchange.h"
#include "mail/transport/graph.h"
#include "mail/transport/sender_checks.h"
#include "mail/transport/smtp_conversation.h"
#include "mail/transport/smtp_transport.h"
#include "system/untrusted_text.h"

#include <curl/curl.h>

namespace mail {

namespace {

// The conversation, plus the lines of the last EHLO reply and the greeting, for the report.
struct ProbeTalk {
    detail::SmtpConversation talk;
    QString command;
    QString greeting;
    QStringList ehlo;
    QByteArray pending;
};

int probeDebug(CURL*, curl_infotype type, char* data, size_t size, void* user) {
    auto* probe = static_cast<ProbeTalk*>(user);
    if (!probe)
        return 0;
    if (type == CURLINFO_HEADER_OUT) {
        const QByteArray raw(data, qsizetype(size));
        probe->talk.commandSent(raw);
        probe->command = QString::fromLatin1(raw.trimmed().split(' ').value(0)).toUpper();
        if (probe->command == u"EHLO")
            probe->ehlo.clear();
    } else if (type == CURLINFO_HEADER_IN) {
        probe->talk.repliesReceived(data, size);
        probe->pending.append(data, qsizetype(size));
        qsizetype eol;
        while ((eol = probe->pending.indexOf('\n')) >= 0) {
            const QString line = QString::fromUtf8(probe->pending.left(eol)).trimmed();
            probe->pending.remove(0, eol + 1);
            if (probe->command.isEmpty() && probe->greeting.isEmpty())
                probe->greeting = Untrusted::CleanQuoted(line);
            else if (probe->command == u"EHLO" && line.size() > 4)
                probe->ehlo << Untrusted::CleanQuoted(line.mid(4), 120);
        }
    }
    return 0;
}

int probeProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    const auto* probe = static_cast<const ProbeTalk*>(user);
    return probe && probe->talk.loginUnavailable() ? 1 : 0;
}

size_t discard(char*, size_t size, size_t count, void*) {
    return size * count;
}

// One SMTP session up to NOOP. `report.facts` gets what the server said.
void probeSmtp(const detail::SmtpTarget& target, const TimeLimits& limits, const QString& caFolder,
               ProbeReport& report) {
    detail::InitMailLibraries();
    const ServerSettings& s = target.server;
    const QString server = QStringLiteral("%1:%2").arg(s.host).arg(s.port);

    CurlEasy curl(curl_easy_init());
    if (!curl) {
        report.code = Error::Internal;
        report.description = QStringLiteral("Impossible d'initialiser la connexion SMTP.");
        return;
    }
    CURL* c = curl.get();
    const detail::SmtpSetup setup = detail::ApplySmtpSetup(c, target, limits, caFolder);
    const bool implicitTls = setup.implicitTls;
    const bool login = setup.login;
    ProbeTalk probe;
    probe.talk.loginWanted = login;
    probe.talk.tlsWanted = target.opportunisticTls || s.mode == ConnectionMode::Ssl;
    probe.talk.tlsStarted = implicitTls;
    char errorBuffer[CURL_ERROR_SIZE] = {0};
    curl_easy_setopt(c, CURLOPT_VERBOSE, 1L);
    curl_easy_setopt(c, CURLOPT_DEBUGFUNCTION, probeDebug);
    curl_easy_setopt(c, CURLOPT_DEBUGDATA, &probe);
    curl_easy_setopt(c, CURLOPT_ERRORBUFFER, errorBuffer);
    // No recipient and no upload: after the login libcurl sends this command and nothing else.
    curl_easy_setopt(c, CURLOPT_CUSTOMREQUEST, "NOOP");
    curl_easy_setopt(c, CURLOPT_NOBODY, 0L);
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, discard);
    curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, probeProgress);
    curl_easy_setopt(c, CURLOPT_XFERINFODATA, &probe);

    const CURLcode result = curl_easy_perform(c);
    curl.reset(); // says QUIT
    const auto& replies = probe.talk.replies();
    bool startTls = false;
    bool answeredInTls = false; // a reply came through the encrypted connection
    QString mechanism;          // of the first AUTH command; the later lines carry none
    const detail::SmtpReply* auth = nullptr;
    const detail::SmtpReply* noop = nullptr;
    for (const detail::SmtpReply& r : replies) {
        answeredInTls = answeredInTls || startTls;
        if (r.command == u"STARTTLS" && r.code == 220)
            startTls = true;
        if (r.command == u"AUTH" && mechanism.isEmpty())
            mechanism = r.argument.section(u' ', 0, 0);
        if (r.command == u"AUTH" && r.code != 334)
            auth = &r;
        if (r.command == u"NOOP")
            noop = &r;
    }

    report.facts
        << QStringLiteral("Serveur : %1").arg(QString::fromUtf8(setup.url).section(u'/', 0, 2));
    if (!probe.greeting.isEmpty())
        report.facts << QStringLiteral("Accueil : %1").arg(probe.greeting);
    const bool reachedTls = implicitTls ? !replies.empty() : startTls;
    if (implicitTls)
        report.facts << QStringLiteral("Chiffrement : SSL/TLS dès la connexion%1")
                            .arg(reachedTls ? QStringLiteral(", certificat du serveur vérifié")
                                            : QString());
    else if (startTls && !answeredInTls)
        // The handshake failed: the outcome below says why (a certificate not trusted ...).
        report.facts << QStringLiteral("Chiffrement : STARTTLS accepté, connexion chiffrée "
                                       "non établie");
    else if (startTls)
        report.facts << (target.opportunisticTls
                             ? QStringLiteral("Chiffrement : STARTTLS (sans contrôle du "
                                              "certificat, comme entre serveurs)")
                             : QStringLiteral(
                                   "Chiffrement : STARTTLS, certificat du serveur vérifié"));
    else if (!replies.empty())
        report.facts << QStringLiteral("Chiffrement : aucun");
    if (!probe.ehlo.isEmpty())
        report.facts << QStringLiteral("Le serveur propose : %1")
                            .arg(probe.ehlo.mid(1).join(QStringLiteral(", ")));
    if (login && auth && auth->code >= 200 && auth->code < 300)
        report.facts << (mechanism.isEmpty() ? QStringLiteral("Authentification : acceptée")
                                             : QStringLiteral("Authentification : acceptée (%1)")
                                                   .arg(Untrusted::CleanQuoted(mechanism, 40)));
    else if (login && auth)
        report.facts << QStringLiteral("Authentification : refusée (%1)")
                            .arg(Untrusted::CleanQuoted(auth->text));
    else if (!login && !target.opportunisticTls)
        report.facts << QStringLiteral("Authentification : non demandée");
    if (noop)
        report.facts << QStringLiteral("NOOP : %1").arg(Untrusted::CleanQuoted(noop->text));

    if (result == CURLE_OK && !probe.talk.loginUnavailable()) {
        report.code = Error::None;
        report.description.clear();
        return;
    }
    const detail::SmtpReply* refusal = probe.talk.lastFailure();
    const QString reply = refusal ? Untrusted::CleanQuoted(refusal->text) : QString();
    SendOutcome failure;
    if (probe.talk.loginUnavailable())
        failure = detail::SmtpLoginUnavailable(server);
    else if (const auto refused =
                 refusal && refusal->command == u"AUTH"
                     ? detail::SmtpRefusal(refusal->command, refusal->argument, reply, server, {})
                     : std::nullopt)
        failure = *refused;
    else
        failure = detail::CurlFailure(detail::Peer::Smtp, result, server, s.host,
                                      detail::CurlTechnicalText(result, errorBuffer), caFolder,
                                      detail::ServerAnswerSuffix(reply));
    report.code = failure.code;
    report.description = failure.description;
}

void probeDirect(const ProbeSettings& settings, ProbeReport& report) {
    const QString domain = settings.senderAddress.section(u'@', -1).trimmed();
    report.facts << QStringLiteral(
        "Envoi direct (aucun serveur indiqué) : chaque mail part vers les "
        "serveurs de messagerie (MX) du domaine de chaque destinataire.");
    if (!settings.senderAddress.contains(u'@') || domain.isEmpty()) {
        report.code = Error::NoSender;
        report.description = QStringLiteral("Adresse Email d'envoi non renseignée");
        return;
    }
    report.facts
        << QStringLiteral("Vérification faite avec le domaine de l'expéditeur : %1").arg(domain);
    const int timeoutMs = int(settings.limits.connect.count());
    const detail::MxLookup mx = detail::LookUpMailExchangers(domain, timeoutMs);
    if (mx.code != Error::None) {
        report.code = mx.code;
        report.description = mx.description;
        return;
    }
    QStringList hosts;
    for (const detail::MxHost& h : mx.hosts)
        hosts << QStringLiteral("%1 (préférence %2)")
                     .arg(Untrusted::CleanQuoted(h.host, 120))
                     .arg(h.preference);
    report.facts
        << QStringLiteral("Serveurs MX de %1 : %2").arg(domain, hosts.join(QStringLiteral(", ")));
    report.code = Error::ConnectFailed;
    report.description =
        QStringLiteral("Aucun serveur de messagerie du domaine %1 n'a pu être joint.").arg(domain);
    for (const detail::MxHost& h : mx.hosts) {
        const QStringList addresses = detail::ResolveHost(h.host, timeoutMs);
        if (addresses.isEmpty()) {
            report.description =
                QStringLiteral(
                    "Le serveur de messagerie %1 du domaine %2 n'a pas d'adresse dans le DNS.")
                    .arg(h.host, domain);
            continue;
        }
        detail::SmtpTarget target;
        target.server.host = h.host;
        target.server.port = detail::MailExchangerPort(settings.server.port);
        target.opportunisticTls = true;
        target.connectAddresses = addresses.join(u',');
        ProbeReport one;
        probeSmtp(target, settings.limits, settings.caFolder, one);
        report.facts += one.facts;
        report.code = one.code;
        report.description = one.description;
        if (one.code == Error::None || one.facts.size() > 2)
            break; // an answer, even a refusal, is the domain's answer
    }
}

void probeExchange(const ProbeSettings& settings, ProbeReport& report) {
    const ExchangeSend send = ExchangeSendFor(settings.server, settings.limits, settings.caFolder,
                                              settings.senderAddress);
    QString what;
    const ProtocolInfo* protocol = FindProtocol(settings.protocol);
    const bool ews = protocol->route == Route::ExchangeWebServices;
    const ExchangeOutcome out = ews ? CheckEws(send, what) : CheckWebDav(send, what);
    report.facts << QStringLiteral("%1 : %2").arg(QString::fromUtf8(protocol->name),
                                                  what.isEmpty() ? settings.server.host : what);
    report.facts
        << (ews ? QStringLiteral("Demande faite : lecture du dossier Boîte de réception "
                                 "(GetFolder), aucun envoi")
                : QStringLiteral(
                      "Demande faite : propriétés du dossier de la boîte (PROPFIND), aucun envoi"));
    // The login method the server's offer led to, and whose keys it used.
    if (!out.authentication.isEmpty())
        report.facts << QStringLiteral("Authentification : %1%2")
                            .arg(out.authentication,
                                 out.principal.isEmpty()
                                     ? QString()
                                     : QStringLiteral(", principal ") + out.principal);
    report.code = out.code;
    report.description = out.description;
    if (out.code == Error::None)
        report.facts << QStringLiteral("Identification : acceptée%1")
                            .arg(send.user.isEmpty() ? QStringLiteral(" (sans utilisateur)")
                                                     : QString());
}

void probeGraph(const ProbeSettings& settings, ProbeReport& report) {
    GraphSend send;
    send.server = settings.server.host;
    send.mailbox =
        settings.server.user.trimmed().isEmpty() ? settings.senderAddress : settings.server.user;
    send.bearer = settings.server.bearer;
    send.caFolder = settings.caFolder;
    send.connectTimeout = settings.limits.connect;
    send.responseTimeout = settings.limits.response;
    QString what;
    const SendOutcome out = CheckGraph(send, what);
    report.facts
        << QStringLiteral("Microsoft Graph : %1").arg(what.isEmpty() ? settings.server.host : what);
    report.facts << QStringLiteral("Demande faite : sendMail sans message, que Microsoft Graph "
                                   "refuse après avoir vérifié le jeton et les droits ; aucun "
                                   "envoi");
    report.code = out.code;
    report.description = out.description;
    if (out.code == Error::None)
        report.facts << QStringLiteral("Identification : acceptée (jeton et droits d'envoi)");
}

} // namespace

ProbeReport ProbeServer(const ProbeSettings& given) {
    ProbeReport report;
    ProbeSettings settings = given;
    // OAuth 2.0: the access token a send would use, obtained (or renewed) first; a provider
    // that refuses is the check's answer.
    const ProtocolInfo* protocol = FindProtocol(settings.protocol);
    if (!protocol)
        return {Error::InvalidProtocol,
                QStringLiteral("Protocole inconnu (%1).").arg(settings.protocol),
                {}};
    if (settings.server.oauthLogin &&
        (!settings.server.host.trimmed().isEmpty() || !protocol->emptyServerMeansDirect)) {
        oauth::Login login = *settings.server.oauthLogin;
        login.protocol = settings.protocol;
        login.user = settings.server.user;
        const oauth::HttpOptions http{settings.caFolder, settings.limits.connect,
                                      settings.limits.response};
        const oauth::Token token = oauth::AccessToken(login, http);
        if (token.code != Error::None) {
            report.code = token.code;
            report.description = token.description;
            report.facts << QStringLiteral("Identification : OAuth 2.0, aucun jeton obtenu");
            return report;
        }
        settings.server.bearer = token.accessToken;
        settings.server.password.clear();
        report.facts
            << QStringLiteral("Identification : OAuth 2.0, jeton obtenu (valable jusqu'au %1)")
                   .arg(token.expires.toLocalTime().toString(QStringLiteral("dd/MM/yyyy HH:mm")));
    }
    switch (protocol->route) {
    case Route::ExchangeWebServices:
    case Route::ExchangeWebDav:
        probeExchange(settings, report);
        break;
    case Route::Graph:
        probeGraph(settings, report);
        break;
    case Route::Smtp:
        if (settings.server.host.trimmed().isEmpty()) {
            probeDirect(settings, report);
        } else {
            detail::SmtpTarget target;
            target.server = settings.server;
            target.server.host = settings.server.host.trimmed();
            probeSmtp(target, settings.limits, settings.caFolder, report);
        }
        break;
    }
    const bool direct =
        settings.protocol == Protocol::Smtp && settings.server.host.trimmed().isEmpty();
    if (direct || settings.dkim || !settings.dkimProblem.isEmpty() ||
        !settings.testRecipient.isEmpty()) {
        SenderCheck check;
        check.senderAddress = settings.senderAddress;
        check.directDelivery = direct;
        check.dkim = settings.dkim;
        check.dkimProblem = settings.dkimProblem;
        check.testRecipient = settings.testRecipient;
        check.caFolder = settings.caFolder;
        check.timeoutMs = int(settings.limits.connect.count());
        report.facts << CheckSender(check);
    }
    return report;
}

} // namespace mail
