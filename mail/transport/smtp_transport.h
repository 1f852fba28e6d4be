// One SMTP transfer through libcurl: plain, STARTTLS and implicit TLS, login, per-recipient
// outcomes and the server's own reply texts, on a session taken from the pool of idle ones.
#pragma once

#include "mail/engine/c_handles.h"
#include "mail/engine/destinations.h"
#include "mail/engine/mail_component.h"

#include <QString>
#include <QStringList>

namespace mail::detail {

// One SMTP delivery target.
struct SmtpTarget {
    ServerSettings server;
    // Direct delivery: STARTTLS when the server offers it, without certificate checks
    // (opportunistic encryption between mail hosts), and no login.
    bool opportunisticTls = false;
    // With opportunisticTls: STARTTLS required and the certificate verified for the host name
    // (a domain whose MTA-STS policy is "enforce").
    bool verifiedTls = false;
    // Addresses to connect to instead of resolving server.host ("1.2.3.4" or "[::1]",
    // comma-separated); empty to resolve normally.
    QString connectAddresses;
    // The envelope id of delivery status notifications (SendJob::envelopeId), "" for none.
    QString envelopeId;
};

// The outcome of one SMTP transaction.
struct SmtpReport {
    qint32 code = Error::None;
    QString description;                 // French, with the server's reply where there is one
    QStringList refused;                 // "address (server reply)" of each refused recipient
    int accepted = 0;                    // recipients the server accepted
    bool reachedServer = false;          // a server greeting was received
    bool permanent = false;              // a 5xx refusal of every recipient or of the message
    QStringList deferred;                // addresses refused for a while (4xx) while others took it
    QStringList served;                  // addresses taken or refused for good
    Throttle throttled = Throttle::None; // a reply asked to slow down
    bool notAttempted = false; // the destination rests: nothing was sent (see destinations.h)
    // Counted as sent although the server's answer never came: the whole message went out
    // and a stop ended the wait for it (code Error::None, the description says so).
    bool unconfirmed = false;
    QString notice;       // a line for the operator about the destination (see DestinationSlot)
    qint64 retryAtMs = 0; // notAttempted because the day's recipient budget is spent: until then
    // Addresses the server would not take in this transaction because it had enough
    // recipients ("452 4.5.3"): they go in the next one at once.
    QStringList overflow;
    // The server refused because the account's quota for 24 hours is spent (5.4.5).
    bool quotaSpent = false;
    QString refusalReply; // the server's refusal that ended the transaction, cleaned
    ServerReply reply;    // the answer to the message, or the refusal that ended it
    QHash<QString, ServerReply> recipientReplies; // refused recipients (lower case) -> answer
};

// What a session with a target takes, beyond what is set on the handle.
struct SmtpSetup {
    bool implicitTls = false; // TLS from the first byte (smtps://)
    bool bearer = false;      // OAuth 2.0: an access token instead of the password
    bool login = false;       // AUTH after EHLO
    QByteArray url;           // smtp[s]://host:port/ehlo-name
    CurlList resolve;         // the connect address: must outlive the transfer
};

// Sets on `curl` what a send and the settings check share for a session with `target`: the
// URL with this machine's EHLO name, the login (password or token), TLS and the trust of
// `caFolder` (which must outlive the transfer), the connect address and the time limits of
// `limits`. Returns what the caller's conversation needs to know. Never fails.
SmtpSetup ApplySmtpSetup(CURL* curl, const SmtpTarget& target, const TimeLimits& limits,
                         const QString& caFolder);

// Sends `message` from `from` to `recipients` through `target`. Succeeds (code Error::None)
// when the server took the message for at least one recipient; the refused ones are then
// listed in `refused` and named in `description`. Otherwise the code is one of
// Error::ServerNotFound, ConnectFailed, Timeout, ConnectionLost, TlsFailed,
// CertificateUntrusted, StartTlsUnavailable, LoginRefused, LoginUnavailable, SenderRefused,
// RecipientRefused, DataRefused or Internal, with the operator's text. `caFolder` is the
// native folder of extra trusted CA certificates ("" for none). Runs on any thread.
SmtpReport SendSmtp(const SmtpTarget& target, const TimeLimits& limits, const QString& caFolder,
                    const QString& from, const QStringList& recipients, const QByteArray& message);

// Protocol 0 with a server: one SMTP transaction.
class SmtpTransport : public Transport {
public:
    SendOutcome send(const SendJob& job) override;
};

// The port on which connection mode 1 means TLS from the first byte (465). Tests move it to
// the port of their server.
void SetImplicitTlsPort(qint32 port);
// The port on which connection mode 1 means TLS from the first byte.
qint32 ImplicitTlsPort();

// Number of SMTP connections opened since the process started (diagnostics and bench).
int ConnectionsOpened();

} // namespace mail::detail
