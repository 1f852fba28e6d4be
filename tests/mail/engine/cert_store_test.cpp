// Certificate stores: look-up by address across PEM and PKCS#12 files, validity preference,
// error texts and private-key matching, against certificates made by the openssl command.
#include "mail/mime/cert_store.h"
#include "support/test_pki.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <openssl/x509.h>

namespace {

using testsupport::SharedTestPki;

QString commonName(const mail::CertificateData& data) {
    char buf[256] = {};
    X509_NAME_get_text_by_NID(X509_get_subject_name(data.certificate.get()), NID_commonName, buf,
                              sizeof buf);
    return QString::fromUtf8(buf);
}

class CertStoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(SharedTestPki().ok) << SharedTestPki().error.toStdString();
        ASSERT_TRUE(prefix_.isValid());
        qputenv("VELMORA_PREFIX", prefix_.path().toLocal8Bit());
    }
    void TearDown() override { qunsetenv("VELMORA_PREFIX"); }

    QString prefix() const { return prefix_.path(); }

private:
    QTemporaryDir prefix_;
};

struct LookupCase {
    const char* address;
    const char* store;
    const char* expectedName;  // common name of the certificate found, or nullptr
    const char* errorFragment; // part of the error text when nothing is found
    bool key;
};

TEST_F(CertStoreTest, FindsByAddressAndExplainsFailures) {
    const auto& pki = SharedTestPki();
    testsupport::MakeCertificateStore(prefix(), "my", {pki.aliceP12Legacy});
    testsupport::MakeCertificateStore(
        prefix(), "AddressBook",
        {pki.bobCert, pki.bobOldCert, pki.carolCert, pki.daveExpiredCert, pki.erinFutureCert});
    const LookupCase cases[] = {
        {"alice@example.test", "my", "Alice Sender", nullptr, true},
        {"alice@EXAMPLE.Test", "My", "Alice Sender", nullptr,
         true}, // domain and store name: any case
        {"Alice Sender <alice@example.test>", "my", "Alice Sender", nullptr, true},
        {"Alice@example.test", "my", nullptr, "Aucun certificat", false},     // local part is exact
        {"bob@example.test", "AddressBook", "Bob Recipient", nullptr, false}, // newest valid one
        {"bob@example.test", "addressbook", "Bob Recipient", nullptr, false},
        {"carol@example.test", "AddressBook", "Carol Recipient", nullptr, false}, // SAN only
        {"dave@example.test", "AddressBook", nullptr, "expiré", false},
        {"erin@example.test", "AddressBook", nullptr, "pas encore valide", false},
        {"zoe@example.test", "AddressBook", nullptr, "Aucun certificat pour cette adresse", false},
        {"bob@example.test", "my", nullptr, "Aucun certificat", false},
        {"bob@example.test", "Missing", nullptr, "introuvable", false},
        {"  ", "my", nullptr, "Aucune adresse", false},
    };
    for (const LookupCase& c : cases) {
        SCOPED_TRACE(std::string(c.address) + " in " + c.store);
        const mail::CertificateLookup found =
            mail::findCertificate(c.address, mail::CurrentUserStore, c.store);
        if (c.expectedName) {
            ASSERT_TRUE(found.certificate) << found.error.toStdString();
            EXPECT_TRUE(found.error.isEmpty());
            EXPECT_EQ(commonName(*found.certificate), QString::fromUtf8(c.expectedName));
            EXPECT_EQ(mail::hasMatchingKey(*found.certificate), c.key);
        } else {
            EXPECT_FALSE(found.certificate);
            EXPECT_TRUE(found.error.contains(QString::fromUtf8(c.errorFragment)))
                << found.error.toStdString();
        }
    }
    const auto other = mail::findCertificate("bob@example.test", 131072, "AddressBook");
    EXPECT_FALSE(other.certificate);
    EXPECT_TRUE(other.error.contains("131072"));
}

TEST_F(CertStoreTest, PkcsTwelveChainAndKeysInSeparateFiles) {
    const auto& pki = SharedTestPki();
    // A legacy PKCS#12 file brings its CA along, which goes into the signer's chain.
    testsupport::MakeCertificateStore(prefix(), "my", {pki.aliceP12Legacy});
    auto alice = mail::findCertificate("alice@example.test", mail::CurrentUserStore, "my");
    ASSERT_TRUE(alice.certificate) << alice.error.toStdString();
    ASSERT_EQ(alice.certificate->chain.size(), 1u);
    char issuer[256] = {};
    X509_NAME_get_text_by_NID(X509_get_subject_name(alice.certificate->chain[0].get()),
                              NID_commonName, issuer, sizeof issuer);
    EXPECT_STREQ(issuer, "Postique Test CA");

    // Certificate and key in two PEM files, the CA in a third: all found and matched.
    QTemporaryDir other;
    qputenv("VELMORA_PREFIX", other.path().toLocal8Bit());
    testsupport::MakeCertificateStore(other.path(), "my",
                                      {pki.carolCert, pki.carolKey, pki.caCert});
    auto carol = mail::findCertificate("carol@example.test", mail::CurrentUserStore, "my");
    ASSERT_TRUE(carol.certificate) << carol.error.toStdString();
    EXPECT_TRUE(mail::hasMatchingKey(*carol.certificate));
    EXPECT_EQ(carol.certificate->chain.size(), 1u);
}

TEST_F(CertStoreTest, PrivateKeyCountsOnlyWhenItMatches) {
    const auto& pki = SharedTestPki();
    // Alice's certificate next to somebody else's key: no usable key.
    const QString folder =
        testsupport::MakeCertificateStore(prefix(), "my", {pki.aliceCert, pki.bobKey});
    auto alice = mail::findCertificate("alice@example.test", mail::CurrentUserStore, "my");
    ASSERT_TRUE(alice.certificate);
    EXPECT_FALSE(mail::hasMatchingKey(*alice.certificate));

    // A password-protected PKCS#12 opens only with its side password file.
    QFile::remove(folder + "/alice.pem");
    testsupport::MakeCertificateStore(prefix(), "my", {pki.aliceP12Protected});
    EXPECT_FALSE(
        mail::findCertificate("alice@example.test", mail::CurrentUserStore, "my").certificate);
    QFile side(folder + "/alice-protected.p12.password");
    ASSERT_TRUE(side.open(QIODevice::WriteOnly));
    side.write("s3cret\n");
    side.close();
    alice = mail::findCertificate("alice@example.test", mail::CurrentUserStore, "my");
    ASSERT_TRUE(alice.certificate) << alice.error.toStdString();
    EXPECT_TRUE(mail::hasMatchingKey(*alice.certificate));
}

} // namespace
