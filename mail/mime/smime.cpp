// S/MIME signing and encryption with OpenSSL's CMS engine; GMime re-encodes the entity to
// 7 bits before it is signed.
#include "mail/mime/smime.h"

#include "mail/engine/c_handles.h"
#include "mail/engine/library_init.h"

#include <gmime/gmime.h>

#include <openssl/bio.h>
#include <openssl/buffer.h>
#include <openssl/cms.h>
#include <openssl/err.h>

namespace mail {

namespace {

QString opensslError(const QString& what) {
    QString detail;
    while (const unsigned long code = ERR_get_error()) {
        char buf[256];
        ERR_error_string_n(code, buf, sizeof buf);
        detail = QString::fromLatin1(buf); // the first queued error is the least useful
    }
    return detail.isEmpty() ? what : what + QStringLiteral(" (") + detail + QLatin1Char(')');
}

BioPtr memoryBio(const QByteArray& bytes) {
    return BioPtr(BIO_new_mem_buf(bytes.constData(), static_cast<int>(bytes.size())));
}

QByteArray bioBytes(BIO* bio) {
    BUF_MEM* mem = nullptr;
    BIO_get_mem_ptr(bio, &mem);
    return mem ? QByteArray(mem->data, static_cast<qsizetype>(mem->length)) : QByteArray();
}

// OpenSSL's S/MIME writer starts with its own "MIME-Version" line; the entity goes inside a
// message that has one already.
QByteArray withoutMimeVersion(QByteArray entity) {
    if (entity.startsWith("MIME-Version:")) {
        const qsizetype end = entity.indexOf("\r\n");
        entity.remove(0, end < 0 ? entity.size() : end + 2);
    }
    return entity;
}

SmimeResult failure(const QString& text) {
    SmimeResult r;
    r.error = text;
    return r;
}

SmimeResult success(QByteArray data) {
    SmimeResult r;
    r.ok = true;
    r.data = std::move(data);
    return r;
}

// Offset of the empty line ending the header block of `bytes` (CRLF assumed) and the
// offset where the body begins; -1 when there is no header block end.
qsizetype headerEnd(const QByteArray& bytes, qsizetype* bodyStart) {
    if (bytes.startsWith("\r\n")) {
        *bodyStart = 2;
        return 0;
    }
    const qsizetype at = bytes.indexOf("\r\n\r\n");
    if (at < 0)
        return -1;
    *bodyStart = at + 4;
    return at + 2;
}

} // namespace

QByteArray toCrlf(const QByteArray& bytes) {
    QByteArray out;
    out.reserve(bytes.size() + bytes.size() / 32 + 2);
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        const char c = bytes.at(i);
        if (c == '\r') {
            out.append("\r\n");
            if (i + 1 < bytes.size() && bytes.at(i + 1) == '\n')
                ++i;
        } else if (c == '\n') {
            out.append("\r\n");
        } else {
            out.append(c);
        }
    }
    return out;
}

namespace {

// True when the part's content, as it is encoded now, is 7-bit text with short lines.
bool sevenBitClean(GMimePart* part) {
    GMimeDataWrapper* wrapper = g_mime_part_get_content(part);
    if (!wrapper)
        return true;
    GMimeStream* stream = g_mime_data_wrapper_get_stream(wrapper);
    if (!stream)
        return true;
    GPtr<GMimeStream> copy(g_mime_stream_mem_new());
    g_mime_stream_reset(stream);
    g_mime_stream_write_to_stream(stream, copy.get());
    g_mime_stream_reset(stream);
    GByteArray* bytes = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(copy.get()));
    qsizetype lineLength = 0;
    for (guint i = 0; i < bytes->len; ++i) {
        const unsigned char c = bytes->data[i];
        if (c == '\n') {
            lineLength = 0;
            continue;
        }
        if (c >= 0x80 || c == 0 || ++lineLength > 998)
            return false;
    }
    return true;
}

// Gives a leaf part a 7-bit transfer encoding: quoted-printable for text, base64 otherwise.
void encodeSevenBit(GMimeObject* /*parent*/, GMimeObject* object, gpointer /*data*/);

void encodeSevenBitTree(GMimeObject* object) {
    if (GMIME_IS_MULTIPART(object))
        g_mime_multipart_foreach(GMIME_MULTIPART(object), encodeSevenBit, nullptr);
    else
        encodeSevenBit(nullptr, object, nullptr);
}

