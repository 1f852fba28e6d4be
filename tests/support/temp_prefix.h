// A throw-away prefix for tests: VELMORA_PREFIX points at a fresh temporary folder for the
// life of the object, so Windows paths ("C:\x\a.ini") land in <tmp>/drive_c/x/a.ini.
#pragma once

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>

#include <gtest/gtest.h>

class TempPrefix {
public:
    // Creates the folder, points VELMORA_PREFIX at it and forgets the folder-creation memory
    // of earlier tests. The previous value of VELMORA_PREFIX comes back on destruction.
    TempPrefix();
    ~TempPrefix();
    TempPrefix(const TempPrefix&) = delete;
    TempPrefix& operator=(const TempPrefix&) = delete;

    // The prefix folder (native).
    QString path() const { return dir_.path(); }
    // Native path of a Windows text through the program's own translation.
    QString native(const QString& windowsText) const;
    // Writes `bytes` to the Windows path `windowsText`, creating its folders. False on failure.
    bool write(const QString& windowsText, const QByteArray& bytes) const;
    // The bytes of the file at `windowsText` (empty when missing).
    QByteArray read(const QString& windowsText) const;
    // True when `windowsText` names an existing file or folder.
    bool exists(const QString& windowsText) const;

private:
    QTemporaryDir dir_;
    QByteArray previous_;
    bool hadPrevious_ = false;
};

// GoogleTest fixture holding one TempPrefix per test.
class TempPrefixTest : public ::testing::Test {
protected:
    TempPrefix prefix;
};
