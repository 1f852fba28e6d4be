// DKIM signing: key files checked and loaded with OpenSSL, the canonical forms built here, the
// digests and signatures computed by OpenSSL.
#include "mail/mime/dkim.h"

#include "mail/engine/c_handles.h"
#include "system/unique_fd.h"

#include <QList>
#include <QUrl>

#include <openssl/pem.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <sys/stat.h>

namespace mail::dkim {

struct Signer::Keys {
    PKeyPtr rsa;
    PKeyPtr ed25519;
};

namespace {

using MdCtxPtr = CHandle<EVP_MD_CTX, &EVP_MD_CTX_free>;

// The headers a signature covers, in the order of its h= tag.
const char* const kSignedHeaders[] = {
    "From",       "To",           "Cc",           "Subject",          "Date",
    "Message-ID", "MIME-Version", "Content-Type", "List-Unsubscribe", "List-Unsubscribe-Post"};

constexpr qint64 kMaxKeyFileBytes = qint64{64} * 1024;

bool isWsp(char c) {
    return c == ' ' || c == '\t';
}

// An encrypted key would make OpenSSL ask for a pass phrase on the terminal: refuse instead.
int noPassPhrase(char*, int, int, void*) {
    return -1;
}

QString describeFile(const QString& path, const char* what) {
    return QStringLiteral("La clé DKIM %1 (%2)").arg(path, QString::fromLatin1(what));
}

PKeyPtr readKeyFile(const QString& path, const char* what, QString& error) {
    const QString name = describeFile(path, what);
    const Posix::UniqueFd file = Posix::UniqueFd::open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK);
    if (!file.valid()) {
        error = QStringLiteral("%1 ne peut pas être lue (%2). Placez le fichier PEM dans le "
                               "dossier des réglages et vérifiez son nom dans la section [DKIM].")
                    .arg(name, QString::fromLocal8Bit(std::strerror(errno)));
        return nullptr;
    }
    struct stat st {};
    if (::fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > kMaxKeyFileBytes) {
        error = QStringLiteral("%1 n'est pas un fichier ordinaire de taille raisonnable ; elle "
                               "n'est pas utilisée.")
                    .arg(name);
        return nullptr;
    }
    if (st.st_uid != ::geteuid() || (st.st_mode & 077) != 0) {
        error = QStringLiteral("%1 est accessible à d'autres utilisateurs (droits %2) ; elle "
                               "n'est pas utilisée. Rendez-la lisible par l'utilisateur du "
                               "programme seul (chmod 600) ; si d'autres ont pu la lire, créez "
                               "une nouvelle clé et publiez-la sous un nouveau sélecteur.")
                    .arg(name, QString::number(st.st_mode & 0777, 8));
        return nullptr;
    }
    QByteArray pem;
    char buffer[8192];
    for (;;) {
        const ssize_t n = ::read(file.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0 || pem.size() + n > kMaxKeyFileBytes)
            break;
        pem.append(buffer, n);
    }
    BioPtr bio(BIO_new_mem_buf(pem.constData(), static_cast<int>(pem.size())));
    PKeyPtr key(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, &noPassPhrase, nullptr)
                    : nullptr);
    OPENSSL_cleanse(pem.data(), static_cast<size_t>(pem.size()));
    if (!key)
        error = QStringLiteral("%1 ne contient pas de clé privée PEM lisible (une clé chiffrée "
                               "par mot de passe n'est pas acceptée). Créez-la avec « openssl "
                               "genpkey », voir le README.")
                    .arg(name);
    return key;
}

// A DNS name made of letters, digits, hyphens and underscores between dots.
bool isDnsName(const QByteArray& name) {
    if (name.isEmpty() || name.size() > 253 || name.startsWith('.') || name.endsWith('.') ||
        name.contains(".."))
        return false;
    for (char c : name)
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' || c == '.'))
            return false;
    return true;
}

QByteArray sha256(const QByteArray& data) {
    QByteArray out(32, '\0');
    unsigned int size = 0;
    if (!EVP_Digest(data.constData(), static_cast<size_t>(data.size()),
                    reinterpret_cast<unsigned char*>(out.data()), &size, EVP_sha256(), nullptr))
        return {};
    return out;
}