void encodeSevenBit(GMimeObject* /*parent*/, GMimeObject* object, gpointer /*data*/) {
    if (GMIME_IS_MESSAGE_PART(object)) {
        GMimeMessage* inner = g_mime_message_part_get_message(GMIME_MESSAGE_PART(object));
        if (inner && g_mime_message_get_mime_part(inner))
            encodeSevenBitTree(g_mime_message_get_mime_part(inner));
        return;
    }
    if (!GMIME_IS_PART(object))
        return; // multiparts: their children are visited by the walk
    GMimePart* part = GMIME_PART(object);
    switch (g_mime_part_get_content_encoding(part)) {
    case GMIME_CONTENT_ENCODING_QUOTEDPRINTABLE:
    case GMIME_CONTENT_ENCODING_BASE64:
    case GMIME_CONTENT_ENCODING_UUENCODE:
        return;
    case GMIME_CONTENT_ENCODING_DEFAULT:
    case GMIME_CONTENT_ENCODING_7BIT:
        if (sevenBitClean(part))
            return;
        break;
    default:
        break;
    }
    // Decode the content to its raw bytes, then let the writer encode it anew.
    GPtr<GMimeStream> raw(g_mime_stream_mem_new());
    if (GMimeDataWrapper* wrapper = g_mime_part_get_content(part))
        g_mime_data_wrapper_write_to_stream(wrapper, raw.get());
    g_mime_stream_reset(raw.get());
    GPtr<GMimeDataWrapper> decoded(
        g_mime_data_wrapper_new_with_stream(raw.get(), GMIME_CONTENT_ENCODING_DEFAULT));
    g_mime_part_set_content(part, decoded.get());
    const bool text =
        g_mime_content_type_is_type(g_mime_object_get_content_type(object), "text", "*");
    g_mime_part_set_content_encoding(part, text ? GMIME_CONTENT_ENCODING_QUOTEDPRINTABLE
                                                : GMIME_CONTENT_ENCODING_BASE64);
}

} // namespace

SmimeResult canonicalEntity(const QByteArray& entity) {
    detail::InitMailLibraries();
    // The parser mishandles a mix of LF and CRLF line ends: give it CRLF only.
    const QByteArray input = toCrlf(entity);
    GPtr<GMimeStream> in(
        g_mime_stream_mem_new_with_buffer(input.constData(), static_cast<size_t>(input.size())));
    GPtr<GMimeParser> parser(g_mime_parser_new_with_stream(in.get()));
    GPtr<GMimeObject> part(g_mime_parser_construct_part(parser.get(), nullptr));
    if (!part)
        return failure(QStringLiteral("Le contenu à signer n'est pas une partie MIME"));
    encodeSevenBitTree(part.get());

    GMimeOptions options(g_mime_format_options_new());
    g_mime_format_options_set_newline_format(options.get(), GMIME_NEWLINE_FORMAT_DOS);
    GPtr<GMimeStream> out(g_mime_stream_mem_new());
    if (g_mime_object_write_to_stream(part.get(), options.get(), out.get()) < 0)
        return failure(QStringLiteral("Impossible d'écrire le contenu à signer"));
    GByteArray* bytes = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(out.get()));
    return success(toCrlf(QByteArray(reinterpret_cast<const char*>(bytes->data),
                                     static_cast<qsizetype>(bytes->len))));
}

SmimeResult signEntity(const QByteArray& entity, const CertificateData& signer) {
    loadCryptoProviders();
    if (!signer.certificate)
        return failure(QStringLiteral("Aucun certificat de signature"));
    if (!hasMatchingKey(signer))
        return failure(QStringLiteral("Le certificat de signature n'a pas de clé privée"));
    const SmimeResult canonical = canonicalEntity(entity);
    if (!canonical.ok)
        return canonical;

    // Streaming signature: the writer digests the content while it copies it into the
    // first part, so what is signed is exactly what is written.
    const unsigned flags = CMS_DETACHED | CMS_BINARY | CMS_PARTIAL | CMS_STREAM;
    X509StackRef chain(sk_X509_new_null());
    for (const X509Ptr& c : signer.chain)
        sk_X509_push(chain.get(), c.get());
    ERR_clear_error();
    CmsPtr cms(CMS_sign(nullptr, nullptr, chain.get(), nullptr, flags));
    if (!cms || !CMS_add1_signer(cms.get(), signer.certificate.get(), signer.privateKey.get(),
                                 EVP_sha256(), flags))
        return failure(opensslError(QStringLiteral("Signature impossible")));

    BioPtr out(BIO_new(BIO_s_mem()));
    BioPtr content = memoryBio(canonical.data);
    if (!SMIME_write_CMS(out.get(), cms.get(), content.get(),
                         CMS_DETACHED | CMS_BINARY | CMS_STREAM))
        return failure(opensslError(QStringLiteral("Signature impossible")));
    // The signed part is already CRLF; the writer's own lines and the base64 of the
    // signature come with LF only.
    return success(withoutMimeVersion(toCrlf(bioBytes(out.get()))));
}

