// S/MIME protection of an outgoing message: detached signature (multipart/signed, SHA-256,
// signer chain included), encryption (AES-256) for every recipient and the sender, or both.
#pragma once

#include "mail/mime/cert_store.h"

#include <QByteArray>
#include <QList>
#include <QString>

// Form of the data: a MIME "entity" is its own header block (Content-Type,
// Content-Transfer-Encoding, ...), an empty line and its body; a "message" is the whole mail
// as it goes on the wire (From, To, Subject, ... and the entity's headers, then the body).
// Outputs always use CRLF line ends only, and keep the bytes that were signed unchanged, so
// callers must put the output on the wire as it is (never re-serialise it through a MIME
// library, which may refold headers and break the signature).

namespace mail {

struct SmimeResult {
    bool ok = false;
    QByteArray data; // the protected entity or message; empty on failure
    QString error;   // why it failed; empty on success
};

// Re-encodes `entity` for signing: every part gets a 7-bit transfer encoding
// (quoted-printable or base64 where needed) and all line ends become CRLF. Fails when the
// bytes are not a MIME entity.
SmimeResult canonicalEntity(const QByteArray& entity);

// Signs `entity` (first made canonical) with `signer`'s certificate and private key; the
// result is a multipart/signed entity holding the entity unchanged and a detached SHA-256
// signature with the signer's chain. Fails when the signer has no matching key.
SmimeResult signEntity(const QByteArray& entity, const CertificateData& signer);

// Encrypts `entity` (line ends made CRLF) with AES-256 for every certificate in
// `recipients`; the result is an application/pkcs7-mime enveloped-data entity. Fails when
// the list is empty or a certificate cannot take part.
SmimeResult encryptEntity(const QByteArray& entity, const QList<CertificatePtr>& recipients);

// Signs when `signer` is not null, then encrypts the result when `recipients` is not empty.
// With neither, returns the entity with CRLF line ends.
SmimeResult protectEntity(const QByteArray& entity, const CertificateData* signer,
                          const QList<CertificatePtr>& recipients);

// The same for a whole message: its Content-* headers and body form the entity that is
// protected; the other headers (From, To, Subject, Date, ...) stay outside, followed by
// "MIME-Version: 1.0" and the protected entity.
SmimeResult protectMessage(const QByteArray& message, const CertificateData* signer,
                           const QList<CertificatePtr>& recipients);

// The certificates a message is encrypted for: the recipients' certificates and the
// sender's own one (so the sender can read its copy), each once. The sender's certificate
// is `signer` when not null, else the certificate of `senderAddress` in the "my" store
// when there is one.
QList<CertificatePtr> encryptionCertificates(const QList<CertificatePtr>& recipients,
                                             const CertificatePtr& signer,
                                             const QString& senderAddress);

// `bytes` with every line end (LF, CR or CRLF) turned into CRLF.
QByteArray toCrlf(const QByteArray& bytes);

} // namespace mail
