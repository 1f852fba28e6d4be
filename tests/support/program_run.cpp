// Private installations of the real program for end-to-end tests and benchmarks.
#include "support/program_run.h"

#include "system/processes.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcessEnvironment>
#include <QRandomGenerator>
#include <QThread>

#include <csignal>

namespace testsupport {

ProgramInstall::ProgramInstall() {
    if (!dir_.isValid()) {
        error_ = QStringLiteral("no temporary folder");
        return;
    }
    const QString app = dir_.filePath(QStringLiteral("app"));
    for (const QString& d : {app, prefix(), dir_.filePath(QStringLiteral("home"))})
        QDir().mkpath(d);
    if (!QFile::copy(QStringLiteral(POSTIQUE_EXECUTABLE), app + QStringLiteral("/VL3_Postique"))) {
        error_ = QStringLiteral("cannot copy %1").arg(QStringLiteral(POSTIQUE_EXECUTABLE));
        return;
    }
    QFile::setPermissions(app + QStringLiteral("/VL3_Postique"),
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    ok_ = true;
}

QString ProgramInstall::recordFile() const {
    return dir_.filePath(QStringLiteral("process-record.txt"));
}

QStringList ProgramInstall::recordedActions() const {
    QFile f(recordFile());
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(f.readAll()).split(u'\n', Qt::SkipEmptyParts);
}

QString ProgramInstall::drivePath(const QString& windowsText) const {
    QString rest = windowsText.mid(3);
    rest.replace(u'\\', u'/');
    return prefix() + QStringLiteral("/drive_c/") + rest;
}

bool ProgramInstall::writeSettings(const QString& server, const QString& sender,
                                   const QString& jobFolder) const {
    const QString path =
        drivePath(QStringLiteral("C:\\Halvaro\\Velmora\\Config\\VL3_Postique.ini"));
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    const QString text =
        QStringLiteral("[Serveur]\r\nServeur=%1\r\nAutentification=0\r\nUser=\r\nPW=\r\n"
                       "Protocole=0\r\nConnexionSSL=0\r\n[Envoi]\r\nSignatureNumerique=0\r\n"
                       "Crypter=0\r\n[Dossiers]\r\nDossier_00=%3\r\nSousDossier=0\r\n"
                       "[Email]\r\nFrom=%2\r\nTo=\r\nCc=\r\nCci=\r\n")
            .arg(server, sender, jobFolder);
    return f.write(text.toUtf8()) > 0;
}

bool ProgramInstall::editSettings(const std::function<void(QByteArray& ini)>& edit) const {
    QFile f(drivePath(QStringLiteral("C:\\Halvaro\\Velmora\\Config\\VL3_Postique.ini")));
    if (!f.open(QIODevice::ReadWrite))
        return false;
    QByteArray ini = f.readAll();
    edit(ini);
    return f.resize(0) && f.seek(0) && f.write(ini) == ini.size();
}

std::unique_ptr<QProcess> ProgramInstall::start(int tickMs, const QStringList& arguments,
                                                const QString& display,
                                                const QStringList& environment) const {
    auto process = std::make_unique<QProcess>();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("DISPLAY"));
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    env.remove(QStringLiteral("QT_QPA_PLATFORM"));
    env.insert(QStringLiteral("VELMORA_PREFIX"), prefix());
    env.insert(QStringLiteral("HOME"), dir_.filePath(QStringLiteral("home")));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), dir_.filePath(QStringLiteral("home/.config")));
    env.insert(QStringLiteral("XDG_DATA_HOME"), dir_.filePath(QStringLiteral("home/.local/share")));
    env.insert(QStringLiteral("POSTIQUE_POLL_TICK_MS"), QString::number(tickMs));
    // Never the real end of every copy: it would end the other tests' programs.
    env.insert(QString::fromLatin1(Lib_Systeme::ProcessRecordVariable), recordFile());
    if (!display.isEmpty())
        env.insert(QStringLiteral("DISPLAY"), display);
    for (const QString& variable : environment)
        env.insert(variable.section(u'=', 0, 0), variable.section(u'=', 1));
    process->setProcessEnvironment(env);
    process->setProgram(dir_.filePath(QStringLiteral("app/VL3_Postique")));
    process->setArguments(arguments);
    process->setProcessChannelMode(QProcess::SeparateChannels);
    process->start();
    return process;
}

bool waitUntil(const std::function<bool()>& done, int timeoutMs) {
    QDeadlineTimer deadline(timeoutMs);
    while (!done()) {
        if (deadline.hasExpired())
            return done();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(20);
    }
    return true;
}

void killProgram(QProcess& process) {
    if (process.state() == QProcess::NotRunning)
        return;
    process.kill();
    process.waitForFinished(5000);
}

bool endProgram(QProcess& process, int graceMs) {
    if (process.state() == QProcess::NotRunning)
        return true;
    ::kill(static_cast<pid_t>(process.processId()), SIGTERM);
    const bool ended = process.waitForFinished(graceMs);
    if (!ended)
        killProgram(process);
    return ended;
}

QString privateLoopbackAddress() {
    auto* rng = QRandomGenerator::global();
    return QStringLiteral("127.%1.%2.%3")
        .arg(rng->bounded(10, 250))
        .arg(rng->bounded(1, 250))
        .arg(rng->bounded(2, 250));
}

} // namespace testsupport
