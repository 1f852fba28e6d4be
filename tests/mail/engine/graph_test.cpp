// Microsoft Graph sendMail against the HTTPS peer tests/servers/https_server.py: the shape of
// the request, and the outcome for each kind of answer, a message over the limit and a stop.
#include "mail/transport/graph.h"
#include "support/https_fixture.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <atomic>
#include <future>
#include <thread>

#include <gtest/gtest.h>

namespace {

using testsupport::HttpsServer;
using testsupport::HttpsServerOptions;

const QString kMailbox = QStringLiteral("studio@radio.example");

const QByteArray kMessage = "From: Studio <studio@radio.example>\r\n"
                            "To: Bob <bob@example.test>\r\n"
                            "Subject: Postique: conducteur\r\n"
                            "MIME-Version: 1.0\r\n"
                            "Content-Type: text/plain; charset=utf-8\r\n"
                            "\r\n"
                            "Le conducteur de demain est pr\xc3\xaat.\r\n";

HttpsServerOptions graphPeer() {
    HttpsServerOptions options;
    options.user.clear(); // the bearer is recorded, not checked, here
    options.mailbox = kMailbox;
    return options;
}

mail::GraphSend makeSend(const HttpsServer& server) {
    mail::GraphSend send;
    send.server = QStringLiteral("127.0.0.1:%1").arg(server.port());
    send.mailbox = kMailbox;
    send.bearer = QStringLiteral("at-graph-token");
    send.caFolder = server.caFolder();
    send.connectTimeout = std::chrono::milliseconds(5000);
    send.responseTimeout = std::chrono::milliseconds(60000);
    send.message = kMessage;
    return send;
}

} // namespace

TEST(GraphAddresses, HostFromTheServerField) {
    const struct {
        QString server, mailbox, expected;
    } cases[] = {
        {"", "a@b.example", "https://graph.microsoft.com/v1.0/users/a%40b.example/sendMail"},
        {"outlook.office365.com", "a@b", "https://graph.microsoft.com/v1.0/users/a%40b/sendMail"},
        {"SMTP.Office365.com:587", "a", "https://graph.microsoft.com/v1.0/users/a/sendMail"},
        {"127.0.0.1:8443", "x/../y", "https://127.0.0.1:8443/v1.0/users/x%2F..%2Fy/sendMail"},
        {"graph.example/", " a ", "https://graph.example/v1.0/users/a/sendMail"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(mail::GraphSendMailUrl(c.server, c.mailbox), c.expected)
            << c.server.toStdString();
    for (const char* yes :
         {"outlook.office.com", "smtp-mail.outlook.com", "graph.microsoft.com:443"})
        EXPECT_TRUE(mail::IsMicrosoft365Host(QString::fromLatin1(yes))) << yes;
    for (const char* no :
         {"mail.radio.example", "evil-office365.com", "office365.com.evil.example"})
        EXPECT_FALSE(mail::IsMicrosoft365Host(QString::fromLatin1(no))) << no;
}

TEST(Graph, OutcomeForEachAnswer) {
    const struct {
        const char* scenario;
        qsizetype messageSize; // 0: the small message
        qint32 code;
        bool permanent;
        int requests;
        const char* inDescription;
    } cases[] = {
        {"ok", 0, mail::Error::None, false, 1, ""},
        {"graph-busy", 0, mail::Error::None, false, 2, ""}, // Retry-After: 1 waited for
        {"graph-busy-long", 0, mail::Error::HttpStatus, false, 1, "3600 s"},
        {"graph-400", 0, mail::Error::GraphRefused, true, 1,
         "ErrorInvalidRecipients : At least one recipient isn't valid. X-Injected: 1"},
        {"unauthorized", 0, mail::Error::LoginRefused, false, 1, "HTTP 401"},
        {"http-500", 0, mail::Error::HttpStatus, false, 1, "HTTP 500"},
        // 3 MiB encodes to 4 MiB and a little more: refused before anything is sent.
        {"ok", qsizetype{3} * 1024 * 1024 + 3, mail::Error::MessageTooLarge, true, 0, "4 Mo"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.scenario) + (c.messageSize ? " (large)" : ""));
        HttpsServer server(graphPeer());
        ASSERT_TRUE(server.isRunning()) << server.error().toStdString();
        server.setScenario(QString::fromLatin1(c.scenario));
        mail::GraphSend send = makeSend(server);
        if (c.messageSize)
            send.message = kMessage + QByteArray(c.messageSize - kMessage.size(), 'a');
        const mail::SendOutcome out = mail::SendThroughGraph(send);
        EXPECT_EQ(out.code, c.code) << out.description.toStdString();
        EXPECT_EQ(out.permanent, c.permanent);
        EXPECT_TRUE(out.description.contains(QString::fromUtf8(c.inDescription)))
            << out.description.toStdString();
        EXPECT_FALSE(out.description.contains(QLatin1Char('\n')));
        const QList<QJsonObject> requests = server.requests();
        ASSERT_EQ(requests.size(), c.requests);
        for (const QJsonObject& r : requests) {
            EXPECT_TRUE(r.value(u"problems").toArray().isEmpty())
                << QJsonDocument(r).toJson().toStdString();
            EXPECT_EQ(r.value(u"headers").toObject().value(u"Authorization").toString(),
                      "Bearer at-graph-token");
            const QJsonObject found = r.value(u"found").toObject();
            EXPECT_EQ(QByteArray::fromBase64(found.value(u"mime_b64").toString().toLatin1()),
                      kMessage);
            EXPECT_EQ(found.value(u"subject").toString(), "Postique: conducteur");
        }
    }
}

TEST(Graph, CheckSendsNothingAndJudgesTheLogin) {
    for (const auto& [scenario, code] : {std::pair{"ok", mail::Error::None},
                                         std::pair{"unauthorized", mail::Error::LoginRefused}}) {
        HttpsServer server(graphPeer());
        ASSERT_TRUE(server.isRunning()) << server.error().toStdString();
        server.setScenario(QString::fromLatin1(scenario));
        QString what;
        const mail::SendOutcome out = mail::CheckGraph(makeSend(server), what);
        EXPECT_EQ(out.code, code) << scenario << out.description.toStdString();
        EXPECT_TRUE(what.endsWith(QStringLiteral("/v1.0/users/studio%40radio.example/sendMail")));
        ASSERT_EQ(server.requests().size(), 1);
        EXPECT_TRUE(server.requests().first().value(u"found").toObject().value(u"check").toBool());
    }
}

TEST(Graph, StopRequestEndsASlowReply) {
    HttpsServer server(graphPeer());
    ASSERT_TRUE(server.isRunning()) << server.error().toStdString();
    server.setScenario(QStringLiteral("slow"));
    std::atomic<bool> stop{false};
    mail::SetAbortFlag(&stop);
    auto sending =
        std::async(std::launch::async, [&] { return mail::SendThroughGraph(makeSend(server)); });
    for (int i = 0; i < 200 && server.requests().isEmpty(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    stop = true;
    // The reply would come after 60 s and the time limit is 60 s: only the stop ends it.
    const mail::SendOutcome out = sending.get();
    mail::SetAbortFlag(nullptr);
    EXPECT_EQ(out.code, mail::Error::Aborted) << out.description.toStdString();
}
