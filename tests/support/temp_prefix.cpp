// The temporary prefix used by tests that touch files.
#include "support/temp_prefix.h"

#include "system/files.h"
#include "system/winpath.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

TempPrefix::TempPrefix() {
    hadPrevious_ = qEnvironmentVariableIsSet("VELMORA_PREFIX");
    previous_ = qgetenv("VELMORA_PREFIX");
    qputenv("VELMORA_PREFIX", QFile::encodeName(dir_.path()));
    Lib_Systeme::ResetFolderMemory();
}

TempPrefix::~TempPrefix() {
    if (hadPrevious_)
        qputenv("VELMORA_PREFIX", previous_);
    else
        qunsetenv("VELMORA_PREFIX");
    Lib_Systeme::ResetFolderMemory();
}

QString TempPrefix::native(const QString& windowsText) const {
    return WinPath::nativePath(windowsText);
}

bool TempPrefix::write(const QString& windowsText, const QByteArray& bytes) const {
    const QString target = native(windowsText);
    if (target.isEmpty() || !QDir().mkpath(QFileInfo(target).absolutePath()))
        return false;
    QFile f(target);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
}

QByteArray TempPrefix::read(const QString& windowsText) const {
    QFile f(native(windowsText));
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

bool TempPrefix::exists(const QString& windowsText) const {
    const QString target = native(windowsText);
    return !target.isEmpty() && QFileInfo::exists(target);
}
