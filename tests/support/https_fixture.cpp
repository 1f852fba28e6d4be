// Starts and stops the HTTPS peer of the Exchange tests and reads its request record.
#include "support/https_fixture.h"

#include "support/test_pki.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>

namespace testsupport {

HttpsServer::HttpsServer(const HttpsServerOptions& options) {
    const TestPki& pki = SharedTestPki();
    if (!pki.ok) {
        error_ = pki.error;
        return;
    }
    caFolder_ = dir_.filePath(QStringLiteral("CA"));
    QDir().mkpath(caFolder_);
    QFile::copy(pki.caCert, caFolder_ + QStringLiteral("/ca.pem"));

    process_ = std::make_unique<QProcess>();
    process_->setProcessChannelMode(QProcess::SeparateChannels);
    QStringList args{QStringLiteral(POSTIQUE_TEST_SERVERS_DIR "/https_server.py"),
                     QStringLiteral("--cert"),
                     pki.serverCert,
                     QStringLiteral("--key"),
                     pki.serverKey,
                     QStringLiteral("--state"),
                     dir_.path(),
                     QStringLiteral("--user"),
                     options.user,
                     QStringLiteral("--password"),
                     options.password};
    if (!options.mailbox.isEmpty())
        args << QStringLiteral("--mailbox") << options.mailbox;
    if (options.plain)
        args << QStringLiteral("--plain");
    if (!options.bearerState.isEmpty())
        args << QStringLiteral("--bearer-state") << options.bearerState;
    process_->start(QStringLiteral("/usr/bin/python3"), args);
    if (!process_->waitForStarted(10000)) {
        error_ = QStringLiteral("https_server.py did not start");
        return;
    }
    // The script prints "PORT <n>" once it listens.
    while (process_->state() == QProcess::Running && !process_->canReadLine())
        process_->waitForReadyRead(10000);
    const QByteArray line = process_->readLine().trimmed();
    if (!line.startsWith("PORT ")) {
        error_ =
            QStringLiteral("https_server.py: %1 %2")
                .arg(QString::fromUtf8(line), QString::fromUtf8(process_->readAllStandardError()));
        return;
    }
    port_ = static_cast<quint16>(line.mid(5).toUInt());
}

HttpsServer::~HttpsServer() {
    if (process_ && process_->state() != QProcess::NotRunning) {
        process_->terminate();
        if (!process_->waitForFinished(5000)) {
            process_->kill();
            process_->waitForFinished(5000);
        }
    }
}

void HttpsServer::setScenario(const QString& scenario) {
    QFile f(dir_.filePath(QStringLiteral("scenario")));
    if (f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        f.write(scenario.toUtf8());
}

QList<QJsonObject> HttpsServer::requests() const {
    QList<QJsonObject> out;
    QFile f(dir_.filePath(QStringLiteral("requests.jsonl")));
    if (!f.open(QIODevice::ReadOnly))
        return out;
    while (!f.atEnd()) {
        const QByteArray line = f.readLine().trimmed();
        if (!line.isEmpty())
            out.append(QJsonDocument::fromJson(line).object());
    }
    return out;
}

} // namespace testsupport
