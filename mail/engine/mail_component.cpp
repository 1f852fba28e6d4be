// The mail object: collects the settings, builds the message and runs the transport on a
// worker thread while the calling thread keeps processing its events.
#include "mail/engine/mail_component.h"

#include "mail/engine/destinations.h"
#include "mail/engine/library_init.h"
#include "mail/engine/native_path.h"
#include "mail/engine/protocols.h"
#include "mail/mime/charset_codec.h"
#include "mail/mime/dkim.h"
#include "mail/mime/mime_builder.h"
#include "mail/oauth/oauth.h"
#include "mail/transport/direct_delivery.h"
#include "mail/transport/smtp_transport.h"
#include "system/beside_event_loop.h"
#include "system/clock.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QThread>
#include <QThreadPool>

#include <mutex>
#include <thread>

namespace mail {

namespace {

std::mutex limitsMutex;
TimeLimits defaultLimits;
std::atomic<const std::atomic<bool>*> abortFlag{nullptr};

// Threads kept for the network work of single sends, so a send does not start a thread of
// its own; a few, so that a send started while another one waits is not queued behind it.
QThreadPool& sendThreads() {
    static QThreadPool* pool = [] {
        auto* p = new QThreadPool; // lives as long as the process; never joined at exit
        p->setMaxThreadCount(4);
        p->setExpiryTimeout(60000);
        return p;
    }();
    return *pool;
}

// Runs `work` on a worker thread. On the application's own thread the caller keeps
// processing events meanwhile (the window never freezes); elsewhere it simply waits.
template <class Result, class Work> Result runOffCallingThread(Work work) {
    Result result{};
    QCoreApplication* app = QCoreApplication::instance();
    if (!app || QThread::currentThread() != app->thread()) {
        std::thread worker([&] { result = work(); });
        worker.join();
        return result;
    }
    Posix::RunBesideEventLoop(sendThreads(), [&] { result = work(); });
    return result;
}

// Everything a send needs, copied so the worker thread shares nothing with the caller.
} // namespace

struct SendPlan {
    detail::MessageContent content;
    QList<Mailbox> bcc;
    QStringList envelope;
    QString envelopeId;
    qint32 protocol = Protocol::Smtp;
    ServerSettings server;
    TimeLimits limits;
    QString caFolder;
    bool sign = false;
    Certificate signer;
    CertificateCollection encryptFor;
    std::shared_ptr<const dkim::Signer> dkim;
};

namespace {

// Builds the finished message of `plan` (content entity, security step, top headers).
SendOutcome buildWire(const SendPlan& plan, QByteArray& wire) {
    QString error;
    QByteArray entity = detail::BuildContentEntity(plan.content, error);
    if (entity.isEmpty())
        return {Error::MimeBuild, error};
    if (plan.sign || plan.encryptFor.count() > 0) {
        if (!ApplySecurity(entity, plan.sign ? &plan.signer : nullptr, plan.encryptFor,
                           plan.content.from.address, error))
            return {Error::SecurityFailed, error};
    }
    wire = detail::BuildTopHeaders(plan.content) + entity;
    // The signature covers the bytes exactly as every transport carries them.
    if (plan.dkim && !plan.dkim->sign(wire, Clock::WallMs() / 1000, error)) {
        wire.clear();
        return {Error::SecurityFailed, error};
    }
    return {};
}

// OAuth 2.0: the send with a valid access token; a token the server refuses is renewed once
// and the send tried again, since a provider may revoke a token before its announced end.
SendOutcome sendWithToken(Transport& transport, SendJob& job, const SendPlan& plan) {
    oauth::Login login = *plan.server.oauthLogin;
    login.protocol = plan.protocol;
    login.user = plan.server.user;
    const oauth::HttpOptions http{plan.caFolder, plan.limits.connect, plan.limits.response};
    SendOutcome outcome;
    for (int round = 0; round < 2; ++round) {
        const oauth::Token token = oauth::AccessToken(login, http, round > 0);
        if (token.code != Error::None)
            return {token.code, token.description};
        job.server.bearer = token.accessToken;
        outcome = transport.send(job);
        if (outcome.code != Error::LoginRefused)
            return outcome;
    }
    // Refused even renewed: the account lacks the right to send this way, which only an
    // administrator mends; the mail waits for it.
    outcome.missingRight = QString::fromUtf8(FindProtocol(plan.protocol)->rights);
    outcome.description =
        QStringLiteral("Le serveur %1 refuse le jeton OAuth 2.0 du compte %2, même renouvelé ; le "
                       "mail n'a pas été envoyé. Vérifiez que ce compte a le droit d'envoyer "
                       "par ce protocole (%3) et que l'utilisateur est bien l'adresse du compte "
                       "connecté. %4 (%5)")
            .arg(plan.server.host.isEmpty() ? QStringLiteral("graph.microsoft.com")
                                            : plan.server.host,
                 plan.server.user, outcome.missingRight, oauth::SignInAgainText(),
                 outcome.description);
    return outcome;
}

SendOutcome runPlan(const SendPlan& plan) {
    SendJob job;
    SendOutcome built = buildWire(plan, job.message);
    if (built.code != Error::None)
        return built;
    job.server = plan.server;
    job.limits = plan.limits;
    job.envelopeFrom = plan.content.from.address;
    job.recipients = plan.envelope;
    for (const Mailbox& box : plan.content.to)
        job.to << box.address;
    for (const Mailbox& box : plan.content.cc)
        job.cc << box.address;
    for (const Mailbox& box : plan.bcc)
        job.bcc << box.address;
    job.caFolder = plan.caFolder;
    job.envelopeId = plan.envelopeId;

    std::unique_ptr<Transport> transport;
    const ProtocolInfo* protocol = FindProtocol(plan.protocol);
    switch (protocol ? protocol->route : Route::Smtp) {
    case Route::Smtp:
        if (plan.server.host.trimmed().isEmpty())
            transport = std::make_unique<detail::DirectDelivery>();
        else
            transport = std::make_unique<detail::SmtpTransport>();
        break;
    case Route::ExchangeWebServices:
    case Route::ExchangeWebDav:
        transport = CreateExchangeTransport(plan.protocol);
        break;
    case Route::Graph:
        transport = CreateGraphTransport();
        break;
    }
    if (!transport)
        return {Error::ProtocolUnavailable,
                QStringLiteral("Le protocole choisi (%1) n'est pas disponible dans cette version. "
                               "Choisissez SMTP.")
                    .arg(plan.protocol)};
    // SMTP without a server is direct delivery, which has no login.
    const bool login = plan.server.oauthLogin && (!plan.server.host.isEmpty() ||
                                                  (protocol && !protocol->emptyServerMeansDirect));
    SendOutcome outcome = login ? sendWithToken(*transport, job, plan) : transport->send(job);
    // A right the account lacks is told once per change, not once per mail; so is its return.
    const QString who =
        plan.server.user.trimmed().isEmpty() ? job.envelopeFrom : plan.server.user.trimmed();
    const QString account =
        QStringLiteral("%1 %2 %3").arg(plan.protocol).arg(plan.server.host.trimmed(), who);
    if (!outcome.missingRight.isEmpty()) {
        if (NoteMissingRight(account, outcome.missingRight) && outcome.notice.isEmpty())
            outcome.notice = outcome.description;
    } else if (outcome.code == Error::None && ClearMissingRight(account)) {
        outcome.notice = QStringLiteral("Le compte %1 a de nouveau le droit d'envoyer (%2) : les "
                                        "mails qui l'attendaient partent.")
                             .arg(who, QString::fromUtf8(protocol ? protocol->name : ""));
    }
    return outcome;
}

} // namespace

void SetAbortFlag(const std::atomic<bool>* flag) {
    abortFlag = flag;
}

bool AbortRequested() {
    const std::atomic<bool>* flag = abortFlag.load();
    return flag && flag->load();
}

TimeLimits DefaultTimeLimits() {
    std::lock_guard lock(limitsMutex);
    return defaultLimits;
}

void SetDefaultTimeLimits(const TimeLimits& limits) {
    std::lock_guard lock(limitsMutex);
    defaultLimits = limits;
}

MailMessage::MailMessage() : limits_(DefaultTimeLimits()) {
    detail::InitMailLibraries();
}

MailMessage::~MailMessage() = default;

void MailMessage::addRecipients(const QString& list, qint32 kind) {
    if (kind < 0 || kind > 2)
        kind = 0;
    recipientLists_.append({kind, list});
}

void MailMessage::clearRecipients() {
    recipientLists_.clear();
}

qint32 MailMessage::addAttachment(const QString& path) {
    const QString native = detail::NativePath(path.trimmed());
    const QFileInfo info(native);
    if (native.isEmpty() || !info.exists() || !info.isFile())
        return fail(Error::FileNotFound,
                    QStringLiteral("Pièce jointe introuvable : %1. Vérifiez que le fichier "
                                   "existe.")
                        .arg(path));
    const QString canonical = info.canonicalFilePath();
    for (const QString& known : std::as_const(attachments_))
        if (known == canonical)
            return Error::None; // attached already
    QFile file(canonical);
    if (!file.open(QIODevice::ReadOnly))
        return fail(Error::FileAccess,
                    QStringLiteral("Pièce jointe illisible : %1 (%2). Vérifiez les droits "
                                   "d'accès au fichier.")
                        .arg(path, file.errorString()));
    file.close();
    attachments_ << canonical;
    return Error::None;
}

qint32 MailMessage::fail(qint32 code, const QString& description) {
    lastCode_ = code;
    lastDescription_ = description;
    // What the mail itself gets wrong cannot be mended by sending it again.
    lastPermanent_ =
        code == Error::InvalidAddress || code == Error::NoRecipient || code == Error::MimeBuild;
    lastRefused_.clear();
    return code;
}

qint32 MailMessage::prepare(SendPlan& plan) {
    lastCode_ = Error::None;
    lastDescription_.clear();
    lastPermanent_ = false;
    lastRefused_.clear();
    lastReply_ = {};
    if (!FindProtocol(protocol_))
        return fail(Error::InvalidProtocol,
                    QStringLiteral("Protocole inconnu (%1). Choisissez SMTP, Exchange Web "
                                   "Service, Exchange WebDAV ou Microsoft Graph.")
                        .arg(protocol_));
    if (sender_.address.trimmed().isEmpty())
        return fail(Error::NoSender, QStringLiteral("Adresse de l'expéditeur absente. "
                                                    "Renseignez l'adresse email de l'expéditeur."));
    // Every mail of a job has the same sender: it is checked once.
    thread_local QString checkedSender, checkedFrom;
    QString error;
    const QString from = sender_.address == checkedSender && !checkedFrom.isEmpty()
                             ? checkedFrom
                             : detail::CheckAddress(sender_.address, error);
    checkedSender = sender_.address;
    checkedFrom = from;
    if (from.isEmpty())
        return fail(Error::InvalidAddress, QStringLiteral("Expéditeur refusé. %1").arg(error));
    plan.content.from = {sender_.name, from};

    for (const auto& [kind, list] : std::as_const(recipientLists_)) {
        QList<Mailbox>& target =
            kind == 1 ? plan.content.cc : (kind == 2 ? plan.bcc : plan.content.to);
        if (!detail::ParseAddressList(list, target, error))
            return fail(Error::InvalidAddress, error);
    }
    QSet<QString> seen;
    for (const QList<Mailbox>* list : {&plan.content.to, &plan.content.cc, &plan.bcc})
        for (const Mailbox& box : *list)
            if (!seen.contains(box.address.toLower())) {
                seen.insert(box.address.toLower());
                if (!envelopeServed_ || !envelopeServed_(box.address))
                    plan.envelope << box.address;
            }
    if (plan.envelope.isEmpty())
        return fail(Error::NoRecipient,
                    QStringLiteral("Aucun destinataire. Renseignez au moins une adresse."));

    plan.content.subject = subject_;
    plan.content.body = body_;
    plan.content.deliveryStatus = deliveryStatus_;
    plan.envelopeId = envelopeId_;
    // An identifier the converters do not know cannot be honoured: the text goes in UTF-8.
    plan.content.charset = charset::IsKnown(charset_) ? charset_ : defaultCharset();
    for (const QString& path : std::as_const(attachments_)) {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            return fail(Error::FileAccess,
                        QStringLiteral("Pièce jointe illisible : %1 (%2). Vérifiez les droits "
                                       "d'accès au fichier.")
                            .arg(path, file.errorString()));
        QByteArray bytes = file.readAll();
        if (file.error() != QFileDevice::NoError)
            return fail(Error::FileAccess,
                        QStringLiteral("Pièce jointe illisible : %1 (%2). Vérifiez les droits "
                                       "d'accès au fichier.")
                            .arg(path, file.errorString()));
        plan.content.attachments.append({QFileInfo(path).fileName(), std::move(bytes)});
    }
    plan.protocol = protocol_;
    plan.server = server_;
    plan.server.host = server_.host.trimmed();
    plan.limits = limits_;
    plan.caFolder = caFolder_;
    plan.sign = signer_.isLoaded();
    plan.signer = signer_;
    plan.encryptFor = recipientCertificates_;
    plan.dkim = dkim_;
    return Error::None;
}

QByteArray MailMessage::buildMessage() {
    SendPlan plan;
    if (prepare(plan) != Error::None)
        return {};
    QByteArray wire;
    const SendOutcome built = buildWire(plan, wire);
    if (built.code != Error::None) {
        fail(built.code, built.description);
        return {};
    }
    return wire;
}

std::shared_ptr<const SendPlan> MailMessage::detach() {
    auto plan = std::make_shared<SendPlan>();
    if (prepare(*plan) != Error::None)
        return nullptr;
    return plan;
}

QStringList EnvelopeOf(const SendPlan& plan) {
    return plan.envelope;
}

SendOutcome SendDetached(const SendPlan& plan) {
    try {
        return runPlan(plan);
    } catch (const std::exception& e) {
        return SendOutcome{Error::Internal, QStringLiteral("Erreur interne du composant mail : %1")
                                                .arg(QString::fromUtf8(e.what()))};
    }
}

qint32 MailMessage::send() {
    SendPlan plan;
    if (prepare(plan) != Error::None)
        return lastCode_;
    const SendOutcome outcome =
        runOffCallingThread<SendOutcome>([&plan] { return SendDetached(plan); });
    lastCode_ = outcome.code;
    lastDescription_ = outcome.description;
    // The line about the destination (said once) goes with the failure it explains.
    if (outcome.code != Error::None && !outcome.notice.isEmpty())
        lastDescription_ += u' ' + outcome.notice;
    lastPermanent_ = outcome.code != Error::None && outcome.permanent;
    lastRefused_ = outcome.refused;
    // One recipient's copy: its own answer where the transport kept one.
    lastReply_ = outcome.recipientReplies.size() == 1 ? outcome.recipientReplies.cbegin().value()
                                                      : outcome.reply;
    if (lastReply_.text.isEmpty())
        lastReply_.text = lastDescription_;
    return outcome.code;
}

} // namespace mail