// RSA signs the data with SHA-256; Ed25519 (pure) signs the SHA-256 hash of the data.
QByteArray signData(EVP_PKEY* key, bool ed25519, const QByteArray& data) {
    const QByteArray input = ed25519 ? sha256(data) : data;
    MdCtxPtr ctx(EVP_MD_CTX_new());
    size_t size = 0;
    if (!ctx || input.isEmpty() ||
        EVP_DigestSignInit(ctx.get(), nullptr, ed25519 ? nullptr : EVP_sha256(), nullptr, key) !=
            1 ||
        EVP_DigestSign(ctx.get(), nullptr, &size,
                       reinterpret_cast<const unsigned char*>(input.constData()),
                       static_cast<size_t>(input.size())) != 1)
        return {};
    QByteArray out(static_cast<qsizetype>(size), '\0');
    if (EVP_DigestSign(ctx.get(), reinterpret_cast<unsigned char*>(out.data()), &size,
                       reinterpret_cast<const unsigned char*>(input.constData()),
                       static_cast<size_t>(input.size())) != 1)
        return {};
    out.truncate(static_cast<qsizetype>(size));
    return out;
}

// The header block split into fields, each with its continuation lines and without its
// final CRLF.
QList<QByteArray> headerFields(const QByteArray& block) {
    QList<QByteArray> fields;
    for (const QByteArray& line : block.split('\n')) {
        QByteArray text = line.endsWith('\r') ? line.chopped(1) : line;
        if (!fields.isEmpty() && !text.isEmpty() && isWsp(text.front()))
            fields.back() += "\r\n" + text;
        else if (!text.isEmpty())
            fields.append(text);
    }
    return fields;
}

QByteArray fieldName(const QByteArray& field) {
    const qsizetype colon = field.indexOf(':');
    return colon < 0 ? QByteArray() : field.left(colon).trimmed().toLower();
}

// The value folded at 70 characters, so no line of the signature header runs long.
QByteArray folded(const QByteArray& value) {
    QByteArray out;
    for (qsizetype i = 0; i < value.size(); i += 70) {
        if (i > 0)
            out += "\r\n\t";
        out += value.mid(i, 70);
    }
    return out;
}

} // namespace

QByteArray RelaxedHeader(const QByteArray& field) {
    const qsizetype colon = field.indexOf(':');
    if (colon < 0)
        return {};
    QByteArray out = field.left(colon).trimmed().toLower() + ':';
    bool space = false, started = false;
    for (qsizetype i = colon + 1; i < field.size(); ++i) {
        const char c = field.at(i);
        if (c == '\r' || c == '\n' || isWsp(c)) {
            space = true;
            continue;
        }
        if (space && started)
            out += ' ';
        space = false;
        started = true;
        out += c;
    }
    return out + "\r\n";
}

QByteArray RelaxedBody(const QByteArray& body) {
    QByteArray out;
    out.reserve(body.size() + 2);
    QList<QByteArray> lines = body.split('\n');
    // A body that ends with a line end leaves an empty piece after it, which is no line.
    if (!lines.isEmpty() && lines.back().isEmpty())
        lines.removeLast();
    qsizetype contentEnd = 0; // the size up to the last line that is not empty: empty lines
                              // at the end of the body are not signed
    for (const QByteArray& line : std::as_const(lines)) {
        const qsizetype start = out.size();
        const QByteArray text = line.endsWith('\r') ? line.chopped(1) : line;
        bool space = false;
        for (char c : text) {
            if (isWsp(c)) {
                space = true;
                continue;
            }
            if (space)
                out += ' ';
            space = false;
            out += c;
        }
        if (out.size() > start)
            contentEnd = out.size() + 2;
        out += "\r\n";
    }
    out.truncate(contentEnd);
    return out;
}

