// The mail object end to end with certificates and Exchange: signed, encrypted and signed-
// then-encrypted mail received by the SMTP test server and opened with the openssl command;
// protocols 1 and 2 through the HTTPS test peer, with the result of each kind of answer.
#include "mail/engine/mail_component.h"
#include "support/https_fixture.h"
#include "support/smtp_fixture.h"
#include "support/test_pki.h"
#include "system/globals.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

using testsupport::RunOpenssl;
using testsupport::SharedTestPki;

const QString kBody = QStringLiteral("Bonjour,\r\nle conducteur de demain est prêt.\r\n");

class SecureSendTest : public ::testing::Test {
protected:
    void SetUp() override {
        const auto& pki = SharedTestPki();
        ASSERT_TRUE(pki.ok) << pki.error.toStdString();
        ASSERT_TRUE(dir_.isValid());
        qputenv("VELMORA_PREFIX", dir_.path().toLocal8Bit());
        testsupport::MakeCertificateStore(dir_.path(), "my", {pki.aliceP12Legacy});
        testsupport::MakeCertificateStore(dir_.path(), "AddressBook", {pki.bobCert, pki.carolCert});
        savedSettingsFolder_ = Lib_Public::DossierSettingsProgramme;
    }
    void TearDown() override {
        qunsetenv("VELMORA_PREFIX");
        Lib_Public::DossierSettingsProgramme = savedSettingsFolder_;
    }

    // A mail from alice to bob (To) and carol (Cc) with a small binary attachment.
    void fill(mail::MailMessage& m) {
        m.setSenderName(QStringLiteral("Alice"));
        m.setSenderAddress(QStringLiteral("alice@example.test"));
        m.addRecipients(QStringLiteral("Bob <bob@example.test>"), 0);
        m.addRecipients(QStringLiteral("carol@example.test"), 1);
        m.setSubject(QStringLiteral("Postique: sécurité"));
        m.setBody(kBody);
        const QString attachment = dir_.filePath(QStringLiteral("jingle.bin"));
        QFile f(attachment);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(QByteArray("\x00\x01\x02\xff jingle", 11));
        f.close();
        ASSERT_EQ(m.addAttachment(attachment), 0);
    }

    QByteArray cms(const QStringList& args, const QByteArray& input) {
        const QString in = dir_.filePath(QStringLiteral("cms-%1.eml").arg(counter_++));
        QFile f(in);
        EXPECT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(input);
        f.close();
        QByteArray out;
        QString err;
        EXPECT_TRUE(RunOpenssl(QStringList{"cms"} + args + QStringList{"-in", in}, &out, &err))
            << err.toStdString();
        return out;
    }

    QTemporaryDir dir_;
    QString savedSettingsFolder_;
    int counter_ = 0;
};

TEST_F(SecureSendTest, SignedEncryptedAndBothReachTheServerAndOpen) {
    const auto& pki = SharedTestPki();
    testsupport::SmtpServer server;
    ASSERT_TRUE(server.isRunning()) << server.error().toStdString();
    const struct { bool sign, encrypt; } cases[] = {{true, false}, {false, true}, {true, true}};
    int expected = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.sign ? "signed " : "") + (c.encrypt ? "encrypted" : ""));
        mail::MailMessage m;
        m.setServer(QStringLiteral("127.0.0.1"));
        m.setPort(server.port());
        fill(m);
        if (c.sign) {
            ASSERT_TRUE(m.signerCertificate().findBySubject("alice@example.test",
                                                            mail::CurrentUserStore, "my"));
            ASSERT_TRUE(m.signerCertificate().hasPrivateKey());
        }
        if (c.encrypt) {
            // One certificate object loaded anew for each recipient, as the sending routine does.
            mail::Certificate recipient;
            for (const char* address : {"bob@example.test", "carol@example.test"}) {
                ASSERT_TRUE(recipient.findBySubject(address, mail::CurrentUserStore, "AddressBook"))
                    << recipient.lastErrorText().toStdString();
                m.recipientCertificates().add(recipient);
            }
        }
        ASSERT_EQ(m.send(), 0) << m.lastErrorDescription().toStdString();
        ASSERT_TRUE(server.waitForMessages(++expected));
        const QByteArray wire = server.messages().last().data;
        const QJsonObject outer = testsupport::ParseWithPython(wire);
        EXPECT_EQ(outer["subject"].toString(), QStringLiteral("Postique: sécurité"));
        EXPECT_EQ(outer["to"].toString(), QStringLiteral("Bob <bob@example.test>"));

        QList<QByteArray> opened{wire};
        if (c.encrypt) {
            EXPECT_TRUE(wire.contains("application/pkcs7-mime"));
            EXPECT_FALSE(wire.contains("conducteur"));
            // Every recipient, and the sender for its own copy, can open it.
            opened.clear();
            for (const auto& [cert, key] :
                 {std::pair{pki.bobCert, pki.bobKey}, std::pair{pki.carolCert, pki.carolKey},
                  std::pair{pki.aliceCert, pki.aliceKey}})
                opened << cms({"-decrypt", "-recip", cert, "-inkey", key}, wire);
        }
        for (QByteArray content : opened) {
            if (c.sign) {
                EXPECT_TRUE(content.contains("multipart/signed"));
                content = cms({"-verify", "-CAfile", pki.caCert}, content);
            }
            const QJsonObject inner = testsupport::ParseWithPython(content);
            EXPECT_EQ(inner["body"].toString().trimmed(),
                      QString(kBody).replace("\r\n", "\n").trimmed());
            const QJsonArray attachments = inner["attachments"].toArray();
            ASSERT_EQ(attachments.size(), 1);
            EXPECT_EQ(
                QByteArray::fromBase64(attachments[0].toObject()["data_b64"].toString().toLatin1()),
                QByteArray("\x00\x01\x02\xff jingle", 11));
        }
    }
}

