// A small public-key infrastructure made with the openssl command for the tests: a CA, a
// TLS server certificate for loopback, and S/MIME certificates for senders and recipients.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace testsupport {

// Files of the test PKI (native paths in one temporary folder that lives as long as the
// test program). Keys are unencrypted PEM; every leaf is issued by the CA.
struct TestPki {
    QString dir;
    QString caCert, caKey;
    QString serverCert, serverKey;    // CN localhost, SAN DNS:localhost, IP:127.0.0.1
    QString aliceCert, aliceKey;      // alice@example.test (subject e-mail and SAN)
    QString aliceP12Legacy;           // alice cert + key + CA, legacy ciphers, empty password
    QString aliceP12Protected;        // the same, password "s3cret" (no side file made)
    QString bobCert, bobKey;          // bob@example.test, valid now
    QString bobOldCert;               // bob@example.test, older but still valid
    QString carolCert, carolKey;      // carol@Example.Test only in subjectAltName
    QString daveExpiredCert, daveKey; // dave@example.test, expired in 2021
    QString erinFutureCert;           // erin@example.test, valid from 2040
    bool ok = false;
    QString error;
};

// The PKI of this test program, made on first use (about a second).
const TestPki& SharedTestPki();

// Runs `openssl` with `args` (and `input` on its standard input); true on exit status 0.
// `out` receives standard output, `err` standard error.
bool RunOpenssl(const QStringList& args, QByteArray* out = nullptr, QString* err = nullptr,
                const QByteArray& input = QByteArray());

// Creates the store `storeName` under `prefix`/certificates and copies `files` into it
// (keeping their names). Returns the folder.
QString MakeCertificateStore(const QString& prefix, const QString& storeName,
                             const QStringList& files);

} // namespace testsupport
