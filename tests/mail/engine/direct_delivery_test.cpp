// Direct delivery (no server set): MX look-up against a real DNS server (dnsmasq) whose
// mail exchangers point at an SMTP sink on loopback.
#include "mail/engine/mail_component.h"
#include "mail/transport/direct_delivery.h"
#include "mail/transport/mta_sts.h"
#include "mail/transport/sender_checks.h"

#include "support/dns_fixture.h"
#include "support/python_peer.h"
#include "support/smtp_fixture.h"

#include <QFile>
#include <QTemporaryDir>

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

namespace {

// The HTTPS peer of the MTA-STS policy files (tests/servers/sts_policy_server.py).
class PolicyServer : public PythonPeer {
public:
    PolicyServer(const QString& cert, const QString& key, const QByteArray& policy) {
        writeFile(QStringLiteral("policy.txt"), policy);
        start(QStringLiteral("sts_policy_server.py"),
              {"--cert", cert, "--key", key, "--policy", dir_.filePath("policy.txt")});
    }
    void setPolicy(const QByteArray& policy) { writeFile(QStringLiteral("policy.txt"), policy); }
};

} // namespace

// A domain with an "enforce" policy gets the mail only from an exchanger the policy names and
// over TLS with a certificate for that name; otherwise the mail waits (not permanent) with
// the domain and the reason named.
TEST(DirectDelivery, MtaStsEnforcePolicy) {
    TestAuthority& ca = TestAuthority::instance();
    ASSERT_TRUE(ca.ok()) << ca.error().toStdString();
    const QString mxCert =
        ca.issue("mx-sts", "/CN=mx.sts.test", {"subjectAltName=DNS:mx.sts.test"});
    const QString webCert =
        ca.issue("mta-sts-web", "/CN=mta-sts.sts.test",
                 {"subjectAltName=DNS:mta-sts.sts.test,DNS:mta-sts.bad.test,DNS:mta-sts.tls.test"});
    ASSERT_FALSE(mxCert.isEmpty() || webCert.isEmpty()) << ca.error().toStdString();
    QTemporaryDir trust;
    QFile::copy(ca.caCertificate(), trust.filePath("ca.pem"));
    PolicyServer web(webCert, QString(webCert).replace(".pem", ".key"),
                     "version: STSv1\r\nmode: enforce\r\nmx: mx.sts.test\r\nmx: *.tls.test\r\n"
                     "max_age: 86400\r\n");
    ASSERT_TRUE(web.isRunning()) << web.error().toStdString();

    DnsServerOptions zone;
    for (const char* domain : {"sts.test", "bad.test", "tls.test"}) {
        const QString mx = QStringLiteral("mx.") + domain;
        zone.mx.append({domain, mx, 10});
        zone.hosts.append({mx, "127.0.0.1"});
        zone.hosts.append({QStringLiteral("mta-sts.") + domain, "127.0.0.1"});
        zone.extraArguments
            << QStringLiteral("--txt-record=_mta-sts.%1,v=STSv1; id=2026").arg(domain);
    }
    DnsServer dns(zone);
    ASSERT_TRUE(dns.isRunning()) << dns.error().toStdString();
    DnsSetting setting(dns.address());
    qputenv("VELMORA_MTA_STS_PORT", QByteArray::number(web.port()));
    mail::detail::ForgetStsPolicies();
    QTemporaryDir settings;
    mail::detail::SetStsPolicyFolder(settings.path());

    SmtpServerOptions options;
    options.tls = SmtpServerOptions::Tls::StartTls;
    options.certificate = mxCert;
    options.key = QString(mxCert).replace(".pem", ".key");
    SmtpServer sink(options);
    ASSERT_TRUE(sink.isRunning()) << sink.error().toStdString();
    const struct {
        const char* to;
        qint32 code;
        const char* why;
    } cases[] = {
        {"a@sts.test", 0, ""},
        {"a@bad.test", mail::Error::MtaStsUnmet, "mx.sts.test"}, // its MX is not in the policy
        {"a@tls.test", mail::Error::MtaStsUnmet, "mx.tls.test"}, // certificate of another name
    };
    int received = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.to);
        mail::MailMessage mail;
        mail.setPort(sink.port());
        mail.setTrustedCaFolder(trust.path());
        mail.setSenderAddress("regie@station.test");
        mail.addRecipients(c.to, 0);
        mail.setSubject("sts");
        mail.setBody("corps");
        mail.setTimeLimits({std::chrono::milliseconds(3000), std::chrono::milliseconds(3000)});
        EXPECT_EQ(mail.send(), c.code) << mail.lastErrorDescription().toStdString();
        EXPECT_FALSE(mail.lastErrorPermanent());
        EXPECT_TRUE(mail.lastErrorDescription().contains(QString(c.to).section('@', 1)) ||
                    c.code == 0);
        EXPECT_TRUE(mail.lastErrorDescription().contains(c.why))
            << mail.lastErrorDescription().toStdString();
        if (c.code == 0) {
            ASSERT_TRUE(sink.waitForMessages(++received));
            EXPECT_TRUE(sink.messages().last().tls);
        }
        mail::CloseIdleSessions();
    }
    EXPECT_EQ(sink.messages().size(), received);
    // The check names the exchanger that the policy leaves out, and sends nothing.
    mail::SenderCheck check;
    check.senderAddress = "regie@station.test";
    check.testRecipient = "x@bad.test";
    check.directDelivery = true;
    check.caFolder = trust.path();
    check.publicAddresses = {"203.0.113.7"};
    check.timeoutMs = 3000;
    const QString findings = mail::CheckSender(check).join(u'\n');
    EXPECT_TRUE(findings.contains("MTA-STS de bad.test : mode enforce")) << findings.toStdString();
    EXPECT_TRUE(findings.contains("le serveur mx.bad.test ne figure pas"))
        << findings.toStdString();
    EXPECT_EQ(sink.messages().size(), received);

    // A restart keeps the policies for their max_age: none is fetched again, so a policy
    // server that went wrong meanwhile changes nothing.
    mail::detail::ForgetStsPolicies();
    web.setPolicy("not a policy");
    mail::MailMessage again;
    again.setPort(sink.port());
    again.setTrustedCaFolder(trust.path());
    again.setSenderAddress("regie@station.test");
    again.addRecipients("a@bad.test", 0);
    again.setTimeLimits({std::chrono::milliseconds(3000), std::chrono::milliseconds(3000)});
    EXPECT_EQ(again.send(), mail::Error::MtaStsUnmet) << again.lastErrorDescription().toStdString();
    EXPECT_EQ(sink.messages().size(), received);
    qunsetenv("VELMORA_MTA_STS_PORT");
    mail::detail::SetStsPolicyFolder(QString());
    mail::detail::ForgetStsPolicies();
}

