// Sender checks: DNS look-ups through the direct-delivery resolver, the SPF terms read here.
#include "mail/transport/sender_checks.h"

#include "mail/mime/dkim.h"
#include "mail/transport/direct_delivery.h"
#include "mail/transport/mta_sts.h"
#include "system/untrusted_text.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>

#include <algorithm>
#include <cstring>
#include <memory>

namespace mail {

namespace detail {

namespace {

// The address in network byte order (4 or 16 bytes); empty when it is none.
QByteArray rawAddress(QString text) {
    if (text.startsWith(u'[') && text.endsWith(u']'))
        text = text.mid(1, text.size() - 2);
    const QByteArray ascii = text.toLatin1();
    unsigned char raw[16];
    if (inet_pton(AF_INET, ascii.constData(), raw) == 1)
        return QByteArray(reinterpret_cast<const char*>(raw), 4);
    if (inet_pton(AF_INET6, ascii.constData(), raw) == 1)
        return QByteArray(reinterpret_cast<const char*>(raw), 16);
    return {};
}

// True when `network`/`bits` holds `address` (both raw, of the same family).
bool inNetwork(const QByteArray& address, const QByteArray& network, int bits) {
    if (address.size() != network.size() || bits < 0 || bits > address.size() * 8)
        return false;
    for (int i = 0; i < bits; ++i) {
        const int byte = i / 8, mask = 0x80 >> (i % 8);
        if ((address.at(byte) & mask) != (network.at(byte) & mask))
            return false;
    }
    return true;
}

bool isPublic(const QByteArray& raw) {
    static const struct {
        const char* network;
        int bits;
    } kNotPublic[] = {{"0.0.0.0", 8},       {"10.0.0.0", 8},     {"100.64.0.0", 10},
                      {"127.0.0.0", 8},     {"169.254.0.0", 16}, {"172.16.0.0", 12},
                      {"192.0.2.0", 24},    {"192.168.0.0", 16}, {"198.18.0.0", 15},
                      {"198.51.100.0", 24}, {"203.0.113.0", 24}, {"224.0.0.0", 3},
                      {"2001:db8::", 32}};
    if (raw.size() == 16 && !inNetwork(raw, rawAddress(QStringLiteral("2000::")), 3))
        return false; // only global unicast IPv6
    for (const auto& range : kNotPublic)
        if (inNetwork(raw, rawAddress(QString::fromLatin1(range.network)), range.bits))
            return false;
    return true;
}

} // namespace

SpfCoverage SpfCovers(const QByteArray& record, const QString& address) {
    const QByteArray raw = rawAddress(address);
    bool other = false;
    const QList<QByteArray> terms = record.simplified().toLower().split(' ');
    for (qsizetype i = 1; i < terms.size(); ++i) {
        QByteArray term = terms.at(i);
        char qualifier = '+';
        if (!term.isEmpty() && QByteArray("+-~?").contains(term.front())) {
            qualifier = term.front();
            term.remove(0, 1);
        }
        const bool ip4 = term.startsWith("ip4:"), ip6 = term.startsWith("ip6:");
        if (ip4 || ip6) {
            QByteArray value = term.mid(4);
            int bits = ip4 ? 32 : 128;
            if (const qsizetype slash = value.indexOf('/'); slash >= 0) {
                bool ok = false;
                bits = value.mid(slash + 1).toInt(&ok);
                value.truncate(slash);
                if (!ok)
                    continue;
            }
            const QByteArray network = rawAddress(QString::fromLatin1(value));
            if (!raw.isEmpty() && inNetwork(raw, network, bits))
                return qualifier == '+' ? SpfCoverage::Named : SpfCoverage::NotNamed;
            continue;
        }
        const QByteArray name = term.split(':').front().split('/').front();
        if (qualifier == '+' && (name == "a" || name == "mx" || name == "include" ||
                                 name == "exists" || name == "ptr" || term.startsWith("redirect=")))
            other = true;
        if (name == "all")
            break;
    }
    return other ? SpfCoverage::Unknown : SpfCoverage::NotNamed;
}

QStringList PublicInterfaceAddresses() {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0)
        return {};
    const std::unique_ptr<ifaddrs, decltype(&freeifaddrs)> owned(list, &freeifaddrs);
    QStringList found;
    for (ifaddrs* i = list; i; i = i->ifa_next) {
        if (!i->ifa_addr)
            continue;
        char text[INET6_ADDRSTRLEN] = {0};
        if (i->ifa_addr->sa_family == AF_INET)
            inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(i->ifa_addr)->sin_addr, text,
                      sizeof text);
        else if (i->ifa_addr->sa_family == AF_INET6)
            inet_ntop(AF_INET6, &reinterpret_cast<sockaddr_in6*>(i->ifa_addr)->sin6_addr, text,
                      sizeof text);
        const QString address = QString::fromLatin1(text);
        if (!address.isEmpty() && isPublic(rawAddress(address)))
            found << address;
    }
    found.removeDuplicates();
    return found;
}

} // namespace detail

