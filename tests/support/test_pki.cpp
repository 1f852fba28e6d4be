// Test PKI made once per test program with `openssl req`, `openssl ca` and `openssl pkcs12`.
#include "support/test_pki.h"

#include <QDate>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QProcess>

#include <unistd.h>

namespace testsupport {

namespace {

TestPki makePkiPaths(const QString& dir);

bool writeFile(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
}

const char* kCaConfig = R"([ ca ]
default_ca = testca
[ testca ]
dir = .
database = index.txt
new_certs_dir = issued
serial = serial
certificate = ca.pem
private_key = ca.key
default_md = sha256
default_days = 825
policy = anything
unique_subject = no
copy_extensions = none
[ anything ]
commonName = supplied
emailAddress = optional
[ smime ]
basicConstraints = CA:FALSE
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = emailProtection
subjectAltName = ${ENV::SAN}
[ server ]
basicConstraints = CA:FALSE
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = serverAuth
subjectAltName = DNS:localhost, IP:127.0.0.1
)";

class Builder {
public:
    explicit Builder(const QString& dir) : dir_(dir) {}

    bool run(const QStringList& args, const QString& san = QString()) {
        QProcess p;
        p.setWorkingDirectory(dir_);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("SAN"), san.isEmpty() ? QStringLiteral("email:copy") : san);
        p.setProcessEnvironment(env);
        p.start(QStringLiteral("openssl"), args);
        if (!p.waitForFinished(60000) || p.exitStatus() != QProcess::NormalExit ||
            p.exitCode() != 0) {
            error = QStringLiteral("openssl %1: %2")
                        .arg(args.join(QLatin1Char(' ')),
                             QString::fromLocal8Bit(p.readAllStandardError()));
            return false;
        }
        return true;
    }

    QString path(const QString& name) const { return dir_ + QLatin1Char('/') + name; }

    // A key and a certificate issued by the CA; `extensions` is "smime" or "server".
    // Keys are EC P-256 (fast to make) unless `rsa` asks for RSA 2048.
    bool issue(const QString& name, const QString& subject, const QString& san,
               const QString& extensions, const QString& start = QString(),
               const QString& end = QString(), bool rsa = false) {
        QStringList req{"req",  "-new",        "-nodes", "-keyout", name + ".key",
                        "-out", name + ".csr", "-subj",  subject,   "-newkey"};
        if (rsa)
            req << "rsa:2048";
        else
            req << "ec"
                << "-pkeyopt"
                << "ec_paramgen_curve:prime256v1";
        if (!run(req))
            return false;
        QStringList args{"ca",      "-batch", "-config",     "ca.cnf", "-extensions", extensions,
                         "-notext", "-in",    name + ".csr", "-out",   name + ".pem"};
        if (!start.isEmpty())
            args << "-startdate" << start;
        if (!end.isEmpty())
            args << "-enddate" << end;
        return run(args, san);
    }

    QString error;

private:
    QString dir_;
};

// Makes the PKI in `dir` (empty) and fills `pki`.
TestPki makePki(const QString& dir) {
    TestPki pki;
    pki.dir = dir;
    Builder b(pki.dir);
    QDir(pki.dir).mkpath(QStringLiteral("issued"));
    writeFile(b.path("ca.cnf"), kCaConfig);
    writeFile(b.path("index.txt"), {});
    writeFile(b.path("serial"), "1000\n");
    const bool built =
        b.run({"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
               "-nodes", "-keyout", "ca.key", "-out", "ca.pem", "-days", "3650", "-subj",
               "/CN=Postique Test CA", "-addext", "basicConstraints=critical,CA:TRUE", "-addext",
               "keyUsage=critical,keyCertSign,cRLSign"}) &&
        b.issue("server", "/CN=localhost", QString(), "server") &&
        b.issue("alice", "/CN=Alice Sender/emailAddress=alice@example.test",
                "email:alice@example.test", "smime") &&
        b.issue("bob", "/CN=Bob Recipient/emailAddress=bob@example.test", "email:copy", "smime",
                QString(), QString(), true) &&
        b.issue("bob-old", "/CN=Bob Old/emailAddress=bob@example.test", "email:copy", "smime",
                "20240101000000Z", "20391231000000Z") &&
        b.issue("carol", "/CN=Carol Recipient", "email:carol@Example.Test", "smime") &&
        b.issue("dave", "/CN=Dave Expired/emailAddress=dave@example.test", "email:copy", "smime",
                "20200101000000Z", "20210101000000Z") &&
        b.issue("erin", "/CN=Erin Future/emailAddress=erin@example.test", "email:copy", "smime",
                "20400101000000Z", "20450101000000Z") &&
        b.run({"pkcs12", "-export", "-legacy", "-in", "alice.pem", "-inkey", "alice.key",
               "-certfile", "ca.pem", "-out", "alice-legacy.p12", "-passout", "pass:"}) &&
        b.run({"pkcs12", "-export", "-in", "alice.pem", "-inkey", "alice.key", "-certfile",
               "ca.pem", "-out", "alice-protected.p12", "-passout", "pass:s3cret"});
    if (!built) {
        pki.error = b.error;
        return pki;
    }
    return makePkiPaths(dir);
}

