// One mail from its six fields and the sending settings: built on a fresh mail object, sent
// (or handed to the job's sending worker), and every problem told through the caller's feedback.
#include "station/mail_builder.h"

#include "automation/jobs/incidents.h"
#include "mail/engine/hosted_outlook.h"
#include "mail/engine/mail_component.h"
#include "mail/engine/native_path.h"
#include "mail/engine/protocols.h"
#include "mail/mime/dkim.h"
#include "mail/transport/sender_checks.h"
#include "station/addresses.h"
#include "station/charsets.h"
#include "station/settings_store.h"
#include "system/error_reporting.h"
#include "system/files.h"
#include "system/globals.h"
#include "system/stop_points.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QEventLoop>
#include <QFileInfo>
#include <QThread>

#include <algorithm>
#include <map>
#include <mutex>
#include <optional>
#include <thread>

namespace Sending {

QString ReplacePlaceholders(QString body, const QString& from, const QString& to,
                            const QString& subject) {
    body.replace(QStringLiteral("[$from]"), from, Qt::CaseSensitive);
    body.replace(QStringLiteral("[$to]"), to, Qt::CaseSensitive);
    body.replace(QStringLiteral("[$subject]"), subject, Qt::CaseSensitive);
    return body;
}

QString ProviderLoginHint(const QString& server) {
    // Gmail (smtp.gmail.com) stopped accepting the account's own password for mail programs:
    // Google turned off "less secure app" access, so a login with the normal password is
    // refused even when it is right. What works for a station:
    //  - Turn on 2-Step Verification on the Google account (Google Account > Security).
    //  - Create an app password for this program (Google Account > Security > 2-Step
    //    Verification > App passwords), a 16-letter code shown once.
    //  - On the settings page: "Utilisateur" = the full Gmail address, "Mot de passe" = the
    //    app password (without its spaces), server smtp.gmail.com, port 587 and
    //    "Le serveur requiert une connexion SSL" ticked (or port 465).
    //  - For a Google Workspace domain, the administrator must allow app passwords
    //    (Admin console > Security), or set up the Workspace SMTP relay
    //    (smtp-relay.gmail.com, allowed by the station's public IP address, no login).
    // An app password stops working when the account's password is changed: create a new one.
    if (server.contains(QStringLiteral("gmail.com"), Qt::CaseInsensitive))
        return QStringLiteral("Gmail doesn't support user/password login, please create app "
                              "password, see comments in the source codes");
    // Office 365 / Exchange Online (smtp.office365.com) refuses user/password logins unless
    // the tenant still allows them: Microsoft switches off basic authentication and expects
    // modern authentication (OAuth 2.0), and new tenants have SMTP AUTH disabled and
    // "security defaults" on. A tenant administrator can, while Microsoft still allows it:
    //  - enable "Authenticated SMTP" for the sending mailbox (Microsoft 365 admin center >
    //    Users > Active users > the user > Mail > Manage email apps), or for the whole
    //    organisation with the Exchange Online PowerShell command
    //    Set-TransportConfig -SmtpClientAuthenticationDisabled $false;
    //  - make sure security defaults or a conditional-access policy do not block legacy
    //    authentication for that account, and that the account has no multi-factor prompt
    //    (or use an app password where the tenant allows them).
    // Changes can take an hour to apply. Where password login cannot be turned on, send
    // through an Exchange Online connector instead: server <domain>-<tld>.mail.protection.
    // outlook.com (the domain's MX host), port 25, no login, with an inbound connector that
    // accepts the station's public IP address; or choose the protocol "Exchange Web Service"
    // if the tenant still allows it for this mailbox.
    if (server.contains(QStringLiteral("office365.com"), Qt::CaseInsensitive))
        return QStringLiteral("It is possible that Office 365 disabled password login in your "
                              "tenant, see comments in the source codes");
    return QString();
}

const CopyRecord* CurrentCopyRecord() {
    const automation::JobContext* job = automation::currentJob();
    return job ? job->copies : nullptr;
}

} // namespace Sending

