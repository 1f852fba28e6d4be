// Certificate stores as folders of PEM, DER and PKCS#12 files, and the look-up by address.
#include "mail/mime/cert_store.h"

#include "system/winpath.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/provider.h>
#include <openssl/x509v3.h>

#include <mutex>

namespace mail {

namespace {

QString asn1StringText(const ASN1_STRING* s) {
    if (!s)
        return {};
    unsigned char* utf8 = nullptr;
    const int len = ASN1_STRING_to_UTF8(&utf8, s);
    const OpenSslBytes<unsigned char> owned(utf8);
    if (len < 0)
        return {};
    return QString::fromUtf8(reinterpret_cast<const char*>(utf8), len);
}

QStringList certificateAddresses(X509* cert) {
    QStringList out;
    if (!cert)
        return out;
    X509_NAME* subject = X509_get_subject_name(cert);
    for (int i = -1; (i = X509_NAME_get_index_by_NID(subject, NID_pkcs9_emailAddress, i)) >= 0;)
        out << asn1StringText(X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, i)));
    GeneralNamesPtr names(static_cast<GENERAL_NAMES*>(
        X509_get_ext_d2i(cert, NID_subject_alt_name, nullptr, nullptr)));
    if (names) {
        for (int i = 0; i < sk_GENERAL_NAME_num(names.get()); ++i) {
            const GENERAL_NAME* name = sk_GENERAL_NAME_value(names.get(), i);
            if (name->type == GEN_EMAIL)
                out << asn1StringText(name->d.rfc822Name);
        }
    }
    return out;
}

// The bare address of "Name <local@domain>", "<local@domain>" or "local@domain".
QString bareAddress(const QString& text) {
    QString a = text.trimmed();
    const qsizetype open = a.lastIndexOf(QLatin1Char('<'));
    if (open >= 0) {
        const qsizetype close = a.indexOf(QLatin1Char('>'), open);
        a = a.mid(open + 1, close < 0 ? -1 : close - open - 1).trimmed();
    }
    return a;
}

bool addressesEqual(const QString& certAddress, const QString& wanted) {
    const qsizetype atCert = certAddress.lastIndexOf(QLatin1Char('@'));
    const qsizetype atWanted = wanted.lastIndexOf(QLatin1Char('@'));
    if (atCert < 0 || atWanted < 0)
        return certAddress == wanted;
    return certAddress.left(atCert) == wanted.left(atWanted) &&
           certAddress.mid(atCert + 1).compare(wanted.mid(atWanted + 1), Qt::CaseInsensitive) == 0;
}

// Password for a protected file: the first line of "<file>.password", if any.
QByteArray sidePassword(const QString& path) {
    QFile f(path + QStringLiteral(".password"));
    if (!f.open(QIODevice::ReadOnly))
        return {};
    QByteArray line = f.readLine();
    while (line.endsWith('\n') || line.endsWith('\r'))
        line.chop(1);
    return line;
}

int passwordCallback(char* buf, int size, int /*rwflag*/, void* userdata) {
    const auto* password = static_cast<const QByteArray*>(userdata);
    if (!password || password->isEmpty() || password->size() > size)
        return 0;
    memcpy(buf, password->constData(), static_cast<size_t>(password->size()));
    return static_cast<int>(password->size());
}

// Everything one store file holds.
struct FileContent {
    QString path;
    std::vector<X509Ptr> certificates; // in file order; the leaf comes first
    std::vector<PKeyPtr> keys;
};

X509Ptr duplicate(X509* cert) {
    X509_up_ref(cert);
    return X509Ptr(cert);
}

PKeyPtr duplicate(EVP_PKEY* key) {
    EVP_PKEY_up_ref(key);
    return PKeyPtr(key);
}

