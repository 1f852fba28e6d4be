// Exchange transports against the HTTPS peer tests/servers/https_server.py: the shape of the
// EWS and WebDAV requests, and the outcome and description for each kind of answer.
#include "mail/engine/destinations.h"
#include "mail/transport/exchange.h"
#include "support/https_fixture.h"

#include <future>
#include <vector>

#include <QJsonArray>
#include <QJsonDocument>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace {

using testsupport::HttpsServer;
using testsupport::HttpsServerOptions;

const QByteArray kMessage = "From: Studio <studio@radio.example>\r\n"
                            "To: Bob <bob@example.test>\r\n"
                            "Cc: carol@example.test\r\n"
                            "Subject: Postique: conducteur\r\n"
                            "MIME-Version: 1.0\r\n"
                            "Content-Type: text/plain; charset=utf-8\r\n"
                            "Content-Transfer-Encoding: 8bit\r\n"
                            "\r\n"
                            "Le conducteur de demain est pr\xc3\xaat.\r\n";

mail::ExchangeSend makeSend(const HttpsServer& server) {
    mail::ExchangeSend send;
    send.server = QStringLiteral("127.0.0.1:%1").arg(server.port());
    send.port = 587; // the settings page's SMTP port: ignored for Exchange
    send.ssl = true;
    send.user = QStringLiteral("studio");
    send.password = QStringLiteral("m0t de passe");
    send.caFolder = server.caFolder();
    send.sender = QStringLiteral("studio@radio.example");
    send.to = {QStringLiteral("bob@example.test")};
    send.cc = {QStringLiteral("carol@example.test")};
    send.bcc = {QStringLiteral("archive@radio.example")};
    send.message = kMessage;
    return send;
}

QStringList strings(const QJsonValue& v) {
    QStringList out;
    for (const QJsonValue& item : v.toArray())
        out << item.toString();
    return out;
}

TEST(ExchangeAddresses, BuiltFromTheServerText) {
    const struct {
        QString server;
        qint32 port;
        QString expected;
    } ews[] = {
        {"mail.radio.example", 25, "https://mail.radio.example/EWS/Exchange.asmx"},
        {"mail.radio.example", 8443, "https://mail.radio.example:8443/EWS/Exchange.asmx"},
        {"mail.radio.example:9443", 587, "https://mail.radio.example:9443/EWS/Exchange.asmx"},
        {" https://outlook.example/EWS/Exchange.asmx ", 465,
         "https://outlook.example/EWS/Exchange.asmx"},
        {"http://mail.radio.example/EWS/Exchange.asmx", 25,
         "https://mail.radio.example/EWS/Exchange.asmx"},
    };
    for (const auto& c : ews)
        EXPECT_EQ(mail::EwsUrl(c.server, c.port), c.expected) << c.server.toStdString();

    const struct {
        QString server;
        bool ssl;
        QString user, sender, expected;
    } dav[] = {
        {"mail.radio.example", true, "studio", "",
         "https://mail.radio.example/exchange/studio/%23%23DavMailSubmissionURI%23%23/"},
        {"mail.radio.example", false, "RADIO\\studio", "",
         "http://mail.radio.example/exchange/studio/%23%23DavMailSubmissionURI%23%23/"},
        {"mail.radio.example", false, "jean.dupont@radio.example", "",
         "http://mail.radio.example/exchange/jean.dupont/%23%23DavMailSubmissionURI%23%23/"},
        {"mail.radio.example", false, "", "r\xc3\xa9gie@radio.example",
         "http://mail.radio.example/exchange/r%C3%A9gie/%23%23DavMailSubmissionURI%23%23/"},
        {"https://mail.radio.example/exchange/", false, "studio", "",
         "https://mail.radio.example/exchange/studio/%23%23DavMailSubmissionURI%23%23/"},
        {"mail.radio.example", true, "", "", ""},
        {"", true, "studio", "", ""},
    };
    for (const auto& c : dav)
        EXPECT_EQ(mail::WebDavSubmissionUrl(c.server, 25, c.ssl, c.user, c.sender), c.expected)
            << c.server.toStdString() << " " << c.user.toStdString();
}

