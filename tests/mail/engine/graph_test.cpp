// Microsoft Graph sendMail against the HTTPS peer tests/servers/https_server.py: the shape of
// the request, the outcome for each kind of answer, a message over the limit, a stop, the
// mailbox's limits (requests at once, a Retry-After for every worker) and large messages
// through a draft and upload sessions.
#include "mail/engine/destinations.h"
#include "mail/mime/mime_builder.h"
#include "mail/transport/graph.h"
#include "support/https_fixture.h"

#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <atomic>
#include <future>
#include <thread>
#include <vector>

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
        // A right the tenant did not grant: the mail waits for it, naming it.
        {"graph-403", 0, mail::Error::NotAuthorized, false, 1, "Mail.Send"},
        {"graph-400-consent", 0, mail::Error::NotAuthorized, false, 1, "Mail.Send"},
        // A 400 about neither the message nor the rights is worth another try.
        {"graph-400-other", 0, mail::Error::GraphRefused, false, 1, "BadRequest"},
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
        EXPECT_EQ(!out.missingRight.isEmpty(), c.code == mail::Error::NotAuthorized)
            << out.missingRight.toStdString();
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

// A stop once the whole request went out waits for the answer up to the reply limit, and a
// mail whose answer never comes counts as sent (the operator is told); a stop asked before
// the request leaves sends nothing.
TEST(Graph, StopAfterTheRequestWentWaitsForTheAnswer) {
    const struct {
        const char* scenario;
        bool stopFirst;
        qint32 code;
        bool unconfirmed;
        int requests;
    } cases[] = {{"slow:1.5", false, mail::Error::None, false, 1},
                 {"slow:30", false, mail::Error::None, true, 1},
                 {"ok", true, mail::Error::Aborted, false, 0}};
    // One flag for every case: the transfer watcher's thread may still look at it between two.
    static std::atomic<bool> stop{false};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.scenario);
        HttpsServer server(graphPeer());
        ASSERT_TRUE(server.isRunning()) << server.error().toStdString();
        server.setScenario(QString::fromLatin1(c.scenario));
        mail::GraphSend send = makeSend(server);
        send.responseTimeout = std::chrono::milliseconds(3000);
        stop = c.stopFirst;
        mail::SetAbortFlag(&stop);
        auto sending = std::async(std::launch::async, [&] { return mail::SendThroughGraph(send); });
        for (int i = 0; i < 200 && server.requests().isEmpty() && !c.stopFirst; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        stop = true;
        const mail::SendOutcome out = sending.get();
        mail::SetAbortFlag(nullptr);
        EXPECT_EQ(out.code, c.code) << out.description.toStdString();
        EXPECT_EQ(out.unconfirmed, c.unconfirmed) << out.description.toStdString();
        EXPECT_EQ(server.requests().size(), c.requests);
        if (c.unconfirmed) {
            EXPECT_TRUE(out.description.contains(QStringLiteral("compté comme envoyé")));
        }
    }
}

namespace {

// `workers` threads sending `each` mails at once through the peer; their outcomes.
std::vector<mail::SendOutcome> sendTogether(const HttpsServer& server, int workers, int each) {
    std::vector<std::future<std::vector<mail::SendOutcome>>> running;
    for (int w = 0; w < workers; ++w)
        running.push_back(std::async(std::launch::async, [&] {
            std::vector<mail::SendOutcome> outcomes;
            for (int i = 0; i < each; ++i)
                outcomes.push_back(mail::SendThroughGraph(makeSend(server)));
            return outcomes;
        }));
    std::vector<mail::SendOutcome> all;
    for (auto& r : running)
        for (const mail::SendOutcome& out : r.get())
            all.push_back(out);
    return all;
}

} // namespace

// Eight workers of one mailbox: at most four requests at once reach Graph, which then never
// answers "MailboxConcurrency".
TEST(Graph, AtMostFourRequestsAtOncePerMailbox) {
    mail::ResetDestinations();
    HttpsServer server(graphPeer());
    ASSERT_TRUE(server.isRunning()) << server.error().toStdString();
    server.setScenario(QStringLiteral("concurrency"));
    for (const mail::SendOutcome& out : sendTogether(server, 8, 3))
        EXPECT_EQ(out.code, mail::Error::None) << out.description.toStdString();
    const QList<QJsonObject> requests = server.requests();
    EXPECT_EQ(requests.size(), 24) << "no request refused and made again";
    int most = 0;
    for (const QJsonObject& r : requests)
        most = std::max(most, r.value(u"in_flight").toInt());
    EXPECT_LE(most, 4);
    mail::ResetDestinations();
}

// A 429 with "Retry-After: 1" to one worker pauses them all: no request starts until the
// second is over, though the others' answers come within it.
TEST(Graph, RetryAfterPausesEveryWorker) {
    mail::ResetDestinations();
    HttpsServer server(graphPeer());
    ASSERT_TRUE(server.isRunning()) << server.error().toStdString();
    server.setScenario(QStringLiteral("graph-busy-shared"));
    for (const mail::SendOutcome& out : sendTogether(server, 4, 3))
        EXPECT_EQ(out.code, mail::Error::None) << out.description.toStdString();
    const QList<QJsonObject> requests = server.requests();
    ASSERT_EQ(requests.size(), 13) << "twelve mails, one of them asked twice";
    const double refused = requests.first().value(u"time").toDouble();
    for (const QJsonObject& r : requests) {
        const double after = r.value(u"time").toDouble() - refused;
        EXPECT_FALSE(after > 0.3 && after < 0.9) << "a request " << after << " s after the 429";
    }
    mail::ResetDestinations();
}