bool readPkcs12(const QByteArray& bytes, const QString& path, FileContent& out) {
    BioPtr bio(BIO_new_mem_buf(bytes.constData(), static_cast<int>(bytes.size())));
    Pkcs12Ptr p12(d2i_PKCS12_bio(bio.get(), nullptr));
    if (!p12)
        return false;
    const QByteArray side = sidePassword(path);
    const char* tries[] = {"", nullptr, side.isEmpty() ? nullptr : side.constData()};
    for (int t = 0; t < 3; ++t) {
        if (t == 2 && side.isEmpty())
            break;
        EVP_PKEY* key = nullptr;
        X509* cert = nullptr;
        STACK_OF(X509)* ca = nullptr;
        if (!PKCS12_parse(p12.get(), tries[t], &key, &cert, &ca)) {
            ERR_clear_error();
            continue;
        }
        const X509StackRef caStack(ca); // its certificates are taken out one by one below
        if (cert)
            out.certificates.emplace_back(cert);
        if (key)
            out.keys.emplace_back(key);
        while (ca && sk_X509_num(ca) > 0)
            out.certificates.emplace_back(sk_X509_shift(ca));
        return true;
    }
    return false;
}

void readPem(const QByteArray& bytes, const QString& path, FileContent& out) {
    BioPtr bio(BIO_new_mem_buf(bytes.constData(), static_cast<int>(bytes.size())));
    QByteArray password;
    bool passwordRead = false;
    for (;;) {
        char* name = nullptr;
        char* header = nullptr;
        unsigned char* data = nullptr;
        long len = 0;
        if (!PEM_read_bio(bio.get(), &name, &header, &data, &len))
            break;
        const OpenSslBytes<char> ownedName(name);
        const OpenSslBytes<char> ownedHeader(header);
        const OpenSslBytes<unsigned char> ownedData(data);
        const QByteArray kind(name);
        if (kind == "CERTIFICATE" || kind == "X509 CERTIFICATE" || kind == "TRUSTED CERTIFICATE") {
            const unsigned char* p = data;
            X509* cert = kind == "TRUSTED CERTIFICATE" ? d2i_X509_AUX(nullptr, &p, len)
                                                       : d2i_X509(nullptr, &p, len);
            if (cert)
                out.certificates.emplace_back(cert);
        } else if (kind.endsWith("PRIVATE KEY")) {
            // Re-read the block through the key reader, which knows every key format and
            // decrypts with the side password when the block is protected.
            BioPtr block(BIO_new(BIO_s_mem()));
            PEM_write_bio(block.get(), name, header, data, len);
            if (!passwordRead) {
                password = sidePassword(path);
                passwordRead = true;
            }
            if (EVP_PKEY* key =
                    PEM_read_bio_PrivateKey(block.get(), nullptr, passwordCallback, &password))
                out.keys.emplace_back(key);
        }
    }
    ERR_clear_error();
}

bool readStoreFile(const QString& path, FileContent& out) {
    out.path = path;
    QFile f(path);
    // Certificate files are a few kilobytes; anything huge is not one.
    if (!f.open(QIODevice::ReadOnly) || f.size() > qint64{4} * 1024 * 1024)
        return false;
    const QByteArray bytes = f.readAll();
    const QString suffix = QFileInfo(path).suffix().toLower();
    if (suffix == QLatin1String("p12") || suffix == QLatin1String("pfx"))
        return readPkcs12(bytes, path, out);
    if (bytes.contains("-----BEGIN ")) {
        readPem(bytes, path, out);
    } else {
        const unsigned char* p = reinterpret_cast<const unsigned char*>(bytes.constData());
        if (X509* cert = d2i_X509(nullptr, &p, static_cast<long>(bytes.size())))
            out.certificates.emplace_back(cert);
        else if (!readPkcs12(bytes, path, out))
            ERR_clear_error();
    }
    return !out.certificates.empty() || !out.keys.empty();
}

std::vector<FileContent> readStoreFolder(const QString& folder) {
    std::vector<FileContent> files;
    const QFileInfoList entries =
        QDir(folder).entryInfoList(QDir::Files | QDir::Readable, QDir::Name);
    for (const QFileInfo& entry : entries) {
        if (entry.suffix().compare(QLatin1String("password"), Qt::CaseInsensitive) == 0)
            continue;
        FileContent content;
        if (readStoreFile(entry.absoluteFilePath(), content))
            files.push_back(std::move(content));
    }
    return files;
}

