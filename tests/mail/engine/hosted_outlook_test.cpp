// The fate of each Microsoft 365 sending path at the announced deadlines.
#include "mail/engine/hosted_outlook.h"

#include "mail/engine/mail_component.h"

#include <gtest/gtest.h>

TEST(HostedOutlook, EachPathIsToldWhetherItOutlivesTheDeadlines) {
    namespace P = mail::Protocol;
    const struct {
        qint32 protocol;
        const char* host;
        bool auth, oauth;
        bool known, breaks;
        const char* says; // a piece of the verdict
    } cases[] = {
        {P::Smtp, "smtp.office365.com", true, false, true, true, "choisissez OAuth 2.0"},
        {P::Smtp, "SMTP.Office365.com ", true, true, true, false, "fonctionne après"},
        {P::Smtp, "smtp-hve.office365.com", true, false, true, false, "septembre 2028"},
        {P::Smtp, "smtp.example.org", true, false, false, false, ""},
        {P::Smtp, "", false, false, false, false, ""},
        {P::Graph, "", true, true, true, false, "fonctionne après le 31/12/2026"},
        {P::ExchangeWebService, "outlook.office365.com", true, false, true, true, "01/04/2027"},
        {P::ExchangeWebService, "mail.station.lan", true, false, true, false, "sur site"},
        {P::ExchangeWebDav, "mail.station.lan", true, false, true, false, "non concerné"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.host);
        const mail::HostedOutlook o =
            mail::HostedOutlookOf(c.protocol, QString::fromLatin1(c.host), c.auth, c.oauth);
        EXPECT_EQ(!o.path.isEmpty(), c.known);
        EXPECT_EQ(o.breaks, c.breaks);
        EXPECT_TRUE(o.verdict.contains(QString::fromUtf8(c.says))) << o.verdict.toStdString();
    }
}
