// Reads the CA folder at each TLS set-up, so a certificate copied there is trusted from the
// next connection on without a restart.
#include "mail/engine/ca_trust.h"

#include "mail/engine/c_handles.h"
#include "system/atomicfile.h"

#include <QDir>
#include <QString>

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>

namespace mail::detail {

CURLcode TrustCaFolder(CURL*, void* sslContext, void* user) {
    const auto* folderText = static_cast<const QString*>(user);
    if (!folderText || folderText->isEmpty())
        return CURLE_OK;
    X509_STORE* store = SSL_CTX_get_cert_store(static_cast<SSL_CTX*>(sslContext));
    for (const QString& folder : folderText->split(u'\n', Qt::SkipEmptyParts)) {
        const QDir dir(folder);
        const QStringList files =
            dir.entryList({QStringLiteral("*")}, QDir::Files | QDir::Readable);
        for (const QString& name : files) {
            // Plain files only, bounded, never blocking: a link to a FIFO or a device is skipped.
            const std::optional<QByteArray> read = AtomicFile::readAll(dir.filePath(name));
            if (!read || read->size() > qsizetype{4} * 1024 * 1024)
                continue;
            const QByteArray& pem = *read;
            BioPtr bio(BIO_new_mem_buf(pem.constData(), int(pem.size())));
            while (X509Ptr cert{PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr)})
                X509_STORE_add_cert(store, cert.get()); // a duplicate is refused harmlessly
            ERR_clear_error();
        }
    }
    return CURLE_OK;
}

} // namespace mail::detail