TEST(DirectDelivery, MtaStsPatternsAndPolicyFiles) {
    const struct {
        const char* pattern;
        const char* host;
        bool matches;
    } names[] = {{"mx.example.net", "MX.example.net.", true},
                 {"*.example.net", "mx1.example.net", true},
                 {"*.example.net", "a.b.example.net", false}, // one label only
                 {"*.example.net", "example.net", false},
                 {"mx.example.net", "mx.example.net.evil.test", false}};
    for (const auto& n : names)
        EXPECT_EQ(mail::detail::StsMxMatches(n.pattern, n.host), n.matches)
            << n.pattern << " " << n.host;
    const struct {
        const char* text;
        bool valid;
    } files[] = {{"version: STSv1\nmode: enforce\nmx: a.test\nmax_age: 600\n", true},
                 {"version: STSv1\nmode: enforce\nmax_age: 600\n", false}, // no mx
                 {"version: STSv2\nmode: enforce\nmx: a.test\nmax_age: 600\n", false},
                 {"version: STSv1\nmode: strict\nmx: a.test\nmax_age: 600\n", false},
                 {"version: STSv1\nmode: none\nmax_age: 99999999999\n", false},
                 {"", false}};
    for (const auto& f : files) {
        mail::detail::StsPolicy policy;
        QString error;
        EXPECT_EQ(mail::detail::ParseStsPolicy(f.text, policy, error), f.valid) << f.text;
    }
}