SmimeResult encryptEntity(const QByteArray& entity, const QList<CertificatePtr>& recipients) {
    loadCryptoProviders();
    if (recipients.isEmpty())
        return failure(QStringLiteral("Aucun certificat de destinataire pour le chiffrement"));
    X509StackRef certs(sk_X509_new_null());
    for (const CertificatePtr& c : recipients)
        if (c && c->certificate)
            sk_X509_push(certs.get(), c->certificate.get());
    const QByteArray content = toCrlf(entity);
    BioPtr in = memoryBio(content);
    ERR_clear_error();
    CmsPtr cms(CMS_encrypt(certs.get(), in.get(), EVP_aes_256_cbc(), CMS_BINARY));
    if (!cms)
        return failure(opensslError(QStringLiteral("Chiffrement impossible")));
    BioPtr out(BIO_new(BIO_s_mem()));
    if (!SMIME_write_CMS(out.get(), cms.get(), nullptr, CMS_BINARY))
        return failure(opensslError(QStringLiteral("Écriture du message chiffré impossible")));
    return success(withoutMimeVersion(toCrlf(bioBytes(out.get()))));
}

SmimeResult protectEntity(const QByteArray& entity, const CertificateData* signer,
                          const QList<CertificatePtr>& recipients) {
    SmimeResult current = success(toCrlf(entity));
    if (signer) {
        current = signEntity(current.data, *signer);
        if (!current.ok)
            return current;
    }
    if (!recipients.isEmpty())
        current = encryptEntity(current.data, recipients);
    return current;
}

SmimeResult protectMessage(const QByteArray& message, const CertificateData* signer,
                           const QList<CertificatePtr>& recipients) {
    const QByteArray wire = toCrlf(message);
    qsizetype bodyStart = 0;
    const qsizetype end = headerEnd(wire, &bodyStart);
    if (end < 0)
        return failure(QStringLiteral("Message sans fin d'en-têtes"));

    // Split the header block into fields (a field continues on lines that start with a
    // blank) and sort them into the outer headers and the entity's own.
    QByteArray outer;
    QByteArray inner;
    const QList<QByteArray> lines = wire.left(end).split('\n');
    QByteArray field;
    auto flush = [&] {
        if (field.isEmpty())
            return;
        const QByteArray name = field.left(field.indexOf(':')).trimmed().toLower();
        if (name.startsWith("content-"))
            inner += field;
        else if (name != "mime-version")
            outer += field;
        field.clear();
    };
    for (const QByteArray& raw : lines) {
        if (raw.isEmpty())
            continue; // after the last CRLF
        const QByteArray line = raw + '\n';
        if (line.startsWith(' ') || line.startsWith('\t'))
            field += line;
        else {
            flush();
            field = line;
        }
    }
    flush();
    if (inner.isEmpty())
        inner = "Content-Type: text/plain; charset=us-ascii\r\n";

    const SmimeResult entity =
        protectEntity(inner + "\r\n" + wire.mid(bodyStart), signer, recipients);
    if (!entity.ok)
        return entity;
    return success(outer + "MIME-Version: 1.0\r\n" + entity.data);
}

QList<CertificatePtr> encryptionCertificates(const QList<CertificatePtr>& recipients,
                                             const CertificatePtr& signer,
                                             const QString& senderAddress) {
    QList<CertificatePtr> all;
    auto add = [&all](const CertificatePtr& c) {
        if (!c || !c->certificate)
            return;
        for (const CertificatePtr& present : all)
            if (sameCertificate(*present, *c))
                return;
        all.append(c);
    };
    for (const CertificatePtr& c : recipients)
        add(c);
    if (signer)
        add(signer);
    else if (!senderAddress.trimmed().isEmpty())
        add(findCertificate(senderAddress, CurrentUserStore, QStringLiteral("my")).certificate);
    return all;
}

bool ApplySecurity(QByteArray& entity, const Certificate* signer,
                   const CertificateCollection& recipients, const QString& senderAddress,
                   QString& error) {
    const CertificatePtr signerData = signer && signer->isLoaded() ? signer->data() : nullptr;
    QList<CertificatePtr> encryptFor;
    if (recipients.count() > 0) {
        QList<CertificatePtr> wanted;
        for (const Certificate& c : recipients.items())
            wanted << c.data();
        encryptFor = encryptionCertificates(wanted, signerData, senderAddress);
    }
    const SmimeResult result = protectEntity(entity, signerData.get(), encryptFor);
    if (!result.ok) {
        error = result.error;
        return false;
    }
    entity = result.data;
    return true;
}

} // namespace mail
