// The About box: the program's title, version and legal texts, and the button that starts
// the system-information program named in the machine's registry.
#pragma once

#include <QWidget>

#include <array>

class QKeyEvent;
class QLabel;
class QFrame;
class QPushButton;

// Conventions: see ui/frm_main.h (members named and objectNamed as in the design).
// Loaded on demand (Load), owned by the main window, unloaded by cmdOK or the close box.
class FrmAbout : public QWidget {
    Q_OBJECT
public:
    explicit FrmAbout(QWidget* owner = nullptr);
    ~FrmAbout() override;

    // The loaded About box, or nullptr.
    static FrmAbout* instance();

    // Loads the About box when it is not loaded (owned by `owner`, a window of its own) and
    // returns it, already filled by Form_Load. Showing it is the caller's.
    static FrmAbout* Load(QWidget* owner);

    QLabel* picIcon = nullptr;
    QLabel* lblTitle = nullptr;   // "Velmora Postique"
    QLabel* lblVersion = nullptr; // "Version <version>"
    QLabel* Label1 = nullptr;     // the maker's line
    QLabel* lblNotice = nullptr;  // fixed prefix, current year and maker
    QLabel* lblDisclaimer = nullptr;
    std::array<QFrame*, 2> Line1 = {};
    QPushButton* cmdOK = nullptr;      // "OK"
    QPushButton* cmdSysInfo = nullptr; // "&Infos système..."

    // Maker's name and the texts built from it.
    static QString MakerName();
    static QString NoticeText(int year); // "Copyright © <year> <maker>"

    // Reads `valueName` of `keyName` below `root` into `value`: a text value as stored, a
    // 32-bit value as "&h" and the hexadecimal digits of each byte from the last to the
    // first, without leading zeros per byte. False with an empty `value` when the key or the
    // value is missing. Creates nothing.
    bool GetKeyValue(qint32 root, const QString& keyName, const QString& valueName, QString& value);

    // The system-information program: the registry's "PATH" of
    // "SOFTWARE\Microsoft\Shared Tools\MSINFO", else the folder "MSINFO" of
    // "SOFTWARE\Microsoft\Shared Tools Location" followed by "\MSINFO32.EXE" when that file
    // exists; "" when neither. (Windows texts; a Linux installation names its own program.)
    QString SysInfoPath();

    // Starts SysInfoPath(); shows "Les informations système ne sont pas disponibles
    // actuellement" when there is none or it cannot be started.
    void StartSysInfo();

protected:
    // Escape and Return close the box, as its OK button does.
    void keyPressEvent(QKeyEvent* event) override;

public Q_SLOTS:
    void Form_Load();
    void cmdOK_Click();
    void cmdSysInfo_Click();
};