// The file names of a complete PKI in `dir`.
TestPki makePkiPaths(const QString& dir) {
    TestPki pki;
    pki.dir = dir;
    Builder b(dir);
    pki.caCert = b.path("ca.pem");
    pki.caKey = b.path("ca.key");
    pki.serverCert = b.path("server.pem");
    pki.serverKey = b.path("server.key");
    pki.aliceCert = b.path("alice.pem");
    pki.aliceKey = b.path("alice.key");
    pki.aliceP12Legacy = b.path("alice-legacy.p12");
    pki.aliceP12Protected = b.path("alice-protected.p12");
    pki.bobCert = b.path("bob.pem");
    pki.bobKey = b.path("bob.key");
    pki.bobOldCert = b.path("bob-old.pem");
    pki.carolCert = b.path("carol.pem");
    pki.carolKey = b.path("carol.key");
    pki.daveExpiredCert = b.path("dave.pem");
    pki.daveKey = b.path("dave.key");
    pki.erinFutureCert = b.path("erin.pem");
    pki.ok = true;
    return pki;
}

} // namespace

const TestPki& SharedTestPki() {
    // Every test case runs in a process of its own: the PKI is made once per day and user in
    // the temporary folder and shared, under a lock, by the processes that follow.
    static const TestPki pki = [] {
        const QString base = QDir::tempPath() + QStringLiteral("/postique-test-pki-") +
                             QString::number(getuid()) + QLatin1Char('-') +
                             QDate::currentDate().toString(QStringLiteral("yyyyMMdd")) +
                             QStringLiteral("-v1");
        QLockFile lock(base + QStringLiteral(".lock"));
        lock.setStaleLockTime(0);
        lock.lock();
        if (QFileInfo::exists(base + QStringLiteral("/complete")))
            return makePkiPaths(base);
        QDir(base).removeRecursively();
        QDir().mkpath(base);
        TestPki made = makePki(base);
        if (made.ok)
            writeFile(base + QStringLiteral("/complete"), "1");
        return made;
    }();
    return pki;
}

bool RunOpenssl(const QStringList& args, QByteArray* out, QString* err, const QByteArray& input) {
    QProcess p;
    p.start(QStringLiteral("openssl"), args);
    if (!p.waitForStarted(30000))
        return false;
    if (!input.isEmpty())
        p.write(input);
    p.closeWriteChannel();
    p.waitForFinished(60000);
    if (out)
        *out = p.readAllStandardOutput();
    if (err)
        *err = QString::fromLocal8Bit(p.readAllStandardError());
    return p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

QString MakeCertificateStore(const QString& prefix, const QString& storeName,
                             const QStringList& files) {
    const QString folder = prefix + QStringLiteral("/certificates/") + storeName;
    QDir().mkpath(folder);
    for (const QString& file : files) {
        const QString target = folder + QLatin1Char('/') + QFileInfo(file).fileName();
        QFile::remove(target);
        QFile::copy(file, target);
    }
    return folder;
}

} // namespace testsupport