namespace {

const QString kLabel = QStringLiteral("Frm_Main:SendEmail");

QString TrimSpaces(QString text) {
    Addresses::FnTrim(text, QStringLiteral(" "));
    return text;
}

// Why the key published under the signer's selector is not its key ("" when it is, or when
// the DNS cannot tell: the receivers' own look-up decides then). Asked of the DNS off the
// window's thread, and at most once an hour per key while it matches (every five minutes
// while it does not), so a job of thousands of rows asks once.
QString PublishedKeyProblem(const mail::dkim::Signer& signer) {
    struct Entry {
        QString problem;
        QDeadlineTimer fresh;
    };
    // The window's thread (a test send) and the job loop's share what is known.
    static std::mutex knownMutex;
    static std::map<QByteArray, Entry> known;
    const auto problemOf = [&signer](const QByteArray& selector, const QByteArray& key,
                                     const char* setting) {
        const QString name = QString::fromLatin1(selector + "._domainkey." + signer.domain());
        const QByteArray cacheKey = name.toLatin1() + ' ' + key;
        {
            std::lock_guard lock(knownMutex);
            auto it = known.find(cacheKey);
            if (it != known.end() && !it->second.fresh.hasExpired())
                return it->second.problem;
        }
        const int timeoutMs =
            int(std::min<qint64>(mail::DefaultTimeLimits().connect.count(), 10000));
        mail::PublishedKey verdict = mail::PublishedKey::Unknown;
        const auto lookUp = [&] { verdict = mail::CheckPublishedKey(name, key, timeoutMs); };
        QCoreApplication* app = QCoreApplication::instance();
        if (app && QThread::currentThread() == app->thread()) {
            QEventLoop loop;
            std::thread worker([&] {
                lookUp();
                QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
            });
            loop.exec();
            worker.join();
        } else {
            lookUp();
        }
        QString problem;
        // A short line naming the selector: the record to publish (some hundred characters)
        // is given by the server check.
        if (verdict == mail::PublishedKey::Missing)
            problem = QStringLiteral("Aucune clé DKIM n'est publiée sous %1 (%2) : publiez "
                                     "l'enregistrement TXT que donne « VL3_Postique "
                                     "--check-server ».")
                          .arg(name, QString::fromLatin1(setting));
        else if (verdict == mail::PublishedKey::Differs)
            problem = QStringLiteral("La clé DKIM publiée sous %1 ne correspond pas à la clé "
                                     "privée %2 : publiez l'enregistrement TXT que donne "
                                     "« VL3_Postique --check-server » ou renseignez la bonne "
                                     "clé.")
                          .arg(name, QString::fromLatin1(setting));
        std::lock_guard lock(knownMutex);
        known[cacheKey] = {problem, QDeadlineTimer(problem.isEmpty() ? 3600000 : 300000)};
        return problem;
    };
    QString problem = problemOf(signer.selector(), signer.rsaPublicKey(), "Cle");
    if (problem.isEmpty() && !signer.ed25519PublicKey().isEmpty())
        problem = problemOf(signer.ed25519Selector(), signer.ed25519PublicKey(), "CleEd25519");
    return problem;
}

// A warning that does not stop the mail is written once for as long as it stays the same,
// not once per row of every job.
bool FirstTime(const QString& warning) {
    static std::mutex mutex;
    std::lock_guard lock(mutex);
    static QString last;
    if (warning == last)
        return false;
    last = warning;
    return true;
}

} // namespace

