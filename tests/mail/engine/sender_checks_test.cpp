// The checks of what large providers look at, against a dnsmasq zone the test writes: SPF,
// reverse name and the published DKIM key, each finding naming what to fix.
#include "mail/mime/dkim.h"
#include "mail/transport/sender_checks.h"
#include "support/dns_fixture.h"
#include "support/test_pki.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

using mail::detail::SpfCoverage;

TEST(SenderChecks, SpfTermsThatAllowAnAddress) {
    const struct {
        const char* record;
        const char* address;
        SpfCoverage expected;
    } cases[] = {
        {"v=spf1 ip4:203.0.113.7 -all", "203.0.113.7", SpfCoverage::Named},
        {"v=spf1 ip4:203.0.113.0/24 -all", "203.0.113.99", SpfCoverage::Named},
        {"v=spf1 ip4:203.0.112.0/23 -all", "203.0.114.1", SpfCoverage::NotNamed},
        {"v=spf1 -ip4:203.0.113.7 ip4:203.0.113.0/24 -all", "203.0.113.7", SpfCoverage::NotNamed},
        {"v=spf1 ip6:2001:db8:1::/48 ~all", "2001:db8:1::25", SpfCoverage::Named},
        {"v=spf1 ip6:2001:db8:1::/48 ~all", "203.0.113.7", SpfCoverage::NotNamed},
        {"v=spf1 mx include:relay.example ~all", "203.0.113.7", SpfCoverage::Unknown},
        {"v=spf1 -all include:relay.example", "203.0.113.7", SpfCoverage::NotNamed},
        {"V=SPF1 IP4:203.0.113.7/32 -ALL", "203.0.113.7", SpfCoverage::Named},
        {"v=spf1 ip4:203.0.113.7/x ip4:garbage -all", "203.0.113.7", SpfCoverage::NotNamed},
    };
    for (const auto& c : cases)
        EXPECT_EQ(mail::detail::SpfCovers(c.record, c.address), c.expected) << c.record;
}

TEST(SenderChecks, FindingsFromTheDnsZone) {
    QTemporaryDir dir;
    const QString key = dir.filePath("k.pem"), other = dir.filePath("o.pem");
    for (const QString& path : {key, other}) {
        ASSERT_TRUE(testsupport::RunOpenssl(
            {"genpkey", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:2048", "-out", path}));
        QFile::setPermissions(path, QFile::ReadOwner);
    }
    QString error;
    const auto signer = mail::dkim::Signer::Load({"good.test", "s1", key, "", ""}, error);
    const auto wrong = mail::dkim::Signer::Load({"bad.test", "s1", other, "", ""}, error);
    ASSERT_TRUE(signer && wrong) << error.toStdString();
    // A 2048-bit key's record is longer than one DNS string: it is published in pieces.
    const QByteArray record = signer->rsaRecord();
    const QString pieces =
        QString::fromLatin1(record.left(200)) + u',' + QString::fromLatin1(record.mid(200));
    testsupport::DnsServerOptions zone;
    zone.extraArguments = {
        "--txt-record=good.test,v=spf1 ip4:203.0.113.0/24 -all",
        "--txt-record=s1._domainkey.good.test," + pieces,
        "--txt-record=bad.test,v=spf1 ip4:198.51.100.1 -all",
        "--txt-record=s1._domainkey.bad.test," + pieces,
        "--txt-record=twice.test,v=spf1 -all",
        "--txt-record=twice.test,v=spf1 mx -all",
        "--ptr-record=7.113.0.203.in-addr.arpa,mail.good.test",
    };
    testsupport::DnsServer dns(zone);
    ASSERT_TRUE(dns.isRunning()) << dns.error().toStdString();
    qputenv("VELMORA_DNS", dns.address().toLatin1());

    const struct {
        const char* name;
        const char* sender;
        std::shared_ptr<const mail::dkim::Signer> dkim;
        QStringList expected;
    } cases[] = {
        {"all in place",
         "radio@good.test",
         signer,
         {"nom inverse mail.good.test", "l'adresse 203.0.113.7 est autorisée",
          "correspond à la clé privée"}},
        {"wrong SPF and key, no alignment",
         "radio@other.test",
         wrong,
         {"« v=spf1", "ne publie pas d'enregistrement SPF", "ne correspond pas", "DMARC"}},
        {"nothing published",
         "radio@none.test",
         nullptr,
         {"ne publie pas d'enregistrement SPF", "section [DKIM] absente"}},
        {"two SPF records", "radio@twice.test", nullptr, {"2 enregistrements SPF"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        mail::SenderCheck check;
        check.senderAddress = c.sender;
        check.directDelivery = true;
        check.dkim = c.dkim;
        check.publicAddresses = {"203.0.113.7"};
        check.timeoutMs = 3000;
        const QString text = mail::CheckSender(check).join(u'\n');
        for (const QString& piece : c.expected)
            EXPECT_TRUE(text.contains(piece)) << piece.toStdString() << "\n" << text.toStdString();
    }
    // The key published for another: the record to publish is in the finding, as DNS
    // strings of at most 255 characters.
    mail::SenderCheck check;
    check.senderAddress = "radio@bad.test";
    check.dkim = wrong;
    const QString text = mail::CheckSender(check).join(u'\n');
    const QByteArray wanted = wrong->rsaRecord();
    ASSERT_GT(wanted.size(), 255);
    EXPECT_TRUE(text.contains(u'"' + QString::fromLatin1(wanted.left(255)) +
                              QStringLiteral("\" \"") + QString::fromLatin1(wanted.mid(255)) +
                              u'"'))
        << text.toStdString();
    EXPECT_FALSE(text.contains("SPF")) << "a relay's sends have no SPF finding of the station";
    qunsetenv("VELMORA_DNS");
}

} // namespace
