// Starts, waits for and stops a Python peer of the tests, and reads its records.
#include "support/python_peer.h"

#include "support/test_pki.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QJsonDocument>

namespace testsupport {

bool PythonPeer::start(const QString& script, const QStringList& args) {
    const TestPki& pki = SharedTestPki();
    if (!pki.ok) {
        error_ = pki.error;
        return false;
    }
    caFolder_ = dir_.filePath(QStringLiteral("CA"));
    QDir().mkpath(caFolder_);
    QFile::copy(pki.caCert, caFolder_ + QStringLiteral("/ca.pem"));

    process_ = std::make_unique<QProcess>();
    process_->setProcessChannelMode(QProcess::SeparateChannels);
    process_->start(QStringLiteral("/usr/bin/python3"),
                    QStringList{QStringLiteral(POSTIQUE_TEST_SERVERS_DIR "/") + script} + args);
    if (!process_->waitForStarted(10000)) {
        error_ = script + QStringLiteral(" did not start: ") + process_->errorString();
        return false;
    }
    // The script prints "PORT <n>" once it listens.
    const QDeadlineTimer deadline(20000);
    while (process_->state() == QProcess::Running && !process_->canReadLine() &&
           !deadline.hasExpired())
        process_->waitForReadyRead(100);
    const QByteArray line = process_->readLine().trimmed();
    if (!line.startsWith("PORT ")) {
        error_ = QStringLiteral("%1: %2 %3")
                     .arg(script, QString::fromUtf8(line),
                          QString::fromUtf8(process_->readAllStandardError()));
        return false;
    }
    port_ = static_cast<quint16>(line.mid(5).toUInt());
    return true;
}

PythonPeer::~PythonPeer() {
    if (process_ && process_->state() != QProcess::NotRunning) {
        process_->terminate();
        if (!process_->waitForFinished(5000)) {
            process_->kill();
            process_->waitForFinished(5000);
        }
    }
}

QList<QJsonObject> PythonPeer::jsonLines(const QString& name) const {
    QList<QJsonObject> out;
    QFile f(dir_.filePath(name));
    if (!f.open(QIODevice::ReadOnly))
        return out;
    while (!f.atEnd()) {
        const QByteArray line = f.readLine().trimmed();
        if (!line.isEmpty())
            out.append(QJsonDocument::fromJson(line).object());
    }
    return out;
}

void PythonPeer::writeFile(const QString& name, const QByteArray& bytes) const {
    QFile f(dir_.filePath(name));
    if (f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        f.write(bytes);
}

} // namespace testsupport
