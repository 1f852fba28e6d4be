// Sending through a real SMTP server (aiosmtpd on loopback): the modes, login, refusals,
// time limits, certificate trust and session reuse.
#include "mail/mail_component.h"

#include "support/smtp_fixture.h"

#include <QJsonArray>

#include <gtest/gtest.h>

using namespace testsupport;
using mail::MailMessage;

namespace {

// A mail object aimed at `server` with a sender, one To, one Cc and one Bcc.
void prepare(MailMessage& mail, const SmtpServer& server) {
    mail.setServer(QStringLiteral("127.0.0.1"));
    mail.setPort(server.port());
    mail.setConnectionMode(mail::ConnectionMode::Default);
    mail.setSenderName(QStringLiteral("Régie Postique"));
    mail.setSenderAddress(QStringLiteral("regie@station.test"));
    mail.addRecipients(QStringLiteral("Antenne <antenne@station.test>"), 0);
    mail.addRecipients(QStringLiteral("\"Dupont, Jean\" <jean@station.test>"), 1);
    mail.addRecipients(QStringLiteral("cache@station.test"), 2);
    mail.setSubject(QStringLiteral("Postique: essai"));
    mail.setBody(QStringLiteral("Première ligne\nseconde ligne\n"));
}

} // namespace

TEST(SmtpSend, PlainServerReceivesMessageWithEnvelopeAndHeaders) {
    SmtpServer server;
    ASSERT_TRUE(server.isRunning()) << server.error().toStdString();
    MailMessage mail;
    prepare(mail, server);
    ASSERT_EQ(mail.send(), 0) << mail.lastErrorDescription().toStdString();
    ASSERT_TRUE(server.waitForMessages(1));
    const ReceivedMessage got = server.messages().first();
    EXPECT_EQ(got.mailFrom, QStringLiteral("regie@station.test"));
    EXPECT_EQ(got.recipients, (QStringList{QStringLiteral("antenne@station.test"),
                                           QStringLiteral("jean@station.test"),
                                           QStringLiteral("cache@station.test")}));
    const QJsonObject parsed = ParseWithPython(got.data);
    ASSERT_FALSE(parsed.contains(u"error")) << parsed.value(u"error").toString().toStdString();
    EXPECT_EQ(parsed.value(u"subject").toString(), QStringLiteral("Postique: essai"));
    EXPECT_EQ(parsed.value(u"from").toString(),
              QStringLiteral("Régie Postique <regie@station.test>"));
    EXPECT_EQ(parsed.value(u"to").toString(), QStringLiteral("Antenne <antenne@station.test>"));
    EXPECT_EQ(parsed.value(u"cc").toString(),
              QStringLiteral("\"Dupont, Jean\" <jean@station.test>"));
    EXPECT_EQ(parsed.value(u"body").toString(), QStringLiteral("Première ligne\nseconde ligne\n"));
    // Bcc: in the envelope, never in a header.
    const QJsonArray headers = parsed.value(u"headers").toArray();
    for (const QJsonValue& h : headers)
        EXPECT_NE(h.toString().toLower(), QStringLiteral("bcc"));
    EXPECT_FALSE(got.data.contains("cache@station.test"));
    // CRLF everywhere: no bare LF.
    EXPECT_EQ(got.data.count('\n'), got.data.count("\r\n"));
}