QByteArray PublishedKey(const QByteArray& record) {
    for (const QByteArray& tag : record.split(';')) {
        const qsizetype eq = tag.indexOf('=');
        if (eq < 0 || tag.left(eq).trimmed() != "p")
            continue;
        QByteArray value;
        for (char c : tag.mid(eq + 1))
            if (!std::isspace(static_cast<unsigned char>(c)))
                value += c;
        return value;
    }
    return {};
}

bool Aligned(const QString& domain, const QString& senderAddress) {
    const auto normal = [](QString name) {
        name = name.trimmed().toLower();
        while (name.endsWith(u'.'))
            name.chop(1);
        return QString::fromLatin1(QUrl::toAce(name));
    };
    const QString signing = normal(domain);
    const qsizetype at = senderAddress.lastIndexOf(u'@');
    const QString sender = normal(at < 0 ? QString() : senderAddress.mid(at + 1));
    if (signing.isEmpty() || sender.isEmpty())
        return false;
    return sender == signing || sender.endsWith(u'.' + signing);
}

Signer::Signer(std::unique_ptr<Keys> keys) : keys_(std::move(keys)) {}
Signer::~Signer() = default;

std::shared_ptr<const Signer> Signer::Load(const KeyFiles& files, QString& error) {
    error.clear();
    QString domainText = files.domain.trimmed().toLower();
    while (domainText.endsWith(u'.'))
        domainText.chop(1);
    const QByteArray domain = QUrl::toAce(domainText);
    const QByteArray selector = files.selector.trimmed().toLatin1();
    if (!isDnsName(domain) || !domain.contains('.')) {
        error = QStringLiteral("Le domaine DKIM « %1 » n'est pas un nom de domaine. Renseignez "
                               "Domaine dans la section [DKIM] (par exemple radio.example).")
                    .arg(files.domain);
        return nullptr;
    }
    if (!isDnsName(selector) || QString::fromLatin1(selector) != files.selector.trimmed()) {
        error = QStringLiteral("Le sélecteur DKIM « %1 » n'est pas un nom DNS. Renseignez "
                               "Selecteur dans la section [DKIM] (lettres, chiffres, tirets).")
                    .arg(files.selector);
        return nullptr;
    }
    const QString edText = files.ed25519Selector.trimmed().isEmpty()
                               ? files.selector.trimmed() + QStringLiteral("-ed25519")
                               : files.ed25519Selector.trimmed();
    const QByteArray edSelector = edText.toLatin1();
    if (!files.ed25519Key.isEmpty() &&
        (!isDnsName(edSelector) || QString::fromLatin1(edSelector) != edText)) {
        error = QStringLiteral("Le sélecteur DKIM Ed25519 « %1 » n'est pas un nom DNS. "
                               "Renseignez SelecteurEd25519 dans la section [DKIM].")
                    .arg(edText);
        return nullptr;
    }
    auto keys = std::make_unique<Keys>();
    keys->rsa = readKeyFile(files.rsaKey, "Cle", error);
    if (!keys->rsa)
        return nullptr;
    if (EVP_PKEY_get_base_id(keys->rsa.get()) != EVP_PKEY_RSA) {
        error = describeFile(files.rsaKey, "Cle") +
                QStringLiteral(" n'est pas une clé RSA. Créez-la avec « openssl genpkey "
                               "-algorithm RSA -pkeyopt rsa_keygen_bits:2048 ».");
        return nullptr;
    }
    if (const int bits = EVP_PKEY_get_bits(keys->rsa.get()); bits < 1024) {
        error = describeFile(files.rsaKey, "Cle") +
                QStringLiteral(" est trop courte (%1 bits) : les destinataires refusent une "
                               "signature RSA de moins de 1024 bits. Créez une clé de 2048 bits.")
                    .arg(bits);
        return nullptr;
    }
    if (!files.ed25519Key.isEmpty()) {
        keys->ed25519 = readKeyFile(files.ed25519Key, "CleEd25519", error);
        if (!keys->ed25519)
            return nullptr;
        if (EVP_PKEY_get_base_id(keys->ed25519.get()) != EVP_PKEY_ED25519) {
            error = describeFile(files.ed25519Key, "CleEd25519") +
                    QStringLiteral(" n'est pas une clé Ed25519. Créez-la avec « openssl genpkey "
                                   "-algorithm ed25519 ».");
            return nullptr;
        }
    }
    std::shared_ptr<Signer> signer(new Signer(std::move(keys)));
    signer->domain_ = domain;
    signer->selector_ = selector;
    signer->ed25519Selector_ = edSelector;
    return signer;
}