QString Sending::TrustedCaFolder() {
    static std::mutex mutex;
    static QString lastSettings;
    static QString lastFolder;
    static QDeadlineTimer fresh(0);
    const QString settings = Lib_Public::DossierSettingsProgramme;
    std::lock_guard lock(mutex);
    if (settings == lastSettings && !fresh.hasExpired())
        return lastFolder;
    QString folder;
    if (!settings.isEmpty()) {
        const QString native = mail::detail::NativePath(settings + QStringLiteral("CA"));
        folder = native.isEmpty() ? QString() : QDir::cleanPath(native);
    }
    // An executable shared by several installations may carry authorities for all of them
    // beside it; the installation's own folder comes first.
    const QString beside =
        Lib_Public::DossierApplication.isEmpty()
            ? QString()
            : Lib_Public::DossierApplication + QStringLiteral("Settings\\VL3_Postique\\");
    if (!beside.isEmpty() && beside.compare(settings, Qt::CaseInsensitive) != 0) {
        const QString native = mail::detail::NativePath(beside + QStringLiteral("CA"));
        if (!native.isEmpty() && QFileInfo(native).isDir())
            folder +=
                (folder.isEmpty() ? QString() : QStringLiteral("\n")) + QDir::cleanPath(native);
    }
    lastSettings = settings;
    lastFolder = folder;
    fresh.setRemainingTime(5000);
    return folder;
}

std::shared_ptr<const mail::dkim::Signer> Sending::DkimSigner(const DkimSettings::Section& section,
                                                              QString& error) {
    error = section.refusal;
    if (!error.isEmpty())
        return nullptr;
    if (section.domain.isEmpty() || section.selector.isEmpty() || section.key.isEmpty()) {
        error = QStringLiteral("La section [DKIM] des réglages est incomplète : renseignez "
                               "Domaine, Selecteur et Cle (le fichier de la clé privée).");
        return nullptr;
    }
    return mail::dkim::Signer::Load({section.domain, section.selector, section.key,
                                     section.keyEd25519, section.selectorEd25519},
                                    error);
}

