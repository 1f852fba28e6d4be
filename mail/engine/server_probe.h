// The check of the sending settings without sending: connects as a send would (TLS and
// certificate check, login), tells what the server offers, and sends no mail.
#pragma once

#include "mail/engine/mail_component.h"

#include <QString>
#include <QStringList>

namespace mail {

// What to check: the same values a send takes from the settings page.
struct ProbeSettings {
    ServerSettings server; // empty host: direct delivery
    qint32 protocol = Protocol::Smtp;
    QString senderAddress; // the sender's bare address
    TimeLimits limits;
    QString caFolder; // native folder of extra trusted CA certificates, may be ""
    // The DKIM signer the settings load (null for none), or why the [DKIM] section cannot be
    // used; either adds the check of the published key.
    std::shared_ptr<const dkim::Signer> dkim;
    QString dkimProblem;
    // An address whose domain's MTA-STS policy the check reports; may be "".
    QString testRecipient;
};

// What the check found.
struct ProbeReport {
    qint32 code = Error::None; // Error::None when a mail could be sent with these settings
    QString description;       // on failure, the French text an incident line would carry
    QStringList facts;         // what was learnt, one French line each, in order
};

// Runs the check; blocks the calling thread (at most the time limits per connection). SMTP:
// connection, STARTTLS or TLS with the certificate check, EHLO, login when set, then NOOP and
// QUIT. Direct delivery: the mail exchangers of the sender's domain looked up and the first
// that answers greeted the same way (port 25 or VELMORA_MX_PORT, STARTTLS when offered).
// Exchange Web Services: a GetFolder of the inbox; WebDAV: a PROPFIND of the mailbox folder,
// both logged in, with the login method used (Negotiate (Kerberos), NTLM, Basic) among the
// facts; Microsoft Graph: a sendMail without a message, which Graph refuses once it
// has accepted the token and the rights. Then what large providers look at
// (mail/transport/sender_checks.h): for direct delivery the public address, its reverse name
// and the sender domain's SPF record, and with DKIM the published key. Never fails: problems
// are in the report.
ProbeReport ProbeServer(const ProbeSettings& settings);

} // namespace mail