QByteArray Signer::rsaPublicKey() const {
    unsigned char* der = nullptr;
    const int size = i2d_PUBKEY(keys_->rsa.get(), &der);
    const OpenSslBytes<unsigned char> owned(der);
    if (size <= 0)
        return {};
    return QByteArray(reinterpret_cast<const char*>(der), size).toBase64();
}

QByteArray Signer::ed25519PublicKey() const {
    if (!keys_->ed25519)
        return {};
    unsigned char raw[64];
    size_t size = sizeof raw;
    if (EVP_PKEY_get_raw_public_key(keys_->ed25519.get(), raw, &size) != 1)
        return {};
    return QByteArray(reinterpret_cast<const char*>(raw), static_cast<qsizetype>(size)).toBase64();
}

QByteArray Signer::rsaRecord() const {
    return "v=DKIM1; k=rsa; p=" + rsaPublicKey();
}

QByteArray Signer::ed25519Record() const {
    return keys_->ed25519 ? "v=DKIM1; k=ed25519; p=" + ed25519PublicKey() : QByteArray();
}

bool Signer::sign(QByteArray& message, qint64 unixTime, QString& error) const {
    const qsizetype split = message.indexOf("\r\n\r\n");
    const QByteArray block = split < 0 ? message : message.left(split + 2);
    const QByteArray body = split < 0 ? QByteArray() : message.mid(split + 4);
    const QList<QByteArray> fields = headerFields(block);

    // Each named header as it is canonicalised; the last instance counts (there is one).
    QByteArray names, canonical;
    for (const char* wanted : kSignedHeaders) {
        const QByteArray lower = QByteArray(wanted).toLower();
        for (qsizetype i = fields.size() - 1; i >= 0; --i)
            if (fieldName(fields.at(i)) == lower) {
                names += (names.isEmpty() ? "" : ":") + lower;
                canonical += RelaxedHeader(fields.at(i));
                break;
            }
    }
    if (!names.startsWith("from")) {
        error = QStringLiteral("Signature DKIM impossible : le message n'a pas d'en-tête From.");
        return false;
    }
    // From named once more than it occurs: a From added later breaks the signature.
    names += ":from";
    const QByteArray bodyHash = sha256(RelaxedBody(body)).toBase64();

    QByteArray headers;
    const auto addSignature = [&](EVP_PKEY* key, bool ed25519) {
        const QByteArray unsignedField =
            "DKIM-Signature: v=1; a=" + QByteArray(ed25519 ? "ed25519-sha256" : "rsa-sha256") +
            "; c=relaxed/relaxed; d=" + domain_ +
            "; s=" + (ed25519 ? ed25519Selector_ : selector_) +
            ";\r\n\tt=" + QByteArray::number(unixTime) + "; h=" + names + ";\r\n\tbh=" + bodyHash +
            ";\r\n\tb=";
        QByteArray data = canonical + RelaxedHeader(unsignedField);
        data.chop(2); // the signature header is hashed without its line end
        const QByteArray signature = signData(key, ed25519, data);
        if (signature.isEmpty())
            return false;
        headers += unsignedField + folded(signature.toBase64()) + "\r\n";
        return true;
    };
    if (!addSignature(keys_->rsa.get(), false) ||
        (keys_->ed25519 && !addSignature(keys_->ed25519.get(), true))) {
        error = QStringLiteral("Signature DKIM impossible : OpenSSL a refusé de signer avec la "
                               "clé du domaine %1.")
                    .arg(QString::fromLatin1(domain_));
        return false;
    }
    message.prepend(headers);
    return true;
}

} // namespace mail::dkim
