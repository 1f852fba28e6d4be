// Reads the CA folder at each TLS set-up, so a certificate copied there is trusted from the
// next connection on without a restart.
#include "mail/ca_trust.h"

#include "mail/c_handles.h"

#include <QDir>
#include <QFile>
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
    const QDir dir(*folderText);
    const QStringList files = dir.entryList({QStringLiteral("*")}, QDir::Files | QDir::Readable);
    for (const QString& name : files) {
        QFile file(dir.filePath(name));
        if (!file.open(QIODevice::ReadOnly) || file.size() > 4 * 1024 * 1024)
            continue;
        const QByteArray pem = file.readAll();
        BioPtr bio(BIO_new_mem_buf(pem.constData(), int(pem.size())));
        while (X509Ptr cert{PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr)})
            X509_STORE_add_cert(store, cert.get()); // a duplicate is refused harmlessly
        ERR_clear_error();
    }
    return CURLE_OK;
}

} // namespace mail::detail