TEST(ExchangeWebServices, CreateItemCarriesMessageAndRecipients) {
    HttpsServer server;
    ASSERT_TRUE(server.isRunning()) << server.error().toStdString();
    const mail::ExchangeOutcome out = mail::SendThroughEws(makeSend(server));
    EXPECT_EQ(out.code, 0) << out.description.toStdString();
    EXPECT_TRUE(out.description.isEmpty());

    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 1);
    const QJsonObject found = requests[0]["found"].toObject();
    EXPECT_TRUE(requests[0]["problems"].toArray().isEmpty())
        << QJsonDocument(requests[0]).toJson().toStdString();
    EXPECT_EQ(strings(found["to"]), QStringList{"bob@example.test"});
    EXPECT_EQ(strings(found["cc"]), QStringList{"carol@example.test"});
    EXPECT_EQ(strings(found["bcc"]), QStringList{"archive@radio.example"});
    EXPECT_EQ(QByteArray::fromBase64(found["mime_b64"].toString().toLatin1()), kMessage);
    EXPECT_EQ(found["subject"].toString(), "Postique: conducteur");
}

TEST(ExchangeWebDav, PutsEnvelopeAndMessage) {
    HttpsServer server;
    ASSERT_TRUE(server.isRunning()) << server.error().toStdString();
    const mail::ExchangeOutcome out = mail::SendThroughWebDav(makeSend(server));
    EXPECT_EQ(out.code, 0) << out.description.toStdString();
    EXPECT_EQ(out.authentication, "Basic");

    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 1);
    EXPECT_TRUE(requests[0]["problems"].toArray().isEmpty())
        << QJsonDocument(requests[0]).toJson().toStdString();
    const QJsonObject found = requests[0]["found"].toObject();
    EXPECT_EQ(found["mail_from"].toString(), "studio@radio.example");
    EXPECT_EQ(strings(found["rcpt_to"]),
              (QStringList{"bob@example.test", "carol@example.test", "archive@radio.example"}));
    EXPECT_EQ(QByteArray::fromBase64(found["mime_b64"].toString().toLatin1()), kMessage);
}

// A password never crosses a connection without SSL in Basic, whether the server offers
// nothing else or the settings choose it.
TEST(ExchangeWebDav, BasicNeverCrossesPlainHttp) {
    HttpsServerOptions options;
    options.plain = true;
    HttpsServer server(options);
    ASSERT_TRUE(server.isRunning()) << server.error().toStdString();
    for (const char* method : {"", "Basic"}) {
        SCOPED_TRACE(method);
        mail::ExchangeSend send = makeSend(server);
        send.ssl = false;
        send.login.method = QString::fromLatin1(method);
        const mail::ExchangeOutcome out = mail::SendThroughWebDav(send);
        EXPECT_EQ(out.code, mail::Error::ExchangeSettings) << out.description.toStdString();
        EXPECT_TRUE(out.description.contains(QStringLiteral("en clair")))
            << out.description.toStdString();
        EXPECT_TRUE(out.description.contains(QStringLiteral("cochez SSL")));
    }
    EXPECT_TRUE(server.requests().isEmpty()) << "no request carried the password";
}

TEST(ExchangeFailures, EachAnswerGivesItsCodeAndDescription) {
    HttpsServer server;
    ASSERT_TRUE(server.isRunning()) << server.error().toStdString();
    const struct {
        const char* scenario;
        bool ews, dav; // which protocols the scenario applies to
        qint32 code;
        const char* fragment;
    } cases[] = {
        {"unauthorized", true, true, mail::Error::LoginRefused, "HTTP 401"},
        {"fba-440", true, true, mail::Error::FormsAuthentication,
         "authentification par formulaire"},
        {"fba-redirect", true, true, mail::Error::FormsAuthentication, "ce protocole ne peut pas"},
        {"http-500", true, true, mail::Error::HttpStatus, "HTTP 500"},
        {"ews-error", true, false, mail::Error::ExchangeRefused,
         "refusé le message : ErrorInvalidRecipients : At least one recipient isn't valid."},
        {"soap-fault", true, false, mail::Error::SoapFault,
         "The request failed schema validation."},
    };
    for (const auto& c : cases) {
        server.setScenario(c.scenario);
        for (const bool ews : {true, false}) {
            if (!(ews ? c.ews : c.dav))
                continue;
            SCOPED_TRACE(std::string(c.scenario) + (ews ? " EWS" : " WebDAV"));
            const auto out = ews ? mail::SendThroughEws(makeSend(server))
                                 : mail::SendThroughWebDav(makeSend(server));
            EXPECT_EQ(out.code, c.code);
            EXPECT_TRUE(out.description.contains(QString::fromUtf8(c.fragment)))
                << out.description.toStdString();
        }
    }
    // Every request the server checked had the right shape.
    for (const QJsonObject& r : server.requests())
        EXPECT_TRUE(r["problems"].toArray().isEmpty()) << QJsonDocument(r).toJson().toStdString();
}