qint16 Sending::BuildAndSend(const MailRequest& request, const Feedback& feedback) {
    using Lib_Public::Trap;
    const auto report = [&](const QString& text) { feedback.report(text); };
    const station::MailFields& fields = request.fields;
    const qint16 Manuel = request.interactive ? True : False;

    // 1. Fresh outcome.
    qint16 Abandon = False;
    Verdict verdict;
    const auto failed = [&verdict](Outcome outcome, const QString& reason) {
        if (verdict.outcome == Outcome::Sent || outcome == Outcome::Transient)
            verdict = {outcome, reason};
    };

    // 2. A new mail object for this send only.
    std::optional<mail::MailMessage> mail;
    Trap(kLabel, [&] {
        mail.emplace();
        mail->setTrustedCaFolder(TrustedCaFolder());
    });

    // 3. Sender, recipient lists and server. An automatic send uses the saved settings, never
    // what the page holds unsaved.
    const station::SendingSettings& settings = request.settings;
    QString sender, to, cc, bcc, server;
    Trap(kLabel, [&] { sender = TrimSpaces(settings.from); });
    to = TrimSpaces(fields.to).replace(';', ',');
    cc = TrimSpaces(fields.cc).replace(';', ',');
    bcc = TrimSpaces(fields.cci).replace(';', ',');
    Trap(kLabel, [&] { server = TrimSpaces(settings.server); });

    const auto onMail = [&](const std::function<void(mail::MailMessage&)>& step) {
        Trap(kLabel, [&] {
            if (!mail)
                throw Lib_Public::RunTimeError(91, QStringLiteral("Object variable not set"));
            step(*mail);
        });
    };

    // 5. Server, default port, protocol and plain connection mode.
    onMail([&](mail::MailMessage& m) { m.setServer(server); });
    onMail([&](mail::MailMessage& m) { m.setPort(25); });
    onMail([&](mail::MailMessage& m) { m.setProtocol(settings.protocol); });
    onMail([&](mail::MailMessage& m) { m.setConnectionMode(mail::ConnectionMode::Default); });

    // 6. Port, login and SSL only apply to a named server or a protocol with a default one;
    //    direct delivery uses none.
    const mail::ProtocolInfo* protocol = mail::FindProtocol(settings.protocol);
    if (!server.isEmpty() || (protocol && !protocol->emptyServerMeansDirect)) {
        onMail([&](mail::MailMessage& m) {
            bool ok = false;
            const int port = settings.port.trimmed().toInt(&ok);
            if (!ok || port <= 0 || port > 65535)
                throw Lib_Public::RunTimeError(
                    13, QStringLiteral("Type mismatch (port \"%1\")").arg(settings.port));
            m.setPort(port);
        });
        if (settings.auth) {
            onMail([&](mail::MailMessage& m) { m.setUserName(TrimSpaces(settings.user)); });
            // OAuth 2.0 replaces the password by a token when it is the chosen method.
            if (const auto& oauth = request.oauthLogin)
                onMail([&](mail::MailMessage& m) { m.setOAuthLogin(oauth); });
            else
                onMail([&](mail::MailMessage& m) { m.setPassword(TrimSpaces(settings.password)); });
        }
        if (settings.ssl)
            onMail([&](mail::MailMessage& m) { m.setConnectionMode(mail::ConnectionMode::Ssl); });
        // Exchange's login method and the station's Kerberos keys, whatever the login box says:
        // Negotiate needs no password.
        onMail([&](mail::MailMessage& m) { m.setExchangeLogin(ExchangeLoginSettings::Read()); });
    }

    // 7. Character set of the chosen row (as saved, for an automatic send); with no row
    // chosen the component keeps its default.
    onMail([&](mail::MailMessage& m) {
        const int row = settings.charset;
        if (row < 0 || row >= static_cast<int>(Charsets.size()))
            throw Lib_Public::RunTimeError(9, QStringLiteral("Subscript out of range"));
        m.setCharset(CharsetIdentifier(row));
    });

    // 8. Sender name and address.
    QString senderName, senderAddress;
    Addresses::FnParseAddr(sender, senderName, senderAddress);
    onMail([&](mail::MailMessage& m) { m.setSenderName(senderName); });
    onMail([&](mail::MailMessage& m) { m.setSenderAddress(senderAddress); });

    // 9. Signing: the sender's own certificate, with its private key, from the personal store.
    onMail([&](mail::MailMessage& m) { m.signerCertificate().clear(); });
    if (settings.sign) {
        onMail([&](mail::MailMessage& m) {
            mail::Certificate& signer = m.signerCertificate();
            if (!signer.findBySubject(senderAddress, mail::CurrentUserStore,
                                      QStringLiteral("my"))) {
                report(signer.lastErrorText() + QLatin1Char(':') + senderAddress);
                Abandon = True;
                failed(Outcome::Transient,
                       signer.lastErrorText() + QLatin1Char(':') + senderAddress);
            }
        });
        onMail([&](mail::MailMessage& m) {
            if (!m.signerCertificate().hasPrivateKey()) {
                report(QStringLiteral("Signer certificate has not private key, this certificate "
                                      "can not be used to sign email!"));
                Abandon = True;
                failed(Outcome::Transient,
                       QStringLiteral("signer certificate without private key"));
            }
        });
    }

    // 10. DKIM signature when the settings ask for one. A key that cannot be used holds the
    // mail back (the row waits) unless the settings allow unsigned mail.
    if (Abandon != True) {
        Trap(kLabel, [&] {
            const DkimSettings::Section section = DkimSettings::Read();
            if (!section.asked())
                return;
            QString error;
            auto signer = DkimSigner(section, error);
            if (signer) {
                error = PublishedKeyProblem(*signer);
                if (!error.isEmpty())
                    signer.reset();
            }
            if (!signer && section.required) {
                const QString held = error + QStringLiteral(" Le mail n'est pas envoyé sans "
                                                            "signature DKIM (Obligatoire=1).");
                // A job's row says it once, in its own waiting line.
                if (Manuel == True || !automation::currentJob())
                    report(held + QStringLiteral(" Il repartira une fois la clé corrigée."));
                Abandon = True;
                failed(Outcome::Transient, held);
                return;
            }
            if (!signer) {
                if (FirstTime(error))
                    report(error + QStringLiteral(" Les mails partent sans signature DKIM "
                                                  "(Obligatoire=0)."));
                return;
            }
            if (!mail::dkim::Aligned(section.domain, senderAddress)) {
                const QString warning =
                    QStringLiteral("Le domaine DKIM %1 n'est ni celui de l'expéditeur %2 ni un "
                                   "domaine parent : les destinataires appliquant DMARC "
                                   "rejetteront ou classeront ces mails en indésirables. "
                                   "Signez avec le domaine de l'adresse d'envoi.")
                        .arg(section.domain, senderAddress);
                if (FirstTime(warning))
                    report(warning);
            }
            onMail([&](mail::MailMessage& m) { m.setDkimSigner(signer); });
        });
    }

    if (Abandon != True) {
        // 11. Recipients, each list as one comma-separated text.
        onMail([&](mail::MailMessage& m) { m.addRecipients(to, 0); });
        onMail([&](mail::MailMessage& m) { m.addRecipients(cc, 1); });
        onMail([&](mail::MailMessage& m) { m.addRecipients(bcc, 2); });

        // 12. Attachments named in the form: existing, non-empty files only, silently.
        Trap(kLabel, [&] {
            const QString named = TrimSpaces(fields.attachments);
            if (named.isEmpty())
                return;
            for (const QString& piece : named.split(QLatin1Char(';'))) {
                const QString path = TrimSpaces(piece);
                if (path.isEmpty() || !Lib_Systeme::File_Exist(path, kLabel, true))
                    continue;
                onMail([&](mail::MailMessage& m) {
                    if (m.addAttachment(path) == 0)
                        return;
                    if (Manuel == True) {
                        report(QStringLiteral("Impossible de joindre la PJ: ") + path +
                               QStringLiteral("\r\n\r\nErr: ") +
                               QString::number(m.lastErrorCode()) + QLatin1Char(':') +
                               m.lastErrorDescription());
                        return;
                    }
                    // An automatic mail never goes without its row's attachment: the row
                    // waits (its line says why) and the file is kept.
                    Abandon = True;
                    failed(Outcome::Transient, QStringLiteral("Impossible de joindre la PJ: ") +
                                                   path + QStringLiteral(" (") +
                                                   m.lastErrorDescription() + QLatin1Char(')'));
                });
            }
        });

        // 13. Every recipient in one list, and the To-and-Cc text for "[$to]".
        QString combined = to + QLatin1Char(',') + cc + QLatin1Char(',') + bcc;
        Addresses::FnTrim(combined, QStringLiteral(","));
        const QString toAndCc = to + QLatin1Char(',') + cc;

        // High Volume Email delivers inside the organisation only (550 5.5.105 for anyone
        // else): a mail with an outside recipient waits instead of going out to fail.
        if (server.compare(QLatin1String(mail::kHighVolumeHost), Qt::CaseInsensitive) == 0) {
            QStringList accepted = HveSettings::Domains();
            accepted << senderAddress.section(QLatin1Char('@'), 1).toLower();
            QStringList outside;
            for (QString entry : Addresses::SplitEx(combined, QLatin1Char(','))) {
                Addresses::FnTrim(entry, Addresses::kListEntrySet);
                QString displayName, address;
                Addresses::FnParseAddr(entry, displayName, address);
                if (!address.isEmpty() &&
                    !accepted.contains(address.section(QLatin1Char('@'), 1).toLower()))
                    outside << address;
            }
            if (!outside.isEmpty()) {
                const QString text =
                    QStringLiteral("Le serveur High Volume Email %1 ne remet qu'aux destinataires "
                                   "de l'organisation (il répondrait 550 5.5.105) : %2. Ajoutez "
                                   "leur domaine à [HVE] Domaines= s'il appartient à "
                                   "l'organisation, ou choisissez un autre serveur.")
                        .arg(server, outside.join(QStringLiteral(" ; ")));
                report(text);
                Abandon = True;
                failed(Outcome::Transient, text);
            }
        }

        // 14. Encryption: a certificate for every recipient, other people's store first.
        // Every recipient is looked up, so one send reports every missing certificate.
        onMail([&](mail::MailMessage& m) { m.recipientCertificates().clear(); });
        if (settings.encrypt && Abandon != True) {
            std::optional<mail::Certificate> certificate;
            for (QString entry : Addresses::SplitEx(combined, QLatin1Char(','))) {
                Addresses::FnTrim(entry, Addresses::kListEntrySet);
                if (entry.isEmpty())
                    continue;
                // A certificate names a bare address; an entry may carry a display name.
                QString displayName, address;
                Addresses::FnParseAddr(entry, displayName, address);
                onMail([&](mail::MailMessage& m) {
                    if (!certificate)
                        certificate.emplace();
                    if (!certificate->findBySubject(address, mail::CurrentUserStore,
                                                    QStringLiteral("AddressBook")) &&
                        !certificate->findBySubject(address, mail::CurrentUserStore,
                                                    QStringLiteral("my"))) {
                        report(certificate->lastErrorText() + QLatin1Char(':') + entry);
                        Abandon = True;
                        // No certificate for this recipient: this mail cannot be encrypted.
                        failed(Outcome::Permanent,
                               certificate->lastErrorText() + QLatin1Char(':') + entry);
                        return;
                    }
                    m.recipientCertificates().add(*certificate);
                });
            }
        }

        // 16. Files picked on the compose panel (all but the empty last slot), for the
        // compose panel's own mails only: an automatic mail carries its row's attachment and
        // nothing else. A refused file abandons the mail: the operator asked for it.
        if (Abandon != True) {
            Trap(kLabel, [&] {
                for (const QString& path : request.pickedAttachments) {
                    onMail([&](mail::MailMessage& m) {
                        if (m.addAttachment(path) != 0) {
                            report(m.lastErrorDescription() + QLatin1Char(':') + path);
                            Abandon = True;
                            failed(Outcome::Transient,
                                   m.lastErrorDescription() + QLatin1Char(':') + path);
                        }
                    });
                }
            });
        }

        if (Abandon != True) {
            // 18. Subject and body as typed; the body's placeholders filled in.
            const QString& subject = fields.subject;
            const QString body = ReplacePlaceholders(fields.body, sender, toAndCc, subject);
            onMail([&](mail::MailMessage& m) { m.setSubject(kSubjectPrefix + subject); });
            onMail([&](mail::MailMessage& m) { m.setBody(body); });
            if (!request.deliveryStatus.isEmpty())
                onMail([&](mail::MailMessage& m) { m.setDeliveryStatus(request.deliveryStatus); });

            if (server.isEmpty() && combined.indexOf(QLatin1Char(','), 1) > 0) {
                // 19. No server and several recipients: one direct copy per recipient, each
                // reported on its own. The mail counts as abandoned only when a copy failed.
                onMail([&](mail::MailMessage& m) {
                    Verdict copies;
                    if (!SendCopies(m, combined, request.interactive, feedback, &copies))
                        Abandon = True;
                    if (copies.outcome != Outcome::Sent)
                        failed(copies.outcome, copies.reason);
                });
            } else {
                // 20. Send; an automatic send of a job goes to the job's sending worker.
                onMail([&](mail::MailMessage& m) {
                    const automation::JobContext* job = automation::currentJob();
                    if (Manuel != True && job && job->handOver) {
                        // A row retried for some of its recipients goes to those only.
                        if (const CopyRecord* record = CurrentCopyRecord();
                            record && record->alreadySent)
                            m.setEnvelopeFilter(record->alreadySent);
                        if (const CopyRecord* record = CurrentCopyRecord())
                            m.setEnvelopeId(record->envelopeId);
                        if (auto detached = m.detach()) {
                            job->handOver(std::move(detached), server);
                            return;
                        }
                    } else if (m.send() == 0) {
                        // Sent, but not to everybody: the refused addresses are named (the
                        // text says it was sent).
                        if (!m.refusedRecipients().isEmpty())
                            report(m.lastErrorDescription());
                        else if (Manuel == True && feedback.inform)
                            feedback.inform(QStringLiteral("Mail envoyé."));
                        return;
                    }
                    Abandon = True;
                    failed(m.lastErrorPermanent() ? Outcome::Permanent : Outcome::Transient,
                           m.lastErrorDescription());
                    report(m.lastErrorDescription());
                    // The password hints do not apply to a token login.
                    if (const QString hint =
                            request.oauthLogin ? QString() : ProviderLoginHint(server);
                        !hint.isEmpty())
                        report(hint);
                });
            }
        }
    }

    // 22. Every path ends here: the mail object released.
    // An operator's send while a job runs is not the job's.
    if (automation::JobContext* job = automation::currentJob(); job && Manuel != True)
        job->verdict = verdict;
    mail.reset();
    return Abandon;
}

