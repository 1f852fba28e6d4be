// The part every HTTPS peer of the tests shares: one script of tests/servers/ run by Debian's
// Python on a free loopback port, its scratch folder, the client's CA folder, its records.
#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>

namespace testsupport {

class PythonPeer {
public:
    PythonPeer(const PythonPeer&) = delete;
    PythonPeer& operator=(const PythonPeer&) = delete;

    bool isRunning() const { return port_ != 0; }
    QString error() const { return error_; }
    quint16 port() const { return port_; }
    // The folder "CA" that holds the test CA certificate only, to be trusted by the client.
    QString caFolder() const { return caFolder_; }

protected:
    PythonPeer() = default;
    // Stops the script (SIGTERM, then SIGKILL after 5 s).
    ~PythonPeer();

    // Makes the CA folder and starts `script` (a file name in tests/servers/) with `args`,
    // then waits up to 20 s for its line "PORT <n>". False, with error(), when the test PKI,
    // the start or the port line is missing.
    bool start(const QString& script, const QStringList& args);
    // The JSON objects of the file `name` of the scratch folder, one per line.
    QList<QJsonObject> jsonLines(const QString& name) const;
    // Replaces the file `name` of the scratch folder with `bytes`.
    void writeFile(const QString& name, const QByteArray& bytes) const;

    QTemporaryDir dir_;
    QString caFolder_;

private:
    std::unique_ptr<QProcess> process_;
    quint16 port_ = 0;
    QString error_;
};

} // namespace testsupport