namespace {

// A TXT record as it is typed into a zone: quoted strings of at most 255 characters each,
// the longest a DNS string holds (a 2048-bit key's record needs two).
QString zoneStrings(const QByteArray& record) {
    QStringList strings;
    for (qsizetype at = 0; at < record.size(); at += 255)
        strings << u'"' + QString::fromLatin1(record.mid(at, 255)) + u'"';
    return strings.join(u' ');
}

void checkDkimKey(const QString& name, const QByteArray& wanted, const QByteArray& rawRecord,
                  const char* key, int timeoutMs, QStringList& lines) {
    const QString record = zoneStrings(rawRecord);
    switch (CheckPublishedKey(name, wanted, timeoutMs)) {
    case PublishedKey::Unknown:
        lines << QStringLiteral("DKIM : la clé publiée sous %1 n'a pas pu être lue dans le DNS ; "
                                "vérifiez la connexion réseau et le serveur DNS.")
                     .arg(name);
        break;
    case PublishedKey::Missing:
        lines << QStringLiteral("DKIM : aucune clé publiée sous %1. Publiez dans le DNS "
                                "l'enregistrement TXT %2, sans quoi les mails signés "
                                "échouent à la vérification.")
                     .arg(name, record);
        break;
    case PublishedKey::Differs:
        lines << QStringLiteral("DKIM : la clé publiée sous %1 ne correspond pas à la clé "
                                "privée (%2). Publiez l'enregistrement TXT %3 ou "
                                "renseignez la clé qui lui correspond.")
                     .arg(name, QString::fromLatin1(key), record);
        break;
    case PublishedKey::Matches:
        lines << QStringLiteral("DKIM : la clé publiée sous %1 correspond à la clé privée (%2).")
                     .arg(name, QString::fromLatin1(key));
        break;
    }
}

void checkSpf(const QString& domain, const QStringList& addresses, int timeoutMs,
              QStringList& lines) {
    const detail::TxtLookup txt = detail::LookUpTxt(domain, timeoutMs);
    if (txt.code == Error::DnsFailed) {
        lines << QStringLiteral("SPF : %1").arg(txt.description);
        return;
    }
    QList<QByteArray> spf;
    for (const QByteArray& r : txt.records)
        if (r.trimmed().toLower() == "v=spf1" || r.trimmed().toLower().startsWith("v=spf1 "))
            spf << r.trimmed();
    const QString example =
        QStringLiteral("v=spf1 ip4:%1 ~all")
            .arg(addresses.isEmpty() ? QStringLiteral("<adresse publique>") : addresses.first());
    if (spf.isEmpty()) {
        lines << QStringLiteral("SPF : le domaine %1 ne publie pas d'enregistrement SPF. Publiez "
                                "par exemple le TXT « %2 ».")
                     .arg(domain, example);
        return;
    }
    if (spf.size() > 1) {
        lines << QStringLiteral("SPF : le domaine %1 publie %2 enregistrements SPF ; les "
                                "destinataires les tiennent tous pour invalides. Fusionnez-les en "
                                "un seul.")
                     .arg(domain)
                     .arg(spf.size());
        return;
    }
    lines << QStringLiteral("SPF de %1 : « %2 »")
                 .arg(domain, Untrusted::CleanQuoted(QString::fromLatin1(spf.first())));
    for (const QString& address : addresses) {
        switch (detail::SpfCovers(spf.first(), address)) {
        case detail::SpfCoverage::Named:
            lines << QStringLiteral("SPF : l'adresse %1 est autorisée.").arg(address);
            break;
        case detail::SpfCoverage::Unknown:
            lines << QStringLiteral(
                         "SPF : l'adresse %1 n'est pas nommée directement (les termes a, "
                         "mx, include ne sont pas suivis ici) ; vérifiez qu'ils la "
                         "couvrent, ou ajoutez ip4:%1 (ip6: pour IPv6).")
                         .arg(address);
            break;
        case detail::SpfCoverage::NotNamed:
            lines << QStringLiteral("SPF : l'adresse %1 n'est pas autorisée ; ajoutez ip4:%1 "
                                    "(ip6: pour IPv6) à l'enregistrement, sinon les mails sont "
                                    "refusés ou classés en indésirables.")
                         .arg(address);
            break;
        }
    }
}

void checkMtaSts(const SenderCheck& check, QStringList& lines) {
    const QString domain = check.testRecipient.section(u'@', -1).trimmed().toLower();
    if (domain.isEmpty())
        return;
    const detail::StsPolicy policy = detail::StsPolicyFor(domain, check.caFolder, check.timeoutMs);
    if (policy.mode == detail::StsPolicy::Mode::None) {
        lines << QStringLiteral("MTA-STS de %1 : aucune politique appliquée.").arg(domain);
        return;
    }
    const bool enforce = policy.mode == detail::StsPolicy::Mode::Enforce;
    lines << QStringLiteral("MTA-STS de %1 : mode %2, serveurs %3 ; TLS avec un certificat "
                            "valide exigé.")
                 .arg(domain, enforce ? QStringLiteral("enforce") : QStringLiteral("testing"),
                      policy.mx.join(QStringLiteral(", ")));
    if (!enforce || !check.directDelivery)
        return;
    const detail::MxLookup mx = detail::LookUpMailExchangers(domain, check.timeoutMs);
    for (const detail::MxHost& host : mx.hosts) {
        const bool named = std::any_of(policy.mx.cbegin(), policy.mx.cend(), [&](const QString& p) {
            return detail::StsMxMatches(p, host.host);
        });
        if (!named)
            lines << QStringLiteral("MTA-STS de %1 : le serveur %2 ne figure pas dans la "
                                    "politique ; la remise directe ne passera pas par lui.")
                         .arg(domain, host.host);
    }
}

} // namespace