bool Sending::SendCopies(mail::MailMessage& mail, const QString& recipients, bool interactive,
                         const Feedback& feedback, Verdict* outcome) {
    const QString label = QStringLiteral("Frm_Main:DirectSend");
    // The copy record belongs to the job row being sent: an operator's own send meanwhile
    // (the compose panel) is neither skipped by it nor recorded in it.
    const CopyRecord* record = interactive ? nullptr : CurrentCopyRecord();
    bool allSent = true;
    bool anySent = false;
    bool anyTransient = false;
    QString firstReason;
    Lib_Public::Trap(label, [&] {
        for (QString token : Addresses::SplitEx(recipients, QLatin1Char(','))) {
            Addresses::FnTrim(token, Addresses::kListEntrySet);
            if (token.isEmpty())
                continue;
            if (record && record->alreadySent && record->alreadySent(token)) {
                anySent = true; // went out before this row was interrupted
                continue;
            }
            Lib_Public::Trap(label, [&] {
                mail.clearRecipients();
                mail.addRecipients(token, 0);
                if (interactive && feedback.status) // an automatic send leaves the window alone
                    feedback.status(QStringLiteral("Envoi du mail à ") + token +
                                    QStringLiteral(", Patientez ... "));
                const qint32 sent = mail.send();
                if (record && record->noteReply)
                    record->noteReply(token, mail.lastReply());
                if (sent != 0) {
                    allSent = false;
                    if (!mail.lastErrorPermanent())
                        anyTransient = true;
                    const QString text = QStringLiteral("Echec de l'envoi du mail à ") + token +
                                         QStringLiteral(" : ") + mail.lastErrorDescription();
                    if (firstReason.isEmpty() || (anyTransient && !mail.lastErrorPermanent()))
                        firstReason = text;
                    if (record && record->noteRefused)
                        record->noteRefused(token, mail.lastErrorPermanent(), text);
                    else
                        feedback.report(text);
                } else {
                    anySent = true;
                    if (record && record->noteSent) {
                        StopPoints::reach("answered");
                        record->noteSent(token);
                    }
                    if (interactive && feedback.inform)
                        feedback.inform(QStringLiteral("Mail envoyé avec succès à ") + token);
                }
            });
            // A stop request, or a copy that could not be recorded, leaves the remaining
            // copies for the next run.
            if (mail::AbortRequested() || (record && record->stopped && record->stopped())) {
                allSent = false;
                anyTransient = true;
                break;
            }
        }
    });
    if (outcome) {
        if (allSent)
            *outcome = {};
        else if (anyTransient)
            *outcome = {Outcome::Transient, firstReason};
        else if (anySent)
            *outcome = {}; // only permanent refusals, each reported: the others got it
        else
            *outcome = {Outcome::Permanent, firstReason};
    }
    return allSent;
}