TEST(ExchangeFailures, ConnectionLevelProblems) {
    HttpsServer server;
    ASSERT_TRUE(server.isRunning()) << server.error().toStdString();
    // A server whose certificate nobody vouches for.
    mail::ExchangeSend untrusted = makeSend(server);
    untrusted.caFolder.clear();
    auto out = mail::SendThroughEws(untrusted);
    EXPECT_EQ(out.code, mail::Error::CertificateUntrusted) << out.description.toStdString();
    EXPECT_TRUE(out.description.contains("« CA »"));
    EXPECT_TRUE(server.requests().isEmpty());

    // A port where nothing listens.
    const quint16 closed = [] {
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        bind(fd, reinterpret_cast<sockaddr*>(&addr), len);
        getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
        close(fd); // bound but never listening: connections are refused
        return ntohs(addr.sin_port);
    }();
    mail::ExchangeSend nobody = makeSend(server);
    nobody.server = QStringLiteral("127.0.0.1:%1").arg(closed);
    out = mail::SendThroughWebDav(nobody);
    EXPECT_EQ(out.code, mail::Error::ConnectFailed) << out.description.toStdString();

    // Line breaks in an address never reach the envelope.
    mail::ExchangeSend injected = makeSend(server);
    injected.bcc = {QStringLiteral("x@example.test>\r\nRCPT TO:<victim@example.test")};
    out = mail::SendThroughWebDav(injected);
    EXPECT_EQ(out.code, mail::Error::ExchangeSettings);
    EXPECT_TRUE(server.requests().isEmpty());
}

// Exchange goes through the destination scheduler as SMTP does: Exchange Online is held to 30
// messages a minute per mailbox, and a server's sessions at once hold for EWS and WebDAV.
TEST(ExchangeLimits, SendsKeepTheDestinationsLimits) {
    EXPECT_EQ(mail::DefaultDestinationLimits(QStringLiteral("outlook.office365.com")).perMinute,
              30);
    const mail::DestinationLimits graph =
        mail::DefaultDestinationLimits(QStringLiteral("graph.microsoft.com"));
    EXPECT_EQ(graph.sessions, 4);
    EXPECT_EQ(graph.perMinute, 30);

    mail::ResetDestinations();
    mail::DestinationLimits two;
    two.sessions = 2;
    mail::SetConfiguredDestinations({{QStringLiteral("127.0.0.1"), two}});
    HttpsServer server;
    ASSERT_TRUE(server.isRunning()) << server.error().toStdString();
    server.setScenario(QStringLiteral("concurrency"));
    for (const bool ews : {true, false}) {
        std::vector<std::future<mail::ExchangeOutcome>> running;
        for (int i = 0; i < 4; ++i)
            running.push_back(std::async(std::launch::async, [&] {
                return ews ? mail::SendThroughEws(makeSend(server))
                           : mail::SendThroughWebDav(makeSend(server));
            }));
        for (auto& r : running) {
            const mail::ExchangeOutcome out = r.get();
            EXPECT_EQ(out.code, 0) << out.description.toStdString();
        }
    }
    const QList<QJsonObject> requests = server.requests();
    EXPECT_EQ(requests.size(), 8);
    for (const QJsonObject& r : requests)
        EXPECT_LE(r.value(u"in_flight").toInt(), 2) << r.value(u"path").toString().toStdString();
    mail::ResetDestinations();
}

} // namespace
