// Sets up and runs the test realm's KDC, and makes its keytabs.
#include "support/kerberos_realm.h"

#include "support/dns_fixture.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QThread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace testsupport {

namespace {

const QString kKdc = QStringLiteral("/usr/sbin/krb5kdc");
const QString kKdbUtil = QStringLiteral("/usr/sbin/kdb5_util");
const QString kAdmin = QStringLiteral("/usr/sbin/kadmin.local");

bool accepts(quint16 port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    close(fd);
    return ok;
}

bool writeText(const QString& path, const QString& text) {
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(text.toUtf8()) >= 0;
}

// Runs a tool of the KDC with the realm's configuration; false with `error` when it fails.
bool run(const QString& program, const QStringList& args, QString& error) {
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(program, args);
    p.closeWriteChannel();
    if (!p.waitForFinished(30000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        error = QStringLiteral("%1 %2: %3")
                    .arg(program, args.join(u' '), QString::fromUtf8(p.readAll()).trimmed());
        return false;
    }
    return true;
}

} // namespace

KerberosRealm::KerberosRealm() {
    if (!QFileInfo(kKdc).isExecutable() || !QFileInfo(kAdmin).isExecutable()) {
        error_ = QStringLiteral("krb5kdc or kadmin.local missing (tools/install-deps.sh installs "
                                "krb5-kdc and krb5-admin-server)");
        return;
    }
    const QString d = dir_.path();
    const quint16 port = FreeLoopbackPort();
    const QString kdc = QStringLiteral("127.0.0.1:%1").arg(port);
    // Names are taken as written: no DNS, no reverse look-up, no referral to another realm.
    writeText(d + QStringLiteral("/krb5.conf"),
              QStringLiteral("[libdefaults]\n default_realm = %1\n dns_lookup_kdc = false\n"
                             " dns_lookup_realm = false\n dns_canonicalize_hostname = false\n"
                             " rdns = false\n udp_preference_limit = 1\n"
                             "[realms]\n %1 = {\n  kdc = %2\n }\n"
                             "[logging]\n default = FILE:%3/krb5.log\n")
                  .arg(name(), kdc, d));
    writeText(
        d + QStringLiteral("/kdc.conf"),
        QStringLiteral("[kdcdefaults]\n kdc_listen = %2\n kdc_tcp_listen = %2\n"
                       "[realms]\n %1 = {\n  database_name = %3/principal\n"
                       "  key_stash_file = %3/stash\n  acl_file = %3/kadm5.acl\n"
                       "  kdc_listen = %2\n  kdc_tcp_listen = %2\n }\n"
                       "[logging]\n kdc = FILE:%3/kdc.log\n admin_server = FILE:%3/kadmin.log\n"
                       " default = FILE:%3/krb5.log\n")
            .arg(name(), kdc, d));
    writeText(d + QStringLiteral("/kadm5.acl"), QString());

    hadConfig_ = qEnvironmentVariableIsSet("KRB5_CONFIG");
    savedConfig_ = qgetenv("KRB5_CONFIG");
    hadCache_ = qEnvironmentVariableIsSet("KRB5CCNAME");
    savedCache_ = qgetenv("KRB5CCNAME");
    qputenv("KRB5_CONFIG", QFile::encodeName(d + QStringLiteral("/krb5.conf")));
    qputenv("KRB5_KDC_PROFILE", QFile::encodeName(d + QStringLiteral("/kdc.conf")));
    qputenv("KRB5CCNAME", "FILE:" + QFile::encodeName(d + QStringLiteral("/user.ccache")));

    if (!run(kKdbUtil,
             {QStringLiteral("create"), QStringLiteral("-s"), QStringLiteral("-r"), name(),
              QStringLiteral("-P"), QStringLiteral("postique-master")},
             error_))
        return;
    kdc_ = std::make_unique<QProcess>();
    kdc_->setProcessChannelMode(QProcess::MergedChannels);
    kdc_->start(kKdc, {QStringLiteral("-n"), QStringLiteral("-r"), name()});
    kdc_->waitForStarted(10000);
    const QDeadlineTimer deadline(10000);
    while (kdc_->state() != QProcess::NotRunning && !accepts(port) && !deadline.hasExpired())
        QThread::msleep(20);
    if (kdc_->state() == QProcess::NotRunning || !accepts(port)) {
        kdc_->waitForFinished(1000);
        error_ = QStringLiteral("krb5kdc did not start on %1: %2")
                     .arg(kdc, QString::fromUtf8(kdc_->readAll()).trimmed());
        kdc_->kill();
        kdc_->waitForFinished(5000);
        kdc_.reset();
    }
}

KerberosRealm::~KerberosRealm() {
    if (kdc_) {
        kdc_->terminate();
        if (!kdc_->waitForFinished(5000)) {
            kdc_->kill();
            kdc_->waitForFinished(5000);
        }
    }
    const auto restore = [](const char* name, bool had, const QByteArray& value) {
        if (had)
            qputenv(name, value);
        else
            qunsetenv(name);
    };
    restore("KRB5_CONFIG", hadConfig_, savedConfig_);
    restore("KRB5CCNAME", hadCache_, savedCache_);
    qunsetenv("KRB5_KDC_PROFILE");
}

bool KerberosRealm::admin(const QString& query) {
    return run(kAdmin, {QStringLiteral("-r"), name(), QStringLiteral("-q"), query}, error_);
}

QString KerberosRealm::keytab(const QString& fileName, const QStringList& principals,
                              bool newKeys) {
    const QString path = dir_.filePath(fileName);
    for (const QString& principal : principals) {
        // "addprinc" fails on a principal that exists already: whether it did is told by ktadd.
        QString ignored;
        run(kAdmin,
            {QStringLiteral("-r"), name(), QStringLiteral("-q"),
             QStringLiteral("addprinc -randkey ") + principal},
            ignored);
        if (!admin(QStringLiteral("ktadd -k %1 %2%3")
                       .arg(path, newKeys ? QString() : QStringLiteral("-norandkey "), principal)))
            return {};
    }
    if (!QFileInfo::exists(path)) {
        error_ = QStringLiteral("kadmin.local wrote no keytab %1").arg(path);
        return {};
    }
    return path;
}

} // namespace testsupport
