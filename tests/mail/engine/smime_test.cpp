// S/MIME output checked by the openssl command: signatures verify against the test CA,
// encrypted entities decrypt for every recipient, and what comes out equals what went in.
#include "mail/mime/smime.h"
#include "support/test_pki.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

using testsupport::RunOpenssl;
using testsupport::SharedTestPki;

const QByteArray kEntity = "Content-Type: text/plain; charset=utf-8\r\n"
                           "Content-Transfer-Encoding: 8bit\r\n"
                           "\r\n"
                           "Bonjour, voil\xc3\xa0 le programme de demain.\r\n"
                           "From the studio\r\n";

class SmimeTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(SharedTestPki().ok) << SharedTestPki().error.toStdString();
        ASSERT_TRUE(dir_.isValid());
    }

    mail::CertificatePtr load(const QString& certFile, const QString& keyFile = QString()) {
        // Certificate and key in one PEM file, as a technician would drop them in a store.
        QByteArray pem = readFile(certFile);
        if (!keyFile.isEmpty())
            pem += readFile(keyFile);
        const QString path = dir_.filePath(QStringLiteral("load-%1.pem").arg(counter_++));
        writeFile(path, pem);
        auto found = mail::loadCertificateFile(path);
        EXPECT_TRUE(found.certificate) << found.error.toStdString();
        return found.certificate;
    }

    // Runs `openssl cms <args> -in <input>`; returns standard output, fails the test on error.
    QByteArray cms(const QStringList& args, const QByteArray& input) {
        const QString in = dir_.filePath(QStringLiteral("in-%1.eml").arg(counter_++));
        writeFile(in, input);
        QByteArray out;
        QString err;
        EXPECT_TRUE(RunOpenssl(QStringList{"cms"} + args + QStringList{"-in", in}, &out, &err))
            << err.toStdString() << "\n"
            << input.toStdString();
        return out;
    }

    QByteArray verify(const QByteArray& signedEntity, QByteArray* signerCerts = nullptr) {
        const QString certs = dir_.filePath(QStringLiteral("certs-%1.pem").arg(counter_++));
        const QByteArray content =
            cms({"-verify", "-CAfile", SharedTestPki().caCert, "-certsout", certs}, signedEntity);
        if (signerCerts)
            *signerCerts = readFile(certs);
        return content;
    }

    QByteArray decrypt(const QByteArray& encrypted, const QString& cert, const QString& key) {
        return cms({"-decrypt", "-recip", cert, "-inkey", key}, encrypted);
    }

    static QByteArray readFile(const QString& path) {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    static void writeFile(const QString& path, const QByteArray& bytes) {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(bytes);
    }

    QTemporaryDir dir_;
    int counter_ = 0;
};

bool onlyCrlf(const QByteArray& bytes) {
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        if (bytes[i] == '\n' && (i == 0 || bytes[i - 1] != '\r'))
            return false;
        if (bytes[i] == '\r' && (i + 1 == bytes.size() || bytes[i + 1] != '\n'))
            return false;
    }
    return true;
}

TEST_F(SmimeTest, SignatureVerifiesAndCarriesTheChain) {
    const auto& pki = SharedTestPki();
    // The signer as it comes from a legacy PKCS#12 file with its CA.
    const auto signer = mail::loadCertificateFile(pki.aliceP12Legacy).certificate;
    ASSERT_TRUE(signer);
    const mail::SmimeResult signedEntity = mail::signEntity(kEntity, *signer);
    ASSERT_TRUE(signedEntity.ok) << signedEntity.error.toStdString();
    const QByteArray& out = signedEntity.data;

    EXPECT_TRUE(out.startsWith("Content-Type: multipart/signed")) << out.left(200).toStdString();
    EXPECT_TRUE(out.contains("micalg=\"sha-256\""));
    EXPECT_TRUE(onlyCrlf(out));
    for (char c : out)
        ASSERT_EQ(static_cast<unsigned char>(c) & 0x80, 0) << "8-bit byte in a signed entity";

    QByteArray certs;
    const QByteArray content = verify(out, &certs);
    EXPECT_EQ(content, mail::canonicalEntity(kEntity).data);
    EXPECT_TRUE(content.contains("Content-Transfer-Encoding: quoted-printable") ||
                content.contains("Content-Transfer-Encoding: base64"));
    EXPECT_EQ(certs.count("BEGIN CERTIFICATE"), 2) << "signer and its CA";

    // Nested parts are re-encoded too, and the signed bytes survive unchanged.
    const QByteArray multipart =
        "Content-Type: multipart/mixed; boundary=\"b1\"\r\n\r\n"
        "--b1\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Transfer-Encoding: 8bit\r\n\r\n"
        "Caf\xc3\xa9\n"
        "--b1\r\nContent-Type: application/octet-stream\r\nContent-Transfer-Encoding: "
        "binary\r\n\r\n"
        "\x01\x02\xff\xfe\r\n"
        "--b1--\r\n";
    const auto nested = mail::signEntity(multipart, *signer);
    ASSERT_TRUE(nested.ok);
    EXPECT_TRUE(onlyCrlf(nested.data));
    EXPECT_EQ(verify(nested.data), mail::canonicalEntity(multipart).data);
    EXPECT_FALSE(mail::canonicalEntity(multipart).data.contains("binary"))
        << mail::canonicalEntity(multipart).data.toStdString();
}