bool keyMatches(X509* cert, EVP_PKEY* key) {
    const bool ok = key && X509_check_private_key(cert, key) == 1;
    ERR_clear_error();
    return ok;
}

// The issuers of `leaf` up to a self-signed root, taken from `pool`.
std::vector<X509Ptr> buildChain(X509* leaf, const std::vector<X509*>& pool) {
    std::vector<X509Ptr> chain;
    X509* current = leaf;
    for (int depth = 0; depth < 10; ++depth) {
        if (X509_check_issued(current, current) == X509_V_OK)
            break; // self-signed: the top
        X509* issuer = nullptr;
        for (X509* candidate : pool) {
            if (X509_cmp(candidate, current) != 0 &&
                X509_check_issued(candidate, current) == X509_V_OK) {
                issuer = candidate;
                break;
            }
        }
        if (!issuer)
            break;
        bool seen = X509_cmp(issuer, leaf) == 0;
        for (const X509Ptr& c : chain)
            seen = seen || X509_cmp(c.get(), issuer) == 0;
        if (seen)
            break;
        chain.push_back(duplicate(issuer));
        current = issuer;
    }
    ERR_clear_error();
    return chain;
}

// Builds the loaded data for `leaf` found in `files[fileIndex]`.
std::shared_ptr<CertificateData> assemble(X509* leaf, const std::vector<FileContent>& files,
                                          size_t fileIndex) {
    auto data = std::make_shared<CertificateData>();
    data->certificate = duplicate(leaf);
    data->sourceFile = files[fileIndex].path;
    // The key: from the certificate's own file first, then anywhere in the store.
    for (const PKeyPtr& key : files[fileIndex].keys)
        if (!data->privateKey && keyMatches(leaf, key.get()))
            data->privateKey = duplicate(key.get());
    for (size_t i = 0; i < files.size() && !data->privateKey; ++i)
        for (const PKeyPtr& key : files[i].keys)
            if (!data->privateKey && keyMatches(leaf, key.get()))
                data->privateKey = duplicate(key.get());
    // The chain: issuers from the same file first, then from the rest of the store.
    std::vector<X509*> pool;
    for (const X509Ptr& c : files[fileIndex].certificates)
        pool.push_back(c.get());
    for (size_t i = 0; i < files.size(); ++i)
        if (i != fileIndex)
            for (const X509Ptr& c : files[i].certificates)
                pool.push_back(c.get());
    data->chain = buildChain(leaf, pool);
    return data;
}

bool validNow(X509* cert) {
    return X509_cmp_current_time(X509_get0_notBefore(cert)) <= 0 &&
           X509_cmp_current_time(X509_get0_notAfter(cert)) >= 0;
}

bool expired(X509* cert) {
    return X509_cmp_current_time(X509_get0_notAfter(cert)) < 0;
}

// True when `a` started its validity later than `b`.
bool newerThan(X509* a, X509* b) {
    return ASN1_TIME_compare(X509_get0_notBefore(a), X509_get0_notBefore(b)) > 0;
}

} // namespace

bool loadCryptoProviders() {
    static std::once_flag once;
    // Both providers stay loaded for the life of the process: the library's clean-up at exit
    // leaves providers loaded explicitly alone, and these pointers keep them reachable.
    static OSSL_PROVIDER* providers[2] = {nullptr, nullptr};
    std::call_once(once, [] {
        // Loading "legacy" explicitly stops the implicit default provider: load both.
        providers[0] = OSSL_PROVIDER_load(nullptr, "default");
        providers[1] = OSSL_PROVIDER_load(nullptr, "legacy");
        ERR_clear_error();
    });
    return providers[1] != nullptr;
}

QString certificateStoreFolder(const QString& storeName) {
    const QString root = WinPath::prefix() + QStringLiteral("/certificates");
    const QStringList existing = QDir(root).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString& name : existing)
        if (name.compare(storeName, Qt::CaseInsensitive) == 0)
            return root + QLatin1Char('/') + name;
    return root + QLatin1Char('/') + storeName;
}

