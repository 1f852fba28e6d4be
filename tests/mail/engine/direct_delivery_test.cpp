// Direct delivery (no server set): MX look-up against a real DNS server (dnsmasq) whose
// mail exchangers point at an SMTP sink on loopback.
#include "mail/engine/mail_component.h"
#include "mail/transport/direct_delivery.h"

#include "support/dns_fixture.h"
#include "support/smtp_fixture.h"

#include <gtest/gtest.h>

using namespace testsupport;

namespace {

// Points the component's DNS look-ups at `address` for the life of the object.
class DnsSetting {
public:
    explicit DnsSetting(const QString& address) {
        saved_ = qgetenv("VELMORA_DNS");
        qputenv("VELMORA_DNS", address.toLatin1());
    }
    ~DnsSetting() {
        if (saved_.isEmpty())
            qunsetenv("VELMORA_DNS");
        else
            qputenv("VELMORA_DNS", saved_);
    }

private:
    QByteArray saved_;
};

DnsServerOptions stationZone() {
    DnsServerOptions zone;
    zone.mx = {{"station.test", "mx1.station.test", 10},
               {"radio.test", "mx.radio.test", 5},
               {"backup.test", "dead.backup.test", 5},
               {"backup.test", "live.backup.test", 20}};
    zone.hosts = {{"mx1.station.test", "127.0.0.1"},
                  {"mx.radio.test", "127.0.0.1"},
                  {"dead.backup.test", "127.0.0.2"},
                  {"live.backup.test", "127.0.0.1"},
                  {"nomx.test", "127.0.0.1"}};
    zone.nullMx = {"nullmx.test"};
    return zone;
}

} // namespace

TEST(DirectDelivery, MailExchangerLookUp) {
    DnsServer dns(stationZone());
    ASSERT_TRUE(dns.isRunning()) << dns.error().toStdString();
    DnsSetting setting(dns.address());
    struct Case {
        const char* domain;
        qint32 code;
        QStringList hosts;
    };
    const Case cases[] = {
        {"station.test", 0, {"mx1.station.test"}},
        {"backup.test", 0, {"dead.backup.test", "live.backup.test"}},
        {"nomx.test", 0, {"nomx.test"}},
        {"nullmx.test", mail::Error::NoMailDomain, {}},
        {"missing.test", mail::Error::NoMailDomain, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.domain);
        const mail::detail::MxLookup lookup =
            mail::detail::LookUpMailExchangers(QString::fromLatin1(c.domain), 2000);
        EXPECT_EQ(lookup.code, c.code) << lookup.description.toStdString();
        QStringList hosts;
        for (const auto& h : lookup.hosts)
            hosts << h.host;
        EXPECT_EQ(hosts, c.hosts);
        if (c.code != 0) {
            EXPECT_TRUE(lookup.description.contains(QString::fromLatin1(c.domain)));
        }
    }
    EXPECT_EQ(mail::detail::ResolveHost(QStringLiteral("mx1.station.test"), 2000),
              QStringList{QStringLiteral("127.0.0.1")});
}

// Recipients grouped by domain, one transaction per domain, the next exchanger tried when
// the preferred one cannot be reached; each domain's outcome in the description.
TEST(DirectDelivery, DeliversPerDomainThroughTheirExchangers) {
    DnsServer dns(stationZone());
    ASSERT_TRUE(dns.isRunning()) << dns.error().toStdString();
    DnsSetting setting(dns.address());
    struct Case {
        const char* what;
        QStringList to;
        qint32 code;
        int messages;
        QStringList inDescription;
    };
    const Case cases[] = {
        {"two domains", {"a@station.test", "b@radio.test", "c@station.test"}, 0, 2, {}},
        {"backup exchanger", {"a@backup.test"}, 0, 1, {}},
        {"domain without MX", {"a@nomx.test"}, 0, 1, {}},
        {"null MX", {"a@nullmx.test"}, mail::Error::NoMailDomain, 0, {"nullmx.test"}},
        {"one domain fails",
         {"a@station.test", "b@missing.test"},
         mail::Error::PartialDelivery,
         1,
         {"station.test", "missing.test"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SmtpServer sink;
        ASSERT_TRUE(sink.isRunning()) << sink.error().toStdString();
        mail::MailMessage mail;
        mail.setServer(QString());
        mail.setPort(sink.port());
        mail.setSenderAddress(QStringLiteral("regie@station.test"));
        mail.addRecipients(c.to.join(u','), 0);
        mail.setSubject(QStringLiteral("direct"));
        mail.setBody(QStringLiteral("corps"));
        mail.setTimeLimits({std::chrono::milliseconds(2000), std::chrono::milliseconds(2000)});
        EXPECT_EQ(mail.send(), c.code) << mail.lastErrorDescription().toStdString();
        for (const QString& piece : c.inDescription) {
            EXPECT_TRUE(mail.lastErrorDescription().contains(piece))
                << mail.lastErrorDescription().toStdString();
        }
        if (c.messages > 0) {
            ASSERT_TRUE(sink.waitForMessages(c.messages));
        }
        const QList<ReceivedMessage> got = sink.messages();
        ASSERT_EQ(got.size(), c.messages);
        QStringList delivered;
        for (const ReceivedMessage& m : got) {
            const QString domain = m.recipients.first().section(u'@', 1);
            for (const QString& r : m.recipients) {
                EXPECT_EQ(r.section(u'@', 1), domain); // one domain per transaction
            }
            delivered << m.recipients;
        }
        if (c.code == 0) {
            delivered.sort();
            QStringList expected = c.to;
            expected.sort();
            EXPECT_EQ(delivered, expected);
        }
        mail::CloseIdleSessions();
    }
}

TEST(DirectDelivery, UnreachableDnsServerIsReported) {
    DnsSetting setting(QStringLiteral("127.0.0.1:%1").arg(FreeLoopbackPort()));
    mail::MailMessage mail;
    mail.setSenderAddress(QStringLiteral("regie@station.test"));
    mail.addRecipients(QStringLiteral("a@station.test"), 0);
    mail.setTimeLimits({std::chrono::milliseconds(600), std::chrono::milliseconds(600)});
    EXPECT_EQ(mail.send(), mail::Error::DnsFailed) << mail.lastErrorDescription().toStdString();
    EXPECT_TRUE(mail.lastErrorDescription().contains(QStringLiteral("station.test")));
}
