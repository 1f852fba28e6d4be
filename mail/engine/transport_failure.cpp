// The incident texts of failed transfers. SMTP and Exchange share the error numbers and the
// advice about the CA folder; the wording names the kind of server and its usual remedies.
#include "mail/engine/transport_failure.h"

#include "system/untrusted_text.h"

#include <QHash>
#include <QRegularExpression>

#include <algorithm>
#include <mutex>

namespace mail::detail {

namespace {

// What to do about a certificate the program does not trust: the folder where its authority
// goes ("CA" when the caller knows no folder).
QString caFolderAdvice(const QString& caFolder) {
    return QStringLiteral("Si ce serveur est celui de la station, copiez le certificat de son "
                          "autorité (fichier PEM) dans le dossier « %1 » du programme.")
        .arg(caFolder.isEmpty() ? QStringLiteral("CA") : caFolder);
}

QString smtpText(qint32 code, const QString& server, const QString& host, const QString& technical,
                 const QString& answer) {
    switch (code) {
    case Error::ServerNotFound:
        return QStringLiteral("Serveur SMTP introuvable : %1. Vérifiez l'adresse du serveur et la "
                              "configuration DNS (%2).")
            .arg(host, technical);
    case Error::ConnectFailed:
        return QStringLiteral("Connexion impossible au serveur SMTP %1. Vérifiez l'adresse du "
                              "serveur, le port et le pare-feu (%2).")
            .arg(server, technical);
    case Error::Timeout:
        return QStringLiteral("Le serveur SMTP %1 ne répond pas dans le délai imparti. Vérifiez "
                              "le serveur, le port et l'option SSL (%2).%3")
            .arg(server, technical, answer);
    case Error::TlsFailed:
        return QStringLiteral("Échec de la connexion SSL/TLS avec le serveur %1 (%2). Vérifiez le "
                              "port et l'option SSL : SSL direct sur le port 465, STARTTLS sur "
                              "les autres ports.")
            .arg(server, technical);
    case Error::StartTlsUnavailable:
        return QStringLiteral("Le serveur %1 ne propose pas STARTTLS alors que SSL est demandé. "
                              "Utilisez le port 465 pour le SSL direct ou désactivez SSL.%2")
            .arg(server, answer);
    case Error::LoginRefused:
        return QStringLiteral("Authentification refusée par le serveur %1. Vérifiez "
                              "l'utilisateur et le mot de passe.%2")
            .arg(server, answer);
    default:
        return QStringLiteral("La communication avec le serveur SMTP %1 a échoué (%2). Vérifiez "
                              "le serveur, le port et l'option SSL.%3")
            .arg(server, technical, answer);
    }
}

// `kind` names the server: "Exchange" or "Microsoft Graph".
QString webText(qint32 code, const QString& kind, const QString& server, const QString& technical) {
    switch (code) {
    case Error::ServerNotFound:
        return QStringLiteral("Serveur %1 introuvable : %2. Vérifiez l'adresse du serveur "
                              "et la configuration DNS (%3).")
            .arg(kind, server, technical);
    case Error::ConnectFailed:
        return QStringLiteral("Connexion impossible au serveur %1 %2. Vérifiez l'adresse "
                              "du serveur et le pare-feu (%3).")
            .arg(kind, server, technical);
    case Error::Timeout:
        return QStringLiteral("Le serveur %1 %2 ne répond pas dans le délai imparti (%3).")
            .arg(kind, server, technical);
    case Error::TlsFailed:
        return QStringLiteral("Échec de la connexion SSL/TLS avec le serveur %1 %2 (%3).")
            .arg(kind, server, technical);
    default:
        return QStringLiteral("Échange interrompu avec le serveur %1 %2 (%3).")
            .arg(kind, server, technical);
    }
}

} // namespace

qint32 CurlErrorNumber(CURLcode result) {
    switch (result) {
    case CURLE_OK:
        return Error::None;
    case CURLE_COULDNT_RESOLVE_HOST:
        return Error::ServerNotFound;
    case CURLE_COULDNT_CONNECT:
        return Error::ConnectFailed;
    case CURLE_OPERATION_TIMEDOUT:
        return Error::Timeout;
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CACERT_BADFILE:
        return Error::CertificateUntrusted;
    case CURLE_SSL_CONNECT_ERROR:
        return Error::TlsFailed;
    case CURLE_USE_SSL_FAILED:
        return Error::StartTlsUnavailable;
    case CURLE_LOGIN_DENIED:
        return Error::LoginRefused;
    case CURLE_ABORTED_BY_CALLBACK: // the transports' progress callbacks stop only on request
        return Error::Aborted;
    default:
        return Error::ConnectionLost;
    }
}

QString CurlTechnicalText(CURLcode result, const char* errorBuffer) {
    const bool buffered = errorBuffer && *errorBuffer;
    return Untrusted::CleanQuoted(
        QString::fromUtf8(buffered ? errorBuffer : curl_easy_strerror(result)));
}

SendOutcome CurlFailure(Peer peer, CURLcode result, const QString& server, const QString& host,
                        const QString& technical, const QString& caFolder, const QString& answer) {
    // A stop request cuts connections: whatever libcurl then says, the send was stopped.
    const qint32 code = AbortRequested() ? Error::Aborted : CurlErrorNumber(result);
    if (code == Error::Aborted)
        return {
            code,
            QStringLiteral("Envoi interrompu par l'arrêt du programme (serveur %1).").arg(server)};
    if (code == Error::CertificateUntrusted)
        return {code, QStringLiteral("Le certificat du serveur %1 n'est pas reconnu (%2). %3")
                          .arg(server, technical, caFolderAdvice(caFolder))};
    if (peer == Peer::Exchange)
        return {code, webText(code, QStringLiteral("Exchange"), server, technical)};
    if (peer == Peer::Graph)
        return {code, webText(code, QStringLiteral("Microsoft Graph"), server, technical)};
    return {code, smtpText(code, server, host, technical, answer)};
}

namespace {
std::optional<SendOutcome> smtpRefusalText(const QString& command, const QString& argument,
                                           const QString& reply, const QString& server,
                                           const QStringList& refused);
} // namespace

namespace {

QString enhancedCode(const QString& reply) {
    static const QRegularExpression code(QStringLiteral("\\b([45]\\.\\d{1,3}\\.\\d{1,3})\\b"));
    return code.match(reply).captured(1);
}

// The text of `table` (enhanced codes, each with its text) for the enhanced code of `reply`,
// "" when none is listed.
struct CodeText {
    const char* codes; // " "-separated
    const char* text;
};
template <size_t N> QString textFor(const QString& reply, const CodeText (&table)[N]) {
    const QString enhanced = enhancedCode(reply);
    if (enhanced.isEmpty())
        return {};
    for (const CodeText& entry : table)
        if (QString::fromLatin1(entry.codes).split(u' ').contains(enhanced))
            return QString::fromUtf8(entry.text);
    return {};
}

// The DNS records a refusal for want of authentication asks for, "" for another refusal.
QString recordsToFix(const QString& reply) {
    static const CodeText records[] = {
        {"5.7.25", "le nom inverse (enregistrement PTR) de l'adresse publique de la station"},
        {"5.7.23", "l'enregistrement SPF du domaine de l'expéditeur, qui doit nommer le serveur "
                   "d'envoi"},
        {"5.7.509", "l'enregistrement DMARC du domaine de l'expéditeur et l'alignement de son "
                    "SPF ou de sa signature DKIM"},
        {"5.7.26 5.7.515 5.7.27",
         "l'enregistrement SPF du domaine de l'expéditeur (qui nomme le serveur d'envoi), sa "
         "signature DKIM et son enregistrement DMARC, alignés"},
    };
    return textFor(reply, records);
}

struct AuthenticationStates {
    std::mutex mutex;
    QHash<QString, QString> said; // destination (lower case) -> records last named
};

AuthenticationStates& authenticationStates() {
    static AuthenticationStates states;
    return states;
}

} // namespace

QString ProviderRefusalAdvice(const QString& reply) {
    static const CodeText advice[] = {
        {"5.4.5", " Le quota d'envoi du compte pour 24 heures est épuisé : le mail attend la fin "
                  "de la période et repartira."},
        {"4.2.1", " Le serveur est surchargé pour l'instant : l'envoi ralentit et reprendra."},
    };
    if (!recordsToFix(reply).isEmpty())
        return QStringLiteral(" Voir VL3_Postique --check-server.");
    return textFor(reply, advice);
}

QString AuthenticationRefusalNotice(const QString& destination, const QString& reply) {
    const QString records = recordsToFix(reply);
    if (records.isEmpty())
        return {};
    AuthenticationStates& states = authenticationStates();
    std::lock_guard lock(states.mutex);
    QString& said = states.said[destination.toLower()];
    if (said == records)
        return {};
    said = records;
    return Untrusted::Clean(
        QStringLiteral("Le serveur %1 refuse les mails de la station faute d'authentification "
                       "(%2) : corrigez dans le DNS %3, puis vérifiez avec VL3_Postique "
                       "--check-server.")
            .arg(destination, enhancedCode(reply), records));
}

void AuthenticationAccepted(const QString& destination) {
    AuthenticationStates& states = authenticationStates();
    std::lock_guard lock(states.mutex);
    states.said.remove(destination.toLower());
}

std::optional<SendOutcome> SmtpRefusal(const QString& command, const QString& argument,
                                       const QString& reply, const QString& server,
                                       const QStringList& refused) {
    std::optional<SendOutcome> out = smtpRefusalText(command, argument, reply, server, refused);
    if (out)
        out->description += ProviderRefusalAdvice(reply);
    return out;
}

namespace {

std::optional<SendOutcome> smtpRefusalText(const QString& command, const QString& argument,
                                           const QString& reply, const QString& server,
                                           const QStringList& refused) {
    const QString answer = ServerAnswerSuffix(reply);
    if (command == u"AUTH")
        return SendOutcome{Error::LoginRefused,
                           QStringLiteral("Authentification refusée par le serveur %1. "
                                          "Vérifiez l'utilisateur et le mot de passe.%2")
                               .arg(server, answer)};
    if (command == u"MAIL")
        return SendOutcome{Error::SenderRefused,
                           QStringLiteral("Le serveur %1 refuse l'expéditeur %2. Vérifiez "
                                          "l'adresse de l'expéditeur et les droits d'envoi du "
                                          "compte.%3")
                               .arg(server, argument, answer)};
    if (command == u"RCPT") {
        // Only an address refused for good is the operator's to check; "451" and the like
        // are the server's own trouble, and the row waits for it.
        const bool forGood = reply.startsWith(u'5') ||
                             std::any_of(refused.cbegin(), refused.cend(), [](const QString& r) {
                                 return r.contains(QStringLiteral(" (5"));
                             });
        return SendOutcome{Error::RecipientRefused,
                           QStringLiteral("Le serveur %1 refuse tous les destinataires : %2.%3")
                               .arg(server, refused.join(QStringLiteral(" ; ")),
                                    forGood ? QStringLiteral(" Vérifiez les adresses des "
                                                             "destinataires.")
                                            : QString())};
    }
    if (command == u"DATA" || command == u".")
        return SendOutcome{Error::DataRefused,
                           QStringLiteral("Le serveur %1 refuse le message (taille, contenu ou "
                                          "pièce jointe).%2")
                               .arg(server, answer)};
    return std::nullopt;
}

} // namespace

SendOutcome SmtpLoginUnavailable(const QString& server) {
    return {Error::LoginUnavailable,
            QStringLiteral("Le serveur %1 ne propose pas d'authentification (AUTH) alors qu'un "
                           "utilisateur et un mot de passe sont renseignés ; le mail n'a pas été "
                           "envoyé. Activez SSL si le serveur n'accepte la connexion authentifiée "
                           "qu'en chiffré, ou désactivez l'authentification.")
                .arg(server)};
}

QString ServerAnswerSuffix(const QString& reply) {
    return reply.isEmpty() ? QString() : QStringLiteral(" Réponse du serveur : %1").arg(reply);
}

} // namespace mail::detail
