// A Kerberos realm of the test's own: Debian's KDC (krb5kdc) on a free loopback port with its
// database in a temporary folder, principals and keytabs made with kadmin.local, and this
// process (and the peers it starts) pointed at it.
#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>

namespace testsupport {

class KerberosRealm {
public:
    // Creates the realm and starts its KDC; KRB5_CONFIG names its client configuration and
    // KRB5CCNAME an empty ticket cache until destruction, so no ticket of the machine's user
    // takes part.
    KerberosRealm();
    ~KerberosRealm();
    KerberosRealm(const KerberosRealm&) = delete;
    KerberosRealm& operator=(const KerberosRealm&) = delete;

    bool isRunning() const { return kdc_ && kdc_->state() == QProcess::Running; }
    QString error() const { return error_; }
    static QString name() { return QStringLiteral("POSTIQUE.TEST"); }

    // Writes the current keys of `principals` (created with random keys when new) into the
    // keytab `fileName` of the realm's folder; with `newKeys` their keys are changed first, so
    // every keytab written before is out of date. The keytab's path, "" on failure (error()).
    QString keytab(const QString& fileName, const QStringList& principals, bool newKeys = false);

private:
    bool admin(const QString& query);

    QTemporaryDir dir_;
    std::unique_ptr<QProcess> kdc_;
    QString error_;
    QByteArray savedConfig_, savedCache_;
    bool hadConfig_ = false, hadCache_ = false;
};

} // namespace testsupport
