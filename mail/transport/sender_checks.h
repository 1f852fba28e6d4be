// What large mailbox providers look at before they accept a station's mail, checked without
// sending anything: public address and reverse name, SPF, and the published DKIM key.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <memory>

namespace mail {

namespace dkim {
class Signer;
}

struct SenderCheck {
    QString senderAddress;                    // the sender's bare address
    bool directDelivery = false;              // no server set: the station meets the MX hosts
    std::shared_ptr<const dkim::Signer> dkim; // the signer the settings load; null for none
    QString dkimProblem;                      // why the [DKIM] section cannot be used, if so
    QString testRecipient;       // an address whose domain's MTA-STS policy is reported; may be ""
    QString caFolder;            // native folder of extra trusted CA certificates, may be ""
    QStringList publicAddresses; // empty: the station's own public addresses
    int timeoutMs = 10000;       // bound of each DNS look-up
};

// Whether the DKIM key `key` (base64, the p= value) is the one published under `name`
// ("<selector>._domainkey.<domain>").
enum class PublishedKey {
    Matches,
    Differs, // another key, or a revoked one (empty p=)
    Missing, // no DKIM record under that name
    Unknown, // the DNS did not answer: the receivers' own look-up will decide
};
PublishedKey CheckPublishedKey(const QString& name, const QByteArray& key, int timeoutMs);

// The findings, one French line each, every problem with what to fix. Only DNS is asked.
QStringList CheckSender(const SenderCheck& check);

namespace detail {

// How an SPF record treats an address.
enum class SpfCoverage {
    Named,    // an ip4/ip6 term allows it
    Unknown,  // not named by address; an a, mx, include, exists or redirect term may allow it
    NotNamed, // nothing in the record allows it
};
SpfCoverage SpfCovers(const QByteArray& record, const QString& address);

// The public addresses of this machine's interfaces (not private, loopback, link-local,
// shared or documentation ranges); empty behind a router.
QStringList PublicInterfaceAddresses();

} // namespace detail
} // namespace mail