namespace {

// A message of `size` bytes of attachment (deterministic, not compressible), built as the
// program builds its mails.
QByteArray messageWithAttachment(qsizetype size, QByteArray* attachment) {
    QByteArray data(size, Qt::Uninitialized);
    quint32 x = 2463534242u;
    for (qsizetype i = 0; i < size; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        data[i] = char(x & 0xff);
    }
    *attachment = data;
    mail::detail::MessageContent content;
    content.from = {QStringLiteral("Studio"), kMailbox};
    content.to = {{QStringLiteral("Bob"), QStringLiteral("bob@example.test")}};
    content.subject = QStringLiteral("Postique: gros envoi");
    content.body = QStringLiteral("Le conducteur est joint.");
    content.attachments = {{QStringLiteral("conducteur.wav"), data}};
    QString error;
    const QByteArray entity = mail::detail::BuildContentEntity(content, error);
    EXPECT_FALSE(entity.isEmpty()) << error.toStdString();
    return mail::detail::BuildTopHeaders(content) + entity;
}

} // namespace

// Over 4 MB once encoded: a draft without its attachment, the attachment through an upload
// session in ranges, then the draft's send. A signed message that large, or one over the
// tenant's limit, is refused before anything goes.
TEST(Graph, LargeMessageGoesAsDraftAndUploadSession) {
    mail::ResetDestinations();
    HttpsServer server(graphPeer());
    ASSERT_TRUE(server.isRunning()) << server.error().toStdString();
    QByteArray attachment;
    mail::GraphSend send = makeSend(server);
    send.message = messageWithAttachment(9'000'000, &attachment);
    const mail::SendOutcome out = mail::SendThroughGraph(send);
    ASSERT_EQ(out.code, mail::Error::None) << out.description.toStdString();
    QList<QJsonObject> requests = server.requests();
    QStringList steps;
    for (const QJsonObject& r : requests) {
        EXPECT_TRUE(r.value(u"problems").toArray().isEmpty())
            << QJsonDocument(r).toJson().toStdString();
        const QString path = r.value(u"path").toString();
        steps << r.value(u"method").toString() + u' ' +
                     (path.startsWith(u"/upload/") ? QStringLiteral("upload")
                                                   : path.section(u'/', -1));
    }
    EXPECT_EQ(steps, (QStringList{"POST messages", "POST createUploadSession", "PUT upload",
                                  "PUT upload", "PUT upload", "POST send"}));
    ASSERT_FALSE(requests.isEmpty());
    const QJsonObject sent = requests.last().value(u"found").toObject();
    EXPECT_EQ(sent.value(u"subject").toString(), "Postique: gros envoi");
    EXPECT_LT(sent.value(u"mime_b64").toString().size(), 64 * 1024) << "the draft went light";
    const QJsonArray attached = sent.value(u"attachments").toArray();
    ASSERT_EQ(attached.size(), 1);
    const QJsonObject a = attached.first().toObject();
    EXPECT_EQ(a.value(u"name").toString(), "conducteur.wav");
    EXPECT_EQ(a.value(u"size").toInt(), 9'000'000);
    EXPECT_EQ(a.value(u"ranges").toInt(), 3);
    EXPECT_EQ(a.value(u"sha256").toString(),
              QString::fromLatin1(
                  QCryptographicHash::hash(attachment, QCryptographicHash::Sha256).toHex()));

    // Signed, it must travel whole: refused, and why, before any request.
    mail::GraphSend signedSend = makeSend(server);
    signedSend.message =
        "From: studio@radio.example\r\nSubject: s\r\nMIME-Version: 1.0\r\n"
        "Content-Type: multipart/signed; protocol=\"application/pkcs7-signature\"; "
        "micalg=sha-256; boundary=\"b\"\r\n\r\n--b\r\n"
        "Content-Type: text/plain\r\n\r\n" +
        QByteArray(5'000'000, 'a') + "\r\n--b--\r\n";
    mail::SendOutcome refused = mail::SendThroughGraph(signedSend);
    EXPECT_EQ(refused.code, mail::Error::MessageTooLarge);
    EXPECT_TRUE(refused.permanent);
    EXPECT_TRUE(refused.description.contains(QStringLiteral("signé")))
        << refused.description.toStdString();
    // Over the tenant's limit.
    send.messageLimit = 5'000'000;
    refused = mail::SendThroughGraph(send);
    EXPECT_EQ(refused.code, mail::Error::MessageTooLarge);
    EXPECT_TRUE(refused.permanent);
    EXPECT_EQ(server.requests().size(), requests.size()) << "nothing sent for either";
    mail::ResetDestinations();
}
