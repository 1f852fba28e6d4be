// Direct delivery: when no server is set, each recipient domain's mail exchangers are looked
// up with c-ares and the message is handed to them over SMTP (port 25 unless told otherwise).
#pragma once

#include "mail/engine/mail_component.h"

#include <QString>
#include <QStringList>

namespace mail::detail {

// One mail exchanger of a domain.
struct MxHost {
    int preference = 0;
    QString host;
};

// Outcome of a mail-exchanger look-up.
struct MxLookup {
    qint32 code = Error::None; // None, DnsFailed or NoMailDomain
    QString description;       // French, on failure
    QList<MxHost> hosts;       // by preference; the domain itself when it has no MX
};

// The DNS server to ask: "host:port" from VELMORA_DNS, or "" for the system's.
QString DnsServerSetting();

// The port of the mail exchangers: the one VELMORA_MX_PORT names when set to a valid port
// (tests point it at a loopback sink; a relay host on another port also needs it), else
// `given` (25, the port the mail object keeps when no server is set).
qint32 MailExchangerPort(qint32 given);

// Looks up the mail exchangers of `domain` (RFC 5321: no MX record means the domain's own
// address; a null MX means the domain takes no mail). `timeoutMs` bounds the whole look-up.
MxLookup LookUpMailExchangers(const QString& domain, int timeoutMs);

// The addresses of `host` ("1.2.3.4", "[::1]"), through the same DNS server; empty when it
// has none.
QStringList ResolveHost(const QString& host, int timeoutMs);

// Outcome of a TXT look-up.
struct TxtLookup {
    qint32 code = Error::None; // None; NoMailDomain when the name does not exist; DnsFailed
    QString description;       // French, on failure
    QList<QByteArray> records; // each record's strings joined; empty when the name has none
};

// The TXT records of `name`, through the same DNS server as the MX look-up.
TxtLookup LookUpTxt(const QString& name, int timeoutMs);

// The reverse (PTR) name of the address `address` ("1.2.3.4", "2001:db8::1"); "" when it has
// none or the look-up failed.
QString ReverseName(const QString& address, int timeoutMs);

// Protocol 0 without a server: recipients grouped by domain, one SMTP transaction per domain
// with the first mail exchanger that answers, STARTTLS when offered. The description names
// every domain's outcome. Fails when any domain failed (PartialDelivery when others got it).
class DirectDelivery : public Transport {
public:
    SendOutcome send(const SendJob& job) override;
};

} // namespace mail::detail
