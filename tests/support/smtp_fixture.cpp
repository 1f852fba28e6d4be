// The SMTP server fixture and the test certificate authority.
#include "support/smtp_fixture.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QThread>

#include <functional>

namespace testsupport {

namespace {

const QString kPython = QStringLiteral("/usr/bin/python3");

QString serversDir() {
    return QStringLiteral(POSTIQUE_TEST_SERVERS_DIR);
}

} // namespace

// ---------------------------------------------------------------- certificate authority

TestAuthority& TestAuthority::instance() {
    static TestAuthority authority;
    return authority;
}

TestAuthority::TestAuthority() {
    if (!dir_.isValid()) {
        error_ = QStringLiteral("temporary folder not created");
        return;
    }
    ok_ = run({QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"),
               QStringLiteral("ec"), QStringLiteral("-pkeyopt"),
               QStringLiteral("ec_paramgen_curve:prime256v1"), QStringLiteral("-nodes"),
               QStringLiteral("-keyout"), caKey(), QStringLiteral("-out"), caCertificate(),
               QStringLiteral("-days"), QStringLiteral("3650"), QStringLiteral("-subj"),
               QStringLiteral("/CN=Postique Test CA"), QStringLiteral("-addext"),
               QStringLiteral("basicConstraints=critical,CA:TRUE"), QStringLiteral("-addext"),
               QStringLiteral("keyUsage=critical,keyCertSign,cRLSign")});
}

bool TestAuthority::run(const QStringList& arguments) {
    QProcess openssl;
    openssl.setWorkingDirectory(dir_.path());
    openssl.start(QStringLiteral("openssl"), arguments);
    if (!openssl.waitForFinished(60000) || openssl.exitStatus() != QProcess::NormalExit ||
        openssl.exitCode() != 0) {
        error_ =
            QStringLiteral("openssl %1 failed: %2")
                .arg(arguments.join(u' '), QString::fromLocal8Bit(openssl.readAllStandardError()));
        return false;
    }
    return true;
}

QString TestAuthority::issue(const QString& name, const QString& subject,
                             const QStringList& extensions) {
    const QString key = dir_.filePath(name + QStringLiteral(".key"));
    const QString csr = dir_.filePath(name + QStringLiteral(".csr"));
    const QString cert = dir_.filePath(name + QStringLiteral(".pem"));
    const QString ext = dir_.filePath(name + QStringLiteral(".ext"));
    if (QFile::exists(cert))
        return cert;
    QFile extFile(ext);
    if (!extFile.open(QIODevice::WriteOnly))
        return {};
    extFile.write(extensions.join(u'\n').toUtf8() + '\n');
    extFile.close();
    if (!run({QStringLiteral("req"), QStringLiteral("-newkey"), QStringLiteral("rsa:2048"),
              QStringLiteral("-nodes"), QStringLiteral("-keyout"), key, QStringLiteral("-out"), csr,
              QStringLiteral("-subj"), subject}) ||
        !run({QStringLiteral("x509"), QStringLiteral("-req"), QStringLiteral("-in"), csr,
              QStringLiteral("-CA"), caCertificate(), QStringLiteral("-CAkey"), caKey(),
              QStringLiteral("-CAcreateserial"), QStringLiteral("-out"), cert,
              QStringLiteral("-days"), QStringLiteral("3650"), QStringLiteral("-extfile"), ext}))
        return {};
    return cert;
}

QString TestAuthority::selfSigned(const QString& name, const QString& subject,
                                  const QStringList& extensions) {
    const QString key = dir_.filePath(name + QStringLiteral(".key"));
    const QString cert = dir_.filePath(name + QStringLiteral(".pem"));
    if (QFile::exists(cert))
        return cert;
    QStringList args{QStringLiteral("req"),
                     QStringLiteral("-x509"),
                     QStringLiteral("-newkey"),
                     QStringLiteral("rsa:2048"),
                     QStringLiteral("-nodes"),
                     QStringLiteral("-keyout"),
                     key,
                     QStringLiteral("-out"),
                     cert,
                     QStringLiteral("-days"),
                     QStringLiteral("3650"),
                     QStringLiteral("-subj"),
                     subject};
    for (const QString& e : extensions)
        args << QStringLiteral("-addext") << e;
    return run(args) ? cert : QString();
}

QString TestAuthority::serverCertificate() {
    return issue(QStringLiteral("server"), QStringLiteral("/CN=localhost"),
                 {QStringLiteral("subjectAltName=DNS:localhost,IP:127.0.0.1"),
                  QStringLiteral("basicConstraints=CA:FALSE"),
                  QStringLiteral("extendedKeyUsage=serverAuth")});
}

// ---------------------------------------------------------------- SMTP server

SmtpServerOptions& SmtpServerOptions::reply(const QString& command, const QString& match,
                                            const QString& text) {
    script.append(QJsonObject{{QStringLiteral("cmd"), command},
                              {QStringLiteral("match"), match},
                              {QStringLiteral("reply"), text}});
    return *this;
}

SmtpServer::SmtpServer(const SmtpServerOptions& options) {
    recordPath_ = dir_.filePath(QStringLiteral("record.jsonl"));
    QStringList args{serversDir() + QStringLiteral("/smtp_server.py"), QStringLiteral("--record"),
                     recordPath_};
    if (options.tls != SmtpServerOptions::Tls::Plain) {
        TestAuthority& ca = TestAuthority::instance();
        const QString cert =
            options.certificate.isEmpty() ? ca.serverCertificate() : options.certificate;
        const QString key = options.key.isEmpty() ? ca.serverKey() : options.key;
        if (cert.isEmpty()) {
            error_ = ca.error();
            return;
        }
        args << QStringLiteral("--tls")
             << (options.tls == SmtpServerOptions::Tls::StartTls ? QStringLiteral("starttls")
                                                                 : QStringLiteral("implicit"))
             << QStringLiteral("--cert") << cert << QStringLiteral("--key") << key;
    }
    if (options.requireStartTls)
        args << QStringLiteral("--require-starttls");
    args << QStringLiteral("--auth")
         << (options.auth == SmtpServerOptions::Auth::None       ? QStringLiteral("none")
             : options.auth == SmtpServerOptions::Auth::Optional ? QStringLiteral("optional")
                                                                 : QStringLiteral("required"));
    for (const QString& user : options.users)
        args << QStringLiteral("--user") << user;
    QJsonArray script;
    for (const QJsonObject& rule : options.script)
        script.append(rule);
    args << QStringLiteral("--script")
         << QString::fromUtf8(QJsonDocument(script).toJson(QJsonDocument::Compact));
    if (!options.stall.isEmpty())
        args << QStringLiteral("--stall") << options.stall << QStringLiteral("--stall-seconds")
             << QString::number(options.stallSeconds);
    if (options.pipelining)
        args << QStringLiteral("--pipelining");
    if (options.dsn)
        args << QStringLiteral("--dsn");
    if (options.maxRecipients > 0)
        args << QStringLiteral("--max-recipients") << QString::number(options.maxRecipients);
    if (options.maxSessions > 0)
        args << QStringLiteral("--max-sessions") << QString::number(options.maxSessions);
    if (options.ratePerWindow > 0)
        args << QStringLiteral("--rate") << QString::number(options.ratePerWindow)
             << QStringLiteral("--rate-window") << QString::number(options.rateWindowSeconds);
    if (!options.bearerState.isEmpty())
        args << QStringLiteral("--bearer-state") << options.bearerState
             << QStringLiteral("--bearer-mechs") << options.bearerMechanisms;
    if (!options.host.isEmpty())
        args << QStringLiteral("--host") << options.host;
    if (options.port != 0)
        args << QStringLiteral("--port") << QString::number(options.port);

    process_ = std::make_unique<QProcess>();
    process_->setProcessChannelMode(QProcess::SeparateChannels);
    process_->start(kPython, args);
    if (!process_->waitForStarted(10000)) {
        error_ = QStringLiteral("smtp_server.py did not start: ") + process_->errorString();
        return;
    }
    QDeadlineTimer deadline(20000);
    QByteArray line;
    while (!deadline.hasExpired()) {
        if (process_->canReadLine()) {
            line = process_->readLine().trimmed();
            break;
        }
        if (process_->state() != QProcess::Running)
            break;
        process_->waitForReadyRead(100);
    }
    if (!line.startsWith("READY ")) {
        error_ = QStringLiteral("smtp_server.py not ready: ") +
                 QString::fromLocal8Bit(process_->readAllStandardError());
        return;
    }
    port_ = quint16(line.mid(6).toUInt());
}

SmtpServer::~SmtpServer() {
    stop();
}

void SmtpServer::stop() {
    if (!process_)
        return;
    process_->closeWriteChannel(); // the server stops when its standard input closes
    if (!process_->waitForFinished(5000)) {
        process_->kill();
        process_->waitForFinished(2000);
    }
    process_.reset();
}

QList<QJsonObject> SmtpServer::events() const {
    QList<QJsonObject> out;
    QFile file(recordPath_);
    if (!file.open(QIODevice::ReadOnly))
        return out;
    while (!file.atEnd()) {
        const QByteArray line = file.readLine();
        if (!line.endsWith('\n'))
            break; // being written
        out << QJsonDocument::fromJson(line).object();
    }
    return out;
}

QList<ReceivedMessage> SmtpServer::messages() const {
    QList<ReceivedMessage> out;
    for (const QJsonObject& e : events()) {
        if (e.value(u"event").toString() != u"message")
            continue;
        ReceivedMessage m;
        m.connection = e.value(u"conn").toInt();
        m.mailFrom = e.value(u"mail_from").toString();
        for (const QJsonValue& r : e.value(u"rcpt_tos").toArray())
            m.recipients << r.toString();
        m.data = QByteArray::fromBase64(e.value(u"data_b64").toString().toLatin1());
        m.authUser = e.value(u"auth_user").toString();
        m.authMechanism = e.value(u"auth_mech").toString();
        m.tls = e.value(u"tls").toBool();
        m.mailAt = e.value(u"mail_at").toDouble();
        m.grouped = e.value(u"grouped").toBool();
        m.mailArgument = e.value(u"mail_arg").toString();
        for (const QJsonValue& v : e.value(u"rcpt_args").toArray())
            m.rcptArguments << v.toString();
        m.queueId = e.value(u"queue_id").toString();
        out << m;
    }
    return out;
}

static int countEvents(const QList<QJsonObject>& events, QStringView kind) {
    int n = 0;
    for (const QJsonObject& e : events)
        if (e.value(u"event").toString() == kind)
            ++n;
    return n;
}

int SmtpServer::connections() const {
    return countEvents(events(), u"connect");
}
int SmtpServer::throttled() const {
    return countEvents(events(), u"throttle");
}
int SmtpServer::disconnections() const {
    return countEvents(events(), u"disconnect");
}

bool SmtpServer::waitFor(const std::function<bool()>& done, int timeoutMs) const {
    QDeadlineTimer deadline(timeoutMs);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(10);
    }
    return true;
}

bool SmtpServer::waitForMessages(int count, int timeoutMs) const {
    return waitFor([&] { return messages().size() >= count; }, timeoutMs);
}

bool SmtpServer::waitForDisconnections(int count, int timeoutMs) const {
    return waitFor([&] { return disconnections() >= count; }, timeoutMs);
}

// ---------------------------------------------------------------- parsing

QJsonObject ParseWithPython(const QByteArray& message) {
    QProcess python;
    python.start(kPython, {serversDir() + QStringLiteral("/parse_mail.py")});
    if (!python.waitForStarted(10000))
        return {{QStringLiteral("error"), python.errorString()}};
    python.write(message);
    python.closeWriteChannel();
    if (!python.waitForFinished(30000) || python.exitCode() != 0)
        return {{QStringLiteral("error"), QString::fromUtf8(python.readAllStandardError())}};
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(python.readAllStandardOutput(), &error);
    if (error.error != QJsonParseError::NoError)
        return {{QStringLiteral("error"), error.errorString()}};
    return doc.object();
}

} // namespace testsupport