TEST_F(SmimeTest, EncryptsForEveryRecipient) {
    const auto& pki = SharedTestPki();
    const QList<mail::CertificatePtr> recipients{load(pki.bobCert), load(pki.carolCert)};
    const mail::SmimeResult encrypted = mail::encryptEntity(kEntity, recipients);
    ASSERT_TRUE(encrypted.ok) << encrypted.error.toStdString();
    EXPECT_TRUE(encrypted.data.contains("application/pkcs7-mime"));
    EXPECT_TRUE(encrypted.data.contains("enveloped-data"));
    EXPECT_TRUE(onlyCrlf(encrypted.data));
    EXPECT_FALSE(encrypted.data.contains("voil"));
    // RSA (bob) and EC (carol) recipients each get the content back.
    EXPECT_EQ(decrypt(encrypted.data, pki.bobCert, pki.bobKey), kEntity);
    EXPECT_EQ(decrypt(encrypted.data, pki.carolCert, pki.carolKey), kEntity);
    const QByteArray info = cms({"-cmsout", "-print"}, encrypted.data);
    EXPECT_TRUE(info.contains("aes-256-cbc")) << info.left(3000).toStdString();
}

TEST_F(SmimeTest, SignThenEncryptAWholeMessage) {
    const auto& pki = SharedTestPki();
    const auto signer = load(pki.aliceCert, pki.aliceKey);
    const QList<mail::CertificatePtr> recipients = mail::encryptionCertificates(
        {load(pki.bobCert), load(pki.bobCert)}, signer, QStringLiteral("alice@example.test"));
    ASSERT_EQ(recipients.size(), 2); // bob once, and the sender for its own copy

    const QByteArray message = "From: Alice <alice@example.test>\n"
                               "To: bob@example.test\n"
                               "Subject: Postique: test\n"
                               "MIME-Version: 1.0\n" +
                               kEntity;
    const mail::SmimeResult out = mail::protectMessage(message, signer.get(), recipients);
    ASSERT_TRUE(out.ok) << out.error.toStdString();
    EXPECT_TRUE(onlyCrlf(out.data));
    EXPECT_TRUE(out.data.startsWith("From: Alice <alice@example.test>\r\nTo: bob@example.test\r\n"
                                    "Subject: Postique: test\r\nMIME-Version: 1.0\r\n"));
    EXPECT_EQ(out.data.count("MIME-Version"), 1);

    for (const auto& [cert, key] :
         {std::pair{pki.bobCert, pki.bobKey}, std::pair{pki.aliceCert, pki.aliceKey}}) {
        const QByteArray inner = decrypt(out.data, cert, key);
        EXPECT_TRUE(inner.startsWith("Content-Type: multipart/signed"))
            << inner.left(200).toStdString();
        EXPECT_EQ(verify(inner), mail::canonicalEntity(kEntity).data);
    }
}

TEST_F(SmimeTest, RefusesWhatCannotBeDone) {
    const auto& pki = SharedTestPki();
    const auto withoutKey = load(pki.bobCert);
    const auto mismatched = load(pki.aliceCert, pki.bobKey);
    EXPECT_FALSE(mail::signEntity(kEntity, *withoutKey).ok);
    EXPECT_FALSE(mail::signEntity(kEntity, *mismatched).ok);
    EXPECT_FALSE(mail::encryptEntity(kEntity, {}).ok);
    const auto noHeaderEnd = mail::protectMessage("From: a@b\r\nSubject: x", nullptr, {});
    EXPECT_FALSE(noHeaderEnd.ok);
    EXPECT_FALSE(noHeaderEnd.error.isEmpty());
}

TEST(SmimeLineEnds, EveryLineEndBecomesCrlf) {
    const struct {
        QByteArray in, out;
    } cases[] = {
        {"a\nb\n", "a\r\nb\r\n"},
        {"a\r\nb", "a\r\nb"},
        {"a\rb\r", "a\r\nb\r\n"},
        {"\n\r\n\r", "\r\n\r\n\r\n"},
        {"", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(mail::toCrlf(c.in), c.out) << c.in.toStdString();
}

} // namespace
