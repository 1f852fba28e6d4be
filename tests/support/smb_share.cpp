// Runs tests/servers/smb_share.sh for one share.
#include "support/smb_share.h"

#include "support/program_run.h"

#include <QDir>
#include <QFile>
#include <QProcess>

#include <unistd.h>

namespace testsupport {

SmbShare::SmbShare() : address_(privateLoopbackAddress()) {
    if (::geteuid() != 0)
        skipReason_ = QStringLiteral("the SMB share needs root");
    else if (::access("/dev/fuse", R_OK | W_OK) != 0)
        skipReason_ = QStringLiteral("no usable /dev/fuse");
    else if (!dir_.isValid())
        skipReason_ = QStringLiteral("no temporary folder");
    if (!ok())
        return;
    // The server's folders must be reachable by its own processes: not the 0700 of the
    // temporary folder.
    QFile::setPermissions(dir_.path(), QFile::permissions(dir_.path()) | QFile::ExeOther |
                                           QFile::ReadOther | QFile::ExeGroup | QFile::ReadGroup);
    QString output;
    if (!run(QStringLiteral("up"), &output))
        skipReason_ = QStringLiteral("the SMB share did not start: ") + output.trimmed();
}

SmbShare::~SmbShare() {
    if (dir_.isValid())
        run(QStringLiteral("down"));
}

QString SmbShare::mountAnother(const QString& name, bool canAppend) {
    const QStringList environment{canAppend ? QStringLiteral("SMB_CACHE_MODE=writes")
                                            : QStringLiteral("SMB_CACHE_MODE=off")};
    return run(QStringLiteral("mount"), nullptr, name, environment) ? dir_.filePath(name)
                                                                    : QString();
}

bool SmbShare::run(const QString& command, QString* output, const QString& name,
                   const QStringList& environment) {
    QProcess script;
    QStringList arguments{command, dir_.path(), address_};
    if (!name.isEmpty())
        arguments << name;
    if (!environment.isEmpty()) {
        QProcessEnvironment all = QProcessEnvironment::systemEnvironment();
        for (const QString& pair : environment)
            all.insert(pair.section(u'=', 0, 0), pair.section(u'=', 1));
        script.setProcessEnvironment(all);
    }
    // The client's daemon keeps the script's output open: it goes to a file, not a pipe.
    const QString log = dir_.path() + QStringLiteral(".log");
    script.setStandardOutputFile(log);
    script.setStandardErrorFile(log, QIODevice::Append);
    script.start(QStringLiteral(POSTIQUE_TEST_SERVERS_DIR "/smb_share.sh"), arguments);
    const bool done = script.waitForFinished(30000) &&
                      script.exitStatus() == QProcess::NormalExit && script.exitCode() == 0;
    if (output) {
        QFile file(log);
        if (file.open(QIODevice::ReadOnly))
            *output = QString::fromLocal8Bit(file.readAll());
    }
    QFile::remove(log);
    return done;
}

} // namespace testsupport
