// DKIM signatures of finished messages (rsa-sha256, and ed25519-sha256 as a second one):
// the keys loaded once from PEM files, the signature headers put above the wire bytes.
#pragma once

#include <QByteArray>
#include <QString>

#include <memory>

namespace mail::dkim {

// Where the signing identity comes from. Paths are native.
struct KeyFiles {
    QString domain;     // d= tag: the signing domain (Unicode names are turned into A-labels)
    QString selector;   // s= tag: the DNS label under which the public key is published
    QString rsaKey;     // PEM private RSA key (at least 1024 bits)
    QString ed25519Key; // PEM private Ed25519 key for the second signature; "" for none
    // Selector of the Ed25519 key: one DNS name holds one key record, so the second key needs
    // a name of its own ("" gives "<selector>-ed25519").
    QString ed25519Selector;
};

// A loaded signing identity. Immutable once loaded, so one signer may sign on any thread.
class Signer {
public:
    ~Signer();
    Signer(const Signer&) = delete;
    Signer& operator=(const Signer&) = delete;

    // Reads and checks the key files: each must be a regular file of the program's user that
    // no other user may read or write, hold an unencrypted PEM private key of the right type
    // (RSA of 1024 bits or more; Ed25519), and the domain and selector must be DNS names.
    // Null with `error` (French, naming the file and what to fix) otherwise.
    static std::shared_ptr<const Signer> Load(const KeyFiles& files, QString& error);

    // Puts the DKIM-Signature header(s) above `message`, a whole message with CRLF line ends
    // exactly as it goes on the wire (before dot-stuffing). The signature covers the whole
    // body and those of From, To, Cc, Subject, Date, Message-ID, MIME-Version, Content-Type,
    // List-Unsubscribe and List-Unsubscribe-Post that are present, canonicalised
    // relaxed/relaxed. `unixTime` is the signing time. False with `error` when the message
    // has no From header or the signature cannot be computed; `message` is then unchanged.
    bool sign(QByteArray& message, qint64 unixTime, QString& error) const;

    // The signing domain (A-label form) and the selectors of the RSA and Ed25519 keys.
    const QByteArray& domain() const { return domain_; }
    const QByteArray& selector() const { return selector_; }
    const QByteArray& ed25519Selector() const { return ed25519Selector_; }
    // The TXT record text to publish under "<selector>._domainkey.<domain>" for the RSA key,
    // and for the Ed25519 key ("" without one).
    QByteArray rsaRecord() const;
    QByteArray ed25519Record() const;
    // The base64 public key (the p= value) of the RSA and Ed25519 keys ("" without one).
    QByteArray rsaPublicKey() const;
    QByteArray ed25519PublicKey() const;

private:
    struct Keys;
    explicit Signer(std::unique_ptr<Keys> keys);
    std::unique_ptr<Keys> keys_;
    QByteArray domain_;
    QByteArray selector_;
    QByteArray ed25519Selector_;
};

// True when `domain` is the domain of `senderAddress` or a parent of it (letter case and a
// final dot ignored): the alignment that DMARC asks of a DKIM signature.
bool Aligned(const QString& domain, const QString& senderAddress);

// The p= value of a published DKIM TXT record ("v=DKIM1; k=rsa; p=MIIB..."), whitespace
// removed; empty when the record has no p= tag (or an empty one: a revoked key).
QByteArray PublishedKey(const QByteArray& record);

// Relaxed canonical forms (RFC 6376 §3.4.2 and §3.4.4): one header field ("Name: value",
// folded or not, without its final CRLF) and a whole body.
QByteArray RelaxedHeader(const QByteArray& field);
QByteArray RelaxedBody(const QByteArray& body);

} // namespace mail::dkim
