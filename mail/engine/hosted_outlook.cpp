// The deadlines of hosted mail as the provider published them: SMTP submission with a password
// refused by default from 31/12/2026, EWS online gone on 01/04/2027 (blocked since 01/10/2026
// but for listed apps), High Volume Email keeping passwords until September 2028.
#include "mail/engine/hosted_outlook.h"

#include "mail/engine/mail_component.h"

namespace mail {

namespace {

const QString kWorks = QStringLiteral("fonctionne après le 31/12/2026 et après le 01/04/2027");

bool isOnline(const QString& host) {
    return host.endsWith(QStringLiteral(".office365.com")) ||
           host.endsWith(QStringLiteral(".outlook.com")) ||
           host == QStringLiteral("outlook.office.com");
}

} // namespace

HostedOutlook HostedOutlookOf(qint32 protocol, const QString& hostText, bool auth, bool oauth) {
    const QString host = hostText.trimmed().toLower();
    HostedOutlook o;
    const auto say = [&](const QString& path, bool breaks, const QString& fate) {
        o.path = path;
        o.breaks = breaks;
        o.verdict = path + QStringLiteral(" : ") + fate + u'.';
    };
    switch (protocol) {
    case Protocol::Graph:
        say(QStringLiteral("Microsoft Graph"), false, kWorks);
        break;
    case Protocol::ExchangeWebService:
        if (isOnline(host))
            say(QStringLiteral("Exchange Web Services en ligne (%1)").arg(host), true,
                QStringLiteral("bloqué depuis le 01/10/2026 sauf pour les applications "
                               "autorisées, arrêté le 01/04/2027 — choisissez Microsoft Graph"));
        else if (!host.isEmpty())
            say(QStringLiteral("Exchange Web Services sur site (%1)").arg(host), false,
                kWorks + QStringLiteral(" ; identification Negotiate (Kerberos), NTLM ou, "
                                        "en SSL, de base, selon ce que propose le serveur"));
        break;
    case Protocol::ExchangeWebDav:
        if (isOnline(host))
            say(QStringLiteral("Exchange WebDAV en ligne (%1)").arg(host), true,
                QStringLiteral("n'existe pas en ligne — choisissez Microsoft Graph"));
        else if (!host.isEmpty())
            say(QStringLiteral("Exchange WebDAV sur site (%1)").arg(host), false,
                QStringLiteral("non concerné par ces échéances"));
        break;
    default:
        if (host == QStringLiteral("smtp-hve.office365.com"))
            say(QStringLiteral("High Volume Email (%1)").arg(host), false,
                kWorks + QStringLiteral(" (mot de passe accepté jusqu'en septembre 2028), pour "
                                        "des destinataires de l'organisation seulement"));
        else if (isOnline(host) && auth && oauth)
            say(QStringLiteral("%1 avec OAuth 2.0").arg(host), false, kWorks);
        else if (isOnline(host) && auth)
            say(QStringLiteral("%1 avec un mot de passe").arg(host), true,
                QStringLiteral("refusé par défaut à partir du 31/12/2026 (un administrateur peut "
                               "encore le rétablir pour un temps) — choisissez OAuth 2.0 ou "
                               "Microsoft Graph"));
        break;
    }
    return o;
}

} // namespace mail
