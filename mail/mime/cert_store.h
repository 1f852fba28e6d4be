// The current user's certificate stores ("my" for own certificates with their keys,
// "AddressBook" for other people's) and the certificate object that is looked up in them.
#pragma once

#include "mail/engine/c_handles.h"
#include "mail/engine/mail_component.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <memory>
#include <vector>

// Where the stores are and how a technician adds a certificate
// ------------------------------------------------------------
// Each store is a folder of the program's prefix ($VELMORA_PREFIX, by default
// $XDG_DATA_HOME/velmora, i.e. ~/.local/share/velmora):
//
//     <prefix>/certificates/my/           own certificates, each with its private key
//     <prefix>/certificates/AddressBook/  recipients' certificates (no key needed)
//
// Store names are matched without regard to case ("My" finds "my"). A technician copies
// into the folder any of:
//   - a PEM file (.pem, .crt, .cer, .key) holding a certificate, optionally followed by its
//     private key and by the issuing CA certificates (which are sent with signatures);
//     a key may also sit in a PEM file of its own next to the certificate;
//   - a DER certificate (.cer, .crt, .der);
//   - a PKCS#12 file (.p12, .pfx) with certificate, key and chain. Files made by older
//     tools (RC2/3DES) open too. A password-protected file or PEM key needs its password in
//     a side file named like it plus ".password" (e.g. "alice.p12.password"), readable by
//     the program's user only.
// A certificate matches an address when the address is the e-mail address of its subject
// or one of its subjectAltName e-mail names (the domain compared without regard to case).

namespace mail {

// The folder of the certificate store `storeName` of the current user, as a native path
// (existing folder of any letter case first, else the canonical spelling). Never fails.
QString certificateStoreFolder(const QString& storeName);

// What a loaded certificate holds: the certificate, the CA certificates found with it (its
// chain, issuer first) and its private key when one that matches it was found. Immutable
// once built, so collections can share it.
struct CertificateData {
    X509Ptr certificate;
    std::vector<X509Ptr> chain;
    PKeyPtr privateKey;
    QString sourceFile;
};

using CertificatePtr = std::shared_ptr<const CertificateData>;

// Result of a look-up: the certificate, or null and the reason.
struct CertificateLookup {
    CertificatePtr certificate;
    QString error;
};

// Looks `address` up in the store `storeName` at `location` (only CurrentUserStore).
// Among the matching certificates one valid now is taken, the newest of them. Without a
// result, `error` says why (no certificate for the address, only expired or not yet valid
// ones, store folder missing, unsupported location). "Name <a@b>" gives "a@b".
CertificateLookup findCertificate(const QString& address, qint32 location,
                                  const QString& storeName);

// Loads the first certificate held in `path` (PEM, DER or PKCS#12) with its key and chain.
// For tools and tests; null certificate and `error` on failure.
CertificateLookup loadCertificateFile(const QString& path);

// True only when a private key is present and matches the certificate.
bool hasMatchingKey(const CertificateData& data);

// The certificate's e-mail addresses (subject e-mail, then subjectAltName rfc822 names).
QStringList certificateAddresses(const CertificateData& data);

// True when both hold the same certificate (by content).
bool sameCertificate(const CertificateData& a, const CertificateData& b);

// True when `address` is one of the certificate's e-mail names: local part exact, domain
// without regard to case. Surrounding blanks and angle brackets of `address` are ignored.
bool certificateMatchesAddress(X509* certificate, const QString& address);

// Loads OpenSSL's default and legacy providers once (older PKCS#12 files need the legacy
// one). Safe to call from any thread; false when the legacy provider is unavailable.
bool loadCryptoProviders();

} // namespace mail