bool certificateMatchesAddress(X509* certificate, const QString& address) {
    const QString wanted = bareAddress(address);
    if (wanted.isEmpty())
        return false;
    for (const QString& candidate : certificateAddresses(certificate))
        if (addressesEqual(candidate.trimmed(), wanted))
            return true;
    return false;
}

CertificateLookup findCertificate(const QString& address, qint32 location,
                                  const QString& storeName) {
    CertificateLookup result;
    loadCryptoProviders();
    if (location != CurrentUserStore) {
        result.error =
            QStringLiteral("Emplacement de magasin de certificats non pris en charge (%1)")
                .arg(location);
        return result;
    }
    if (bareAddress(address).isEmpty()) {
        result.error =
            QStringLiteral("Aucune adresse à chercher dans le magasin de certificats \"%1\"")
                .arg(storeName);
        return result;
    }
    const QString folder = certificateStoreFolder(storeName);
    if (!QFileInfo(folder).isDir()) {
        result.error =
            QStringLiteral("Magasin de certificats \"%1\" introuvable (dossier %2 absent)")
                .arg(storeName, folder);
        return result;
    }
    const std::vector<FileContent> files = readStoreFolder(folder);
    X509* best = nullptr;
    size_t bestFile = 0;
    bool sawExpired = false;
    bool sawNotYetValid = false;
    for (size_t i = 0; i < files.size(); ++i) {
        for (const X509Ptr& cert : files[i].certificates) {
            if (!certificateMatchesAddress(cert.get(), address))
                continue;
            if (!validNow(cert.get())) {
                (expired(cert.get()) ? sawExpired : sawNotYetValid) = true;
                continue;
            }
            if (!best || newerThan(cert.get(), best)) {
                best = cert.get();
                bestFile = i;
            }
        }
    }
    if (!best) {
        if (sawExpired)
            result.error =
                QStringLiteral("Certificat expiré pour cette adresse dans le magasin \"%1\"")
                    .arg(storeName);
        else if (sawNotYetValid)
            result.error =
                QStringLiteral(
                    "Certificat pas encore valide pour cette adresse dans le magasin \"%1\"")
                    .arg(storeName);
        else
            result.error =
                QStringLiteral("Aucun certificat pour cette adresse dans le magasin \"%1\"")
                    .arg(storeName);
        return result;
    }
    result.certificate = assemble(best, files, bestFile);
    return result;
}

CertificateLookup loadCertificateFile(const QString& path) {
    CertificateLookup result;
    loadCryptoProviders();
    std::vector<FileContent> files(1);
    if (!readStoreFile(path, files[0]) || files[0].certificates.empty()) {
        result.error = QStringLiteral("Aucun certificat lisible dans le fichier %1").arg(path);
        return result;
    }
    result.certificate = assemble(files[0].certificates.front().get(), files, 0);
    return result;
}

bool hasMatchingKey(const CertificateData& data) {
    return data.certificate && keyMatches(data.certificate.get(), data.privateKey.get());
}

QStringList certificateAddresses(const CertificateData& data) {
    return certificateAddresses(data.certificate.get());
}

bool sameCertificate(const CertificateData& a, const CertificateData& b) {
    return a.certificate && b.certificate &&
           X509_cmp(a.certificate.get(), b.certificate.get()) == 0;
}

// The mail component's certificate object, backed by the stores above.

bool Certificate::findBySubject(const QString& subject, qint32 storeLocation,
                                const QString& storeName) {
    CertificateLookup found = findCertificate(subject, storeLocation, storeName);
    data_ = std::move(found.certificate);
    lastError_ = found.error;
    return data_ != nullptr;
}

bool Certificate::hasPrivateKey() const {
    return data_ && hasMatchingKey(*data_);
}

void Certificate::clear() {
    data_.reset();
    lastError_.clear();
}

} // namespace mail