TEST_F(SecureSendTest, CertificateObjectAnswersTheSendingRoutine) {
    const auto& pki = SharedTestPki();
    // Bob's certificate without its key in "my": found, but unusable for signing.
    testsupport::MakeCertificateStore(dir_.path(), "my", {pki.bobCert});
    mail::Certificate c;
    EXPECT_TRUE(c.findBySubject("bob@example.test", mail::CurrentUserStore, "my"));
    EXPECT_FALSE(c.hasPrivateKey());
    EXPECT_FALSE(c.findBySubject("nobody@example.test", mail::CurrentUserStore, "my"));
    EXPECT_FALSE(c.isLoaded());
    EXPECT_FALSE(c.hasPrivateKey());
    EXPECT_TRUE(c.lastErrorText().startsWith("Aucun certificat pour cette adresse"));
    EXPECT_TRUE(c.findBySubject("alice@example.test", mail::CurrentUserStore, "my"));
    EXPECT_TRUE(c.lastErrorText().isEmpty());

    // A signer without key stops the send with a reason, nothing goes out.
    mail::MailMessage m;
    m.setServer(QStringLiteral("127.0.0.1"));
    m.setPort(9);
    fill(m);
    m.signerCertificate().findBySubject("bob@example.test", mail::CurrentUserStore, "my");
    EXPECT_EQ(m.send(), mail::Error::SecurityFailed);
    EXPECT_TRUE(m.lastErrorDescription().contains("clé privée"));
}

TEST_F(SecureSendTest, ExchangeProtocolsThroughTheMailObject) {
    testsupport::HttpsServer server;
    ASSERT_TRUE(server.isRunning()) << server.error().toStdString();
    // The program's own "CA" folder is what tells the transports to trust the test CA.
    Lib_Public::DossierSettingsProgramme = QDir(server.caFolder()).absolutePath().chopped(2);

    auto send = [&](qint32 protocol, mail::MailMessage& m) {
        m.setServer(QStringLiteral("127.0.0.1:%1").arg(server.port()));
        m.setPort(587);
        m.setProtocol(protocol);
        m.setConnectionMode(mail::ConnectionMode::Ssl);
        m.setTrustedCaFolder(QDir(server.caFolder()).absolutePath());
        m.setUserName(QStringLiteral("studio"));
        m.setPassword(QStringLiteral("m0t de passe"));
        fill(m);
        m.addRecipients(QStringLiteral("archive@example.test"), 2);
        return m.send();
    };
    for (const qint32 protocol :
         {mail::Protocol::ExchangeWebService, mail::Protocol::ExchangeWebDav}) {
        SCOPED_TRACE(protocol);
        mail::MailMessage m;
        ASSERT_TRUE(m.signerCertificate().findBySubject("alice@example.test",
                                                        mail::CurrentUserStore, "my"));
        EXPECT_EQ(send(protocol, m), 0) << m.lastErrorDescription().toStdString();
        const QJsonObject request = server.requests().last();
        EXPECT_TRUE(request["problems"].toArray().isEmpty())
            << QJsonDocument(request).toJson().toStdString();
        const QJsonObject found = request["found"].toObject();
        EXPECT_EQ(found["subject"].toString(), QStringLiteral("Postique: sécurité"));
        EXPECT_EQ(found["content_type"].toString(), "multipart/signed");
        if (protocol == mail::Protocol::ExchangeWebService) {
            EXPECT_EQ(found["to"].toArray().size(), 1);
            EXPECT_EQ(found["cc"].toArray().size(), 1);
            EXPECT_EQ(found["bcc"].toArray().first().toString(), "archive@example.test");
        } else {
            EXPECT_EQ(found["rcpt_to"].toArray().size(), 3);
            EXPECT_EQ(found["mail_from"].toString(), "alice@example.test");
        }
    }

    const struct {
        const char* scenario;
        qint32 protocol;
        qint32 code;
        const char* fragment;
    } failures[] = {
        {"unauthorized", mail::Protocol::ExchangeWebService, mail::Error::LoginRefused, "HTTP 401"},
        {"ews-error", mail::Protocol::ExchangeWebService, mail::Error::ExchangeRefused,
         "ErrorInvalidRecipients"},
        {"soap-fault", mail::Protocol::ExchangeWebService, mail::Error::SoapFault,
         "schema validation"},
        {"fba-440", mail::Protocol::ExchangeWebDav, mail::Error::FormsAuthentication, "formulaire"},
        {"fba-redirect", mail::Protocol::ExchangeWebDav, mail::Error::FormsAuthentication,
         "formulaire"},
        {"http-500", mail::Protocol::ExchangeWebDav, mail::Error::HttpStatus, "HTTP 500"},
    };
    for (const auto& f : failures) {
        SCOPED_TRACE(f.scenario);
        server.setScenario(f.scenario);
        mail::MailMessage m;
        EXPECT_EQ(send(f.protocol, m), f.code);
        EXPECT_EQ(m.lastErrorCode(), f.code);
        EXPECT_TRUE(m.lastErrorDescription().contains(f.fragment))
            << m.lastErrorDescription().toStdString();
    }
}

} // namespace
