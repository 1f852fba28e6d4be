// The SMTP conversation read from recorded transcripts, and the failure texts of the
// transports: which reply is blamed, when a wanted login is stopped, what the operator reads.
#include "mail/engine/transport_failure.h"
#include "mail/transport/smtp_conversation.h"

#include <QStringList>

#include <gtest/gtest.h>

using mail::detail::SmtpConversation;
namespace Error = mail::Error;

namespace {

// Plays a transcript into `talk`: "C: " lines are commands, "S: " lines replies, "D:" the
// start of the message body. Replies of one line group may arrive split (as TCP delivers).
void play(SmtpConversation& talk, const QStringList& transcript) {
    for (const QString& line : transcript) {
        const QByteArray bytes = line.mid(3).toUtf8() + "\r\n";
        if (line.startsWith(u"C: ")) {
            talk.commandSent(bytes);
        } else if (line.startsWith(u"S: ")) {
            const qsizetype half = bytes.size() / 2;
            talk.repliesReceived(bytes.constData(), size_t(half));
            talk.repliesReceived(bytes.constData() + half, size_t(bytes.size() - half));
        } else if (line.startsWith(u"D:")) {
            talk.bodyStarted();
        }
    }
}

struct Transcript {
    const char* name;
    bool loginWanted;
    bool tlsWanted;
    QStringList lines;
    bool loginUnavailable;
    const char* blamedCommand; // "" when no reply is a failure
    int blamedCode;
    int accepted;
    QStringList refused;
};

class ConversationTranscripts : public ::testing::TestWithParam<Transcript> {};

TEST_P(ConversationTranscripts, PairsRepliesAndJudgesTheLogin) {
    const Transcript& t = GetParam();
    SmtpConversation talk;
    talk.loginWanted = t.loginWanted;
    talk.tlsWanted = t.tlsWanted;
    play(talk, t.lines);
    EXPECT_EQ(talk.loginUnavailable(), t.loginUnavailable);
    const auto* failure = talk.lastFailure();
    EXPECT_EQ(failure ? failure->command : QString(), QString::fromLatin1(t.blamedCommand));
    EXPECT_EQ(failure ? failure->code : 0, t.blamedCode);
    EXPECT_EQ(talk.acceptedRecipients(), t.accepted);
    EXPECT_EQ(talk.refusedRecipients(), t.refused);
}

const QStringList kGreeting = {"S: 220 mx.station.test ESMTP", "C: EHLO poste"};

INSTANTIATE_TEST_SUITE_P(
    Recorded, ConversationTranscripts,
    ::testing::Values(
        Transcript{"Delivered",
                   false,
                   false,
                   kGreeting + QStringList{"S: 250-mx.station.test", "S: 250-SIZE 10240000",
                                           "S: 250 8BITMIME", "C: MAIL FROM:<a@station.test>",
                                           "S: 250 OK", "C: RCPT TO:<b@station.test>", "S: 250 OK",
                                           "C: RCPT TO:<c@ailleurs.test>",
                                           "S: 550 5.1.1 <c@ailleurs.test>: unknown\x01user",
                                           "C: DATA", "S: 354 go ahead",
                                           "D:", "S: 250 queued as 42"},
                   false,
                   "RCPT",
                   550,
                   1,
                   {"c@ailleurs.test (550 5.1.1 <c@ailleurs.test>: unknown user)"}},
        Transcript{"LoginWithoutAuthOffered",
                   true,
                   false,
                   kGreeting + QStringList{"S: 250-mx.station.test", "S: 250 8BITMIME"},
                   true,
                   "",
                   0,
                   0,
                   {}},
        Transcript{"LoginAwaitsStartTls",
                   true,
                   true,
                   kGreeting +
                       QStringList{"S: 250-mx.station.test", "S: 250 STARTTLS", "C: STARTTLS",
                                   "S: 220 ready", "C: EHLO poste", "S: 250-mx.station.test",
                                   "S: 250 AUTH PLAIN LOGIN",
                                   "C: AUTH PLAIN AGFsaWNlAHNlY3JldA==", "S: 235 2.7.0 accepted",
                                   "C: MAIL FROM:<a@station.test>", "S: 250 OK"},
                   false,
                   "",
                   0,
                   0,
                   {}},
        Transcript{"AuthRefusedKeepsNoCredentials",
                   true,
                   false,
                   kGreeting + QStringList{"S: 250-mx.station.test", "S: 250 AUTH=LOGIN",
                                           "C: AUTH LOGIN", "S: 334 VXNlcm5hbWU6",
                                           "C: YWxpY2U=", "S: 334 UGFzc3dvcmQ6", "C: c2VjcmV0",
                                           "S: 535 5.7.8 bad credentials"},
                   false,
                   "AUTH",
                   535,
                   0,
                   {}},
        Transcript{"MessageRefusedAfterData",
                   false,
                   false,
                   kGreeting + QStringList{"S: 250 mx.station.test", "C: MAIL FROM:<a@s.test>",
                                           "S: 250 OK", "C: RCPT TO:<b@s.test>", "S: 250 OK",
                                           "C: DATA", "S: 354 go",
                                           "D:", "S: 552 5.3.4 message too big"},
                   false,
                   ".",
                   552,
                   1,
                   {}},
        Transcript{"ReusedSessionLoggedInWhenOpened",
                   true,
                   false,
                   QStringList{"C: MAIL FROM:<a@s.test>", "S: 250 OK", "C: RCPT TO:<b@s.test>",
                               "S: 250 OK"},
                   false,
                   "",
                   0,
                   1,
                   {}},
        Transcript{"PipelinedGroupPairsInOrder",
                   false,
                   false,
                   kGreeting + QStringList{"S: 250-mx.station.test", "S: 250 PIPELINING",
                                           "C: MAIL FROM:<a@s.test>", "C: RCPT TO:<b@s.test>",
                                           "C: RCPT TO:<c@s.test>", "C: DATA", "S: 250 OK",
                                           "S: 550 5.1.1 <b@s.test> unknown", "S: 250 OK",
                                           "S: 354 go", "D:", "S: 250 queued"},
                   false,
                   "RCPT",
                   550,
                   1,
                   {"b@s.test (550 5.1.1 <b@s.test> unknown)"}},
        Transcript{
            "MailFromBeforeAnyAuth",
            true,
            false,
            QStringList{"S: 220 mx", "C: HELO poste", "S: 250 mx", "C: MAIL FROM:<a@s.test>"},
            true,
            "",
            0,
            0,
            {}}),
    [](const auto& test) { return std::string(test.param.name); });

// The last EHLO counts: a server may offer more (or less) once TLS is on.
TEST(SmtpConversation, FeaturesOfTheLastEhlo) {
    SmtpConversation talk;
    play(talk, {"S: 220 mx", "C: EHLO poste", "S: 250-mx", "S: 250-PIPELINING", "S: 250 STARTTLS",
                "C: STARTTLS", "S: 220 go", "C: EHLO poste", "S: 250-mx", "S: 250-SIZE 1000000",
                "S: 250 SMTPUTF8"});
    EXPECT_FALSE(talk.features().pipelining);
    EXPECT_TRUE(talk.features().size);
    EXPECT_TRUE(talk.features().utf8);
}

// Only three digits make a reply code: a sign or a blank in front would otherwise turn a
// garbled reply into a code below 400, which reads as no failure.
TEST(SmtpConversation, GarbledCodesAreZero) {
    const std::pair<const char*, int> lines[] = {
        {"S: 250 ok", 250}, {"S: -25 x", 0}, {"S: +25 x", 0}, {"S:  25 x", 0}, {"S: 2x0 x", 0}};
    for (const auto& [line, code] : lines) {
        SmtpConversation talk;
        play(talk, {"S: 220 mx", "C: NOOP", line});
        ASSERT_EQ(talk.replies().size(), 2u) << line;
        EXPECT_EQ(talk.replies().back().code, code) << line;
    }
}

TEST(SmtpConversation, KeepsNoCredentialsOfAnAuthExchange) {
    SmtpConversation talk;
    play(talk,
         {"S: 220 mx", "C: EHLO poste", "S: 250 AUTH LOGIN", "C: AUTH LOGIN", "S: 334 VXNlcm5hbWU6",
          "C: YWxpY2U=", "S: 334 UGFzc3dvcmQ6", "C: c2VjcmV0", "S: 235 ok"});
    for (const auto& reply : talk.replies()) {
        EXPECT_FALSE(reply.argument.contains(u"YWxpY2U")) << qPrintable(reply.argument);
        EXPECT_FALSE(reply.argument.contains(u"c2VjcmV0")) << qPrintable(reply.argument);
    }
    EXPECT_TRUE(talk.anyCommandAnswered());
}

struct CurlCase {
    CURLcode result;
    qint32 code;
    const char* smtpStart;
    const char* exchangeStart;
};

TEST(TransportFailure, OneErrorNumberForBothTransports) {
    const CurlCase cases[] = {
        {CURLE_COULDNT_RESOLVE_HOST, Error::ServerNotFound, "Serveur SMTP introuvable : mx.test.",
         "Serveur Exchange introuvable : https://ews.test/"},
        {CURLE_COULDNT_CONNECT, Error::ConnectFailed, "Connexion impossible au serveur SMTP",
         "Connexion impossible au serveur Exchange"},
        {CURLE_OPERATION_TIMEDOUT, Error::Timeout, "Le serveur SMTP mx.test:25 ne répond pas",
         "Le serveur Exchange https://ews.test/ ne répond pas"},
        {CURLE_PEER_FAILED_VERIFICATION, Error::CertificateUntrusted,
         "Le certificat du serveur mx.test:25", "Le certificat du serveur https://ews.test/"},
        {CURLE_SSL_CONNECT_ERROR, Error::TlsFailed,
         "Échec de la connexion SSL/TLS avec le serveur mx",
         "Échec de la connexion SSL/TLS avec le serveur Exchange"},
        {CURLE_USE_SSL_FAILED, Error::StartTlsUnavailable,
         "Le serveur mx.test:25 ne propose pas STARTTLS", "Échange interrompu"},
        {CURLE_RECV_ERROR, Error::ConnectionLost, "La communication avec le serveur SMTP",
         "Échange interrompu avec le serveur Exchange"},
    };
    for (const CurlCase& c : cases) {
        const auto smtp = mail::detail::CurlFailure(mail::detail::Peer::Smtp, c.result,
                                                    "mx.test:25", "mx.test", "tech", "/ca");
        const auto ews =
            mail::detail::CurlFailure(mail::detail::Peer::Exchange, c.result, "https://ews.test/",
                                      "https://ews.test/", "tech", "/ca");
        EXPECT_EQ(smtp.code, c.code) << c.smtpStart;
        EXPECT_EQ(ews.code, c.code) << c.exchangeStart;
        EXPECT_TRUE(smtp.description.startsWith(QString::fromUtf8(c.smtpStart)))
            << qPrintable(smtp.description);
        EXPECT_TRUE(ews.description.startsWith(QString::fromUtf8(c.exchangeStart)))
            << qPrintable(ews.description);
    }
}

TEST(TransportFailure, CaFolderAdviceNamesTheFolderOrCa) {
    using mail::detail::CurlFailure;
    using mail::detail::Peer;
    EXPECT_TRUE(CurlFailure(Peer::Exchange, CURLE_PEER_FAILED_VERIFICATION, "s", "s", "t",
                            "/opt/postique/Settings/CA")
                    .description.contains(u"« /opt/postique/Settings/CA »"));
    EXPECT_TRUE(CurlFailure(Peer::Smtp, CURLE_SSL_CACERT_BADFILE, "s", "s", "t", "")
                    .description.contains(u"« CA »"));
}

TEST(TransportFailure, TechnicalTextIsCleanedAndBounded) {
    const QByteArray hostile = "bad\r\nline\xe2\x80\xae" + QByteArray(400, 'x');
    const QString text = mail::detail::CurlTechnicalText(CURLE_RECV_ERROR, hostile.constData());
    EXPECT_TRUE(text.startsWith(u"bad line "));
    EXPECT_FALSE(text.contains(QChar(0x202E)));
    EXPECT_TRUE(text.endsWith(u"..."));
    EXPECT_FALSE(mail::detail::CurlTechnicalText(CURLE_RECV_ERROR, "").isEmpty());
}

TEST(TransportFailure, SmtpRefusalBlamesTheRefusedCommand) {
    using mail::detail::SmtpRefusal;
    EXPECT_EQ(SmtpRefusal("AUTH", "", "535 non", "mx:25", {})->code, Error::LoginRefused);
    EXPECT_EQ(SmtpRefusal("MAIL", "a@s.test", "550 non", "mx:25", {})->code, Error::SenderRefused);
    const auto rcpt = SmtpRefusal("RCPT", "", "550 non", "mx:25", {"b@s (550 non)", "c@s (551)"});
    EXPECT_EQ(rcpt->code, Error::RecipientRefused);
    EXPECT_TRUE(rcpt->description.contains(u"b@s (550 non) ; c@s (551)"));
    EXPECT_EQ(SmtpRefusal(".", "", "552 gros", "mx:25", {})->code, Error::DataRefused);
    EXPECT_EQ(SmtpRefusal("DATA", "", "554 non", "mx:25", {})->code, Error::DataRefused);
    EXPECT_FALSE(SmtpRefusal("EHLO", "", "500 quoi", "mx:25", {}).has_value());
    EXPECT_FALSE(SmtpRefusal("", "", "421 bye", "mx:25", {}).has_value());
}

} // namespace