PublishedKey CheckPublishedKey(const QString& name, const QByteArray& key, int timeoutMs) {
    const detail::TxtLookup txt = detail::LookUpTxt(name, timeoutMs);
    if (txt.code == Error::DnsFailed)
        return PublishedKey::Unknown;
    bool found = false;
    for (const QByteArray& r : txt.records) {
        if (!r.contains("p="))
            continue;
        found = true;
        if (dkim::PublishedKey(r) == key)
            return PublishedKey::Matches;
    }
    return found ? PublishedKey::Differs : PublishedKey::Missing;
}

QStringList CheckSender(const SenderCheck& check) {
    QStringList lines;
    const QString domain = check.senderAddress.section(u'@', -1).toLower();
    if (check.directDelivery) {
        lines << QStringLiteral("Envoi direct : les grands fournisseurs de messagerie refusent "
                                "les mails remis directement depuis une adresse résidentielle ou "
                                "dynamique. La voie normale est le serveur d'envoi (smarthost) "
                                "de votre fournisseur, avec identification.");
        const QStringList addresses = check.publicAddresses.isEmpty()
                                          ? detail::PublicInterfaceAddresses()
                                          : check.publicAddresses;
        if (addresses.isEmpty())
            lines << QStringLiteral("Adresse publique : introuvable sur la station (elle est "
                                    "derrière un routeur). Demandez à votre fournisseur d'accès "
                                    "l'adresse publique fixe, son nom inverse (PTR), et publiez-la "
                                    "dans le SPF du domaine.");
        for (const QString& address : addresses) {
            const QString reverse = detail::ReverseName(address, check.timeoutMs);
            if (reverse.isEmpty())
                lines << QStringLiteral("Adresse publique %1 : aucun nom inverse (PTR). "
                                        "Demandez à votre fournisseur d'accès d'en attribuer un "
                                        "qui désigne la station.")
                             .arg(address);
            else
                lines << QStringLiteral("Adresse publique %1 : nom inverse %2.")
                             .arg(address, Untrusted::Clean(reverse));
        }
        if (!domain.isEmpty())
            checkSpf(domain, addresses, check.timeoutMs, lines);
    }
    checkMtaSts(check, lines);
    if (!check.dkimProblem.isEmpty())
        lines << QStringLiteral("DKIM : %1").arg(check.dkimProblem);
    else if (!check.dkim) {
        if (check.directDelivery)
            lines << QStringLiteral("DKIM : aucune signature (section [DKIM] absente). Les "
                                    "grands fournisseurs l'exigent ; voir le README, « Being "
                                    "accepted by large providers ».");
    } else {
        const dkim::Signer& s = *check.dkim;
        const QString base = u'.' + QStringLiteral("_domainkey.") + QString::fromLatin1(s.domain());
        checkDkimKey(QString::fromLatin1(s.selector()) + base, s.rsaPublicKey(), s.rsaRecord(),
                     "Cle", check.timeoutMs, lines);
        if (!s.ed25519PublicKey().isEmpty())
            checkDkimKey(QString::fromLatin1(s.ed25519Selector()) + base, s.ed25519PublicKey(),
                         s.ed25519Record(), "CleEd25519", check.timeoutMs, lines);
        if (!dkim::Aligned(QString::fromLatin1(s.domain()), check.senderAddress))
            lines << QStringLiteral("DKIM : le domaine %1 n'est ni celui de l'expéditeur ni un "
                                    "domaine parent ; DMARC échouera. Signez avec le domaine de "
                                    "l'adresse d'envoi.")
                         .arg(QString::fromLatin1(s.domain()));
    }
    return lines;
}

} // namespace mail
