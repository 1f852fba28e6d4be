// Exchange logins beyond Basic against a real Kerberos realm on loopback: the HTTPS peer checks
// the Negotiate token with GSS-API against its service keys.
#include "mail/transport/exchange.h"
#include "support/https_fixture.h"
#include "support/kerberos_realm.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <gtest/gtest.h>

namespace {

using testsupport::HttpsServer;
using testsupport::HttpsServerOptions;
using testsupport::KerberosRealm;

const QString kStation = QStringLiteral("postique/studio");
const QString kStationFull = QStringLiteral("postique/studio@POSTIQUE.TEST");
const QByteArray kMessage = "From: Studio <studio@radio.example>\r\n"
                            "To: bob@example.test\r\n"
                            "Subject: Conducteur\r\n"
                            "\r\n"
                            "Pret.\r\n";

// The realm with the peer's service keys (under both names a client may use for it) and the
// station's keytab; the test is skipped, saying why, when the KDC cannot start.
class ExchangeNegotiate : public ::testing::Test {
protected:
    void SetUp() override {
        if (!realm.isRunning())
            GTEST_SKIP() << "no Kerberos realm: " << realm.error().toStdString();
        service = realm.keytab(QStringLiteral("http.keytab"), {QStringLiteral("HTTP/localhost"),
                                                               QStringLiteral("HTTP/127.0.0.1")});
        station = realm.keytab(QStringLiteral("station.keytab"), {kStation});
        ASSERT_FALSE(service.isEmpty() || station.isEmpty()) << realm.error().toStdString();
    }

    KerberosRealm realm;
    QString service, station;
};

mail::ExchangeSend sendTo(const HttpsServer& server, const QString& keytab, bool ssl = true) {
    mail::ExchangeSend send;
    send.server = QStringLiteral("localhost:%1").arg(server.port());
    send.ssl = ssl;
    // A password as well, so that NTLM and Basic would be possible: the offer decides.
    send.user = QStringLiteral("studio");
    send.password = QStringLiteral("m0t de passe");
    send.login.keytab = keytab;
    send.login.principal = kStation;
    send.caFolder = server.caFolder();
    send.sender = QStringLiteral("studio@radio.example");
    send.to = {QStringLiteral("bob@example.test")};
    send.message = kMessage;
    return send;
}

TEST_F(ExchangeNegotiate, KerberosWithTheStationKeytabIsPreferredToWhatElseIsOffered) {
    const struct {
        const char* what;
        QStringList offer;
        bool ews, ssl;
    } cases[] = {
        {"EWS, Negotiate only", {"Negotiate"}, true, true},
        {"EWS, NTLM offered first", {"NTLM", "Negotiate", "Basic"}, true, true},
        {"WebDAV without SSL, Basic offered too", {"Basic", "Negotiate"}, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        HttpsServerOptions options;
        options.negotiateKeytab = service;
        options.offer = c.offer;
        options.plain = !c.ssl;
        HttpsServer server(options);
        ASSERT_TRUE(server.isRunning()) << server.error().toStdString();
        const mail::ExchangeSend send = sendTo(server, station, c.ssl);
        const mail::ExchangeOutcome out =
            c.ews ? mail::SendThroughEws(send) : mail::SendThroughWebDav(send);
        EXPECT_EQ(out.code, 0) << out.description.toStdString();
        EXPECT_EQ(out.authentication, "Negotiate (Kerberos)");
        EXPECT_EQ(out.principal, kStationFull);
        const auto requests = server.requests();
        ASSERT_EQ(requests.size(), 1);
        EXPECT_EQ(requests[0]["auth"].toString(), "Negotiate");
        EXPECT_EQ(requests[0]["principal"].toString(), kStationFull);
        EXPECT_TRUE(requests[0]["problems"].toArray().isEmpty())
            << QJsonDocument(requests[0]).toJson().toStdString();
        EXPECT_EQ(QByteArray::fromBase64(
                      requests[0]["found"].toObject()["mime_b64"].toString().toLatin1()),
                  kMessage);
    }
}

TEST_F(ExchangeNegotiate, AKeytabThatCannotLogInIsToldAndNothingIsSent) {
    // Keys written before the principal's keys changed, and keys of another principal only.
    const QString stale = realm.keytab(QStringLiteral("stale.keytab"), {kStation});
    ASSERT_FALSE(realm.keytab(QStringLiteral("renewed.keytab"), {kStation}, true).isEmpty());
    const QString other =
        realm.keytab(QStringLiteral("other.keytab"), {QStringLiteral("postique/regie")});
    const struct {
        const char* what;
        QString keytab;
        const char* fragment;
    } cases[] = {
        {"out of date", stale, "Aucun ticket Kerberos obtenu pour postique/studio@POSTIQUE.TEST"},
        {"another principal's", other,
         "ne contient pas de clé pour postique/studio@POSTIQUE.TEST (il en contient pour : "
         "postique/regie@POSTIQUE.TEST)"},
        {"missing", stale + QStringLiteral(".absent"), "est introuvable"},
        {"none, and no ticket of the user", QString(), "aucun ticket Kerberos n'est disponible"},
    };
    HttpsServerOptions options;
    options.negotiateKeytab = service;
    HttpsServer server(options);
    ASSERT_TRUE(server.isRunning()) << server.error().toStdString();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        mail::ExchangeSend send = sendTo(server, c.keytab);
        send.user.clear(); // Kerberos alone
        const mail::ExchangeOutcome out = mail::SendThroughEws(send);
        EXPECT_EQ(out.code, mail::Error::LoginRefused);
        EXPECT_TRUE(out.description.contains(QString::fromUtf8(c.fragment)))
            << out.description.toStdString();
        if (!c.keytab.isEmpty()) {
            EXPECT_TRUE(out.description.contains(c.keytab)) << out.description.toStdString();
        }
    }
    EXPECT_TRUE(server.requests().isEmpty());
}

} // namespace
