// SMTP through libcurl: plain, STARTTLS and implicit TLS, login, per-recipient outcomes, the
// server's own reply texts, and a small pool of idle sessions reused by consecutive sends.
#pragma once

#include "mail/mail_component.h"

#include <QString>
#include <curl/curl.h>
#include <QStringList>

namespace mail::detail {

// One SMTP delivery target.
struct SmtpTarget {
    ServerSettings server;
    // Direct delivery: STARTTLS when the server offers it, without certificate checks
    // (opportunistic encryption between mail hosts), and no login.
    bool opportunisticTls = false;
    // Addresses to connect to instead of resolving server.host ("1.2.3.4" or "[::1]",
    // comma-separated); empty to resolve normally.
    QString connectAddresses;
};

// The outcome of one SMTP transaction.
struct SmtpReport {
    qint32 code = Error::None;
    QString description;         // French, with the server's reply where there is one
    QStringList refused;         // "address (server reply)" of each refused recipient
    int accepted = 0;            // recipients the server accepted
    bool reachedServer = false;  // a server greeting was received
    bool permanent = false;      // a 5xx refusal of every recipient or of the message
};

// Sends `message` from `from` to `recipients` through `target`. Succeeds when the server
// took the message for at least one recipient; the refused ones are then listed in
// `refused` and named in `description`. Runs on any thread.
SmtpReport SendSmtp(const SmtpTarget& target, const TimeLimits& limits, const QString& caFolder,
                    const QString& from, const QStringList& recipients, const QByteArray& message);

// TLS set-up callback for libcurl (CURLOPT_SSL_CTX_FUNCTION) shared by the transports: adds
// the PEM certificates of the folder given as CURLOPT_SSL_CTX_DATA (a const QString*, the
// "CA" folder; may be empty) to the connection's trust store, beside the system's own.
CURLcode sslContextCallback(CURL*, void* sslContext, void* user);

// Protocol 0 with a server: one SMTP transaction.
class SmtpTransport : public Transport {
public:
    SendOutcome send(const SendJob& job) override;
};

// The port on which connection mode 1 means TLS from the first byte (465). Tests move it to
// the port of their server.
void SetImplicitTlsPort(qint32 port);

// Number of SMTP connections opened since the process started (diagnostics and bench).
int ConnectionsOpened();

} // namespace mail::detail
