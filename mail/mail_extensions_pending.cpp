// Place-holders for the parts of the mail component that another module provides: the
// Exchange transports, S/MIME and the certificate stores. Each reports that it is not
// available; the module that implements one removes its place-holder here.
#include "mail/mail_component.h"

namespace mail {

std::unique_ptr<Transport> CreateExchangeTransport(qint32) { return nullptr; }

bool ApplySecurity(QByteArray&, const Certificate*, const CertificateCollection&,
                   QString& error) {
    error = QStringLiteral("La signature et le chiffrement S/MIME ne sont pas disponibles dans "
                           "cette version.");
    return false;
}

bool Certificate::findBySubject(const QString& subject, qint32, const QString& storeName) {
    data_.reset();
    lastError_ = QStringLiteral("Magasin de certificats « %1 » indisponible pour %2")
                     .arg(storeName, subject);
    return false;
}

bool Certificate::hasPrivateKey() const { return false; }

void Certificate::clear() {
    data_.reset();
    lastError_.clear();
}

} // namespace mail
